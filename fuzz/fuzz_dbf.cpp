// Fuzz entry: each input is a whole table file. It is decoded the way the
// checker reads a table, its size checked, and every field of its first
// records reached; what the decoder claims must hold of the bytes, or the
// run aborts.
#include "dbf_layout.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

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

}  // namespace

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
    return 0;
}
