// Decoding of dBase tables, on tables built in code and on the real ones
// beside the project where they are.
#include "dbf_layout.h"
#include "table_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const tables::Table& t) {
    const std::string s = tables::table_bytes(t);
    return {s.begin(), s.end()};
}

std::string text(dbf::Bytes b) { return {b.begin(), b.end()}; }

// Decodes the way a reader of a file does: the prologue first, then as many
// bytes as it says the header has.
dbf::TableDecoded decode(const Bytes& file) {
    const auto length = dbf::header_length(file);
    if (!length) return dbf::decode_table_header(file);
    return dbf::decode_table_header(dbf::Bytes(file).first(std::min(*length, file.size())));
}

std::string error_of(const tables::Table& t) {
    const dbf::TableDecoded d = decode(bytes_of(t));
    EXPECT_EQ(d.header.has_value(), d.error.empty());
    return d.error;
}

dbf::Bytes record(const Bytes& file, const dbf::TableHeader& h, std::uint32_t recno) {
    const auto at = static_cast<std::size_t>(dbf::record_offset(h, recno));
    return dbf::Bytes(file).subspan(at, h.record_length);
}

tables::Table people() {
    tables::Table t;
    t.fields = {{"NAME", 'C', 12},  {"SALARY", 'N', 9, 2}, {"BORN", 'D', 8},
                {"ACTIVE", 'L', 1}, {"NOTES", 'M', 10}};
    t.records = {{{"ADA", "1234.50", "19601231", "T", "         1"}},
                 {{"BRUNO", "-7.00", "", "F"}, true},
                 {{"CARLA"}}};
    return t;
}

}  // namespace

TEST(DbfHeader, DecodesFieldsAndRecords) {
    const Bytes file = bytes_of(people());
    const dbf::TableDecoded d = decode(file);
    ASSERT_TRUE(d.header) << d.error;
    const dbf::TableHeader& h = *d.header;
    EXPECT_EQ(h.version, 0x03);
    EXPECT_EQ(h.record_count, 3u);
    EXPECT_EQ(h.header_length, 32u + 5 * 32 + 2);
    EXPECT_EQ(h.record_length, 1u + 12 + 9 + 8 + 1 + 10);
    ASSERT_EQ(h.fields.size(), 5u);
    const std::size_t offsets[] = {1, 13, 22, 30, 31};
    const char types[] = "CNDLM";
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(h.fields[i].offset, offsets[i]) << i;
        EXPECT_EQ(h.fields[i].type, types[i]) << i;
    }
    EXPECT_EQ(h.fields[1].name, "SALARY");
    EXPECT_EQ(h.fields[1].length, 9u);
    EXPECT_EQ(h.fields[1].decimals, 2u);
    EXPECT_EQ(dbf::check_table_size(h, file.size()), "");

    const dbf::Bytes first = record(file, h, 1), second = record(file, h, 2);
    EXPECT_EQ(text(dbf::field_bytes(first, h.fields[0])), "ADA         ");
    EXPECT_EQ(text(dbf::field_bytes(first, h.fields[1])), "  1234.50");
    EXPECT_EQ(text(dbf::field_bytes(second, h.fields[2])), "        ");
    EXPECT_EQ(text(dbf::field_bytes(record(file, h, 3), h.fields[3])), " ");
    EXPECT_FALSE(dbf::is_deleted(first));
    EXPECT_TRUE(dbf::is_deleted(second));
    EXPECT_FALSE(dbf::is_deleted({}));
    // The record after the last is the end-of-file mark.
    EXPECT_EQ(file[static_cast<std::size_t>(dbf::record_offset(h, 4))], dbf::end_of_file_mark);
    EXPECT_EQ(dbf::record_offset(h, 0), dbf::record_offset(h, 1));
}

TEST(DbfHeader, NamesEndAtTheirZeroByteAndAreFoundWithoutCase) {
    tables::Table t;
    t.fields = {{"code", 'C', 4}, {"NAME", 'C', 6}, {"Code", 'N', 3}, {"ELEVENBYTES", 'L', 1}};
    // Writers leave what was in memory after a name's zero byte.
    t.patches = {{32 + 4, std::string("\0XY", 3)}};
    const Bytes file = bytes_of(t);
    const dbf::TableDecoded d = decode(file);
    ASSERT_TRUE(d.header) << d.error;
    EXPECT_EQ(d.header->fields[0].name, "CODE");
    EXPECT_EQ(d.header->fields[2].name, "CODE");
    EXPECT_EQ(d.header->fields[3].name, "ELEVENBYTES");
    EXPECT_EQ(d.header->fields[3].type, 'L');
    const dbf::Field* code = dbf::find_field(*d.header, "cOdE");
    ASSERT_NE(code, nullptr);
    EXPECT_EQ(code->type, 'C');  // the first of that name
    EXPECT_EQ(dbf::find_field(*d.header, "NAME")->offset, 5u);
    EXPECT_EQ(dbf::find_field(*d.header, "NAM"), nullptr);
    EXPECT_EQ(dbf::find_field(*d.header, "NAMES"), nullptr);
    EXPECT_EQ(dbf::find_field(*d.header, ""), nullptr);
}

