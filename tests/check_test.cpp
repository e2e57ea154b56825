// End-to-end: the built quarnel-check on indexes made by the builder, by
// the lines it prints and its status.
#include "check_run.h"
#include "index_builder.h"
#include "platform.h"
#include "report.h"
#include "run_tool.h"
#include "temp_dir_test.h"
#include "table_builder.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using builder::Header;
using builder::Item;
using builder::Page;

namespace {

class Check : public TempDirTest {
protected:
    ToolRun run(const std::vector<std::string>& args) {
        return run_program(QUARNEL_CHECK_PATH, args, file("stdout"));
    }
    ToolRun check(const Header& h, const std::vector<Page>& pages, std::uint64_t min_size = 0) {
        builder::write_index(file("index.ntx"), h, pages, min_size);
        return run({file("index.ntx").string()});
    }
};

// Keys of four bytes, four items a page at most.
Header header() {
    return {.item_size = 12, .key_size = 4, .word18 = 4, .max_item = 2, .key_expr = "CODE"};
}

Page leaf(std::uint32_t at, std::vector<std::string> keys, std::int32_t recno) {
    Page p{.at = at};
    for (auto& k : keys) p.items.push_back({.recno = recno++, .key = k});
    return p;
}

// A sound tree of two levels: root 400h over leaves 800h, c00h, 1000h.
std::vector<Page> tree() {
    return {{.at = 0x400,
             .items = {{.child = 0x800, .recno = 3, .key = "CCCC"},
                       {.child = 0xc00, .recno = 6, .key = "FFFF"}},
             .last_child = 0x1000},
            leaf(0x800, {"AAAA", "BBBB"}, 1), leaf(0xc00, {"DDDD", "EEEE"}, 4),
            leaf(0x1000, {"GGGG", "HHHH"}, 7)};
}

std::string sound_line(int keys, int pages, int levels, int outside = 0) {
    return "sound: " + std::to_string(keys) + " keys, " + std::to_string(pages) + " pages, " +
           std::to_string(levels) + " levels, 0 faults, " + std::to_string(outside) +
           " pages outside the tree";
}

std::string last_line_of(const std::string& out) {
    const std::size_t end = out.size() > 0 ? out.size() - 1 : 0;
    const std::size_t start = out.rfind('\n', end > 0 ? end - 1 : 0);
    return out.substr(start == std::string::npos || end == 0 ? 0 : start + 1);
}

// The report without its notes and verdict.
std::string fault_lines(const std::string& out) {
    std::string faults;
    for (std::size_t at = 0; at < out.size();) {
        const std::size_t end = out.find('\n', at) + 1;
        const std::string line = out.substr(at, end - at);
        if (line.rfind("note: ", 0) != 0 && line.rfind("damaged: ", 0) != 0) faults += line;
        at = end;
    }
    return faults;
}

TEST_F(Check, SoundTreeHasOneVerdictLine) {
    const ToolRun r = check(header(), tree());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({sound_line(8, 4, 2)}));

    // The bundled example is sound too.
    EXPECT_EQ(run({EXAMPLE_INDEX}).out,
              lines({"sound: 3 keys, 3 pages, 2 levels, 0 faults, 0 pages outside the tree"}));
}

