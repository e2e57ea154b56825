// Text compared as the language compares it, and searched for a text.
#include "expr_text.h"

#include <algorithm>

namespace expr::detail {

int compare_text(const Value& a, const Value& b, bool whole) {
    const std::size_t n = std::min(a.length, b.length);
    if (n != 0) {
        const int c = std::memcmp(a.text, b.text, n);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    if (whole) return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
    return b.length > a.length ? -1 : 0;  // xBase =: the right side a prefix
}

// Where `needle` first occurs in `hay`, by Knuth-Morris-Pratt over a table of
// `entries` (never fewer than the needle's length); -1 when it does not (or
// is empty), so that a search takes time in proportion to the haystack.
long find(const Value& needle, const Value& hay, std::uint16_t* table, std::uint32_t entries) {
    const std::uint32_t m = needle.length;
    if (m == 0 || m > hay.length || m > entries) return -1;
    const std::uint8_t* p = needle.text;
    table[0] = 0;
    for (std::uint32_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && p[i] != p[k]) k = table[k - 1];
        if (p[i] == p[k]) ++k;
        table[i] = static_cast<std::uint16_t>(k);
    }
    for (std::uint32_t i = 0, k = 0; i < hay.length; ++i) {
        while (k > 0 && hay.text[i] != p[k]) k = table[k - 1];
        if (hay.text[i] == p[k] && ++k == m) return static_cast<long>(i + 1 - m);
    }
    return -1;
}

}  // namespace expr::detail
