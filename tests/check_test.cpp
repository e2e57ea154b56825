// End-to-end: the built quarnel-check on indexes made by the builder, by
// the lines it prints and its status.
#include "index_builder.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using builder::Header;
using builder::Item;
using builder::Page;

namespace {

class Check : public ::testing::Test {
protected:
    void SetUp() override {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        dir_ = fs::temp_directory_path() /
               (std::string("quarnel-") + info->test_suite_name() + "-" + info->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path file(const std::string& name) const { return dir_ / name; }

    ToolRun run(const std::vector<std::string>& args) {
        return run_program(QUARNEL_CHECK_PATH, args, file("stdout"));
    }
    ToolRun check(const Header& h, const std::vector<Page>& pages, std::uint64_t min_size = 0) {
        builder::write_index(file("index.ntx"), h, pages, min_size);
        return run({file("index.ntx").string()});
    }

    fs::path dir_;
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

// The real files, where the folder is present: all sound but five.
TEST_F(Check, RealIndexesGiveTheirVerdicts) {
    const fs::path real = fs::path(PROJECT_DIR) / ".." / "shared" / "real-indexes";
    if (!fs::is_directory(real)) GTEST_SKIP() << real << " is not present";
    const std::vector<std::string> damaged = {
        "mmstec__solutions/clipper__flh__IDFLH2.NTX",
        "X-Sharp__XSharpPublic/Runtime__XSharp.Rdd.Tests__tests__VO__German2__test1Oem1.ntx",
        "X-Sharp__XSharpPublic/Runtime__XSharp.Rdd.Tests__tests__VO__German__test1Oem1.ntx",
        "X-Sharp__XSharpPublic/Runtime__XSharp.Rdd.Tests__tests__XSharp__Foo.NTX",
        "X-Sharp__XSharpPublic/TEST1ANSI1.NTX"};
    int files = 0;
    for (const auto& entry : fs::recursive_directory_iterator(real)) {
        std::string ext = entry.path().extension().string();
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (ext != ".ntx") continue;
        ++files;
        const std::string name = fs::relative(entry.path(), real).generic_string();
        const bool bad = std::find(damaged.begin(), damaged.end(), name) != damaged.end();
        const ToolRun r = run({entry.path().string()});
        EXPECT_EQ(r.status, bad ? 1 : 0) << name << "\n" << r.out;
        EXPECT_EQ(r.out.rfind(bad ? "damaged: " : "sound: ", r.out.size() - 2) !=
                      std::string::npos,
                  true)
            << name;
    }
    EXPECT_EQ(files, 316);
}

}  // namespace
