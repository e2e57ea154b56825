// Building an index's pages from its entries, beside the layout it writes.
//
// Pure like the decoding: entries in, pages out, no files. The entries come
// one at a time in their final order, and each page is handed back as soon
// as it is complete, so memory holds one page a level whatever the count.
//
// The layout is the one of real indexes built in one pass, byte for byte:
// - the tree is as low as the count allows: the smallest height h with
//   (max + 1)^(h + 1) - 1 >= n entries, h = 0 being a single leaf;
// - each subtree of n entries has the fewest children c that hold them at
//   its height, c - 1 separators, and the other n - (c - 1) entries spread
//   evenly over the children, the first (n - c + 1) mod c taking one more;
// - a separator is the entry right after its left subtree;
// - pages are numbered in post-order: the leaves in key order, each inner
//   page after its last child, the root last; page k lies at k * 1024;
// - each level (distance from the leaves) keeps one page buffer, zeroed once
//   when the build begins and never between pages. A page writes its item
//   count, all max + 1 offsets in ascending order, the child, record number
//   and key of each of its n items, and of slot n only the child (0 in a
//   leaf); every other byte stays as the level's previous page left it.
#pragma once

#include "ntx_layout.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ntx {

// The page geometry a tree is built with.
struct BuildShape {
    std::uint16_t max_items = 0;  // the most items a page holds: header word 18
    std::uint16_t key_size = 0;
    std::uint16_t item_size = 0;  // key_size + 8 in every real file
};

// Whether pages of this shape can be built: at least one item a page, an
// item holding its child, record number and key, and the item count, all
// max + 1 offsets and max + 1 slots inside the page, as the checker demands.
bool shape_fits(const BuildShape& shape);

// Page offset of slot `j` in a page of this shape: the slots follow the
// offset table in order.
constexpr std::size_t slot_at(const BuildShape& shape, std::size_t j) {
    return item_offsets_at + offset_entry_size * (std::size_t{shape.max_items} + 1) +
           j * shape.item_size;
}

// The most pages a tree may have: every page reference, a u32 byte offset,
// stays inside a file of at most 4 GiB.
inline constexpr std::uint32_t max_build_pages =
    static_cast<std::uint32_t>((std::uint64_t{1} << 32) / page_size - 1);

// The height of the lowest tree holding `entries` (0: one leaf). REQUIRES:
// max_items >= 1.
std::size_t tree_height(std::uint64_t entries, std::uint16_t max_items);

// The plan of one subtree: how its entries fall to its page and children.
struct SubtreePlan {
    std::uint64_t entries = 0;    // of the whole subtree
    std::uint32_t children = 0;   // 0 in a leaf; its page holds children - 1 items
    std::uint64_t per_child = 0;  // entries of each child,
    std::uint32_t bigger = 0;     // and one more in the first `bigger` of them
    // Progress while the page is open: items written in a leaf, children
    // completed in an inner page; at most max_items + 1.
    std::uint32_t placed = 0;
};

// The plan of a subtree of `entries` at `height` (0: a leaf). REQUIRES:
// max_items >= 1 and entries <= (max_items + 1)^(height + 1) - 1.
SubtreePlan plan_subtree(std::uint64_t entries, std::size_t height, std::uint16_t max_items);

// Entries of child `i` (< children) of a planned subtree.
constexpr std::uint64_t child_entries(const SubtreePlan& plan, std::uint32_t i) {
    return plan.per_child + (i < plan.bigger ? 1 : 0);
}

// Pages of the tree of `entries`, or empty when there would be more than
// `limit`. Takes one small step a level. REQUIRES: max_items >= 1.
std::optional<std::uint32_t> count_pages(std::uint64_t entries, std::uint16_t max_items,
                                         std::uint32_t limit = max_build_pages);

// One level of a build: the page open there and its subtree's plan.
struct BuildLevel {
    IndexPage page;  // zeroed when the build begins, never between pages
    SubtreePlan plan;
};

// The plain state of a build. Memory: one page a level, plus the pages one
// call completed, at most one a level.
struct TreeBuild {
    BuildShape shape;
    std::uint64_t count = 0;      // entries the build takes
    std::uint64_t added = 0;      // entries taken so far
    std::uint32_t pages = 0;      // pages of the whole tree, known when it begins
    std::uint32_t next_page = 1;  // number of the next page completed
    std::uint32_t root = 0;       // the root's reference, once it is complete
    std::size_t cursor = 0;       // level of the page the next entry goes to
    std::vector<BuildLevel> levels;  // by distance from the leaves: the root's last
    // Pages completed by the calls since the caller last cleared it, in file
    // order: the caller writes them at 1024, 2048, ... and clears it.
    std::vector<IndexPage> done;
};

// Begins a build of exactly `count` entries. False, with the state empty,
// when the shape does not fit (shape_fits) or the tree would have more than
// max_build_pages pages. A build of 0 entries completes at once: one empty
// leaf, the root, is in b.done.
bool begin_build(TreeBuild& b, const BuildShape& shape, std::uint64_t count);

// Takes the next entry in final order: its record number and key_size
// bytes at `key`. The pages it completes are appended to b.done; the last
// entry completes the root. False, taking nothing, when the build already
// holds its count (or none was begun).
bool add_entry(TreeBuild& b, std::uint32_t recno, const std::uint8_t* key);

// Ends the build: the root's page reference (the last page of b.done once
// every page has been taken), or 0 when fewer entries came than begin_build
// was told.
std::uint32_t end_build(const TreeBuild& b);

// The header's fields a rebuild keeps. Texts are written truncated to their
// fields, and read back up to their first zero within them.
struct HeaderFields {
    std::uint16_t signature = 6;
    std::uint16_t version = 1;
    std::uint16_t item_size = 0;
    std::uint16_t key_size = 0;
    std::uint16_t key_decimals = 0;
    std::uint16_t max_items = 0;  // word 18
    std::uint16_t half = 0;       // word 20, half of max_items in real files
    std::string key_expr;
    std::uint8_t unique = 0;
    std::uint8_t descending = 0;
    std::string for_condition;
    std::string order_name;
};

// The shape pages are built with under these fields.
constexpr BuildShape shape_of(const HeaderFields& h) {
    return {.max_items = h.max_items, .key_size = h.key_size, .item_size = h.item_size};
}

// The 1024-byte header page of a built tree: the fields, `root` at word 4,
// no free page (word 8 is 0), and every other byte zero.
std::array<std::uint8_t, page_size> build_header(const HeaderFields& h, std::uint32_t root);

// The fields of an old header page, for a rebuild to keep; empty when
// `bytes` is shorter than a page.
std::optional<HeaderFields> decode_header_fields(Bytes bytes);

}  // namespace ntx
