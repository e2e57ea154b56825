// Building pages from entries: the shape of the tree, its pages' bytes and
// order, the header, and the real indexes built in one pass, rebuilt from
// their own entries byte for byte.
#include "ntx_build.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace fs = std::filesystem;
using File = std::vector<std::uint8_t>;

struct Entry {
    std::uint32_t recno = 0;
    std::string key;  // key_size bytes
    bool operator==(const Entry&) const = default;
};

unsigned u16(const File& f, std::size_t at) {
    return static_cast<unsigned>(f[at] | f[at + 1] << 8);
}
std::uint32_t u32(const File& f, std::size_t at) {
    return static_cast<std::uint32_t>(u16(f, at) | u16(f, at + 2) << 16);
}

// A build's whole file: a zero header page, then its pages in file order.
struct Built {
    File file = File(ntx::page_size, 0);
    std::uint32_t root = 0;
    std::uint32_t planned_pages = 0;
    std::size_t most_done = 0;  // most pages one call completed
};

std::optional<Built> build(const ntx::BuildShape& shape, const std::vector<Entry>& entries) {
    ntx::TreeBuild b;
    if (!ntx::begin_build(b, shape, entries.size())) return std::nullopt;
    Built out;
    out.planned_pages = b.pages;
    const auto take = [&] {
        out.most_done = std::max(out.most_done, b.done.size());
        for (const ntx::IndexPage& p : b.done)
            out.file.insert(out.file.end(), p.bytes.begin(), p.bytes.end());
        b.done.clear();
    };
    take();
    for (const Entry& e : entries) {
        const auto* key = reinterpret_cast<const std::uint8_t*>(e.key.data());
        EXPECT_TRUE(ntx::add_entry(b, e.recno, key));
        take();
    }
    out.root = ntx::end_build(b);
    return out;
}

std::vector<Entry> numbered(std::size_t n, std::size_t key_size) {
    std::vector<Entry> v;
    for (std::size_t k = 0; k < n; ++k) {
        char text[32];
        std::snprintf(text, sizeof text, "%0*zu", static_cast<int>(std::min<std::size_t>(
                                                       key_size, 20)), k);
        std::string key(text);
        key.resize(key_size, ' ');
        v.push_back({static_cast<std::uint32_t>(k + 1), key.substr(0, key_size)});
    }
    return v;
}

// ------------------------------------------------------ a test-side reader

// What an in-order walk of a file finds: its entries, and each page's depth
// below the root. Bounded and safe: every reference and offset is checked,
// a page is visited once, and the walk goes at most 64 levels deep.
struct Walk {
    std::vector<Entry> entries;
    std::map<std::uint32_t, int> depth;  // by page reference
    int leaf_depth = -1;
    std::string error;
};

void walk_page(const File& f, std::size_t key_size, std::uint32_t ref, int depth, Walk& w) {
    if (!w.error.empty()) return;
    if (depth > 64 || ref % ntx::page_size || ref < ntx::page_size ||
        ref > f.size() - ntx::page_size || !w.depth.emplace(ref, depth).second) {
        w.error = "bad reference " + std::to_string(ref);
        return;
    }
    const std::size_t n = u16(f, ref);
    if (n > ntx::max_items) {
        w.error = "count " + std::to_string(n);
        return;
    }
    bool has_child = false;
    for (std::size_t j = 0; j <= n && w.error.empty(); ++j) {
        const std::size_t off = u16(f, ref + 2 + 2 * j);
        if (off + (j < n ? 8 + key_size : 4) > ntx::page_size) {
            w.error = "offset out of the page";
            return;
        }
        const std::uint32_t child = u32(f, ref + off);
        if (j == 0) has_child = child != 0;
        if ((child != 0) != has_child) w.error = "a child missing";
        if (child) walk_page(f, key_size, child, depth + 1, w);
        if (j < n) {
            const auto* key = reinterpret_cast<const char*>(f.data() + ref + off + 8);
            w.entries.push_back({u32(f, ref + off + 4), std::string(key, key_size)});
        }
    }
    if (!has_child) {
        if (w.leaf_depth >= 0 && w.leaf_depth != depth) w.error = "leaves at two depths";
        w.leaf_depth = depth;
    }
}