TEST(DbfHeader, LongCharacterFieldsKeepTheirLengthsHighByteInTheDecimals) {
    tables::Table t;
    t.fields = {{"TEXT", 'C', 300}, {"PRICE", 'N', 10, 3}, {"TAIL", 'C', 2}};
    t.records = {{{std::string(300, 'x'), "1.500", "ok"}}};
    const Bytes file = bytes_of(t);
    const dbf::TableDecoded d = decode(file);
    ASSERT_TRUE(d.header) << d.error;
    const auto& f = d.header->fields;
    EXPECT_EQ(f[0].length, 300u);
    EXPECT_EQ(f[0].decimals, 0u);
    EXPECT_EQ(f[1].offset, 301u);
    EXPECT_EQ(f[1].decimals, 3u);  // only character fields borrow the byte
    EXPECT_EQ(text(dbf::field_bytes(record(file, *d.header, 1), f[2])), "ok");
}

TEST(DbfHeader, AcceptsTheVersionsTablesCarryAndRefusesOtherFiles) {
    for (const int v : {0x03, 0x83, 0x07, 0x30, 0x31, 0xF5, 0x8B}) {
        tables::Table t = people();
        t.version = static_cast<std::uint8_t>(v);
        EXPECT_EQ(error_of(t), "") << v;
    }
    // Laid out otherwise: refused, not read as garbage fields.
    tables::Table later = people();
    later.version = 0x04;
    EXPECT_EQ(error_of(later), "a table of a later format (first byte 04h), whose fields are not read");
    // An index's first byte, text, nothing at all, all bits.
    for (const int v : {0x06, 0x00, 0x41, 0xFF}) {
        tables::Table t = people();
        t.version = static_cast<std::uint8_t>(v);
        EXPECT_TRUE(error_of(t).starts_with("not a dBase table")) << v;
    }
    EXPECT_EQ(dbf::decode_table_header({}).error, "not a dBase table: shorter than a header");
}

TEST(DbfHeader, RefusesHeadersThatDoNotHoldTogether) {
    struct Case {
        const char* what;
        tables::Table table;
        std::string error;
    };
    const tables::FieldSpec name{"NAME", 'C', 10};
    std::vector<Case> cases;
    cases.push_back({"header length below the prologue and its end mark", people(),
                     "header length 32 is too short"});
    cases.back().table.header_length = 32;
    cases.push_back({"record length 0", people(), "record length of 0"});
    cases.back().table.record_length = 0;
    cases.push_back({"no end mark", people(), "field descriptors not ended by 0Dh"});
    cases.back().table.end_mark = false;
    cases.back().table.header_padding = 0;
    cases.push_back({"end mark past the header", people(), "field descriptors not ended by 0Dh"});
    cases.back().table.header_length = 32 + 5 * 32;
    cases.push_back({"a descriptor cut by the header length", people(),
                     "field descriptors run past the header length"});
    cases.back().table.header_length = 32 + 4 * 32 + 20;
    cases.push_back({"no fields", {}, "no fields"});
    cases.push_back({"fields longer than the record", people(),
                     "fields take 41 bytes, more than the record length 40"});
    cases.back().table.record_length = 40;
    cases.push_back({"a field of length 0", {}, "field 2 has length 0"});
    cases.back().table.fields = {name, {"EMPTY", 'N', 0}, name};
    cases.push_back({"header length 0", people(), "header length 0 is too short"});
    cases.back().table.patches = {{8, std::string(2, '\0')}};
    for (const Case& c : cases) EXPECT_EQ(error_of(c.table), c.error) << c.what;

    // The header length a file states is more than the bytes it has.
    tables::Table t = people();
    t.records.clear();
    t.truncate_to = tables::natural_header_length(t) - 1;
    EXPECT_EQ(error_of(t), "header cut short");
}

