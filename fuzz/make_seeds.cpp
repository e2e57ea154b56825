// Writes the fuzzers' seed corpora into the directories given: small index
// files, well-formed trees of several depths and one of every kind of
// damage the tools must report; tables; key expressions with a record;
// shapes and counts for the page builder.
// Pages may overlap, since a reference is any byte offset, which keeps deep
// and doubling structures a few KiB long.
#include "index_builder.h"
#include "table_builder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using builder::Header;
using builder::Item;
using builder::Page;

namespace {

fs::path dir;

void seed(const std::string& name, const Header& h, const std::vector<Page>& pages,
          std::uint64_t min_size = 0) {
    builder::write_index(dir / (name + ".ntx"), h, pages, min_size);
}

Header header(std::uint32_t root = 0x400) {
    return {.root = root, .next_page = 0x1000, .item_size = 0xe, .key_size = 6,
            .word18 = 4, .max_item = 2, .key_expr = "CODE"};
}

Page leaf(std::uint32_t at, int items) {
    Page p{.at = at};
    for (int k = 0; k < items; ++k)
        p.items.push_back({.recno = k + 1, .key = "KEY" + std::to_string(k)});
    return p;
}

// A tree `levels` deep of pages with `fan` items each, pages laid out from
// 0x400 in 1 KiB blocks; `next` is the next free block.
std::uint32_t tree(std::vector<Page>& pages, std::uint32_t& next, int levels, int fan) {
    Page p = leaf(next, fan);
    next += 0x400;
    if (levels > 1) {
        for (Item& item : p.items) item.child = tree(pages, next, levels - 1, fan);
        p.last_child = tree(pages, next, levels - 1, fan);
    }
    pages.push_back(p);
    return p.at;
}

// Pages `stride` bytes apart, each naming the next: written in ascending
// order, each page's first bytes survive the zero fill of the next.
std::vector<Page> chain(int levels, std::uint32_t stride, bool doubled) {
    std::vector<Page> pages;
    for (int k = 0; k < levels; ++k) {
        const std::uint32_t at = 0x400 + stride * static_cast<std::uint32_t>(k);
        const std::uint32_t next = k + 1 < levels ? at + stride : 0;
        Page p{.at = at, .last_child = next};
        if (doubled) p.items = {{.child = next, .recno = 1}};
        pages.push_back(p);
    }
    return pages;
}

// An index, the separator the checker's fuzz target splits its input at,
// and a table.
void pair_seed(const std::string& name, const Header& h, const std::vector<Page>& pages,
               const tables::Table& t) {
    const fs::path index = dir / (name + ".ntx.tmp");
    builder::write_index(index, h, pages);
    std::ifstream in(index, std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), {}};
    in.close();
    fs::remove(index);
    std::ofstream(dir / (name + ".pair"), std::ios::binary) << bytes << "DBF:"
                                                             << tables::table_bytes(t);
}

// Pairs of an index and its table, sound and with each fault of a table,
// unique and descending indexes among them.
void pair_seeds() {
    Header h{.item_size = 12, .key_size = 4, .word18 = 40, .max_item = 20, .key_expr = "CODE",
             .for_condition = "N >= 0 .OR. L .OR. DTOS(D) > '1'"};
    tables::Table t{.fields = {{"CODE", 'C', 4}, {"N", 'N', 5, 1}, {"D", 'D', 8}, {"L", 'L', 1}}};
    Page p{.at = 0x400};
    for (int i = 0; i < 12; ++i) {
        const std::string code = "K" + std::to_string(100 + i);
        t.records.push_back({{code, "1.5", "20240101", "T"}, i % 5 == 0});
        p.items.push_back({.recno = i + 1, .key = code});
    }
    pair_seed("pair-sound", h, {p}, t);
    tables::Table stale = t;
    stale.record_count = 9;
    pair_seed("pair-count-behind", h, {p}, stale);
    tables::Table cut = t;
    cut.truncate_to = tables::natural_header_length(t) + 7 * 19 + 5;
    pair_seed("pair-cut", h, {p}, cut);
    tables::Table after = t;
    after.patches = {{tables::natural_header_length(t) + 12 * 19, "xy\x1a"}};
    pair_seed("pair-bytes-after", h, {p}, after);
    tables::Table bad = t;
    bad.records[1].flag = '\0';
    bad.records[2].values = {"K102", "1,5", "20240230", "X"};
    pair_seed("pair-bad-fields", h, {p}, bad);
    tables::Table run{.fields = {{"CODE", 'C', 4}, {"N", 'N', 1}}};
    for (int i = 0; i < 120; ++i) run.records.push_back({{"K100", "x"}, false, 'Z'});
    Header none = h;
    none.for_condition = "N > 0 .AND. .F.";
    pair_seed("pair-long-run", none, {{.at = 0x400}}, run);

    Header unique = h;
    unique.unique = 1;
    tables::Table twice = t;
    for (int i = 0; i < 6; ++i) twice.records.push_back(t.records[static_cast<std::size_t>(i)]);
    pair_seed("pair-unique", unique, {p}, twice);
    Page later = p;
    later.items[3].recno = 16;
    later.items.erase(later.items.begin() + 1);
    pair_seed("pair-unique-later", unique, {later}, twice);

    Header descending = h;
    descending.signature = 7;
    descending.descending = 1;
    Page down = p;
    std::reverse(down.items.begin(), down.items.end());
    pair_seed("pair-descending", descending, {down}, t);

    Header strtran = h;
    strtran.key_expr = "STRTRAN(CODE,'1','-',2)";
    pair_seed("pair-strtran", strtran, {p}, t);
}

}  // namespace