Walk walk(const File& f, std::size_t key_size, std::uint32_t root) {
    Walk w;
    if (f.size() < ntx::page_size) w.error = "no header";
    else walk_page(f, key_size, root, 0, w);
    return w;
}

// Bytes of a page of `items` that the layout writes: the count, the offset
// table, n whole items and the child of slot n.
void mark_written(const ntx::BuildShape& s, std::size_t items, std::vector<bool>& mask) {
    std::fill_n(mask.begin(), ntx::slot_at(s, 0), true);
    for (std::size_t j = 0; j <= items; ++j)
        std::fill_n(mask.begin() + static_cast<long>(ntx::slot_at(s, j)),
                    j < items ? 8 + s.key_size : 4, true);
}

// ------------------------------------------------------------- the shape

TEST(BuildShape, FitsOnlyWhenEverySlotLiesInThePage) {
    EXPECT_FALSE(ntx::shape_fits({.max_items = 0, .key_size = 8, .item_size = 16}));
    EXPECT_TRUE(ntx::shape_fits({.max_items = 1, .key_size = 8, .item_size = 16}));
    EXPECT_FALSE(ntx::shape_fits({.max_items = 4, .key_size = 8, .item_size = 15}));
    // 2 + 2 * 56 + 56 * 16 = 1010; 57 slots are 1028.
    EXPECT_TRUE(ntx::shape_fits({.max_items = 55, .key_size = 8, .item_size = 16}));
    EXPECT_FALSE(ntx::shape_fits({.max_items = 56, .key_size = 8, .item_size = 16}));
    // Exactly the page: 2 + 2 * 2 + 2 * 509 = 1024.
    EXPECT_TRUE(ntx::shape_fits({.max_items = 1, .key_size = 501, .item_size = 509}));
    EXPECT_FALSE(ntx::shape_fits({.max_items = 1, .key_size = 502, .item_size = 510}));
    EXPECT_FALSE(ntx::shape_fits({.max_items = 511, .key_size = 0, .item_size = 8}));
}

TEST(BuildShape, HeightIsTheLowestThatHoldsTheEntries) {
    EXPECT_EQ(ntx::tree_height(0, 4), 0u);
    EXPECT_EQ(ntx::tree_height(4, 4), 0u);
    EXPECT_EQ(ntx::tree_height(5, 4), 1u);
    EXPECT_EQ(ntx::tree_height(24, 4), 1u);
    EXPECT_EQ(ntx::tree_height(25, 4), 2u);
    EXPECT_EQ(ntx::tree_height(124, 4), 2u);
    EXPECT_EQ(ntx::tree_height(125, 4), 3u);
    EXPECT_EQ(ntx::tree_height(10000, 54), 2u);
    EXPECT_EQ(ntx::tree_height(UINT64_MAX, 1), 63u);
}

TEST(BuildShape, TenThousandDatesSpreadAsTheRealFile) {
    // 10kDate.ntx: max 54, 10,000 keys, 190 KiB.
    const ntx::SubtreePlan root = ntx::plan_subtree(10000, 2, 54);
    EXPECT_EQ(root.children, 4u);
    EXPECT_EQ(root.per_child, 2499u);
    EXPECT_EQ(root.bigger, 1u);
    const std::uint64_t sizes[] = {2500, 2499, 2499, 2499};
    for (std::uint32_t i = 0; i < 4; ++i) {
        EXPECT_EQ(ntx::child_entries(root, i), sizes[i]);
        const ntx::SubtreePlan sub = ntx::plan_subtree(sizes[i], 1, 54);
        EXPECT_EQ(sub.children, 46u);
        // 2500 - 45 = 2455 = 46 * 53 + 17; 2499 - 45 = 2454 = 46 * 53 + 16.
        EXPECT_EQ(sub.per_child, 53u);
        EXPECT_EQ(sub.bigger, i == 0 ? 17u : 16u);
    }
    EXPECT_EQ(ntx::count_pages(10000, 54), 189u);
}