TEST(DbfHeader, AcceptsRecordsLongerThanTheirFieldsAndHeadersWithRoomToSpare) {
    tables::Table t = people();
    t.record_length = static_cast<std::uint16_t>(tables::natural_record_length(t) + 3);
    // Some variants keep a few hundred bytes after the end mark.
    t.header_padding = 263;
    const Bytes file = bytes_of(t);
    const dbf::TableDecoded d = decode(file);
    ASSERT_TRUE(d.header) << d.error;
    EXPECT_EQ(d.header->header_length, 32u + 5 * 32 + 1 + 263);
    EXPECT_EQ(dbf::check_table_size(*d.header, file.size()), "");
    EXPECT_EQ(text(dbf::field_bytes(record(file, *d.header, 3), d.header->fields[0])),
              "CARLA       ");
}

TEST(DbfHeader, EveryCutOfAHeaderIsRefusedAndBytesPastItAreNotRead) {
    tables::Table t = people();
    t.version = 0x83;
    const Bytes file = bytes_of(t);
    const std::size_t length = tables::natural_header_length(t);
    for (std::size_t n = 0; n < length; ++n) {
        const dbf::Bytes cut = dbf::Bytes(file).first(n);
        EXPECT_EQ(dbf::header_length(cut).has_value(), n >= dbf::prologue_size) << n;
        const dbf::TableDecoded d = dbf::decode_table_header(cut);
        EXPECT_FALSE(d.header) << n;
        EXPECT_FALSE(d.error.empty()) << n;
    }
    // A header given with its records after it decodes as the header alone.
    const dbf::TableDecoded whole = dbf::decode_table_header(file);
    ASSERT_TRUE(whole.header);
    EXPECT_EQ(whole.header->fields.size(), decode(file).header->fields.size());
}

TEST(DbfSize, RecordsMustAllBeThereTheEndMarkNeedNot) {
    tables::Table t = people();
    const std::uint64_t full = tables::table_bytes(t).size();
    const dbf::TableHeader h = *decode(bytes_of(t)).header;
    EXPECT_EQ(dbf::table_size(h) + 1, full);
    EXPECT_EQ(dbf::check_table_size(h, full), "");
    EXPECT_EQ(dbf::check_table_size(h, full - 1), "");
    EXPECT_EQ(dbf::check_table_size(h, full + 4000), "");
    EXPECT_EQ(dbf::check_table_size(h, full - 2), "shorter than its records: room for 2 of 3");
    EXPECT_EQ(dbf::check_table_size(h, h.header_length + 1),
              "shorter than its records: room for 0 of 3");
    EXPECT_EQ(dbf::check_table_size(h, 10), "shorter than its records: room for 0 of 3");

    // The largest counts the header words can state do not overflow.
    dbf::TableHeader most = h;
    most.record_count = std::numeric_limits<std::uint32_t>::max();
    most.header_length = 0xFFFF;
    most.record_length = 0xFFFF;
    EXPECT_EQ(dbf::table_size(most), 0xFFFFull + 0xFFFFFFFFull * 0xFFFFull);
    EXPECT_EQ(dbf::record_offset(most, most.record_count), dbf::table_size(most) - 0xFFFF);
    EXPECT_EQ(dbf::check_table_size(most, dbf::table_size(most) - 1),
              "shorter than its records: room for 4294967294 of 4294967295");
}