TEST_F(Check, EachDamageIsNamedWhereItIsFound) {
    struct Case {
        const char* what;
        Header h;
        std::vector<Page> pages;
        std::vector<std::string> faults;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change, std::vector<std::string> faults,
                   Header h = header()) {
        std::vector<Page> pages = tree();
        change(pages, h);
        cases.push_back({what, h, pages, faults});
    };
    add("swapped keys", [](auto& p, auto&) { std::swap(p[2].items[0].key, p[2].items[1].key); },
        {"page c00h: item 1: key 'DDDD' sorts below the key before it (page c00h, item 0: "
         "'EEEE')"});
    add("separator below its left subtree", [](auto& p, auto&) { p[0].items[0].key = "BBAA"; },
        {"page 400h: item 0: key 'BBAA' sorts below the key before it (page 800h, item 1: "
         "'BBBB')"});
    add("count past the maximum", [](auto& p, auto&) {
            p[3].items = {{.recno = 7, .key = "GGGG"}, {.recno = 8, .key = "HHHH"},
                          {.recno = 9, .key = "IIII"}, {.recno = 10, .key = "JJJJ"},
                          {.recno = 11, .key = "KKKK"}};
        },
        {"page 1000h: 5 items, more than the most a page holds, 4"});
    add("cross-link", [](auto& p, auto&) { p[0].last_child = 0xc00; },
        {"page 400h: item 2: child c00h is reached a second time (a cross-link)"});
    add("loop", [](auto& p, auto&) {
            p[2].items[0].child = 0x1400;
            p[2].items[1].child = 0x1800;
            p[2].last_child = 0x400;
            p.push_back(leaf(0x1400, {"CCCD"}, 20));
            p.push_back(leaf(0x1800, {"DDDE"}, 21));
        },
        {"page 1400h: a leaf at level 3, where the first leaf is at level 2",
         "page 1800h: a leaf at level 3, where the first leaf is at level 2",
         "page c00h: item 2: child 400h leads back up its own path (a loop)"});
    add("dropped child", [](auto& p, auto&) { p[0].items[1].child = 0; },
        {"page 400h: item 1: no child, where the other entries of the page have one"});
    add("record number twice and 0", [](auto& p, auto&) {
            p[2].items[1].recno = 2;
            p[3].items[0].recno = 0;
        },
        {"record 2: in the index twice (again at page c00h, item 1)",
         "page 1000h: item 0: record number 0 is below 1"});
    add("equal keys in a unique index",
        [](auto& p, auto& h) {
            h.unique = 1;
            p[3].items[1].key = "GGGG";
        },
        {"page 1000h: item 1: key 'GGGG' repeats the key before it in a unique index "
         "(page 1000h, item 0)"});
    add("references off the page grid, into the header and past the end",
        [](auto& p, auto&) {
            p[0].items[0].child = 0x801;
            p[0].items[1].child = 0x100;
            p[0].last_child = 0x4000;
        },
        {"page 400h: item 0: child 801h is not on a page boundary",
         "page 400h: item 1: child 100h is not on a page boundary",
         "page 400h: item 2: child 4000h lies past the end of the file"});
    add("a root in the header", [](auto&, auto& h) { h.root = 0; },
        {"header: root 0h lies in the header"});
    add("an item outside its page and a malformed page later",
        [](auto& p, auto&) {
            p[1].offsets = {20, 1016, 60};
            p[3].count = 600;
        },
        {"page 800h: item 1: offset 1016 lies outside the page",
         "page 1000h: 600 items, more than the most a page holds, 4; the page is skipped"});
    add("header out of step with itself",
        [](auto&, auto& h) {
            h.item_size = 13;
            h.max_item = 1;
            h.key_expr = std::string(256, 'K');
        },
        {"header: item size 13 is not the key size 4 + 8",
         "header: half the most items a page holds is 2, not 1",
         "header: the key expression does not end inside its 256 bytes"});
    add("a page too small for its maximum",
        [](auto&, auto& h) {
            h.word18 = 80;
            h.max_item = 40;
        },
        {"header: a page of 80 items of 12 bytes does not fit in 1024 bytes"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun r = check(c.h, c.pages);
        EXPECT_EQ(r.status, 1);
        std::vector<std::string> faults = c.faults;
        EXPECT_EQ(fault_lines(r.out), lines(faults));
        EXPECT_NE(r.out.rfind("damaged: "), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" " + std::to_string(faults.size()) + " fault"), std::string::npos)
            << r.out;
    }
}

// Leaves side by side in the file are read many at a time; each must still
// be the page it is, to the last one, which ends the file.
TEST_F(Check, PagesReadTogetherAreEachTheirOwn) {
    Header h = header();
    h.word18 = 60;
    h.max_item = 30;
    const int leaves = 60;
    h.root = 0x400 * (leaves + 1);
    std::vector<Page> pages;
    Page root{.at = h.root};
    auto name = [](int i) {
        std::string k = "K000";
        for (int d = 3; d > 0; --d, i /= 10) k[static_cast<std::size_t>(d)] = char('0' + i % 10);
        return k;
    };
    for (int i = 0; i < leaves; ++i) {
        const auto at = static_cast<std::uint32_t>(0x400 * (i + 1));
        pages.push_back(leaf(at, {name(3 * i), name(3 * i + 1)}, 3 * i + 1));
        if (i + 1 < leaves)
            root.items.push_back({.child = at, .recno = 3 * i + 3, .key = name(3 * i + 2)});
        else
            root.last_child = at;
    }
    pages.push_back(root);
    EXPECT_EQ(check(h, pages).out, lines({sound_line(3 * leaves - 1, leaves + 1, 2)}));

    std::swap(pages[45].items[0].key, pages[45].items[1].key);
    pages[leaves - 1].items[1].recno = 2;
    EXPECT_EQ(fault_lines(check(h, pages).out),
              lines({"page b800h: item 1: key 'K135' sorts below the key before it (page "
                     "b800h, item 0: 'K136')",
                     "record 2: in the index twice (again at page f000h, item 1)"}));
}

TEST_F(Check, PagesOutsideTheTreeAreANoteAndTheFreePageIsNotOne) {
    Header h = header();
    h.next_page = 0x1400;
    const ToolRun r = check(h, tree(), 0x2000);  // blocks 1400h to 1c00h unused
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({"note: 2 pages lie outside the tree, free or left over: space "
                            "lost, but no key",
                            sound_line(8, 4, 2, 2)}));

    h.next_page = 0xc00;
    const ToolRun live = check(h, tree());
    EXPECT_EQ(live.status, 1);
    EXPECT_EQ(fault_lines(live.out), lines({"header: the free page c00h is a page of the tree"}));
}