TEST(BuildShape, PagesAreCountedAndBoundedBy4GiB) {
    EXPECT_EQ(ntx::count_pages(0, 4), 1u);
    EXPECT_EQ(ntx::count_pages(4, 4), 1u);
    EXPECT_EQ(ntx::count_pages(5, 4), 3u);  // 2 + 1 + 2
    EXPECT_EQ(ntx::count_pages(10, 2), 7u);
    EXPECT_FALSE(ntx::count_pages(10, 2, 6));
    EXPECT_EQ(ntx::count_pages(10, 2, 7), 7u);
    EXPECT_FALSE(ntx::count_pages(UINT64_MAX, 510));
    // One item a page: 2^22 - 1 entries make a full tree of as many pages,
    // the most a file of 4 GiB holds; one more entry is one page too many.
    const ntx::BuildShape one{.max_items = 1, .key_size = 1, .item_size = 9};
    EXPECT_EQ(ntx::max_build_pages, (1u << 22) - 1);
    ntx::TreeBuild b;
    ASSERT_TRUE(ntx::begin_build(b, one, ntx::max_build_pages));
    EXPECT_EQ(b.pages, ntx::max_build_pages);
    EXPECT_EQ(b.levels.size(), 22u);
    EXPECT_FALSE(ntx::begin_build(b, one, ntx::max_build_pages + 1));
    EXPECT_TRUE(b.levels.empty());
    EXPECT_FALSE(ntx::begin_build(b, {.max_items = 0, .key_size = 1, .item_size = 9}, 1));
    EXPECT_FALSE(ntx::begin_build(b, {.max_items = 100, .key_size = 1, .item_size = 9}, 1));
    // 80 one-byte keys a page: 2^32 entries need far more than 4 Mi pages...
    const ntx::BuildShape eighty{.max_items = 80, .key_size = 1, .item_size = 9};
    EXPECT_FALSE(ntx::begin_build(b, eighty, std::uint64_t{1} << 32));
    // ...while 10^8 fit.
    ASSERT_TRUE(ntx::begin_build(b, eighty, 100000000));
    EXPECT_EQ(b.levels.size(), 5u);
    EXPECT_LE(b.pages, ntx::max_build_pages);
}

// Checks every subtree of a built tree against the rule, independently of
// plan_subtree: c children are the fewest that hold its n entries at its
// height ((c - 1) * (max + 1)^h - 1 < n <= c * (max + 1)^h - 1), and the
// children's sizes differ by at most one, the larger first. Returns the
// subtree's entries.
std::uint64_t check_subtree(const File& f, const ntx::BuildShape& s, std::uint32_t ref,
                            std::size_t height) {
    const std::size_t n = u16(f, ref);
    if (height == 0) return n;
    std::uint64_t unit = 1;
    for (std::size_t k = 0; k < height; ++k) unit *= s.max_items + 1u;
    std::vector<std::uint64_t> sizes;
    for (std::size_t j = 0; j <= n; ++j)
        sizes.push_back(check_subtree(f, s, u32(f, ref + u16(f, ref + 2 + 2 * j)), height - 1));
    std::uint64_t total = n;
    for (std::size_t j = 0; j < sizes.size(); ++j) {
        total += sizes[j];
        EXPECT_LE(sizes.front() - sizes[j], 1u) << "page " << ref;
        if (j) {
            EXPECT_LE(sizes[j], sizes[j - 1]) << "page " << ref;
        }
    }
    const std::uint64_t c = n + 1;
    EXPECT_LT((c - 1) * unit, total + 1) << "page " << ref;
    EXPECT_GE(c * unit, total + 1) << "page " << ref;
    return total;
}

