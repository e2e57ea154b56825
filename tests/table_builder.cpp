#include "table_builder.h"

#include <fstream>
#include <stdexcept>

namespace tables {

namespace {

void put16(std::string& b, std::size_t at, std::size_t v) {
    b.at(at) = static_cast<char>(v & 0xff);
    b.at(at + 1) = static_cast<char>(v >> 8 & 0xff);
}

void put32(std::string& b, std::size_t at, std::size_t v) {
    put16(b, at, v & 0xffff);
    put16(b, at + 2, v >> 16 & 0xffff);
}

std::string header(const Table& t) {
    std::string b(32, '\0');
    b[0] = static_cast<char>(t.version);
    // Last updated 2024-05-17, as years since 1900, month, day.
    b[1] = 124;
    b[2] = 5;
    b[3] = 17;
    put32(b, 4, t.record_count.value_or(static_cast<std::uint32_t>(t.records.size())));
    put16(b, 8, t.header_length.value_or(static_cast<std::uint16_t>(natural_header_length(t))));
    put16(b, 10, t.record_length.value_or(static_cast<std::uint16_t>(natural_record_length(t))));
    for (const FieldSpec& f : t.fields) {
        if (f.name.size() > 11) throw std::invalid_argument("field name over 11 bytes: " + f.name);
        std::string d = f.name;  // zero-padded to the descriptor's 32 bytes
        d.resize(32, '\0');
        d[11] = f.type;
        const bool long_text = f.type == 'C' && f.length > 255;
        d[16] = static_cast<char>(f.length & 0xff);
        d[17] = static_cast<char>(long_text ? f.length >> 8 : f.decimals);
        b += d;
    }
    if (t.end_mark) b += '\x0d';
    b.append(t.header_padding, '\0');
    return b;
}

std::string record(const Table& t, const Record& r) {
    std::string b(1, r.flag.value_or(r.deleted ? '*' : ' '));
    for (std::size_t i = 0; i < t.fields.size(); ++i) {
        const FieldSpec& f = t.fields[i];
        const std::string v = i < r.values.size() ? r.values[i] : std::string();
        if (v.size() > f.length)
            throw std::invalid_argument("text over the length of field " + f.name + ": " + v);
        const std::string pad(f.length - v.size(), ' ');
        b += f.type == 'N' || f.type == 'F' ? pad + v : v + pad;
    }
    if (r.values.size() > t.fields.size()) throw std::invalid_argument("more texts than fields");
    return b;
}

}  // namespace

std::size_t natural_header_length(const Table& t) {
    return 32 + 32 * t.fields.size() + (t.end_mark ? 1 : 0) + t.header_padding;
}

std::size_t natural_record_length(const Table& t) {
    std::size_t n = 1;
    for (const FieldSpec& f : t.fields) n += f.length;
    return n;
}

std::string table_bytes(const Table& t) {
    std::string b = header(t);
    b.resize(t.header_length.value_or(b.size()), '\0');
    const std::size_t length = t.record_length.value_or(natural_record_length(t));
    for (const Record& r : t.records) {
        std::string rec = record(t, r);
        rec.resize(length, ' ');
        b += rec;
    }
    if (t.eof_mark) b += '\x1a';
    for (const auto& [at, bytes] : t.patches) {
        if (b.size() < at + bytes.size()) b.resize(at + bytes.size(), '\0');
        b.replace(at, bytes.size(), bytes);
    }
    if (t.truncate_to && *t.truncate_to < b.size()) b.resize(*t.truncate_to);
    return b;
}

void write_table(const std::filesystem::path& file, const Table& t) {
    const std::string b = table_bytes(t);
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(b.data(), static_cast<std::streamsize>(b.size()));
    if (!out.flush()) throw std::runtime_error("cannot write " + file.string());
}

}  // namespace tables
