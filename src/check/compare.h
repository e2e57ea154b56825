// The comparison of an index with the table it was built from.
//
// No key is held per record. The tree walk adds a hash of each entry's
// (record number, key) to one of a fixed number of sums, chosen by record
// number; the table, read front to back, takes the hash of each record's
// own key from the same sum. A sum left at zero means its records agree.
// Only the entries of the other sums are looked at again, in a second walk
// that reads their records where they lie, to name each record that
// differs. Record numbers need no sums: the walk keeps a bit for each.
#pragma once

#include "check_tree.h"
#include "dbf_layout.h"
#include "key_expr.h"
#include "table_faults.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Comparison {
    dbf::TableHeader table;
    dbf::TableGeometry geometry;  // records 1 to geometry.compared are read
    TableFaults faults;
    expr::Compiled key;
    expr::Compiled condition;
    bool has_condition = false;
    // Why keys cannot be compared; empty when they are.
    std::string keys_not_compared;
    std::size_t key_size = 0;
    unsigned key_decimals = 0;
    std::vector<std::uint64_t> sums;
    // Entries whose key is not the one their record gives, and of those the
    // ones that first differ at a byte from 80h up (in either key).
    std::uint64_t key_differences = 0;
    std::uint64_t key_differences_high = 0;
    // A unique index: records that pass the FOR condition without an entry,
    // which need not be faults (unique.h), and a bit for the hash of each
    // one's key.
    std::uint64_t unheld = 0;
    std::vector<std::uint64_t> unheld_keys;
    // Slots of the table that finds their first records: 4 MiB of them,
    // fewer in tests.
    std::size_t unique_slots = std::size_t{1} << 18;
    // Scratch for one record and the key made from it.
    std::vector<std::uint8_t> record;
    std::vector<std::uint8_t> made_key;
};

// The hash of a key alone, as the sums take it with its record number.
std::uint64_t key_hash(const std::uint8_t* key, std::size_t size);

// Whether a record passes the FOR condition, and the key it gives (in
// `made_key`, valid until the next).
bool passes(Comparison& c, dbf::Bytes record, std::uint32_t recno);
const std::uint8_t* make_key(Comparison& c, dbf::Bytes record, std::uint32_t recno);

// Reads records 1 to c.geometry.compared front to back, whole records a
// read, and hands each to `each(record, recno)`; returns 0, or the first
// record of a read that came back short, where it stopped.
template <typename Each>
std::uint32_t read_records(const Comparison& c, Each each);

// Compiles the key expression and FOR condition against the table's
// fields; decides whether keys can be compared.
void prepare_comparison(Comparison& c, const TreeRules& rules, std::string_view key_expr,
                        std::string_view for_condition, unsigned key_decimals);

// Why keys cannot be made for any record: the key expression or the FOR
// condition cannot be read, or calls what only the application knows;
// empty when they can. After prepare_comparison.
std::string keys_unknown(const Comparison& c);

// After the tree walk: reads the table and names every record that differs,
// walking the tree a second time where sums differ.
void compare_table(Comparison& c, TreeCheck& tree);

// Reads `n` records from `first` into `to`; false when fewer came back.
bool read_record_run(const Comparison& c, std::uint32_t first, std::size_t n, std::uint8_t* to);

template <typename Each>
std::uint32_t read_records(const Comparison& c, Each each) {
    // Large sequential reads, whole records each.
    constexpr std::size_t read_size = std::size_t{1} << 20;
    const std::uint32_t count = c.geometry.compared;
    const std::size_t size = c.table.record_length;
    const auto per_read = static_cast<std::size_t>(
        std::max<std::uint64_t>(1, std::min<std::uint64_t>(read_size / size, count)));
    std::vector<std::uint8_t> buffer(per_read * size);
    for (std::uint64_t first = 1; first <= count;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(per_read, count - first + 1));
        const auto recno0 = static_cast<std::uint32_t>(first);
        if (!read_record_run(c, recno0, n, buffer.data())) return recno0;
        for (std::size_t i = 0; i < n; ++i)
            each(dbf::Bytes{buffer.data() + i * size, size}, static_cast<std::uint32_t>(first + i));
        first += n;
    }
    return 0;
}