TEST(BuildTree, EveryCountGivesTheRuledShapeInPostOrder) {
    for (const std::uint16_t max : std::vector<std::uint16_t>{1, 2, 3, 4, 7}) {
        const ntx::BuildShape s{.max_items = max, .key_size = 4, .item_size = 12};
        for (std::size_t n = 0; n <= 400; ++n) {
            SCOPED_TRACE("max " + std::to_string(max) + ", " + std::to_string(n) + " entries");
            const std::vector<Entry> in = numbered(n, 4);
            const auto out = build(s, in);
            ASSERT_TRUE(out);
            const std::size_t pages = out->file.size() / ntx::page_size - 1;
            ASSERT_EQ(out->file.size() % ntx::page_size, 0u);
            EXPECT_EQ(pages, out->planned_pages);
            EXPECT_EQ(ntx::count_pages(n, max), pages);
            // The root is the last page.
            EXPECT_EQ(out->root, pages * ntx::page_size);
            const Walk w = walk(out->file, 4, out->root);
            ASSERT_EQ(w.error, "");
            EXPECT_EQ(w.entries, in);
            EXPECT_EQ(w.depth.size(), pages);  // every page in the tree
            const std::size_t height = ntx::tree_height(n, max);
            EXPECT_EQ(w.leaf_depth, static_cast<int>(height));
            EXPECT_LE(out->most_done, height + 1);
            EXPECT_EQ(check_subtree(out->file, s, out->root, height), n);
            // No page but the root of a tree of no entries is empty (with
            // one item a page, a subtree may get none).
            if (max >= 2 && n > 0) {
                for (const auto& [ref, depth] : w.depth) EXPECT_GT(u16(out->file, ref), 0u) << ref;
            }
            // Post-order: every child lies before its parent, and each
            // subtree's pages are one run of the file ending in its root
            // (children's runs follow each other in key order).
            for (const auto& [ref, depth] : w.depth) {
                const std::size_t items = u16(out->file, ref);
                std::uint32_t next = 0;
                for (std::size_t j = 0; j <= items; ++j) {
                    const std::uint32_t child =
                        u32(out->file, ref + u16(out->file, ref + 2 + 2 * j));
                    if (!child) continue;
                    EXPECT_LT(child, ref);
                    EXPECT_GT(child, next);
                    next = child;
                }
                if (next) {
                    EXPECT_EQ(next + ntx::page_size, ref);
                }
            }
        }
    }
}

TEST(BuildTree, PageBytesKeepTheLevelsLeftovers) {
    // max 2, 10 entries: root [5] over [2] and [8]; leaves [0 1] [3 4] [6 7]
    // [9]. File order: leaves 1, 2, inner 3, leaves 4, 5, inner 6, root 7.
    const ntx::BuildShape s{.max_items = 2, .key_size = 1, .item_size = 9};
    std::vector<Entry> in;
    for (int k = 0; k < 10; ++k)
        in.push_back({static_cast<std::uint32_t>(100 + k),
                      std::string(1, static_cast<char>('a' + k))});
    const auto out = build(s, in);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->file.size(), 8 * ntx::page_size);
    EXPECT_EQ(out->root, 7 * ntx::page_size);
    EXPECT_EQ(out->most_done, 3u);  // the last entry completes a leaf, its parent and the root

    // Expected bytes of each page: count, the three offsets 8, 17, 26, and
    // slots of child, record number and key.
    using Slot = std::tuple<std::uint32_t, std::uint32_t, char>;  // child, recno, key
    const auto page = [](unsigned count, std::vector<Slot> slots) {
        File p(ntx::page_size, 0);
        p[0] = static_cast<std::uint8_t>(count);
        for (std::size_t j = 0; j < 3; ++j) p[2 + 2 * j] = static_cast<std::uint8_t>(8 + 9 * j);
        for (std::size_t j = 0; j < slots.size(); ++j) {
            const auto [child, recno, key] = slots[j];
            const std::size_t at = 8 + 9 * j;
            for (std::size_t k = 0; k < 4; ++k) {
                p[at + k] = static_cast<std::uint8_t>(child >> (8 * k));
                p[at + 4 + k] = static_cast<std::uint8_t>(recno >> (8 * k));
            }
            p[at + 8] = static_cast<std::uint8_t>(key);
        }
        return p;
    };
    const std::vector<File> want = {
        page(2, {{0, 100, 'a'}, {0, 101, 'b'}}),
        page(2, {{0, 103, 'd'}, {0, 104, 'e'}}),
        page(1, {{0x400, 102, 'c'}, {0x800, 0, 0}}),
        page(2, {{0, 106, 'g'}, {0, 107, 'h'}}),
        // One item: slot 1 keeps entry 7's record number and key from the
        // leaf before, though its child is written.
        page(1, {{0, 109, 'j'}, {0, 107, 'h'}}),
        // Slot 1 of the level's first page had no record; this one's child
        // is written over it.
        page(1, {{0x1000, 108, 'i'}, {0x1400, 0, 0}}),
        page(1, {{0xc00, 105, 'f'}, {0x1800, 0, 0}}),
    };
    for (std::size_t k = 0; k < want.size(); ++k) {
        const File got(out->file.begin() + static_cast<long>((k + 1) * ntx::page_size),
                       out->file.begin() + static_cast<long>((k + 2) * ntx::page_size));
        EXPECT_EQ(got, want[k]) << "page " << k + 1;
    }
}

