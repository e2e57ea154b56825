// make_index: writes a well-formed index of N keys for benchmarks, laid out
// as real indexes are: the header in the first 1024 bytes, pages at
// multiples of 1024, fixed-size item slots, keys padded with spaces, every
// leaf at the same depth, and pages filled to a chosen fraction.
//
// Pages are made in one pass, each subtree before the page that refers to
// it, so memory stays at one page per level whatever N is. A layout other
// than `sorted` only changes where each page lands in the file (and so the
// child references): the pages' keys, record numbers and order of making
// stay the same, and so does the report, but for the Root line.
//
// Given a TABLE too, it also writes the table the index could have been
// built from: record r holds the key whose record number is r, in fields
// CODE and NAME, so that the key expression CODE+NAME gives every key back.
// The index is the same with or without it.
#include "dbf_layout.h"
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

enum class Order { sorted, mixed, scattered };

// Where the k-th page made goes. Slots count pages from the file's start;
// slot 0 is the header block.
struct Placement {
    Order order = Order::sorted;
    double share = 0;          // of pages moved to the end, when mixed
    std::uint64_t pages = 0;   // in the tree
    std::uint64_t moved = 0;   // of them, when mixed
    std::uint64_t made = 0;
    std::uint64_t moved_made = 0;
};

std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15u;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9u;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebu;
    return x ^ (x >> 31);
}

// A fixed pseudo-random bijection of 0..n-1 that needs no table: a Feistel
// network over the fewest even bits that hold n - 1, applied again while
// the result falls outside 0..n-1. Its domain is under 4n, so that takes
// few rounds.
std::uint64_t permute(std::uint64_t x, std::uint64_t n) {
    if (n < 2) return x;
    unsigned half = 1;
    while ((std::uint64_t{1} << (2 * half)) < n) ++half;
    const std::uint64_t mask = (std::uint64_t{1} << half) - 1;
    do {
        std::uint64_t left = x >> half, right = x & mask;
        for (std::uint64_t round = 0; round < 4; ++round) {
            const std::uint64_t next = left ^ (mix(right ^ (round << 40) ^ (n << 8)) & mask);
            left = right;
            right = next;
        }
        x = (left << half) | right;
    } while (x >= n);
    return x;
}

bool is_moved(const Placement& p, std::uint64_t k) {
    return static_cast<double>(mix(k ^ 0x5bd1e995u) >> 11) * 0x1p-53 < p.share;
}

// Unmoved pages keep the order they were made in; the moved ones follow
// them, shuffled.
std::uint64_t next_slot(Placement& p) {
    const std::uint64_t k = p.made++;
    switch (p.order) {
    case Order::sorted:
        return 1 + k;
    case Order::scattered:
        return 1 + permute(k, p.pages);
    case Order::mixed:
        break;
    }
    if (!is_moved(p, k)) return 1 + (k - p.moved_made);
    return 1 + (p.pages - p.moved) + permute(p.moved_made++, p.moved);
}

// Pages go out in runs of consecutive slots, so that the sorted layout is
// written sequentially, with a seek only between runs.
struct Writer {
    std::FILE* out = nullptr;
    std::vector<std::uint8_t> buffer;
    std::uint64_t buffer_slot = 0;  // the slot of the buffer's first page
    Placement place;
};

void flush(Writer& w) {
    // Below 2 GiB, every platform's signed seek reaches every page.
    if (std::fseek(w.out, static_cast<long>(w.buffer_slot * ntx::page_size), SEEK_SET) != 0 ||
        std::fwrite(w.buffer.data(), 1, w.buffer.size(), w.out) != w.buffer.size()) {
        std::perror("make_index: write");
        std::exit(1);
    }
    w.buffer.clear();
}

std::uint32_t write_page(Writer& w, const Page& page) {
    const std::uint64_t slot = next_slot(w.place);
    if (!w.buffer.empty() && (slot != w.buffer_slot + w.buffer.size() / ntx::page_size ||
                              w.buffer.size() + page.size() > w.buffer.capacity()))
        flush(w);
    if (w.buffer.empty()) w.buffer_slot = slot;
    w.buffer.insert(w.buffer.end(), page.begin(), page.end());
    return static_cast<std::uint32_t>(slot * ntx::page_size);
}

