#include "record_set.h"

#include <algorithm>
#include <cstddef>

namespace {

constexpr std::uint32_t words_per_block = (1u << RecordSet::block_bits) / 64;

}  // namespace

bool add_record_to_list(RecordSet& set, std::uint32_t recno) {
    const std::uint32_t block = recno >> RecordSet::block_bits;
    const auto low = static_cast<std::uint16_t>(recno & ((1u << RecordSet::block_bits) - 1));
    std::vector<std::uint16_t>& list = set.listed[block];
    const auto at = std::lower_bound(list.begin(), list.end(), low);
    if (at != list.end() && *at == low) return true;
    if (list.size() < RecordSet::list_limit) {
        list.insert(at, low);
        if (recno > set.largest) set.largest = recno;
        return false;
    }
    if (block >= set.blocks.size()) set.blocks.resize(std::size_t{block} + 1);
    auto words = std::make_unique<std::uint64_t[]>(words_per_block);
    for (const std::uint16_t n : list) words[n / 64] |= std::uint64_t{1} << (n % 64);
    set.blocks[block] = std::move(words);
    set.listed.erase(block);
    return add_record(set, recno);
}

namespace {

// The list of a block not made, or null.
const std::vector<std::uint16_t>* list_of(const RecordSet& set, std::size_t block) {
    if (set.listed.empty()) return nullptr;
    const auto it = set.listed.find(static_cast<std::uint32_t>(block));
    return it == set.listed.end() ? nullptr : &it->second;
}

}  // namespace

bool has_record(const RecordSet& set, std::uint32_t recno) {
    const std::size_t block = recno >> RecordSet::block_bits;
    const std::uint32_t bit = recno & ((1u << RecordSet::block_bits) - 1);
    if (block < set.blocks.size() && set.blocks[block])
        return (set.blocks[block][bit / 64] >> (bit % 64) & 1) != 0;
    const std::vector<std::uint16_t>* list = list_of(set, block);
    return list && std::binary_search(list->begin(), list->end(), static_cast<std::uint16_t>(bit));
}

std::uint32_t next_record(const RecordSet& set, std::uint32_t after) {
    if (after >= set.largest) return 0;
    std::uint64_t n = std::uint64_t{after} + 1;
    while (n <= set.largest) {
        const auto block = static_cast<std::size_t>(n >> RecordSet::block_bits);
        const std::uint64_t block_start = std::uint64_t{block} << RecordSet::block_bits;
        const std::uint64_t block_end = block_start + (1u << RecordSet::block_bits);
        if (block >= set.blocks.size() || !set.blocks[block]) {
            if (const std::vector<std::uint16_t>* list = list_of(set, block)) {
                const auto at = std::lower_bound(list->begin(), list->end(),
                                                 static_cast<std::uint16_t>(n - block_start));
                if (at != list->end()) return static_cast<std::uint32_t>(block_start + *at);
            }
            n = block_end;
            continue;
        }
        const auto& words = set.blocks[block];
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
