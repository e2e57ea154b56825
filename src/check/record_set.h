// A set of record numbers at one bit each, kept in blocks made as they are
// first needed: record numbers of a real table crowd below its record count,
// so a table of 10^7 records takes about 1.2 MiB however they are indexed.
// A block's first numbers are kept in a short list until there are enough
// of them to fill a block's worth: a damaged index strewing its numbers over
// the whole range then costs a few bytes a number, not a block each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

struct RecordSet {
    static constexpr unsigned block_bits = 16;  // 8 KiB a block
    static constexpr std::size_t list_limit = 256;  // numbers listed before a block is made
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks;
    // The numbers of blocks not made yet, by block, sorted: their low bits.
    std::unordered_map<std::uint32_t, std::vector<std::uint16_t>> listed;
    std::uint32_t largest = 0;
};

// Adds `recno` to a set without its block yet; see add_record.
bool add_record_to_list(RecordSet& set, std::uint32_t recno);

// Adds `recno`, which is at least 1; returns whether it was there already.
// Inline for the walk, which adds every record number it meets.
inline bool add_record(RecordSet& set, std::uint32_t recno) {
    const std::size_t block = recno >> RecordSet::block_bits;
    if (block >= set.blocks.size() || !set.blocks[block]) [[unlikely]]
        return add_record_to_list(set, recno);
    const std::uint32_t bit = recno & ((1u << RecordSet::block_bits) - 1);
    std::uint64_t& word = set.blocks[block][bit / 64];
    const std::uint64_t mask = std::uint64_t{1} << (bit % 64);
    const bool had = (word & mask) != 0;
    word |= mask;
    if (recno > set.largest) set.largest = recno;
    return had;
}

bool has_record(const RecordSet& set, std::uint32_t recno);

// Asks the processor for the bit of `recno` ahead of add_record: the
// record numbers of a page are scattered over the set, and asking for
// them all at once lets their cache misses overlap.
inline void prefetch_record(const RecordSet& set, std::uint32_t recno) {
    const std::size_t block = recno >> RecordSet::block_bits;
    if (block < set.blocks.size() && set.blocks[block]) {
        const std::uint32_t bit = recno & ((1u << RecordSet::block_bits) - 1);
#if defined(__GNUC__)
        __builtin_prefetch(set.blocks[block].get() + bit / 64, 1);
#endif
    }
}

// The least record number in the set above `after`; 0 when there is none.
std::uint32_t next_record(const RecordSet& set, std::uint32_t after);
