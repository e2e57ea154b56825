// A set of record numbers at one bit each, kept in blocks made as they are
// first needed: record numbers of a real table crowd below its record count,
// so a table of 10^7 records takes about 1.2 MiB however they are indexed.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

struct RecordSet {
    static constexpr unsigned block_bits = 16;  // 8 KiB a block
    std::vector<std::unique_ptr<std::uint64_t[]>> blocks;
    std::uint32_t largest = 0;
};

// Adds `recno`; returns whether it was there already. Record numbers
// below 1 are never held.
bool add_record(RecordSet& set, std::uint32_t recno);

bool has_record(const RecordSet& set, std::uint32_t recno);