TEST(BuildTree, ALeafAfterAFullerOneKeepsItsSlots) {
    // max 4, 13 entries: height 1, c = 13 / 5 + 1 = 3 children, the 11
    // others spread as 4 4 3: leaves [0-3] [5-8] [10-12] under a root [4 9].
    // The last leaf writes slot 3's child only, and keeps its record number
    // and key from the leaf before (entry 8); slot 4, of which every leaf
    // wrote only the child, stays zero.
    const ntx::BuildShape s{.max_items = 4, .key_size = 2, .item_size = 10};
    const std::vector<Entry> in = numbered(13, 2);
    const auto out = build(s, in);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->file.size(), 5 * ntx::page_size);
    const std::size_t last_leaf = 3 * ntx::page_size;
    EXPECT_EQ(u16(out->file, last_leaf), 3u);
    const std::size_t slot3 = last_leaf + ntx::slot_at(s, 3);
    EXPECT_EQ(u32(out->file, slot3), 0u);
    EXPECT_EQ(u32(out->file, slot3 + 4), in[8].recno);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&out->file[slot3 + 8]), 2), in[8].key);
    // The root: 2 items, slot 2 its last child, slots 3 and 4 never written.
    const std::size_t root = 4 * ntx::page_size;
    EXPECT_EQ(u16(out->file, root), 2u);
    EXPECT_EQ(u32(out->file, root + ntx::slot_at(s, 2)), 3 * ntx::page_size);
    for (std::size_t at = ntx::slot_at(s, 2) + 4; at < ntx::page_size; ++at)
        EXPECT_EQ(out->file[root + at], 0) << at;
}

TEST(BuildTree, NoEntriesGiveOneEmptyLeaf) {
    ntx::TreeBuild b;
    ASSERT_TRUE(ntx::begin_build(b, {.max_items = 4, .key_size = 3, .item_size = 11}, 0));
    ASSERT_EQ(b.done.size(), 1u);
    EXPECT_EQ(ntx::end_build(b), ntx::page_size);
    const auto& p = b.done[0].bytes;
    File want(ntx::page_size, 0);
    for (std::size_t j = 0; j < 5; ++j) want[2 + 2 * j] = static_cast<std::uint8_t>(12 + 11 * j);
    EXPECT_EQ(File(p.begin(), p.end()), want);
    const std::uint8_t key[3] = {'a', 'b', 'c'};
    EXPECT_FALSE(ntx::add_entry(b, 1, key));
}

