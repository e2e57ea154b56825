// The tree check: one walk over every page the root reaches, reporting each
// fault of the page it belongs to and going on past it.
#pragma once

#include "ntx_layout.h"
#include "record_set.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

// What the walk finds, for the verdict line.
struct TreeCounts {
    std::uint64_t keys = 0;
    std::uint64_t pages = 0;
    std::uint64_t levels = 0;
    std::uint64_t faults = 0;
    std::uint64_t outside = 0;  // pages neither the tree nor the free reference reach
    std::uint64_t order_faults = 0;  // keys out of order after the key before them
    // Of those, the ones whose first differing byte is 80h or above in
    // either key: a national letter, whose order this check does not know.
    std::uint64_t order_faults_high = 0;
};

// How the walk treats the header's fields, decided once from the header.
struct TreeRules {
    std::uint32_t root = 0;
    std::uint32_t free_page = 0;
    std::uint64_t file_size = 0;
    // Bytes of a key compared for order, 0 when the header gives no usable
    // key size (then the order is not checked).
    std::size_t key_width = 0;
    std::size_t max_items = 0;  // most items a page may hold
    bool unique = false;
    bool descending = false;  // keys in descending order (key_order.h)
};

// Checks the header against itself, reporting each fault as a "header:"
// line, and returns the rules the walk follows.
TreeRules check_header(const ntx::IndexHeader& header, std::uint16_t header_max,
                       std::uint16_t half_max, bool key_expr_ended, std::uint64_t file_size,
                       TreeCounts& counts, bool quiet = false);

// Whether the walk hands every entry it trusts to the table comparison, and
// whether it reports what it finds (a second walk, for the comparison alone,
// reports nothing of the tree); or whether it hands each entry, in the
// tree's order, to `collect` alone, as a rebuild takes them.
enum class Walk { check, compare_only, collect };

struct Comparison;

// Pages read a window at a time on one of the first levels of the tree,
// once that level's pages are seen to follow each other in the file, as
// most do: a read of many pages costs little more than a read of one.
struct ReadWindow {
    std::vector<std::uint8_t> bytes;
    std::uint64_t start = 0;    // the file offset of bytes[0]
    std::size_t size = 0;       // bytes that came back
    std::uint64_t last = 0;     // the page read before on this level, 0 before the first
};
inline constexpr std::size_t window_levels = 8;
inline constexpr std::size_t window_size = 32 * 1024;

// One state record travels down the walk.
struct TreeCheck {
    TreeRules rules;
    Walk walk = Walk::check;
    bool quiet = false;  // faults counted, not reported
    void (*collect)(void* to, std::uint32_t recno, const std::uint8_t* key) = nullptr;
    void* collect_to = nullptr;
    Comparison* comparison = nullptr;  // the table's, when one is given
    TreeCounts counts;
    std::vector<std::uint64_t> reached;  // a bit per 1024-byte block
    RecordSet records;                   // record numbers seen
    RecordSet repeated;                  // seen more than once
    std::uint32_t path[256] = {};
    std::size_t depth = 0;
    std::uint64_t leaf_level = 0;        // 0 until the first leaf
    // The key before the current one in the in-order walk, null before the
    // first, and where it is; it points into `previous` once its page is
    // left.
    const std::uint8_t* before = nullptr;
    std::uint32_t before_page = 0;
    std::size_t before_item = 0;
    std::array<std::uint8_t, ntx::page_size> previous{};
    std::array<ReadWindow, window_levels> windows;
};

// Every entry the walk trusts, in key order, with where it stands, handed
// to the table comparison when there is one (compare.cpp).
void note_entry(Comparison& c, Walk walk, std::uint32_t recno, const std::uint8_t* key,
                std::uint32_t page, std::size_t item);

// Walks the tree from the root. Memory: the page buffers of one path, the
// read windows, a bit per block of the file and a bit per record number.
void check_tree(TreeCheck& check);