TEST_F(Check, WithoutAnIndexToCheckStatusIsTwoAndNothingIsReported) {
    std::ofstream(file("short.ntx"), std::ios::binary) << std::string(279, 'x');
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {file("missing.ntx").string()}, {file("short.ntx").string()},
             {file("short.ntx").string(), file("short.ntx").string(), "three"}}) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
    }
}

TEST_F(Check, PathsReachATerminalInCaretNotation) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal; the console build takes the same path, "
                    "chosen by _isatty";
#else
    const std::string evil = file("evil\x1b]0;PWNED\a.ntx").string();
    std::ofstream(evil, std::ios::binary) << "short";
    const ToolRun r = run_on_terminal(QUARNEL_CHECK_PATH, evil);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, lines({"Error reading header of " + dir_.string() + "/evil^[]0;PWNED^G.ntx"}));
#endif
}

// --- Against the table ---

// The table of tree(): record r holds the key of record number r in CODE.
tables::Table table() {
    tables::Table t{.fields = {{"CODE", 'C', 4}, {"N", 'N', 6, 2}, {"D", 'D', 8}}};
    for (const char* code : {"AAAA", "BBBB", "CCCC", "DDDD", "EEEE", "FFFF", "GGGG", "HHHH"})
        t.records.push_back({{code, "1.00", "20261209"}});
    return t;
}

class Pair : public Check {
protected:
    ToolRun compare(const Header& h, const std::vector<Page>& pages, const tables::Table& t) {
        builder::write_index(file("index.ntx"), h, pages);
        tables::write_table(file("table.dbf"), t);
        return run({file("index.ntx").string(), file("table.dbf").string()});
    }
};

TEST_F(Pair, MatchingTableIsSoundDeletedRecordsIncluded) {
    tables::Table t = table();
    t.records[2].deleted = true;
    const ToolRun r = compare(header(), tree(), t);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({sound_line(8, 4, 2) + "; 8 records"}));

    // A table without the key's field, most likely not the index's own:
    // record numbers are still compared, and the verdict says why keys
    // were not.
    t.fields[0].name = "KOD";
    const ToolRun other = compare(header(), tree(), t);
    EXPECT_EQ(other.status, 0);
    EXPECT_EQ(other.out, lines({sound_line(8, 4, 2) + "; 8 records, keys not compared: the key "
                                                      "expression cannot be read: unknown field "
                                                      "CODE"}));
}

TEST_F(Pair, EachRecordThatDiffersIsNamed) {
    struct Case {
        const char* what;
        Header h;
        tables::Table t;
        std::vector<std::string> faults;
    };
    std::vector<Case> cases;
    auto add = [&](const char* what, auto change, std::vector<std::string> faults) {
        Header h = header();
        tables::Table t = table();
        change(h, t);
        cases.push_back({what, h, t, faults});
    };
    add("a changed field", [](auto&, auto& t) { t.records[3].values[0] = "DDDX"; },
        {"record 4: the index holds key 'DDDD' and the table gives 'DDDX' (page c00h, item 0)"});
    add("a record added", [](auto&, auto& t) { t.records.push_back({{"IIII"}}); },
        {"record 9: not in the index"});
    add("the last records gone", [](auto&, auto& t) { t.records.resize(6); },
        {"record 7: in the index, but the table has only 6 records",
         "record 8: in the index, but the table has only 6 records"});
    add("a record taken out", [](auto&, auto& t) { t.records.erase(t.records.begin() + 5); },
        {"record 8: in the index, but the table has only 7 records",
         "record 6: the index holds key 'FFFF' and the table gives 'GGGG' (page 400h, item 1)",
         "record 7: the index holds key 'GGGG' and the table gives 'HHHH' (page 1000h, item 0)"});
    add("a FOR condition",
        [](auto& h, auto& t) {
            h.for_condition = "N > 0 .AND. !DELETED()";
            t.records[1].values[1] = "-1.00";  // in the index, fails the condition
            t.records[2].deleted = true;
            t.records.push_back({{"IIII", "2.00"}});  // passes, missing
            t.records.push_back({{"JJJJ", "0.00"}});  // fails, rightly missing
        },
        {"record 2: in the index, but fails the FOR condition",
         "record 3: in the index, but fails the FOR condition", "record 9: not in the index"});
    add("a key expression calling a function not evaluated, and the last record gone",
        [](auto& h, auto& t) {
            h.key_expr = "MYFUNC(CODE)";
            t.records.resize(7);
        },
        {"record 8: in the index, but the table has only 7 records"});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ToolRun r = compare(c.h, tree(), c.t);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(fault_lines(r.out), lines(c.faults));
    }
    const std::string out = compare(cases.back().h, tree(), cases.back().t).out;
    const std::string why =
        lines({", keys not compared: the key expression calls MYFUNC, which this check does "
               "not evaluate"});
    EXPECT_EQ(out.substr(out.size() - std::min(out.size(), why.size())), why);
}