TEST(BuildTree, EndsOnlyWithEveryEntry) {
    ntx::TreeBuild b;
    const std::uint8_t key[3] = {'a', 'b', 'c'};
    EXPECT_FALSE(ntx::add_entry(b, 1, key));  // none begun
    EXPECT_EQ(ntx::end_build(b), 0u);
    ASSERT_TRUE(ntx::begin_build(b, {.max_items = 2, .key_size = 3, .item_size = 11}, 3));
    EXPECT_TRUE(ntx::add_entry(b, 1, key));
    EXPECT_TRUE(ntx::add_entry(b, 2, key));
    EXPECT_EQ(ntx::end_build(b), 0u);
    EXPECT_TRUE(ntx::add_entry(b, 3, key));
    EXPECT_EQ(ntx::end_build(b), 3 * ntx::page_size);
    EXPECT_FALSE(ntx::add_entry(b, 4, key));
    EXPECT_EQ(b.done.size(), 3u);
}

TEST(BuildTree, AMillionEntriesKeepOnePageALevel) {
    const ntx::BuildShape s{.max_items = 20, .key_size = 10, .item_size = 18};
    ntx::TreeBuild b;
    const std::uint64_t n = 1000000;
    ASSERT_TRUE(ntx::begin_build(b, s, n));
    const std::size_t levels = b.levels.size();
    EXPECT_EQ(levels, ntx::tree_height(n, 20) + 1);
    std::uint64_t pages = 0;
    std::size_t most = 0;
    std::uint8_t key[10] = {};
    for (std::uint64_t k = 0; k < n; ++k) {
        std::snprintf(reinterpret_cast<char*>(key), sizeof key, "%09llu",
                      static_cast<unsigned long long>(k));
        ASSERT_TRUE(ntx::add_entry(b, static_cast<std::uint32_t>(k + 1), key));
        most = std::max(most, b.done.size());
        pages += b.done.size();
        b.done.clear();
    }
    EXPECT_EQ(ntx::end_build(b), pages * ntx::page_size);
    EXPECT_EQ(pages, b.pages);
    EXPECT_LE(most, levels);
    EXPECT_EQ(b.levels.size(), levels);
}

// ------------------------------------------------------------- the header

TEST(BuildHeader, WritesEveryFieldAtItsOffsetAndZeroElsewhere) {
    const ntx::HeaderFields h{.signature = 0x0106, .version = 0x0302, .item_size = 0x1e,
                              .key_size = 0x16, .key_decimals = 2, .max_items = 0x1f,
                              .half = 0x0f, .key_expr = "UPPER(NAME)", .unique = 1,
                              .descending = 1, .for_condition = "!DELETED()",
                              .order_name = "BYNAME"};
    const auto page = ntx::build_header(h, 0x12345400);
    File want(ntx::page_size, 0);
    const unsigned char words[] = {0x06, 0x01, 0x02, 0x03, 0x00, 0x54, 0x34, 0x12, 0, 0, 0, 0,
                                   0x1e, 0, 0x16, 0, 2, 0, 0x1f, 0, 0x0f, 0};
    std::copy(std::begin(words), std::end(words), want.begin());
    std::memcpy(&want[22], "UPPER(NAME)", 11);
    want[278] = 1;
    want[280] = 1;
    std::memcpy(&want[282], "!DELETED()", 10);
    std::memcpy(&want[538], "BYNAME", 6);
    EXPECT_EQ(File(page.begin(), page.end()), want);

    const auto back = ntx::decode_header_fields({page.data(), page.size()});
    ASSERT_TRUE(back);
    EXPECT_EQ(back->signature, h.signature);
    EXPECT_EQ(back->version, h.version);
    EXPECT_EQ(back->item_size, h.item_size);
    EXPECT_EQ(back->key_size, h.key_size);
    EXPECT_EQ(back->key_decimals, h.key_decimals);
    EXPECT_EQ(back->max_items, h.max_items);
    EXPECT_EQ(back->half, h.half);
    EXPECT_EQ(back->key_expr, h.key_expr);
    EXPECT_EQ(back->unique, h.unique);
    EXPECT_EQ(back->descending, h.descending);
    EXPECT_EQ(back->for_condition, h.for_condition);
    EXPECT_EQ(back->order_name, h.order_name);
    EXPECT_FALSE(ntx::decode_header_fields({page.data(), ntx::page_size - 1}));
}

