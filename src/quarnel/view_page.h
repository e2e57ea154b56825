// The page walker: prints the tree below a page reference, children before
// the items that refer to them, so item lines come out in key order.
#pragma once

#include <cstddef>
#include <cstdint>

// Deepest path the walk follows. Far deeper than any real tree (a 4 GiB
// index of two-way pages is 23 levels deep), and shallow enough that the
// recursion, a 1 KiB page buffer a level, stays well inside a 1 MiB stack.
inline constexpr std::size_t max_depth = 256;

// Most page visits for a file of `file_size` bytes: a tree whose pages are
// distinct 1024-byte blocks never comes near it, while references that
// fan back into shared pages end early rather than in exponential time.
std::uint64_t visit_limit(std::uint64_t file_size);

// Walks the tree whose root page is at `ref` in the open index file. Ends
// the process on any page it cannot read or trust.
void view_page(std::uint32_t ref);