struct Keys {
    std::uint64_t next = 0;  // keys come out in order, numbered from 0
    std::uint64_t total = 0;
    std::uint64_t stride = 1;  // record numbers scattered over 1..total
};

// Record numbers follow no order, as in a real index over unsorted records.
std::uint32_t recno_of(const Keys& k, std::uint64_t i) {
    return static_cast<std::uint32_t>(i * k.stride % k.total + 1);
}

// Key i: a ten-digit code that fixes the order, then a made-up name, then
// spaces up to the key size.
void key_text(std::uint64_t i, std::size_t key_size, char* key) {
    std::memset(key, ' ', key_size);
    char digits[10];
    std::uint64_t v = i;
    for (int d = 9; d >= 0; --d, v /= 10) digits[d] = static_cast<char>('0' + v % 10);
    std::size_t len = std::min<std::size_t>(sizeof digits, key_size);
    std::memcpy(key, digits, len);
    std::uint64_t h = (i + 1) * 0x9e3779b97f4a7c15u;
    const auto name = static_cast<std::size_t>(3 + (h >> 61));
    for (std::size_t c = 0; c < name && len + 1 + c < key_size; ++c, h *= 31)
        key[len + 1 + c] = static_cast<char>('A' + (h >> 40) % 26);
}

void next_key(Keys& k, const Layout& l, std::uint8_t* slot) {
    const std::uint64_t i = k.next++;
    put32(slot + ntx::recno_at, recno_of(k, i));
    key_text(i, l.key_size, reinterpret_cast<char*>(slot + ntx::key_at));
}

// The key stored with record number r: recno_of undone. The stride is prime
// to the total, so it has an inverse modulo the total.
std::uint64_t key_of(std::uint64_t inverse, std::uint64_t total, std::uint64_t recno) {
    return (recno - 1) * inverse % total;
}

std::uint64_t inverse_mod(std::uint64_t a, std::uint64_t m) {
    // Extended Euclid, in signed steps: every value stays below m < 2^32.
    std::int64_t r0 = static_cast<std::int64_t>(m), r1 = static_cast<std::int64_t>(a % m);
    std::int64_t t0 = 0, t1 = 1;
    while (r1 != 0) {
        const std::int64_t q = r0 / r1;
        std::int64_t next = r0 - q * r1;
        r0 = r1;
        r1 = next;
        next = t0 - q * t1;
        t0 = t1;
        t1 = next;
    }
    return static_cast<std::uint64_t>(t0 < 0 ? t0 + static_cast<std::int64_t>(m) : t0) % m;
}

// Most keys a subtree of `height` levels holds at the chosen fill.
std::vector<std::uint64_t> subtree_sizes(const Layout& l, std::uint64_t n) {
    std::vector<std::uint64_t> size{0};
    while (size.back() < n) size.push_back(size.back() * (l.per_page + 1) + l.per_page);
    return size;
}

// Children share the keys evenly, so every leaf ends at one depth.
struct Split {
    std::uint64_t children = 0;
    std::uint64_t spread = 0;  // keys left to the children
};

Split split(const std::vector<std::uint64_t>& size, std::uint64_t count, std::size_t height) {
    const std::uint64_t below = size[height - 1];
    Split s;
    s.children = (count + below + 1) / (below + 1);
    s.spread = count - (s.children - 1);
    return s;
}

std::uint64_t child_keys(const Split& s, std::uint64_t c) {
    return s.spread / s.children + (c < s.spread % s.children ? 1 : 0);
}

