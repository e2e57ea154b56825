// make_index: writes a well-formed index of N keys for benchmarks, laid out
// as real indexes are: the header in the first 1024 bytes, pages at
// multiples of 1024, fixed-size item slots, keys padded with spaces, every
// leaf at the same depth, and pages filled to a chosen fraction.
//
// Pages are written in one sequential pass, each subtree before the page
// that refers to it, so memory stays at one page per level whatever N is.
#include "ntx_layout.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numeric>
#include <string>
#include <vector>

namespace {

using Page = std::array<std::uint8_t, ntx::page_size>;

// The header word before max_item holds a page's slot count; the tool
// never shows it.
constexpr std::size_t slot_count_at = ntx::max_item_at - 2;

struct Layout {
    std::size_t key_size = 0;
    std::size_t item_size = 0;
    std::size_t slots = 0;       // items a page can hold
    std::size_t slots_at = 0;    // first slot, just past the offset table
    std::size_t per_page = 0;    // items a page is filled with
};

// Real writers keep a page's slot count even and leave one slot spare.
Layout make_layout(std::size_t key_size, double fill) {
    Layout l;
    l.key_size = key_size;
    l.item_size = key_size + ntx::key_at;
    const std::size_t fit =
        (ntx::page_size - 2 * ntx::offset_entry_size) / (l.item_size + ntx::offset_entry_size);
    l.slots = fit > 1 ? (fit - 1) & ~std::size_t{1} : 0;
    l.slots_at = ntx::item_offsets_at + ntx::offset_entry_size * (l.slots + 1);
    const auto want = static_cast<std::size_t>(fill * static_cast<double>(l.slots) + 0.5);
    l.per_page = std::clamp<std::size_t>(want, 2, l.slots);
    return l;
}

void put16(std::uint8_t* at, std::size_t v) {
    at[0] = static_cast<std::uint8_t>(v);
    at[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* at, std::uint64_t v) {
    put16(at, v & 0xffff);
    put16(at + 2, v >> 16 & 0xffff);
}

constexpr std::uint64_t max_pages = (std::uint64_t{1} << 31) / ntx::page_size;

struct Writer {
    std::FILE* out = nullptr;
    std::vector<std::uint8_t> buffer;
    std::uint64_t pages = 0;  // written so far, the header block included
};

std::uint32_t write_page(Writer& w, const Page& page) {
    // Below 2 GiB, every platform's signed seek reaches every page.
    if (w.pages == max_pages) {
        std::fputs("make_index: too many keys for a 2 GiB index\n", stderr);
        std::exit(2);
    }
    if (w.buffer.size() + page.size() > w.buffer.capacity()) {
        if (std::fwrite(w.buffer.data(), 1, w.buffer.size(), w.out) != w.buffer.size()) {
            std::perror("make_index: write");
            std::exit(1);
        }
        w.buffer.clear();
    }
    w.buffer.insert(w.buffer.end(), page.begin(), page.end());
    return static_cast<std::uint32_t>(w.pages++ * ntx::page_size);
}

struct Keys {
    std::uint64_t next = 0;  // keys come out in order, numbered from 0
    std::uint64_t total = 0;
    std::uint64_t stride = 1;  // record numbers scattered over 1..total
};

// Key i: a ten-digit code that fixes the order, then a made-up name, then
// spaces up to the key size. Record numbers follow no order, as in a real
// index over unsorted records.
void next_key(Keys& k, const Layout& l, std::uint8_t* slot) {
    const std::uint64_t i = k.next++;
    const auto recno = static_cast<std::uint32_t>(i * k.stride % k.total + 1);
    put32(slot + ntx::recno_at, recno);
    char* key = reinterpret_cast<char*>(slot + ntx::key_at);
    std::memset(key, ' ', l.key_size);
    char digits[10];
    std::uint64_t v = i;
    for (int d = 9; d >= 0; --d, v /= 10) digits[d] = static_cast<char>('0' + v % 10);
    std::size_t len = std::min<std::size_t>(sizeof digits, l.key_size);
    std::memcpy(key, digits, len);
    std::uint64_t h = (i + 1) * 0x9e3779b97f4a7c15u;
    const auto name = static_cast<std::size_t>(3 + (h >> 61));
    for (std::size_t c = 0; c < name && len + 1 + c < l.key_size; ++c, h *= 31)
        key[len + 1 + c] = static_cast<char>('A' + (h >> 40) % 26);
}

// Most keys a subtree of `height` levels holds at the chosen fill.
std::vector<std::uint64_t> subtree_sizes(const Layout& l, std::uint64_t n) {
    std::vector<std::uint64_t> size{0};
    while (size.back() < n) size.push_back(size.back() * (l.per_page + 1) + l.per_page);
    return size;
}

// Writes the subtree of `count` keys and `height` levels; returns its root.
std::uint32_t build(Writer& w, Keys& keys, const Layout& l,
                    const std::vector<std::uint64_t>& size, std::uint64_t count,
                    std::size_t height) {
    Page page{};
    std::size_t items = 0;
    std::uint32_t last_child = 0;
    auto slot = [&](std::size_t j) { return page.data() + l.slots_at + j * l.item_size; };
    if (height == 1) {
        for (; items < count; ++items) next_key(keys, l, slot(items));
    } else {
        // Children share the keys evenly, so every leaf ends at one depth.
        const std::uint64_t below = size[height - 1];
        const std::uint64_t children = (count + below + 1) / (below + 1);
        const std::uint64_t spread = count - (children - 1);
        for (std::uint64_t c = 0; c < children; ++c) {
            const std::uint64_t sub = spread / children + (c < spread % children ? 1 : 0);
            const std::uint32_t child = build(w, keys, l, size, sub, height - 1);
            if (c + 1 == children) {
                last_child = child;
            } else {
                put32(slot(items), child);
                next_key(keys, l, slot(items));
                ++items;
            }
        }
    }
    put16(page.data() + ntx::item_count_at, items);
    put32(slot(items), last_child);
    for (std::size_t j = 0; j <= l.slots; ++j)
        put16(page.data() + ntx::item_offsets_at + ntx::offset_entry_size * j,
              l.slots_at + j * l.item_size);
    return write_page(w, page);
}

bool parse(const char* text, auto& value) {
    const char* end = text + std::strlen(text);
    const auto [p, ec] = std::from_chars(text, end, value);
    return ec == std::errc{} && p == end;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t n = 0;
    std::size_t key_size = 20;
    double fill = 0.8;
    if (argc < 3 || argc > 5 || !parse(argv[2], n) ||
        (argc > 3 && !parse(argv[3], key_size)) || (argc > 4 && !parse(argv[4], fill)) ||
        key_size < 10 || key_size > 200 || !(fill > 0 && fill <= 1)) {
        std::fputs("Use: make_index FILE KEYS [KEY_SIZE 10-200, default 20] "
                   "[FILL 0-1, default 0.8]\n",
                   stderr);
        return 2;
    }
    const Layout l = make_layout(key_size, fill);
    const auto size = subtree_sizes(l, n);

    Writer w;
    w.out = std::fopen(argv[1], "wb");
    if (!w.out) {
        std::perror(argv[1]);
        return 1;
    }
    w.buffer.reserve(4 << 20);
    Page header_block{};
    write_page(w, header_block);  // filled in once the root is known

    Keys keys;
    keys.total = std::max<std::uint64_t>(n, 1);
    // A stride near the golden section of the total, and prime to it,
    // scatters record numbers as a permutation of 1..total.
    keys.stride = keys.total * 618034 / 1000000 | 1;
    while (std::gcd(keys.stride, keys.total) != 1) keys.stride += 2;
    const std::uint32_t root = build(w, keys, l, size, n, std::max<std::size_t>(size.size() - 1, 1));

    std::uint8_t* h = header_block.data();
    put16(h + ntx::signature_at, 6);
    put16(h + ntx::version_at, 1);
    put32(h + ntx::root_at, root);
    put32(h + ntx::next_page_at, 0);
    put16(h + ntx::item_size_at, l.item_size);
    put16(h + ntx::key_size_at, l.key_size);
    put16(h + ntx::key_decimals_at, 0);
    put16(h + slot_count_at, l.slots);
    put16(h + ntx::max_item_at, l.slots / 2);
    const char expr[] = "CODE+NAME";
    std::memcpy(h + ntx::key_expr_at, expr, sizeof expr);

    bool ok = std::fwrite(w.buffer.data(), 1, w.buffer.size(), w.out) == w.buffer.size() &&
              std::fseek(w.out, 0, SEEK_SET) == 0 &&
              std::fwrite(h, 1, ntx::header_size, w.out) == ntx::header_size;
    ok = std::fclose(w.out) == 0 && ok;
    if (!ok) {
        std::perror("make_index: write");
        return 1;
    }
    return 0;
}
