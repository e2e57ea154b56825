// Builds dBase tables for tests from a readable description: fields, records
// as the texts of their fields, and for damaged tables, header words that
// disagree with them, patches and a cut.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tables {

struct FieldSpec {
    std::string name;  // up to 11 bytes, zero-padded
    char type = 'C';
    std::size_t length = 10;  // a C field's above 255 goes into the decimals byte
    std::size_t decimals = 0;
};

struct Record {
    // One text per field, in order; missing ones are blank. A text is
    // padded with spaces to its field's length, on the left for N and F
    // (numbers stand right-aligned), on the right for the rest; a longer
    // text throws.
    std::vector<std::string> values;
    bool deleted = false;
    // The deletion flag as stored, when it should be neither ' ' nor '*'.
    std::optional<char> flag;
};

struct Table {
    std::uint8_t version = 0x03;
    std::vector<FieldSpec> fields;
    std::vector<Record> records;
    // Zero bytes between the end mark and the first record; most writers
    // leave one.
    std::size_t header_padding = 1;
    bool end_mark = true;  // the 0Dh after the descriptors
    bool eof_mark = true;  // the 1Ah after the last record
    // Header words, when they should differ from what the fields and
    // records make. Records start at the stated header length and take the
    // stated record length each (the natural bytes cut or padded: zeros in
    // the header, spaces in a record).
    std::optional<std::uint32_t> record_count;
    std::optional<std::uint16_t> header_length;
    std::optional<std::uint16_t> record_length;
    // Raw bytes written over the file last: (file offset, bytes); the file
    // grows to hold them.
    std::vector<std::pair<std::size_t, std::string>> patches;
    // The file cut to this many bytes, last of all.
    std::optional<std::size_t> truncate_to;
};

// The header as the description makes it, before any override.
std::size_t natural_header_length(const Table& t);
std::size_t natural_record_length(const Table& t);

std::string table_bytes(const Table& t);
void write_table(const std::filesystem::path& file, const Table& t);

}  // namespace tables