TEST(BuildHeader, TextsStayInsideTheirFields) {
    ntx::HeaderFields h{.key_expr = std::string(300, 'K'), .unique = 0x41, .descending = 0x42,
                        .for_condition = std::string(300, 'F'), .order_name = std::string(20, 'N')};
    const auto page = ntx::build_header(h, 0x400);
    EXPECT_EQ(page[277], 'K');
    EXPECT_EQ(page[278], 0x41);
    EXPECT_EQ(page[279], 0);
    EXPECT_EQ(page[280], 0x42);
    EXPECT_EQ(page[281], 0);
    EXPECT_EQ(page[537], 'F');
    EXPECT_EQ(page[549], 'N');
    for (std::size_t at = 550; at < ntx::page_size; ++at) EXPECT_EQ(page[at], 0) << at;
    const auto back = ntx::decode_header_fields({page.data(), page.size()});
    EXPECT_EQ(back->key_expr, std::string(256, 'K'));
    EXPECT_EQ(back->for_condition, std::string(256, 'F'));
    EXPECT_EQ(back->order_name, std::string(12, 'N'));
    // A field of bytes past its first zero ends there.
    auto bytes = page;
    bytes[22 + 3] = 0;
    bytes[282 + 1] = 0;
    bytes[538] = 0;
    const auto cut = ntx::decode_header_fields({bytes.data(), bytes.size()});
    EXPECT_EQ(cut->key_expr, "KKK");
    EXPECT_EQ(cut->for_condition, "F");
    EXPECT_EQ(cut->order_name, "");
}

// ------------------------------------------------------ the real indexes

File read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The first byte at which two files differ, as text.
std::string first_difference(const File& a, const File& b) {
    const auto [x, y] = std::mismatch(a.begin(), a.end(), b.begin(), b.end());
    if (x == a.end() && y == b.end()) return "none";
    const auto at = static_cast<std::size_t>(x - a.begin());
    return "at " + std::to_string(at) + " (page " + std::to_string(at / ntx::page_size) +
           ", byte " + std::to_string(at % ntx::page_size) + "), sizes " +
           std::to_string(a.size()) + " and " + std::to_string(b.size());
}

// Compares a rebuild with the file where the rebuild wrote, and demands the
// rebuild's other bytes be zero. The bytes a page wrote are those it or an
// earlier page of its level (distance from the leaves) wrote: each level's
// buffer keeps them. The header page is written whole.
std::string differs_where_written(const File& file, const File& rebuilt, const Walk& w,
                                  const ntx::BuildShape& s, std::size_t* unwritten_differ) {
    if (file.size() != rebuilt.size()) return "sizes differ";
    if (!std::equal(file.begin(), file.begin() + ntx::page_size, rebuilt.begin()))
        return "header " + first_difference(file, rebuilt);
    std::vector<std::vector<bool>> level_mask(static_cast<std::size_t>(w.leaf_depth) + 1,
                                              std::vector<bool>(ntx::page_size, false));
    for (const auto& [ref, depth] : w.depth) {  // in file order
        std::vector<bool>& mask = level_mask[static_cast<std::size_t>(w.leaf_depth - depth)];
        mark_written(s, u16(rebuilt, ref), mask);
        for (std::size_t at = 0; at < ntx::page_size; ++at) {
            const std::uint8_t was = file[ref + at], now = rebuilt[ref + at];
            if (mask[at] && was != now)
                return "written byte " + std::to_string(at) + " of page " + std::to_string(ref);
            if (!mask[at] && now != 0)
                return "unwritten byte " + std::to_string(at) + " of page " +
                       std::to_string(ref) + " not zero";
            if (!mask[at] && was != now) ++*unwritten_differ;
        }
    }
    return "";
}

