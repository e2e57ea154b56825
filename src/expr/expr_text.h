// Text: its constants, case and blanks inline here, as keys of every record
// use them; comparison and search are in expr_text.cpp.
#pragma once

#include "key_expr.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace expr::detail {

inline constexpr std::uint8_t empty_text[1] = {0};
// DTOS of the empty date
inline constexpr std::uint8_t no_date[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

int compare_text(const Value& a, const Value& b, bool whole);
long find(const Value& needle, const Value& hay, std::uint16_t* table, std::uint32_t entries);

// UPPER (from 'a') or LOWER (from 'A') of ASCII letters, eight bytes a
// step: in each byte below 80h, its low seven bits plus 80h - from reach the
// top bit when it is `from` or above, plus 80h - (from + 26) when it is past
// the letters, and neither sum carries into the next byte.
inline void change_case(const std::uint8_t* s, std::size_t n, std::uint8_t from, std::uint8_t* d) {
    constexpr std::uint64_t ones = 0x0101010101010101u, high = 0x8080808080808080u;
    const std::uint64_t to_first = ones * (0x80u - from), past_last = ones * (0x80u - from - 26);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::memcpy(&x, s + i, 8);
        const std::uint64_t low = x & ~high;
        const std::uint64_t letters = (low + to_first) & ~(low + past_last) & ~x & high;
        x ^= letters >> 2;  // 80h >> 2 is the case bit, 20h
        std::memcpy(d + i, &x, 8);
    }
    for (; i < n; ++i) {
        const std::uint8_t c = s[i];
        const auto letter = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c - from) < 26);
        d[i] = static_cast<std::uint8_t>(c ^ (letter << 5));
    }
}

inline bool is_blank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace expr::detail
