// Faults of a dBase table itself, as the check of an index against it and a
// rebuild from it find them: each one a report line beginning "table:",
// and counted by the caller. A fault of one record names it.
#pragma once

#include "dbf_layout.h"
#include "key_expr.h"

#include <cstdint>
#include <optional>
#include <vector>

// Lines of one kind of record fault before the rest are only counted.
inline constexpr std::uint64_t listed_per_kind = 100;

struct TableFaults {
    // The fields that feed the key or the FOR condition and have a type to
    // hold (N, F, D, L), as indexes into the table's fields, and copies of
    // them kept together for the check of every record.
    std::vector<std::uint32_t> fields;
    std::vector<dbf::Field> watched;
    // Faults found of each kind: [0] deletion flags, then one per field of
    // `fields`.
    std::vector<std::uint64_t> found = std::vector<std::uint64_t>(1, 0);
};

// Adds the fields a compiled key or condition reads to those watched.
void watch_fields(TableFaults& faults, const dbf::TableHeader& table,
                  const expr::Compiled& compiled);

// The faults of one record, as stored (deletion flag first, whole): a
// deletion flag neither 20h nor 2Ah, a watched field not holding its type.
// Reports each while its kind has had fewer than listed_per_kind lines and
// returns how many it found.
std::uint64_t note_record_faults(TableFaults& faults, const dbf::TableHeader& table,
                                 dbf::Bytes record, std::uint32_t recno);

// After the last record: for each kind with more faults than lines, one
// line that says how many more there were. They were counted already.
void put_unlisted_faults(const TableFaults& faults, const dbf::TableHeader& table);

// The faults of where the records stand: whole records past the header's
// count, a file cut short of it, bytes after the whole records other than
// a single 1Ah. `held_past_count` is how many of the records past the count
// the index holds, when there is an index to ask. Reports each and returns
// how many.
std::uint64_t note_geometry_faults(const dbf::TableGeometry& geometry, std::size_t record_length,
                                   std::optional<std::uint64_t> held_past_count);