// Whether some page of an exact file shows bytes it did not write itself
// (left by an earlier page of its level) that are not zero.
bool shows_leftovers(const File& file, const Walk& w, const ntx::BuildShape& s) {
    for (const auto& [ref, depth] : w.depth) {
        std::vector<bool> mask(ntx::page_size, false);
        mark_written(s, u16(file, ref), mask);
        for (std::size_t at = 0; at < ntx::page_size; ++at)
            if (!mask[at] && file[ref + at]) return true;
    }
    return false;
}

TEST(RealIndexes, OnePassFilesRebuildFromTheirOwnEntriesByteForByte) {
    const fs::path dir = REAL_INDEXES_DIR;
    std::ifstream list(dir / "LAYOUTS.tsv");
    if (!list) GTEST_SKIP() << "no " << dir / "LAYOUTS.tsv";
    std::string line;
    std::getline(list, line);  // the column names
    std::map<std::string, int> rows, matched;
    int leftovers = 0, unwritten_differ_files = 0, identical_differs = 0;
    while (std::getline(list, line)) {
        std::istringstream row(line);
        std::string name, layout, expected;
        std::getline(row, name, '\t');
        std::getline(row, layout, '\t');
        std::getline(row, expected, '\t');
        if (layout == "damaged") continue;
        SCOPED_TRACE(name + " (" + layout + ", " + expected + ")");
        ++rows[expected];
        const File file = read_file(dir / name);
        const auto fields = ntx::decode_header_fields({file.data(), file.size()});
        ASSERT_TRUE(fields);
        const ntx::BuildShape shape = ntx::shape_of(*fields);
        const Walk old = walk(file, shape.key_size, u32(file, ntx::root_at));
        ASSERT_EQ(old.error, "");

        auto out = build(shape, old.entries);
        ASSERT_TRUE(out);
        ASSERT_NE(out->root, 0u);
        const auto header = ntx::build_header(*fields, out->root);
        std::copy(header.begin(), header.end(), out->file.begin());
        const Walk now = walk(out->file, shape.key_size, out->root);
        ASSERT_EQ(now.error, "");
        EXPECT_EQ(now.entries, old.entries);

        if (expected == "exact") {
            EXPECT_EQ(out->file, file) << first_difference(file, out->file);
            if (out->file == file) ++matched[expected];
            if (shows_leftovers(file, now, shape)) ++leftovers;
        } else if (expected == "exact-but-unwritten") {
            std::size_t differ = 0;
            const std::string why = differs_where_written(file, out->file, now, shape, &differ);
            EXPECT_EQ(why, "");
            if (why.empty()) ++matched[expected];
            if (differ) ++unwritten_differ_files;
        } else {
            if (now.entries == old.entries) ++matched[expected];
            if (out->file == file) ++identical_differs;
        }
    }
    std::printf("[ rebuilt  ] %d of %d exact, %d of %d exact-but-unwritten (%d with unwritten "
                "bytes that differ), %d of %d others with their entries (%d identical); "
                "%d exact files show leftovers\n",
                matched["exact"], rows["exact"], matched["exact-but-unwritten"],
                rows["exact-but-unwritten"], unwritten_differ_files, matched["differs"],
                rows["differs"], identical_differs, leftovers);
    EXPECT_EQ(matched["exact"], rows["exact"]);
    EXPECT_EQ(matched["exact-but-unwritten"], rows["exact-but-unwritten"]);
    EXPECT_EQ(matched["differs"], rows["differs"]);
    EXPECT_GT(rows["exact"], 0);
    // The leftovers are what the level buffers are for: without them no
    // test here would tell a cleared slot from a kept one.
    EXPECT_GT(leftovers, 0);
    EXPECT_EQ(unwritten_differ_files, rows["exact-but-unwritten"]);
    EXPECT_EQ(identical_differs, 0);
}

}  // namespace
