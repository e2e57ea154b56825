#include "record_set.h"

#include <cstddef>

namespace {

constexpr std::uint32_t words_per_block = (1u << RecordSet::block_bits) / 64;

}  // namespace

bool add_record_to_new_block(RecordSet& set, std::uint32_t recno) {
    const std::size_t block = recno >> RecordSet::block_bits;
    if (block >= set.blocks.size()) set.blocks.resize(block + 1);
    set.blocks[block] = std::make_unique<std::uint64_t[]>(words_per_block);
    return add_record(set, recno);
}

bool has_record(const RecordSet& set, std::uint32_t recno) {
    const std::size_t block = recno >> RecordSet::block_bits;
    if (block >= set.blocks.size() || !set.blocks[block]) return false;
    const std::uint32_t bit = recno & ((1u << RecordSet::block_bits) - 1);
    return (set.blocks[block][bit / 64] >> (bit % 64) & 1) != 0;
}

std::uint32_t next_record(const RecordSet& set, std::uint32_t after) {
    if (after >= set.largest) return 0;
    std::uint64_t n = std::uint64_t{after} + 1;
    while (n <= set.largest) {
        const std::size_t block = static_cast<std::size_t>(n >> RecordSet::block_bits);
        const auto& words = set.blocks[block];
        const std::uint64_t block_end = std::uint64_t{block + 1} << RecordSet::block_bits;
        if (!words) {
            n = block_end;
            continue;
        }
        for (; n < block_end; ++n) {
            const auto bit = static_cast<std::uint32_t>(n & ((1u << RecordSet::block_bits) - 1));
            const std::uint64_t word = words[bit / 64] >> (bit % 64);
            if (word == 0) {
                n += 63 - bit % 64;  // the rest of this word is empty
                continue;
            }
            if (word & 1) return static_cast<std::uint32_t>(n);
        }
    }
    return 0;
}