// Whole records, what follows them, and the records compared, from the
// header and the file's size and last byte.
TEST(DbfGeometry, WholeRecordsThenAPartOfOneThenTheEndMark) {
    dbf::TableHeader h;
    h.record_count = 3;
    h.header_length = 100;
    h.record_length = 10;
    struct Case {
        std::uint64_t size;
        std::optional<std::uint8_t> last;
        std::uint64_t whole, partial;
        bool end_mark;
    };
    const std::vector<Case> cases = {
        {130, 'x', 3, 0, false},     // no end mark, as many files
        {131, 0x1A, 3, 0, true},     // the end mark
        {131, 'x', 3, 1, false},     // a byte that is not one
        {160, 'x', 6, 0, false},     // records past the count
        {161, 0x1A, 6, 0, true},
        {140, 0x1A, 3, 9, true},     // a part of a record, then the end mark: no record
        {125, 'x', 2, 5, false},     // cut short
        {101, 0x1A, 0, 0, true},     // the end mark alone
        {100, std::nullopt, 0, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        const dbf::TableGeometry g = dbf::table_geometry(h, c.size, c.last);
        EXPECT_EQ(g.counted, 3u);
        EXPECT_EQ(g.whole, c.whole);
        EXPECT_EQ(g.partial, c.partial);
        EXPECT_EQ(g.end_mark, c.end_mark);
        EXPECT_EQ(g.compared, c.whole);
    }
    // Record numbers an index can name end at 2^32 - 1.
    h.record_length = 1;
    EXPECT_EQ(dbf::table_geometry(h, 100 + (std::uint64_t{1} << 33), 'x').compared,
              std::numeric_limits<std::uint32_t>::max());
}

TEST(DbfRecord, FieldsHoldTheirTypesOrNot) {
    const auto holds = [](char type, std::string value) {
        dbf::Field f;
        f.type = type;
        f.length = value.size();
        return dbf::holds_its_type(
            f, dbf::Bytes(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()));
    };
    for (const char* v : {"      ", "   1.5", "  -1.5", "+12345", "    0.", "   .25", "12    ",
                          "     7"}) {
        EXPECT_TRUE(holds('N', v)) << v;
        EXPECT_TRUE(holds('F', v)) << v;
    }
    for (const std::string& v : std::vector<std::string>{"  1,50", "1.2.3 ", "  - 12", "     -",
                                                        "     .", "******", "1 2   ",
                                                        std::string(6, '\0'), "  12-3", "--12  "})
        EXPECT_FALSE(holds('N', v)) << v;
    for (const char* v : {"        ", "20240229", "00010101", "19991231"})
        EXPECT_TRUE(holds('D', v)) << v;
    for (const char* v : {"20230229", "20231301", "20230100", "2023-1-1", "       1", "1999123 "})
        EXPECT_FALSE(holds('D', v)) << v;
    for (const char* v : {"T", "t", "F", "f", "Y", "y", "N", "n", "?", " "})
        EXPECT_TRUE(holds('L', v)) << v;
    for (const char* v : {"X", "1", "*", "\x01"}) EXPECT_FALSE(holds('L', v)) << v;
    // Text and other types hold whatever they hold.
    EXPECT_TRUE(holds('C', "\x01\xff"));
    EXPECT_TRUE(holds('M', "abc"));
}

TEST(DbfRecord, FieldBytesAreEmptyUnlessWhollyInTheRecord) {
    const std::uint8_t rec[] = {' ', 'a', 'b', 'c', 'd'};
    const dbf::Bytes r(rec);
    dbf::Field f;
    f.offset = 1;
    f.length = 4;
    EXPECT_EQ(text(dbf::field_bytes(r, f)), "abcd");
    f.length = 5;
    EXPECT_TRUE(dbf::field_bytes(r, f).empty());
    f.offset = 6;
    f.length = 0;
    EXPECT_TRUE(dbf::field_bytes(r, f).empty());
    f.offset = std::numeric_limits<std::size_t>::max();
    f.length = 2;
    EXPECT_TRUE(dbf::field_bytes(r, f).empty());
    f.offset = 2;
    f.length = std::numeric_limits<std::size_t>::max();
    EXPECT_TRUE(dbf::field_bytes(r, f).empty());
}

// Every table beside the real indexes decodes, holds all of its records,
// and has every field of every record within it.
TEST(DbfRealTables, AllDecode) {
    const fs::path dir = REAL_TABLES_DIR;
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) GTEST_SKIP() << "no " << dir;
    std::size_t tables = 0, records = 0, deleted = 0, stale = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir)) {
        std::string ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
        if (!entry.is_regular_file() || ext != ".DBF") continue;
        SCOPED_TRACE(entry.path().string());
        std::ifstream in(entry.path(), std::ios::binary);
        const Bytes file{std::istreambuf_iterator<char>(in), {}};
        const dbf::TableDecoded d = decode(file);
        ASSERT_TRUE(d.header) << d.error;
        const dbf::TableHeader& h = *d.header;
        ASSERT_EQ(dbf::check_table_size(h, file.size()), "");
        EXPECT_EQ(dbf::fields_length(h), h.record_length);
        // Nothing after the whole records but an end mark, where one is.
        const dbf::TableGeometry g = dbf::table_geometry(h, file.size(), file.back());
        EXPECT_EQ(g.partial, 0u);
        EXPECT_GE(g.whole, g.counted);
        stale += g.whole > g.counted;
        for (std::uint32_t r = 1; r <= h.record_count; ++r) {
            const dbf::Bytes rec = record(file, h, r);
            ASSERT_TRUE(rec[0] == ' ' || rec[0] == '*') << r;
            deleted += dbf::is_deleted(rec) ? 1 : 0;
            for (const dbf::Field& f : h.fields)
                ASSERT_EQ(dbf::field_bytes(rec, f).size(), f.length) << r << " " << f.name;
        }
        ++tables;
        records += h.record_count;
    }
    EXPECT_GT(tables, 0u);
    EXPECT_EQ(stale, 3u);  // their header counts fewer records than they hold
    std::cout << tables << " tables, " << records << " records, " << deleted << " deleted\n";
}