// Pages of the subtree that build() writes for the same arguments. Children
// hold one of two key counts, so two calls a level suffice.
std::uint64_t count_pages(const std::vector<std::uint64_t>& size, std::uint64_t count,
                          std::size_t height) {
    if (height == 1) return 1;
    const Split s = split(size, count, height);
    const std::uint64_t larger = s.spread % s.children;
    std::uint64_t pages = 1 + (s.children - larger) * count_pages(size, s.spread / s.children,
                                                                  height - 1);
    if (larger > 0) pages += larger * count_pages(size, s.spread / s.children + 1, height - 1);
    return pages;
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
        const Split s = split(size, count, height);
        for (std::uint64_t c = 0; c < s.children; ++c) {
            const std::uint32_t child = build(w, keys, l, size, child_keys(s, c), height - 1);
            if (c + 1 == s.children) {
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

// The table: the key's two fields, then an amount, a date and a flag, for
// the look of a real table; all made from the key's number, as its name is.
struct TableField {
    const char* name;
    char type;
    std::size_t length;
    std::size_t decimals;
};
constexpr std::size_t code_length = 11;  // the ten-digit code and its space
constexpr std::size_t min_table_key_size = code_length + 1;
constexpr std::size_t amount_length = 12;  // up to 9999999.99
constexpr std::size_t date_length = 8;     // YYYYMMDD
constexpr std::size_t table_fields = 5;

std::array<TableField, table_fields> table_layout(std::size_t key_size) {
    return {{{"CODE", 'C', code_length, 0},
             {"NAME", 'C', key_size - code_length, 0},
             {"AMOUNT", 'N', amount_length, 2},
             {"SINCE", 'D', date_length, 0},
             {"ACTIVE", 'L', 1, 0}}};
}

// Writes `v` in decimal, right-aligned in [at, end), with at least `digits`
// digits.
void put_decimal(char* at, char* end, std::uint64_t v, std::size_t digits = 1) {
    for (std::size_t d = 0; end > at && (v > 0 || d < digits); ++d, v /= 10)
        *--end = static_cast<char>('0' + v % 10);
}

void put_record(std::uint8_t* rec, std::uint64_t i, std::size_t key_size) {
    char* at = reinterpret_cast<char*>(rec);
    *at++ = ' ';  // not deleted
    key_text(i, key_size, at);
    at += key_size;
    const std::uint64_t h = mix(i ^ 0x2545f4914f6cdd1du);
    const std::uint64_t cents = h % 1000000000;
    std::memset(at, ' ', amount_length);
    put_decimal(at + amount_length - 2, at + amount_length, cents % 100, 2);
    at[amount_length - 3] = '.';
    put_decimal(at, at + amount_length - 3, cents / 100);
    at += amount_length;
    put_decimal(at, at + 4, 1990 + (h >> 20) % 34, 4);
    put_decimal(at + 4, at + 6, 1 + (h >> 30) % 12, 2);
    put_decimal(at + 6, at + 8, 1 + (h >> 40) % 28, 2);
    at += date_length;
    *at = (h >> 50 & 1) != 0 ? 'T' : 'F';
}

// Records go out in order of record number, key by key undoing the
// index's scatter, in one buffer of whole records.
bool write_table(const char* file, const Keys& keys, std::uint64_t n, std::size_t key_size) {
    const auto fields = table_layout(key_size);
    std::size_t record_length = 1;
    for (const TableField& f : fields) record_length += f.length;
    // The end mark and, as most writers leave, a zero byte after it.
    const std::size_t header_length = dbf::descriptors_at + table_fields * dbf::descriptor_size + 2;

    std::vector<std::uint8_t> buffer(header_length);
    std::uint8_t* h = buffer.data();
    h[dbf::version_at] = 0x03;
    h[dbf::updated_at] = 124;  // 2024-01-01
    h[dbf::updated_at + 1] = 1;
    h[dbf::updated_at + 2] = 1;
    put32(h + dbf::record_count_at, n);
    put16(h + dbf::header_length_at, header_length);
    put16(h + dbf::record_length_at, record_length);
    for (std::size_t k = 0; k < table_fields; ++k) {
        std::uint8_t* d = h + dbf::descriptors_at + k * dbf::descriptor_size;
        std::memcpy(d + dbf::field_name_at, fields[k].name, std::strlen(fields[k].name));
        d[dbf::field_type_at] = static_cast<std::uint8_t>(fields[k].type);
        d[dbf::field_length_at] = static_cast<std::uint8_t>(fields[k].length);
        d[dbf::field_decimals_at] = static_cast<std::uint8_t>(fields[k].decimals);
    }
    h[dbf::descriptors_at + table_fields * dbf::descriptor_size] = dbf::descriptors_end;

    std::FILE* out = std::fopen(file, "wb");
    if (!out) {
        std::perror(file);
        return false;
    }
    bool ok = true;
    const std::size_t batch = std::max<std::size_t>((1 << 20) / record_length, 1);
    buffer.reserve(header_length + batch * record_length);
    const std::uint64_t inverse = inverse_mod(keys.stride, keys.total);
    for (std::uint64_t r = 1; r <= n && ok; ++r) {
        const std::size_t at = buffer.size();
        buffer.resize(at + record_length);
        put_record(buffer.data() + at, key_of(inverse, keys.total, r), key_size);
        if (buffer.size() + record_length > buffer.capacity()) {
            ok = std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
            buffer.clear();
        }
    }
    buffer.push_back(dbf::end_of_file_mark);
    ok = ok && std::fwrite(buffer.data(), 1, buffer.size(), out) == buffer.size();
    ok = std::fclose(out) == 0 && ok;
    if (!ok) std::perror("make_index: table write");
    return ok;
}

bool parse(const char* text, auto& value) {
    const char* end = text + std::strlen(text);
    const auto [p, ec] = std::from_chars(text, end, value);
    return ec == std::errc{} && p == end;
}

bool parse_layout(const std::string& text, Placement& p) {
    const std::string mixed = "mixed:";
    if (text == "sorted") {
        p.order = Order::sorted;
    } else if (text == "scattered") {
        p.order = Order::scattered;
    } else if (text.starts_with(mixed)) {
        p.order = Order::mixed;
        return parse(text.c_str() + mixed.size(), p.share) && p.share >= 0 && p.share <= 1;
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::uint64_t n = 0;
    std::size_t key_size = 20;
    double fill = 0.8;
    Writer w;
    const char* table = argc > 6 ? argv[6] : nullptr;
    if (argc < 3 || argc > 7 || !parse(argv[2], n) ||
        (argc > 3 && !parse(argv[3], key_size)) || (argc > 4 && !parse(argv[4], fill)) ||
        (argc > 5 && !parse_layout(argv[5], w.place)) || key_size < 10 || key_size > 200 ||
        !(fill > 0 && fill <= 1) || (table && key_size < min_table_key_size)) {
        std::fputs("Use: make_index FILE KEYS [KEY_SIZE 10-200, default 20] "
                   "[FILL 0-1, default 0.8] [LAYOUT sorted (default), mixed:SHARE "
                   "(that share of pages moved to the end, shuffled) or scattered] "
                   "[TABLE: also write the table of the index's records, "
                   "for KEY_SIZE 12 or more]\n",
                   stderr);
        return 2;
    }
    const Layout l = make_layout(key_size, fill);
    const auto size = subtree_sizes(l, n);
    const std::size_t height = std::max<std::size_t>(size.size() - 1, 1);

    // Known before the first page is placed, since the layouts place pages
    // by their share of the whole.
    Placement& place = w.place;
    place.pages = count_pages(size, n, height);
    if (place.pages >= max_pages) {
        std::fputs("make_index: too many keys for a 2 GiB index\n", stderr);
        return 2;
    }
    if (place.order == Order::mixed)
        for (std::uint64_t k = 0; k < place.pages; ++k) place.moved += is_moved(place, k) ? 1 : 0;

    w.out = std::fopen(argv[1], "wb");
    if (!w.out) {
        std::perror(argv[1]);
        return 1;
    }
    w.buffer.reserve(4 << 20);

    Keys keys;
    keys.total = std::max<std::uint64_t>(n, 1);
    // A stride near the golden section of the total, and prime to it,
    // scatters record numbers as a permutation of 1..total.
    keys.stride = keys.total * 618034 / 1000000 | 1;
    while (std::gcd(keys.stride, keys.total) != 1) keys.stride += 2;
    const std::uint32_t root = build(w, keys, l, size, n, height);
    flush(w);

    Page header_block{};
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

    bool ok = std::fseek(w.out, 0, SEEK_SET) == 0 &&
              std::fwrite(h, 1, header_block.size(), w.out) == header_block.size();
    ok = std::fclose(w.out) == 0 && ok;
    if (!ok) {
        std::perror("make_index: write");
        return 1;
    }
    if (table && !write_table(table, keys, n, key_size)) return 1;
    return 0;
}
