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

#include <cstddef>
#include <cstdint>
#include <vector>

// Names, by record number within each part of the key hashes, each first
// record that `records` (the index's) lacks, as "not in the index", or as
// held in its place by a later one of its key. Returns how many it named.
// Reads the table once for each part: one part for the first 2^16 keys
// without an entry, twice as many parts for each doubling after.
std::uint64_t name_unheld_first_records(Comparison& c, const RecordSet& records);

// Whether bit `hash` is set in a filter of unheld_filter_bits bits.
inline constexpr std::size_t unheld_filter_bits = std::size_t{1} << 23;
inline bool in_unheld_filter(const std::vector<std::uint64_t>& filter, std::uint64_t hash) {
    const std::size_t bit = hash & (unheld_filter_bits - 1);
    return (filter[bit / 64] >> (bit % 64) & 1) != 0;
}
