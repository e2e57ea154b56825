// Fuzz entry: each input is a whole table file. It is decoded the way the
// checker reads a table, its size checked, and every field of its first
// records reached; what the decoder claims must hold of the bytes, or the
// run aborts. Then the table faults of where its records stand and of each
// record, every typed field watched, are reported as the checker reports
// them: every line must begin "table: ", a record's name it, and the
// faults counted must be the lines and the counts of more.
#include "dbf_layout.h"
#include "memory_platform.h"
#include "report.h"
#include "table_faults.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

constexpr std::uint32_t records_read = 64;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

void check_header(const dbf::TableHeader& h, std::size_t input_size) {
    require(dbf::known_version(h.version), "unknown version accepted");
    require(h.header_length >= dbf::min_header_length && h.header_length <= input_size,
            "header length out of range");
    require(h.record_length > 0 && !h.fields.empty(), "empty record accepted");
    std::size_t next = 1;
    for (const dbf::Field& f : h.fields) {
        require(f.offset == next && f.length > 0, "fields not one after another");
        next += f.length;
        const dbf::Field* found = dbf::find_field(h, f.name);
        require(found && found->name == f.name && found <= &f, "field not found by its name");
    }
    require(next <= h.record_length, "fields past the record");
    require(dbf::descriptors_at + h.fields.size() * dbf::descriptor_size < h.header_length,
            "descriptors past the header");
}

std::string report;

// The lines reported since `from`, held to the contract; returns the
// faults they tell of.
std::uint64_t faults_told(std::size_t from, std::uint32_t recno) {
    std::uint64_t n = 0;
    const std::string prefix = "table: record " + std::to_string(recno) + ": ";
    for (std::size_t at = from; at < report.size();) {
        const std::size_t end = report.find('\n', at);
        require(end != std::string::npos, "a line not ended");
        const std::string_view line(report.data() + at, end - at);
        for (const char c : line)
            require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "a control byte reported");
        require(line.substr(0, 7) == "table: ", "a line that is not a table fault");
        const std::size_t digits = line.find_first_not_of("0123456789", 7);
        if (recno == 0 && digits > 7 && digits != std::string_view::npos &&
            line.substr(digits, 12) == " more record")
            n += std::strtoull(std::string(line.substr(7, digits - 7)).c_str(), nullptr, 10);
        else if (recno == 0 || line.substr(0, prefix.size()) == prefix)
            ++n;
        else
            require(false, "a record's fault that does not name it");
        at = end + 1;
    }
    return n;
}

void check_faults(const dbf::TableHeader& h, dbf::Bytes file) {
    report.clear();
    const dbf::TableGeometry g = dbf::table_geometry(h, file.size(), file.back());
    require(h.header_length + g.whole * h.record_length + g.partial + g.end_mark == file.size() &&
                g.partial < h.record_length && g.compared == g.whole,
            "geometry that does not add up to the file");
    std::uint64_t found = note_geometry_faults(g, h.record_length, g.whole / 2);
    flush_report();
    require(found == faults_told(0, 0), "geometry faults miscounted");
    require((found == 0) == (g.whole == g.counted && g.partial == 0), "geometry faults missed");

    TableFaults faults;
    for (std::uint32_t i = 0; i < h.fields.size(); ++i) {
        faults.fields.push_back(i);
        faults.watched.push_back(h.fields[i]);
        faults.found.push_back(0);
    }
    found = 0;
    std::uint64_t told = 0;
    for (std::uint32_t r = 1; r <= g.compared; ++r) {
        const std::size_t from = report.size();
        const auto at = static_cast<std::size_t>(dbf::record_offset(h, r));
        const std::uint64_t n =
            note_record_faults(faults, h, file.subspan(at, h.record_length), r);
        flush_report();
        told += faults_told(from, r);
        found += n;
    }
    const std::size_t from = report.size();
    put_unlisted_faults(faults, h);
    flush_report();
    told += faults_told(from, 0);
    require(found == told, "record faults miscounted");
}

}  // namespace

void fuzz::printed(std::string_view text) { report.append(text); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const dbf::Bytes file(data, size);
    const auto length = dbf::header_length(file);
    require(length.has_value() == (size >= dbf::prologue_size), "prologue misread");
    const dbf::Bytes head = length ? file.first(std::min(*length, size)) : file;
    const dbf::TableDecoded d = dbf::decode_table_header(head);
    require(d.header.has_value() == d.error.empty(), "neither header nor error");

    // Bytes past the header must change nothing.
    const dbf::TableDecoded whole = dbf::decode_table_header(file);
    require(whole.error == d.error, "bytes past the header were read");
    if (!d.header) return 0;
    require(whole.header->fields.size() == d.header->fields.size(),
            "bytes past the header were read");

    const dbf::TableHeader& h = *d.header;
    check_header(h, size);
    const bool fits = dbf::check_table_size(h, size).empty();
    require(fits == (dbf::table_size(h) <= size), "size check disagrees with the size");

    const std::uint32_t last = std::min(h.record_count, records_read);
    for (std::uint32_t r = 1; r <= last + 1; ++r) {
        const std::uint64_t at = dbf::record_offset(h, r);
        if (at >= size) break;
        // The record after the last one counted, or one cut by the file's
        // end, is reached too: every field of it is whole or empty.
        const auto room = static_cast<std::size_t>(
            std::min<std::uint64_t>(h.record_length, size - at));
        const dbf::Bytes rec = file.subspan(static_cast<std::size_t>(at), room);
        require(dbf::is_deleted(rec) == (rec[0] == dbf::deleted_mark), "deletion flag misread");
        for (const dbf::Field& f : h.fields) {
            const dbf::Bytes b = dbf::field_bytes(rec, f);
            const bool whole_field = f.offset + f.length <= rec.size();
            require(b.size() == (whole_field ? f.length : 0), "field bytes of the wrong size");
            require(b.empty() || b.data() == rec.data() + f.offset, "field bytes misplaced");
        }
        if (fits && r <= h.record_count) require(room == h.record_length, "record cut short");
    }
    if (size >= h.header_length && dbf::fields_length(h) == h.record_length) check_faults(h, file);
    return 0;
}
