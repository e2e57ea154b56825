// A unique index holds only the first record, the lowest record number, of
// each distinct key among the records that pass its FOR condition. Which
// record is first is known only once every record's key has been seen, and
// memory must not grow with the table: so the single read of the table
// notes the hash of each key it finds without an entry, and the records
// with those keys are read again afterwards, a part of the key hashes at a
// time, to find each key's first record.
#pragma once

#include "compare.h"
#include "record_set.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

// Names, by record number within each part of the key hashes, each first
// record that `records` (the index's) lacks, as "not in the index", or as
// held in its place by a later one of its key. Returns how many it named.
// Reads the table once for each part: one part for the first 2^16 keys
// without an entry, twice as many parts for each doubling after.
std::uint64_t name_unheld_first_records(Comparison& c, const RecordSet& records);

// A filter of bits by key hash, as many as a table of `records` records
// needs, a power of two from 64 to 2^23.
inline std::vector<std::uint64_t> unheld_filter(std::uint64_t records) {
    const std::uint64_t bits = std::clamp<std::uint64_t>(std::bit_ceil(records * 16), 64,
                                                         std::uint64_t{1} << 23);
    return std::vector<std::uint64_t>(static_cast<std::size_t>(bits / 64), 0);
}

inline std::size_t unheld_bit(const std::vector<std::uint64_t>& filter, std::uint64_t hash) {
    return static_cast<std::size_t>(hash & (filter.size() * 64 - 1));
}

inline bool in_unheld_filter(const std::vector<std::uint64_t>& filter, std::uint64_t hash) {
    const std::size_t bit = unheld_bit(filter, hash);
    return (filter[bit / 64] >> (bit % 64) & 1) != 0;
}