// Tables of every field type, live and deleted records, and the usual
// variants of their bytes.
void table_seeds(const fs::path& to) {
    fs::create_directories(to);
    tables::Table t{.fields = {{"NAME", 'C', 10}, {"PRICE", 'N', 8, 2}, {"DAY", 'D', 8},
                               {"OK", 'L', 1}, {"NOTES", 'M', 10}}};
    t.records = {{{"APPLE", "1.50", "20261209", "T", "1"}},
                 {{"PEAR", "-0.25", "", "F"}, true},
                 {{"", "", "19991231", "?"}}};
    tables::write_table(to / "types.dbf", t);
    t.version = 0x83;
    t.eof_mark = false;
    t.header_padding = 0;
    tables::write_table(to / "memo-no-eof.dbf", t);
    tables::Table wide{.fields = {{"TEXT", 'C', 300}, {"N", 'N', 19, 4}}};
    wide.records = {{{std::string(300, 'x'), "-123456789012.3456"}}};
    tables::write_table(to / "wide.dbf", wide);
    tables::Table none{.fields = {{"CODE", 'C', 4}}};
    tables::write_table(to / "empty.dbf", none);
    // The table's own faults: a count behind its records, bad flags and
    // fields, a cut record.
    tables::Table faults = t;
    faults.record_count = 1;
    faults.records[0].flag = '\0';
    faults.records[2].values = {"", "1,5", "20231301", "X"};
    tables::write_table(to / "count-behind-bad-fields.dbf", faults);
    faults.record_count = 9;
    faults.truncate_to = tables::table_bytes(faults).size() - 7;
    tables::write_table(to / "cut.dbf", faults);
}

// Expressions the real indexes use, each with a record of the fuzz
// target's fields: NAME C10, PRICE N8.2, DAY D8, OK L1, NOTES M10, BIG N19,
// RATE F6.3, CODE C3, ODD X2, DESCRICAOO C300.
void expression_seeds(const fs::path& to) {
    fs::create_directories(to);
    const std::string record = std::string(" Smith     ") + "   12.50" + "20261209" + "T" +
                               "         1" + "           -1234567" + " 0.125" + "007" + "??" +
                               std::string(300, 'd');
    int n = 0;
    for (const char* text :
         {"UPPER(NAME)+DTOS(DAY)", "STR(PRICE,10,2)+STR(BIG)", "IIF(OK,'Y','N')+SUBSTR(NAME,2,3)",
          "PADR(TRIM(NAME),12)+STR(RECNO(),6)", "DELETED() .OR. PRICE > 10 .AND. !OK",
          "T->NAME+FIELD->CODE+T->(LEFT(NAME,2))", "VAL(CODE)*2-RATE", "DAY+30-DAY",
          "YEAR(DAY)+MONTH(DAY)+DAY(DAY)+DOW(DAY)", "ALLTRIM(LOWER(NAME))-RIGHT(DESCRICAOO,5)",
          "MES_ANO(DAY)+DTOC(DAY)", "LEN(NAME)=10 .AND. 'Sm'$NAME"}) {
        std::ofstream(to / ("expr-" + std::to_string(n++)), std::ios::binary)
            << text << '\0' << record;
    }
}