TEST_F(Pair, NumbersDatesAndLogicalsAreKeyedAsTheIndexStoresThem) {
    struct Case {
        const char* what;
        const char* expr;
        std::uint16_t key_size, decimals;
        tables::FieldSpec field;
        std::vector<std::string> values;  // in key order, record numbers from 1
        std::vector<std::string> keys;
    };
    const std::vector<Case> cases = {
        // Leading spaces as zeros; below zero, the minus as a zero too and
        // each digit d as 5Ch - d, which sorts negatives first.
        {"numbers", "N", 13, 2, {"N", 'N', 10, 2},
         {"-499.00", "-4.99", "0", "4.5", "1234567.89"},
         {",,,,,,,(##.,,", ",,,,,,,,,(.##", "0000000000.00", "0000000004.50",
          "0001234567.89"}},
        {"a half rounded away from zero", "N", 4, 0, {"N", 'N', 6, 1},
         {"-2.5", "2.5", "3.5"}, {",,,)", "0003", "0004"}},
        {"dates, empty first", "DTOS(D)", 8, 0, {"D", 'D', 8}, {"", "19991231", "20261209"},
         {"        ", "19991231", "20261209"}},
        {"logicals", "L", 1, 0, {"L", 'L', 1}, {"F", "T"}, {"F", "T"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Header h{.item_size = static_cast<std::uint16_t>(c.key_size + 8), .key_size = c.key_size,
                 .key_decimals = c.decimals, .word18 = 10, .max_item = 5, .key_expr = c.expr};
        Page p{.at = 0x400};
        tables::Table t{.fields = {c.field}};
        for (std::size_t i = 0; i < c.keys.size(); ++i) {
            p.items.push_back({.recno = static_cast<std::int32_t>(i + 1), .key = c.keys[i]});
            t.records.push_back({{c.values[i]}});
        }
        const ToolRun r = compare(h, {p}, t);
        EXPECT_EQ(r.status, 0) << r.out;

        // One record off by a digit is named.
        t.records[0].values[0] = c.values[1];
        EXPECT_EQ(compare(h, {p}, t).out.rfind("record 1: the index holds key '" + c.keys[0] +
                                                   "' and the table gives '" + c.keys[1] + "'",
                                               0),
                  0u);
    }
}

TEST_F(Pair, ATableThatCannotBeReadEndsWithStatusTwo) {
    std::vector<tables::Table> bad(5, table());
    bad[0].version = 0x42;  // no table at all
    bad[0].patches = {{0, "PK\x03\x04 an archive, not a table"}};
    bad[1].record_length = 0;
    bad[2].end_mark = false;
    bad[2].header_length = 40;  // the descriptors run past it
    bad[3].truncate_to = 200;   // shorter than its header
    bad[3].header_length = 300;
    bad[4].record_length = 30;  // past its fields' 19
    for (const tables::Table& t : bad) {
        const ToolRun r = compare(header(), tree(), t);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
    }
}

// One leaf of (key, record number) entries.
Page one_leaf(const std::vector<std::pair<std::string, std::int32_t>>& entries) {
    Page p{.at = 0x400};
    for (const auto& [k, r] : entries) p.items.push_back({.recno = r, .key = k});
    return p;
}

// Keys of four bytes, up to 40 items in one page.
Header leaf_header() {
    return {.item_size = 12, .key_size = 4, .word18 = 40, .max_item = 20, .key_expr = "CODE"};
}

TEST_F(Pair, WhereTheRecordsStandIsTheTablesFault) {
    struct Case {
        const char* what;
        std::function<void(tables::Table&)> change;
        std::vector<std::string> faults;
        std::string records;  // as the verdict gives them
    };
    const std::vector<Case> cases = {
        {"a count behind the records, all of them indexed and one changed",
         [](auto& t) {
             t.record_count = 6;
             t.records[7].values[0] = "HHHX";
         },
         {"table: the header counts 6 records and the file holds 8 whole ones; the index holds "
          "all 2 past the count: the header's count is out of date",
          "record 8: the index holds key 'HHHH' and the table gives 'HHHX' (page 1000h, item 1)"},
         "8 records"},
        {"records past the count that the index lacks",
         [](auto& t) {
             t.records.push_back({{"IIII"}});
             t.records.push_back({{"JJJJ"}});
             t.record_count = 8;
         },
         {"table: the header counts 8 records and the file holds 10 whole ones; the index holds "
          "none of the 2 past the count",
          "record 9: not in the index", "record 10: not in the index"},
         "10 records"},
        {"a file cut in its sixth record",
         [](auto& t) { t.truncate_to = tables::natural_header_length(t) + 5 * 19 + 7; },
         {"table: the header counts 8 records, but the file holds only 5 whole ones and 7 bytes "
          "of the next: it is cut short",
          "record 6: in the index, but the file holds only 5 whole records",
          "record 7: in the index, but the file holds only 5 whole records",
          "record 8: in the index, but the file holds only 5 whole records"},
         "5 records"},
        {"bytes between the last record and the end mark",
         [](auto& t) { t.patches = {{tables::natural_header_length(t) + 8 * 19, "ab\x1a"}}; },
         {"table: 2 bytes follow the last whole record, fewer than a record's 19, where only an "
          "end mark 1Ah may stand"},
         "8 records"},
        {"bytes and no end mark",
         [](auto& t) {
             t.eof_mark = false;
             t.patches = {{tables::natural_header_length(t) + 8 * 19, "\x1a\x1a"}};
         },
         {"table: 1 byte follows the last whole record, fewer than a record's 19, where only an "
          "end mark 1Ah may stand"},
         "8 records"},
        {"deletion flags that are neither", [](auto& t) {
             t.records[2].flag = '\0';
             t.records[4].flag = 'D';
         },
         {"table: record 3: deletion flag 00h, neither a space nor '*'",
          "table: record 5: deletion flag 44h, neither a space nor '*'"},
         "8 records"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        tables::Table t = table();
        c.change(t);
        const ToolRun r = compare(header(), tree(), t);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(fault_lines(r.out), lines(c.faults));
        EXPECT_EQ(last_line_of(r.out),
                  lines({"damaged: 8 keys, 4 pages, 2 levels, " + std::to_string(c.faults.size()) +
                         (c.faults.size() == 1 ? " fault" : " faults") +
                         ", 0 pages outside the tree; " + c.records}));
    }

    // No end mark, or one: no fault.
    tables::Table t = table();
    t.eof_mark = false;
    EXPECT_EQ(compare(header(), tree(), t).status, 0);
}

TEST_F(Pair, FieldsThatFeedTheKeyOrConditionMustHoldTheirType) {
    // The key reads L, the condition N and D; T is read by neither.
    tables::Table t{.fields = {{"OK", 'L', 1}, {"N", 'N', 5, 1}, {"D", 'D', 8}, {"T", 'N', 3}}};
    Header h{.item_size = 9, .key_size = 1, .word18 = 40, .max_item = 20, .key_expr = "OK",
             .for_condition = "N >= 0 .OR. DTOS(D) > '2'"};
    Page p{.at = 0x400};
    for (int i = 0; i < 6; ++i) {
        t.records.push_back({{"T", "1.5", "20240101", "x"}});
        p.items.push_back({.recno = i + 1, .key = "T"});
    }
    t.records[1].values = {"X", "1,5", "20240101", "x"};
    t.records[3].values = {"T", "1.5", "20240230"};
    const ToolRun r = compare(h, {p}, t);
    EXPECT_EQ(r.status, 1);
    // What the key holds for them follows the evaluation as ever: X is
    // false, and 1,5 reads as 1, which passes the condition.
    EXPECT_EQ(fault_lines(r.out),
              lines({"table: record 2: field OK (L) holds 'X', not a logical value",
                     "table: record 2: field N (N) holds '  1,5', not a number",
                     "table: record 4: field D (D) holds '20240230', not a date",
                     "record 2: the index holds key 'T' and the table gives 'F' (page 400h, "
                     "item 1)"}));
}

TEST_F(Pair, ALongRunOfOneKindIsCountedAfterAHundredLines) {
    Header h = leaf_header();
    h.for_condition = "N > 0 .AND. .F.";  // no record belongs in the index
    tables::Table t{.fields = {{"CODE", 'C', 4}, {"N", 'N', 3}}};
    for (int i = 0; i < 150; ++i)
        t.records.push_back({{"A", i % 50 == 0 ? "x" : "1"}, false, '\0'});
    const ToolRun r = compare(h, {one_leaf({})}, t);
    EXPECT_EQ(r.status, 1);
    const std::string faults = fault_lines(r.out);
    EXPECT_EQ(std::count(faults.begin(), faults.end(), '\n'), 104);
    EXPECT_NE(faults.find("table: record 100: deletion flag 00h"), std::string::npos);
    EXPECT_EQ(faults.find("table: record 101: deletion flag"), std::string::npos);
    EXPECT_NE(faults.find(lines({"table: record 101: field N (N) holds '  x', not a number",
                                 "table: 50 more records whose deletion flag is neither a space "
                                 "nor '*'"})),
              std::string::npos);
    EXPECT_EQ(last_line_of(r.out), lines({"damaged: 0 keys, 1 page, 1 level, 153 faults, 0 pages "
                                          "outside the tree; 150 records"}));
}

// A unique index holds the first record of each key, and only that one.
TEST_F(Pair, AUniqueIndexHoldsTheFirstRecordOfEachKey) {
    Header h = leaf_header();
    h.unique = 1;
    tables::Table t{.fields = {{"CODE", 'C', 4}}};
    for (const char* code : {"AAAA", "BBBB", "AAAA", "CCCC", "BBBB", "AAAA"})
        t.records.push_back({{code}});
    const auto entries = [](std::int32_t a, std::int32_t b, std::int32_t c) {
        std::vector<std::pair<std::string, std::int32_t>> e;
        if (a) e.push_back({"AAAA", a});
        if (b) e.push_back({"BBBB", b});
        if (c) e.push_back({"CCCC", c});
        return one_leaf(e);
    };
    const ToolRun sound = compare(h, {entries(1, 2, 4)}, t);
    EXPECT_EQ(sound.status, 0) << sound.out;
    EXPECT_EQ(sound.out, lines({"sound: 3 keys, 1 page, 1 level, 0 faults, 0 pages outside the "
                                "tree; 6 records"}));
    EXPECT_EQ(check(h, {entries(1, 2, 4)}).status, 0);

    EXPECT_EQ(fault_lines(compare(h, {entries(3, 2, 4)}, t).out),
              lines({"record 3: in the index in place of record 1, the first with its key"}));
    EXPECT_EQ(fault_lines(compare(h, {entries(1, 0, 4)}, t).out),
              lines({"record 2: not in the index"}));
    EXPECT_EQ(fault_lines(compare(h, {entries(6, 5, 0)}, t).out),
              lines({"record 4: not in the index",
                     "record 5: in the index in place of record 2, the first with its key",
                     "record 6: in the index in place of record 1, the first with its key"}));

    // The first record that passes the FOR condition.
    h.for_condition = "!DELETED()";
    t.records[0].deleted = true;
    EXPECT_EQ(compare(h, {entries(3, 2, 4)}, t).status, 0);

    // Keys that cannot be made leave the records without an entry unjudged.
    h.key_expr = "MYFUNC(CODE)";
    const ToolRun unknown = compare(h, {entries(3, 0, 0)}, t);
    EXPECT_EQ(unknown.status, 0) << unknown.out;
}

// The report of a check run in this process, standard output caught in a
// file while it runs.
std::string checked_here(const fs::path& out, const fs::path& index, const fs::path& table,
                         std::size_t unique_slots) {
#ifdef _WIN32
    // Binary, so that the lines caught end in LF as they are written.
    const auto open_out = [&] {
        return _open(out.string().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, 0600);
    };
    const auto dup = _dup;
    const auto dup2 = _dup2;
    const auto close = _close;
#else
    const auto open_out = [&] {
        return open(out.string().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    };
#endif
    std::fflush(stdout);
    const int saved = dup(1);
    const int to = open_out();
    dup2(to, 1);
    close(to);
    CheckRun run;
    open_check(run, index.string().c_str(), table.string().c_str());
    run.table.unique_slots = unique_slots;
    run_check(run);
    put_verdict(run);
    close_index();
    close_table();
    flush_report();
    dup2(saved, 1);
    close(saved);
    return read_file(out);
}

// The table of a unique index's first records read in many parts, some
// of which hold more keys than their slots: the same records are named.
TEST_F(Pair, AUniqueIndexOfManyKeysIsReadInParts) {
    Header h{.item_size = 12, .key_size = 4, .word18 = 60, .max_item = 30, .key_expr = "CODE",
             .unique = 1};
    tables::Table t{.fields = {{"CODE", 'C', 4}}};
    const int keys = 300;
    const auto code = [](int i) {
        return std::string{'K', char('0' + i / 100), char('0' + i / 10 % 10), char('0' + i % 10)};
    };
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < keys; ++i) t.records.push_back({{code(i)}});
    // Leaves of 20 keys under one root; every seventh key lacks its first
    // record, which the later one with its key holds instead, and every
    // eleventh lacks both.
    std::vector<Page> pages;
    Page root{.at = 0x400};
    std::set<std::string> expected;
    Page leaf{};
    for (int i = 0; i < keys; ++i) {
        std::int32_t recno = i + 1;
        if (i % 11 == 0) {
            expected.insert("record " + std::to_string(recno) + ": not in the index");
            continue;
        }
        if (i % 7 == 0) {
            recno += keys;
            expected.insert("record " + std::to_string(recno) +
                            ": in the index in place of record " + std::to_string(i + 1) +
                            ", the first with its key");
        }
        if (leaf.items.size() == 20) {
            leaf.at = static_cast<std::uint32_t>(0x800 + 0x400 * pages.size());
            const Item last = leaf.items.back();
            leaf.items.pop_back();
            root.items.push_back({.child = leaf.at, .recno = last.recno, .key = last.key});
            pages.push_back(leaf);
            leaf = {};
        }
        leaf.items.push_back({.recno = recno, .key = code(i)});
    }
    leaf.at = static_cast<std::uint32_t>(0x800 + 0x400 * pages.size());
    root.last_child = leaf.at;
    pages.push_back(leaf);
    pages.push_back(root);
    builder::write_index(file("index.ntx"), h, pages);
    tables::write_table(file("table.dbf"), t);

    for (const std::size_t slots : {std::size_t{1} << 18, std::size_t{16}, std::size_t{4}}) {
        SCOPED_TRACE(slots);
        const std::string out =
            checked_here(file("out"), file("index.ntx"), file("table.dbf"), slots);
        std::set<std::string> named;
        std::size_t lines_seen = 0;
        for (std::size_t at = 0; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            const std::string line = out.substr(at, end - at);
            at = end + 1;
            if (line.rfind("record ", 0) == 0) {
                named.insert(line);
                ++lines_seen;
            }
        }
        EXPECT_EQ(named, expected);
        EXPECT_EQ(lines_seen, expected.size());
        EXPECT_NE(out.find(" " + std::to_string(expected.size()) + " faults"), std::string::npos)
            << out;
    }
}

TEST_F(Pair, ADescendingIndexKeepsItsKeysHighestFirst) {
    Header h = leaf_header();
    h.signature = 7;
    h.descending = 1;
    tables::Table t{.fields = {{"CODE", 'C', 4}}};
    for (const char* code : {"BBBB", "DDDD", "AAAA", "DDDD", "CCCC"}) t.records.push_back({{code}});
    Page p = one_leaf({{"DDDD", 2}, {"DDDD", 4}, {"CCCC", 5}, {"BBBB", 1}, {"AAAA", 3}});
    EXPECT_EQ(check(h, {p}).status, 0);
    EXPECT_EQ(compare(h, {p}, t).out,
              lines({"sound: 5 keys, 1 page, 1 level, 0 faults, 0 pages outside the tree; 5 "
                     "records"}));

    std::swap(p.items[2], p.items[3]);
    EXPECT_EQ(fault_lines(check(h, {p}).out),
              lines({"page 400h: item 3: key 'CCCC' sorts above the key before it in a "
                     "descending index (page 400h, item 2: 'BBBB')"}));
    // In ascending order it is out of order, and a flag of 2 says so.
    h.descending = 2;
    const std::string out = fault_lines(check(h, {one_leaf({{"AAAA", 1}, {"BBBB", 2}})}).out);
    EXPECT_EQ(out, lines({"header: the descending flag (byte 280) is 2, neither 0 nor 1; keys "
                          "are checked in ascending order"}));
}

TEST_F(Pair, KeysCallingStrtranAreCompared) {
    Header h = leaf_header();
    h.key_expr = "STRTRAN(CODE,'-','')";
    tables::Table t{.fields = {{"CODE", 'C', 4}}};
    t.records = {{{"A-B"}}, {{"C-D-"}}};
    EXPECT_EQ(compare(h, {one_leaf({{"AB  ", 1}, {"CD  ", 2}})}, t).status, 0);
    EXPECT_EQ(fault_lines(compare(h, {one_leaf({{"A-B ", 1}, {"CD  ", 2}})}, t).out),
              lines({"record 1: the index holds key 'A-B ' and the table gives 'AB  ' (page 400h, "
                     "item 0)"}));
}

// Where every key out of order, or unlike its record's, first differs at a
// byte from 80h up, the index may be in a national collation.
TEST_F(Pair, NationalLettersAreANoteWhereTheyAloneDiffer) {
    const std::string note =
        "note: every key out of order or unlike its record's first differs at a byte from 80h "
        "up: the index may have been built with a national collation or upper case, whose order "
        "and case of such letters this check does not know";
    Header h = leaf_header();
    const ToolRun collated = check(h, {one_leaf({{"AAAA", 1}, {"\xc4" "AAA", 2}, {"BBBB", 3}})});
    EXPECT_EQ(collated.status, 1);
    EXPECT_NE(collated.out.find(lines({note})), std::string::npos);

    tables::Table t{.fields = {{"CODE", 'C', 4}}};
    t.records = {{{"AAAA"}}, {{"\xe4" "AAA"}}};
    const ToolRun upper = compare(h, {one_leaf({{"AAAA", 1}, {"\xc4" "AAA", 2}})}, t);
    EXPECT_NE(upper.out.find(lines({note})), std::string::npos) << upper.out;

    // One fault at a plain letter: no note.
    t.records[0].values = {"AAAB"};
    EXPECT_EQ(compare(h, {one_leaf({{"AAAA", 1}, {"\xc4" "AAA", 2}})}, t).out.find("note:"),
              std::string::npos);
}

TEST_F(Check, HelpVersionAndTheEndOfTheOptions) {
    const ToolRun help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(lines({"Use: quarnel-check [--] INDEX [TABLE]"}), 0), 0u);
    EXPECT_NE(help.out.find("Exit status: 0 sound"), std::string::npos);
    const ToolRun version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("quarnel-check 1.", 0), 0u);
    for (const auto& args : std::vector<std::vector<std::string>>{{"-x", EXAMPLE_INDEX},
                                                                  {"--", "--help"}}) {
        const ToolRun r = run(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(run({"--", EXAMPLE_INDEX}).status, 0);
}

// The real files, where the folder is present: all sound but five.
TEST_F(Check, RealIndexesGiveTheirVerdicts) {
    const fs::path real = fs::path(PROJECT_DIR) / ".." / "shared" / "real-indexes";
    if (!fs::is_directory(real)) GTEST_SKIP() << real << " is not present";
    // By the ends of their paths, each of which names one file.
    const std::vector<std::string> damaged = {"__flh__IDFLH2.NTX", "__German2__test1Oem1.ntx",
                                              "__German__test1Oem1.ntx", "__Foo.NTX",
                                              "/TEST1ANSI1.NTX"};
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(real)) {
        std::string ext = entry.path().extension().string();
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext != ".ntx") continue;
        ++files;
        const std::string name = fs::relative(entry.path(), real).generic_string();
        const bool bad = std::any_of(damaged.begin(), damaged.end(),
                                     [&](const std::string& end) { return name.ends_with(end); });
        const ToolRun r = run({entry.path().string()});
        EXPECT_EQ(r.status, bad ? 1 : 0) << name << "\n" << r.out;
        // Out of order only where a letter from 80h up decides: a note says
        // so (the fourth is also out of order at plain bytes).
        const bool national =
            bad && !name.ends_with("IDFLH2.NTX") && !name.ends_with("TEST1ANSI1.NTX");
        EXPECT_EQ(r.out.find("\nnote: every key out of order") != std::string::npos, national)
            << name;
        EXPECT_EQ(r.out.rfind(bad ? "damaged: " : "sound: ", r.out.size() - 2) !=
                      std::string::npos,
                  true)
            << name;
    }
    EXPECT_EQ(files, 316);
}

std::vector<std::string> tab_columns(const std::string& row) {
    std::vector<std::string> cols;
    for (std::size_t at = 0;;) {
        const std::size_t tab = row.find('\t', at);
        cols.push_back(row.substr(at, tab - at));
        if (tab == std::string::npos) return cols;
        at = tab + 1;
    }
}

// The real pairs, where the folder is present, by the verdict each must get.
TEST_F(Check, RealPairsGiveTheirVerdicts) {
    const fs::path shared = fs::path(PROJECT_DIR) / ".." / "shared";
    const fs::path pairs = shared / "real-tables" / "PAIRS.tsv";
    if (!fs::is_regular_file(pairs)) GTEST_SKIP() << pairs << " is not present";
    // Tables whose header counts fewer records than the file holds, by
    // index: the line that says so, with both counts.
    std::map<std::string, std::string> stale;
    std::ifstream faults(shared / "real-tables" / "TABLE-FAULTS.tsv");
    std::string fault_row;
    std::getline(faults, fault_row);
    while (std::getline(faults, fault_row)) {
        const std::vector<std::string> cols = tab_columns(fault_row);
        ASSERT_EQ(cols.size(), 4u) << fault_row;
        stale[cols[0]] = lines({"table: the header counts " + cols[2] +
                                " records and the file holds " + cols[3] +
                                " whole ones; the index holds all " +
                                std::to_string(std::stoul(cols[3]) - std::stoul(cols[2])) +
                                " past the count: the header's count is out of date"});
    }
    EXPECT_EQ(stale.size(), 7u);
    // Kept in a national collation's order: called out of order, and no
    // record named.
    const std::vector<std::string> collated = {"German2__test1Oem1.ntx", "German__test1Oem1.ntx",
                                               "XSharp__Foo.NTX", "TEST1ANSI1.NTX"};
    std::ifstream in(pairs);
    std::string row;
    std::getline(in, row);  // the column names
    int count = 0;
    while (std::getline(in, row)) {
        const std::vector<std::string> cols = tab_columns(row);
        ASSERT_GE(cols.size(), 3u) << row;
        ++count;
        const std::string& expected = cols[2];
        const ToolRun r = run({(shared / "real-indexes" / cols[0]).string(),
                               (shared / "real-tables" / cols[1]).string()});
        SCOPED_TRACE(cols[0] + " " + expected + "\n" + r.out);
        const std::string verdict = last_line_of(r.out);
        const bool records_named = r.out.find("\nrecord ") != std::string::npos ||
                                   r.out.rfind("record ", 0) == 0;
        const bool is_collated =
            std::any_of(collated.begin(), collated.end(), [&](const std::string& name) {
                return cols[0].size() >= name.size() &&
                       cols[0].compare(cols[0].size() - name.size(), name.size(), name) == 0;
            });
        if (expected == "consistent") {
            EXPECT_FALSE(records_named);
            EXPECT_EQ(verdict.find("keys not compared"), std::string::npos);
            EXPECT_EQ(r.status, is_collated ? 1 : 0);
        } else if (stale.count(cols[0])) {
            // The index is right about every record the file holds.
            EXPECT_EQ(expected, "differs");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(fault_lines(r.out), stale[cols[0]]);
        } else if (expected == "differs") {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(records_named);
            EXPECT_EQ(verdict.find("keys not compared"), std::string::npos);
        } else {
            EXPECT_EQ(expected, "keys-not-compared");
            EXPECT_NE(verdict.find(", keys not compared: "), std::string::npos);
        }
    }
    EXPECT_EQ(count, 275);
}

}  // namespace
