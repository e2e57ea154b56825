#include "dbf_layout.h"

#include "ntx_layout.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

namespace dbf {

namespace {

// First bytes of tables as their writers mark them: the format level in the
// low bits, memo files and their kinds in the high ones, and the later
// variants that keep extra bytes after the descriptors (counted in the
// header length, so they need nothing more here).
constexpr std::array<std::uint8_t, 17> versions = {
    0x02, 0x03, 0x05, 0x07, 0x30, 0x31, 0x32, 0x43,
    0x63, 0x83, 0x87, 0x8B, 0x8E, 0xCB, 0xE5, 0xF5, 0xFB};

char raise(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

std::string hex_byte(std::uint8_t b) {
    const char digits[] = "0123456789ABCDEF";
    return {digits[b >> 4], digits[b & 0xF], 'h'};
}

Field decode_field(Bytes d, std::size_t offset) {
    Field f;
    for (std::size_t i = 0; i < field_name_size && d[field_name_at + i] != 0; ++i)
        f.name += raise(static_cast<char>(d[field_name_at + i]));
    f.type = static_cast<char>(d[field_type_at]);
    f.offset = offset;
    f.length = d[field_length_at];
    f.decimals = d[field_decimals_at];
    if (f.type == 'C') {
        f.length += f.decimals << 8;
        f.decimals = 0;
    }
    return f;
}

}  // namespace

bool known_version(std::uint8_t version) {
    return std::find(versions.begin(), versions.end(), version) != versions.end();
}

std::optional<std::size_t> header_length(Bytes prologue) {
    if (prologue.size() < prologue_size) return std::nullopt;
    return std::max<std::size_t>(*ntx::load_u16le(prologue, header_length_at), prologue_size);
}

TableDecoded decode_table_header(Bytes bytes) {
    TableDecoded out;
    if (bytes.size() < prologue_size) {
        out.error = "not a dBase table: shorter than a header";
        return out;
    }
    TableHeader h;
    h.version = bytes[version_at];
    h.record_count = *ntx::load_u32le(bytes, record_count_at);
    h.header_length = *ntx::load_u16le(bytes, header_length_at);
    h.record_length = *ntx::load_u16le(bytes, record_length_at);
    if (h.version == 0x04) {  // a longer header and 48-byte descriptors
        out.error = "a table of a later format (first byte 04h), whose fields are not read";
        return out;
    }
    if (!known_version(h.version)) {
        out.error = "not a dBase table (first byte " + hex_byte(h.version) + ")";
        return out;
    }
    if (h.header_length < min_header_length) {
        out.error = "header length " + std::to_string(h.header_length) + " is too short";
        return out;
    }
    if (bytes.size() < h.header_length) {
        out.error = "header cut short";
        return out;
    }
    if (h.record_length == 0) {
        out.error = "record length of 0";
        return out;
    }
    const Bytes header = bytes.first(h.header_length);
    std::size_t at = descriptors_at;
    std::size_t next_offset = 1;  // past the deletion flag
    for (;;) {
        if (at >= header.size()) {
            out.error = "field descriptors not ended by 0Dh";
            return out;
        }
        if (header[at] == descriptors_end) break;
        if (header.size() - at < descriptor_size) {
            out.error = "field descriptors run past the header length";
            return out;
        }
        Field f = decode_field(header.subspan(at, descriptor_size), next_offset);
        if (f.length == 0) {
            out.error = "field " + std::to_string(h.fields.size() + 1) + " has length 0";
            return out;
        }
        // At most 2047 fields of at most 64 KiB each: no overflow, even in 32 bits.
        next_offset += f.length;
        h.fields.push_back(std::move(f));
        at += descriptor_size;
    }
    if (h.fields.empty()) {
        out.error = "no fields";
        return out;
    }
    if (next_offset > h.record_length) {
        out.error = "fields take " + std::to_string(next_offset) +
                    " bytes, more than the record length " + std::to_string(h.record_length);
        return out;
    }
    out.header = std::move(h);
    return out;
}

std::uint64_t table_size(const TableHeader& header) {
    return header.header_length +
           std::uint64_t{header.record_count} * std::uint64_t{header.record_length};
}

std::string check_table_size(const TableHeader& header, std::uint64_t file_size) {
    if (file_size >= table_size(header)) return {};
    const std::uint64_t room =
        file_size <= header.header_length || header.record_length == 0
            ? 0
            : (file_size - header.header_length) / header.record_length;
    return "shorter than its records: room for " + std::to_string(room) + " of " +
           std::to_string(header.record_count);
}

TableGeometry table_geometry(const TableHeader& header, std::uint64_t file_size,
                             std::optional<std::uint8_t> last_byte) {
    TableGeometry g;
    g.counted = header.record_count;
    std::uint64_t body = file_size > header.header_length ? file_size - header.header_length : 0;
    if (body > 0 && last_byte == end_of_file_mark) {
        g.end_mark = true;
        --body;
    }
    if (header.record_length == 0) return g;
    g.whole = body / header.record_length;
    g.partial = body % header.record_length;
    // An index names records by 32-bit numbers.
    g.compared = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(g.whole, std::numeric_limits<std::uint32_t>::max()));
    return g;
}

std::size_t fields_length(const TableHeader& header) {
    std::size_t n = 1;
    for (const Field& f : header.fields) n += f.length;
    return n;
}

namespace {

// Spaces from `from` to the end.
bool all_spaces(Bytes b, std::size_t from = 0) {
    for (std::size_t i = from; i < b.size(); ++i)
        if (b[i] != ' ') return false;
    return true;
}

bool is_digit(std::uint8_t c) { return static_cast<unsigned>(c - '0') <= 9; }

bool holds_number(Bytes b) {
    std::size_t i = 0;
    const std::size_t n = b.size();
    while (i < n && b[i] == ' ') ++i;
    if (i == n) return true;
    if (b[i] == '+' || b[i] == '-') ++i;
    const std::size_t start = i;
    bool point = false;
    for (; i < n; ++i) {
        if (is_digit(b[i])) continue;
        if (b[i] != '.' || point) break;
        point = true;
    }
    // At least one digit besides the point.
    return i - start > (point ? 1u : 0u) && all_spaces(b, i);
}

bool holds_date(Bytes b) {
    if (b.size() != 8) return all_spaces(b);
    for (std::size_t i = 0; i < 8; ++i)
        if (!is_digit(b[i])) return all_spaces(b);
    const auto digits = [&b](std::size_t at, std::size_t n) {
        int v = 0;
        for (std::size_t i = at; i < at + n; ++i) v = v * 10 + (b[i] - '0');
        return v;
    };
    const int y = digits(0, 4), m = digits(4, 2), d = digits(6, 2);
    static constexpr int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > month_days[m - 1]) return false;
    return m != 2 || d != 29 || (y % 4 == 0 && (y % 100 != 0 || y % 400 == 0));
}

bool holds_logical(Bytes b) {
    if (b.empty()) return false;
    switch (b[0]) {
        case 'T': case 't': case 'F': case 'f': case 'Y': case 'y': case 'N': case 'n':
        case '?': case ' ': return all_spaces(b, 1);
        default: return false;
    }
}

}  // namespace

bool holds_its_type(const Field& field, Bytes value) {
    switch (field.type) {
        case 'N':
        case 'F': return holds_number(value);
        case 'D': return holds_date(value);
        case 'L': return holds_logical(value);
        default: return true;
    }
}

std::uint64_t record_offset(const TableHeader& header, std::uint32_t recno) {
    const std::uint64_t index = recno == 0 ? 0 : recno - 1;
    return header.header_length + index * header.record_length;
}

bool is_deleted(Bytes record) {
    return record.size() > deletion_flag_at && record[deletion_flag_at] == deleted_mark;
}

Bytes field_bytes(Bytes record, const Field& field) {
    if (field.offset > record.size() || field.length > record.size() - field.offset) return {};
    return record.subspan(field.offset, field.length);
}

const Field* find_field(const TableHeader& header, std::string_view name) {
    for (const Field& f : header.fields) {
        if (f.name.size() != name.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) same = f.name[i] == raise(name[i]);
        if (same) return &f;
    }
    return nullptr;
}

}  // namespace dbf