// Shapes and counts for the page builder: byte 0 the most items a page
// holds, 1 the key size, 2 the padding, 3 and 4 the count, then the keys'
// seed. One item a page; 10kDate's shape (54 a page, 8-byte keys) with 1000
// keys; a shape too wide; none at all; 4096 of the widest keys.
void build_seeds(const fs::path& to) {
    fs::create_directories(to);
    int n = 0;
    for (const std::string& seed :
         {std::string("\x00\x04\x00\x40\x00", 5) + "abc",
          std::string("\x35\x08\x00\xf0\x83", 5) + "1999",
          std::string("\x00\x08\x80\x10\x00", 5), std::string("\x03\x02\x01\x00\x00", 5),
          std::string("\xff\x40\x03\x08\x90", 5) + "key"}) {
        std::ofstream(to / ("build-" + std::to_string(n++)), std::ios::binary) << seed;
    }
}

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: make_seeds INDEX_DIR TABLE_DIR EXPRESSION_DIR BUILD_DIR\n");
        return 2;
    }
    dir = argv[1];
    fs::create_directories(dir);
    pair_seeds();
    table_seeds(argv[2]);
    expression_seeds(argv[3]);
    build_seeds(argv[4]);

    // Well-formed trees.
    for (const auto& [levels, fan] : {std::pair{1, 3}, {2, 2}, {3, 2}, {2, 5}}) {
        std::vector<Page> pages;
        std::uint32_t next = 0x400;
        tree(pages, next, levels, fan);
        seed("tree-" + std::to_string(levels) + "x" + std::to_string(fan), header(), pages);
    }
    Page odd = leaf(0x400, 4);
    odd.reversed = true;
    odd.items[1].recno = -1;
    odd.items[2].key = "TRAILING  ";
    seed("leaf-reversed", header(), {odd});
    seed("empty-page-child", header(), {{.at = 0x400, .last_child = 0x800}, leaf(0x800, 1)});
    Header wide = header();
    wide.key_expr = std::string(256, 'K');
    wide.unique = 0xff;
    wide.version = 0x8001;
    seed("header-extremes", wide, {leaf(0x400, 1)});
    seed("root-zero", header(0), {}, 2048);
    // A report larger than the tool's 64 KiB output buffer: 100 items share
    // one slot with a 735-byte key, which puts the buffer's edge inside the
    // number that begins item line 86.
    seed("big-report", header(), {{.at = 0x400, .count = 100,
                                   .offsets = std::vector<std::uint16_t>(101, 210),
                                   .patches = {{218, std::string(735, 'K')}}}});

    // Damage.
    seed("header-short", header(), {});
    fs::resize_file(dir / "header-short.ntx", 279);
    seed("header-only", header(), {});
    seed("root-past-end", header(0x7ffffc00), {leaf(0x400, 1)});
    seed("root-high", header(0x80000400), {leaf(0x400, 1)});
    seed("too-many-items", header(), {{.at = 0x400, .count = 511, .offsets = {4}}});
    seed("many-items", header(), {{.at = 0x400, .count = 300,
                                   .offsets = std::vector<std::uint16_t>(301, 1016)}});
    seed("item-outside", header(), {{.at = 0x400, .count = 2, .offsets = {8, 1017, 24}}});
    seed("last-child-outside", header(), {{.at = 0x400, .count = 1, .offsets = {8, 1021}}});
    seed("key-without-zero", header(), {{.at = 0x400, .count = 1, .offsets = {1010, 6},
                                         .patches = {{1018, "ABCDEF"}}}});
    Page loop = leaf(0x400, 1);
    loop.last_child = 0x800;
    Page back = leaf(0x800, 1);
    back.last_child = 0x400;
    seed("loop-of-two", header(), {loop, back});
    Page self = leaf(0x400, 1);
    self.items[0].child = 0x400;
    seed("self-loop", header(), {self});
    seed("deep-chain", header(), chain(300, 8, false));
    seed("doubling", header(), chain(60, 20, true));
    return 0;
}
