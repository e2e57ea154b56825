#include "table_faults.h"

#include "report.h"

#include <algorithm>
#include <string_view>

namespace {

bool has_type_to_hold(char type) {
    return type == 'N' || type == 'F' || type == 'D' || type == 'L';
}

const char* type_value(char type) {
    return type == 'D' ? "a date" : type == 'L' ? "a logical value" : "a number";
}

void put_byte_hex(std::uint8_t b) {
    const char digits[] = "0123456789ABCDEF";
    const char text[] = {digits[b >> 4], digits[b & 0xF], 'h'};
    put_text({text, sizeof text});
}

void put_count(std::uint64_t n, const char* one, const char* many) {
    put_dec(static_cast<std::int64_t>(n));
    put_text(n == 1 ? one : many);
}

void put_field(const dbf::Field& f) {
    put_text("field ");
    put_shown_text(f.name);
    put_text(" (");
    put_shown_text({&f.type, 1});
    put_text(")");
}

bool begin_listed(std::uint64_t& found, std::uint32_t recno) {
    if (++found > listed_per_kind) return false;
    put_text("table: record ");
    put_dec(recno);
    put_text(": ");
    return true;
}

}  // namespace

void watch_fields(TableFaults& faults, const dbf::TableHeader& table,
                  const expr::Compiled& compiled) {
    for (const std::uint32_t i : compiled.program.fields_read) {
        if (i >= table.fields.size() || !has_type_to_hold(table.fields[i].type)) continue;
        if (std::find(faults.fields.begin(), faults.fields.end(), i) != faults.fields.end())
            continue;
        faults.fields.push_back(i);
        faults.watched.push_back(table.fields[i]);
        faults.watched.back().name.clear();
        faults.found.push_back(0);
    }
}

std::uint64_t note_record_faults(TableFaults& faults, const dbf::TableHeader& table,
                                 dbf::Bytes record, std::uint32_t recno) {
    std::uint64_t n = 0;
    const std::uint8_t flag = record.empty() ? 0 : record[dbf::deletion_flag_at];
    if (flag != ' ' && flag != dbf::deleted_mark) {
        ++n;
        if (begin_listed(faults.found[0], recno)) {
            put_text("deletion flag ");
            put_byte_hex(flag);
            put_text(", neither a space nor '*'");
            end_line();
        }
    }
    for (std::size_t k = 0; k < faults.watched.size(); ++k) {
        const dbf::Bytes value = dbf::field_bytes(record, faults.watched[k]);
        if (dbf::holds_its_type(faults.watched[k], value)) [[likely]]
            continue;
        const dbf::Field& f = table.fields[faults.fields[k]];
        ++n;
        if (begin_listed(faults.found[k + 1], recno)) {
            put_field(f);
            put_text(" holds '");
            put_shown_text({reinterpret_cast<const char*>(value.data()), value.size()});
            put_text("', not ");
            put_text(type_value(f.type));
            end_line();
        }
    }
    return n;
}

void put_unlisted_faults(const TableFaults& faults, const dbf::TableHeader& table) {
    for (std::size_t k = 0; k < faults.found.size(); ++k) {
        if (faults.found[k] <= listed_per_kind) continue;
        put_text("table: ");
        put_count(faults.found[k] - listed_per_kind, " more record whose ", " more records whose ");
        if (k == 0) {
            put_text("deletion flag is neither a space nor '*'");
        } else {
            const dbf::Field& f = table.fields[faults.fields[k - 1]];
            put_field(f);
            put_text(" does not hold ");
            put_text(type_value(f.type));
        }
        end_line();
    }
}

std::uint64_t note_geometry_faults(const dbf::TableGeometry& g, std::size_t record_length,
                                   std::optional<std::uint64_t> held_past_count) {
    std::uint64_t n = 0;
    if (g.whole > g.counted) {
        ++n;
        put_text("table: the header counts ");
        put_count(g.counted, " record", " records");
        put_text(" and the file holds ");
        put_count(g.whole, " whole one", " whole ones");
        if (held_past_count) {
            const std::uint64_t past = g.whole - g.counted;
            const std::uint64_t held = *held_past_count;
            put_text("; the index holds ");
            if (held == past) {
                put_text(past == 1 ? "the one" : "all ");
                if (past != 1) put_dec(static_cast<std::int64_t>(past));
                put_text(" past the count: the header's count is out of date");
            } else {
                put_text(held == 0 ? "none" : "");
                if (held != 0) put_dec(static_cast<std::int64_t>(held));
                put_text(" of the ");
                put_dec(static_cast<std::int64_t>(past));
                put_text(" past the count");
            }
        }
        end_line();
    } else if (g.whole < g.counted) {
        ++n;
        put_text("table: the header counts ");
        put_count(g.counted, " record", " records");
        put_text(", but the file holds only ");
        put_count(g.whole, " whole one", " whole ones");
        if (g.partial > 0) {
            put_text(" and ");
            put_count(g.partial, " byte", " bytes");
            put_text(" of the next");
        }
        put_text(": it is cut short");
        end_line();
        return n;
    }
    if (g.partial > 0) {
        ++n;
        put_text("table: ");
        put_count(g.partial, " byte follows", " bytes follow");
        put_text(" the last whole record, fewer than a record's ");
        put_dec(static_cast<std::int64_t>(record_length));
        put_text(", where only an end mark 1Ah may stand");
        end_line();
    }
    return n;
}
