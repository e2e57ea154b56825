// End-to-end: the built tool on index files made by the builder, compared
// byte for byte with the report it must print, and by exit status.
#include "index_builder.h"
#include "run_tool.h"
#include "temp_dir_test.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>


namespace fs = std::filesystem;
using builder::Header;
using builder::Item;
using builder::Page;

namespace {

class Quarnel : public TempDirTest {
protected:
    ToolRun run(const std::vector<std::string>& args) {
        return run_quarnel(args, file("stdout"));
    }
    ToolRun run_index(const Header& h, const std::vector<Page>& pages,
                      std::uint64_t min_size = 0) {
        builder::write_index(file("index.ntx"), h, pages, min_size);
        return run({file("index.ntx").string()});
    }
    ToolRun run_bytes(const std::string& bytes) {
        std::ofstream(file("index.ntx"), std::ios::binary) << bytes;
        return run({file("index.ntx").string()});
    }
};

// The header of the worked example, and its report.
Header example_header() {
    Header h;
    h.next_page = 0x1000;
    h.item_size = 0xe;
    h.key_size = 6;
    h.word18 = 4;  // the most items a page holds; max_item is half of it
    h.max_item = 2;
    h.key_expr = "CODE";
    return h;
}

const std::vector<std::string> example_header_lines = {
    "***** NTX header *****", "Signature 6h", "Version 1h", "Root 400h",
    "Next page 1000h", "Item size eh", "Key size 6h", "Key decimals 0h",
    "Max item 2h", "Key expr: 'CODE'", "Unique: 0"};

std::vector<std::string> with_header(std::vector<std::string> walk,
                                     std::vector<std::string> head = example_header_lines) {
    head.insert(head.end(), walk.begin(), walk.end());
    return head;
}

// A leaf at `at` with one item per key, record numbers from `recno`.
Page leaf(std::uint32_t at, std::vector<std::string> keys, std::int32_t recno = 1) {
    Page p{.at = at};
    for (auto& k : keys) p.items.push_back({.recno = recno++, .key = k});
    return p;
}

std::size_t count_lines(const std::string& out, const std::string& line) {
    std::size_t n = 0;
    const std::string whole = lines({line});
    for (std::size_t at = out.find(whole); at != std::string::npos; at = out.find(whole, at + 1))
        n += at == 0 || out[at - 1] == '\n';
    return n;
}

std::string last_line(const std::string& out) {
    const auto start = out.rfind('\n', out.size() - 2);
    return out.substr(start == std::string::npos ? 0 : start + 1);
}

// --- The worked example and the bundled copy of it ---

TEST_F(Quarnel, WorkedExamplePrintsHeaderAndInOrderWalk) {
    const std::vector<Page> pages = {
        {.at = 0x400, .items = {{.child = 0x800, .recno = 2, .key = "BANANA"}},
         .last_child = 0xc00},
        leaf(0x800, {"APPLE"}), leaf(0xc00, {"CHERRY"}, 3)};
    const ToolRun r = run_index(example_header(), pages);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines(with_header({"view_page", "items: 1", "view_page", "items: 1",
                                        "      0 recno:   1 Key: APPLE",
                                        "      0 recno:   2 Key: BANANA", "view_page",
                                        "items: 1", "      0 recno:   3 Key: CHERRY"})));

    // The bundled example is this very tree.
    builder::write_index(file("expected.ntx"), example_header(), pages, 0x1000);
    EXPECT_EQ(read_file(file("expected.ntx")), read_file(EXAMPLE_INDEX));
}

// --- Command line, open and header failures ---

TEST_F(Quarnel, FailuresPrintOneLineAndStatusOne) {
    const std::string usage = lines({"Use: quarnel arquivo.ntx"});
    const ToolRun none = run({});
    EXPECT_EQ(none.out, usage);
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(run({"a.ntx", "b.ntx"}).out, usage);
    EXPECT_EQ(run({"a.ntx", "b.ntx"}).status, 1);

    const std::string missing = file("missing.ntx").string();
    EXPECT_EQ(run({missing}).out, lines({"Open error: " + missing}));
    EXPECT_EQ(run({missing}).status, 1);

    for (std::size_t size : {0u, 1u, 279u}) {
        const ToolRun r = run_bytes(std::string(size, '\x06'));
        EXPECT_EQ(r.out, lines({"Error reading header of " + file("index.ntx").string()}));
        EXPECT_EQ(r.status, 1);
    }

    // The path reaches the tool as given: not split, unquoted, or expanded
    // to the index.ntx beside it.
    for (const std::string& odd :
         {std::string(), std::string(" two  words "), file("*.ntx").string(),
          std::string("quote\"d\\"), std::string("\\\"")}) {
        EXPECT_EQ(run({odd}).out, lines({"Open error: " + odd})) << odd;
    }
}

TEST_F(Quarnel, FileOpenForWritingElsewhereIsStillRead) {
    // Windows refuses an open that would lock out a writer already there.
    builder::write_index(file("index.ntx"), example_header(), {leaf(0x400, {"A"})});
    std::ofstream writer(file("index.ntx"), std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open());
    EXPECT_EQ(run({file("index.ntx").string()}).status, 0);
}

TEST_F(Quarnel, HeaderOnlyFileFailsAtTheRootRead) {
    const ToolRun r = run_bytes(builder::header_bytes(example_header()));
    EXPECT_EQ(r.out, lines(with_header({"view_page", "Error reading page 400h"})));
    EXPECT_EQ(r.status, 1);

    // A root of 0 is read like any other reference, at offset 0.
    Header h = example_header();
    h.root = 0;
    const ToolRun zero = run_bytes(builder::header_bytes(h));
    EXPECT_EQ(zero.status, 1);
    EXPECT_EQ(last_line(zero.out), lines({"Error reading page 0h"}));
}

// --- Header fields at their extremes ---

TEST_F(Quarnel, HeaderFieldsPrintUnsignedHexAndSignedUnique) {
    Header h{.signature = 0xffff, .version = 0x8001, .root = 0xffffffff,
             .next_page = 0x80000000, .item_size = 0, .key_size = 0xabcd,
             .key_decimals = 0x10, .word18 = 0x1234, .max_item = 0xfffe,
             .key_expr = std::string(256, 'K'), .unique = 0xff, .byte279 = 0x77};
    const std::vector<std::string> head = {
        "***** NTX header *****", "Signature ffffh", "Version 8001h", "Root ffffffffh",
        "Next page 80000000h", "Item size 0h", "Key size abcdh", "Key decimals 10h",
        "Max item fffeh", "Key expr: '" + std::string(256, 'K') + "'", "Unique: -1"};
    const std::string expected =
        lines(with_header({"view_page", "Error reading page ffffffffh"}, head));
    EXPECT_EQ(run_index(h, {}).out, expected);

    // The word at 18 and the byte at 279 are never shown.
    h.word18 = 0;
    h.byte279 = 0;
    EXPECT_EQ(run_index(h, {}).out, expected);

    h.unique = 1;
    h.key_expr = "UPPER(NAME)";
    EXPECT_NE(run_index(h, {}).out.find(lines({"Key expr: 'UPPER(NAME)'", "Unique: 1"})),
              std::string::npos);
}

// --- Pages and items ---

TEST_F(Quarnel, ItemLinesNumberPadAndKeepKeysAsStored) {
    Page p = leaf(0x400, {"A", "TRAILING  ", ""});
    p.items.push_back({.recno = 12345678, .key = "BIG"});
    p.items.push_back({.recno = -1, .key = "ONES"});
    p.items.push_back({.recno = INT32_MIN, .key = "MIN"});
    p.reversed = true;
    const ToolRun r = run_index(example_header(), {p});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines(with_header({"view_page", "items: 6",
                                        "      0 recno:   1 Key: A",
                                        "      1 recno:   2 Key: TRAILING  ",
                                        "      2 recno:   3 Key: ",
                                        "      3 recno: 12345678 Key: BIG",
                                        "      4 recno:  -1 Key: ONES",
                                        "      5 recno: -2147483648 Key: MIN"})));
}

// Bytes a terminal would obey, for a key and the key expression: escape
// sequences (OSC 52 sets the clipboard, 1049h hides the report, (0
// garbles it), CR and BS that overwrite, LF that forges lines, TAB, DEL,
// the first and last controls, and a code-page letter that must pass.
const std::string hostile =
    "\x1b]52;c;UFdORUQ=\a\x1b[?1049h\x1b(0\x1b[31mA\rB\bC\nD\tE\x7f\x01\x1f \x87";

TEST_F(Quarnel, LineEndAndEndOfFileBytesAreReadAsStored) {
    // CR, LF and ^Z in header, reference, offsets, record and key: a file
    // read in text mode would merge or end at them. An LF in a key goes out
    // as the platform's text mode writes every LF. Redirected, a hostile
    // key is written as stored, for scripts and diffs.
    Header h = example_header();
    h.signature = 0x0a0d;
    h.version = 0x1a;
    h.root = 0x0d0a00;
    h.key_expr = "E\x1a\r\nX" + hostile;
    const Page p{.at = 0x0d0a00,
                 .items = {{.recno = 0x0a0d1a0d, .key = "C\rR\nL\x1aZ"},
                           {.recno = 2, .key = hostile}},
                 .offsets = {0x10d, 0x21a, 0x30d}};
    const ToolRun r = run_index(h, {p});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines({"***** NTX header *****", "Signature a0dh", "Version 1ah",
                            "Root d0a00h", "Next page 1000h", "Item size eh", "Key size 6h",
                            "Key decimals 0h", "Max item 2h", "Key expr: 'E\x1a\r",
                            "X\x1b]52;c;UFdORUQ=\a\x1b[?1049h\x1b(0\x1b[31mA\rB\bC",
                            "D\tE\x7f\x01\x1f \x87'", "Unique: 0", "view_page",
                            "items: 2", "      0 recno: 168630797 Key: C\rR", "L\x1aZ",
                            "      1 recno:   2 Key: \x1b]52;c;UFdORUQ=\a\x1b[?1049h\x1b(0"
                            "\x1b[31mA\rB\bC",
                            "D\tE\x7f\x01\x1f \x87"}));
}


TEST_F(Quarnel, OnATerminalControlBytesFromTheFileAreShownNotObeyed) {
#ifdef _WIN32
    GTEST_SKIP() << "needs a pseudo-terminal; the console build takes the same path, "
                    "chosen by _isatty";
#else
    Header h = example_header();
    h.key_expr = hostile;
    const Page p{.at = 0x400,
                 .items = {{.recno = 1, .key = hostile}, {.recno = 2, .key = "PLAIN KEY  "}}};
    builder::write_index(file("index.ntx"), h, {p});
    const ToolRun r = run_on_terminal(QUARNEL_PATH, file("index.ntx").string());
    EXPECT_EQ(r.status, 0);
    const std::string shown = "^[]52;c;UFdORUQ=^G^[[?1049h^[(0^[[31mA^MB^HC^JD^IE^?^A^_ \x87";
    std::vector<std::string> head = example_header_lines;
    head[9] = "Key expr: '" + shown + "'";
    EXPECT_EQ(r.out, lines(with_header({"view_page", "items: 2",
                                        "      0 recno:   1 Key: " + shown,
                                        "      1 recno:   2 Key: PLAIN KEY  "},
                                       head)));

    // A file name can hold control bytes too (a folder unpacked from an
    // untrusted archive): on a terminal it is shown as keys are, and
    // redirected it stays as given.
    const std::string dir = dir_.string();
    const std::string missing = file("\x1b[31m\r.ntx").string();
    EXPECT_EQ(run_on_terminal(QUARNEL_PATH, missing).out, lines({"Open error: " + dir + "/^[[31m^M.ntx"}));
    const std::string evil = file("evil\x1b]0;PWNED\a.ntx").string();
    std::ofstream(evil, std::ios::binary) << "short";
    EXPECT_EQ(run_on_terminal(QUARNEL_PATH, evil).out,
              lines({"Error reading header of " + dir + "/evil^[]0;PWNED^G.ntx"}));
    EXPECT_EQ(run({evil}).out, lines({"Error reading header of " + evil}));
#endif
}

TEST_F(Quarnel, EmptyPageVisitsItsOnlyChild) {
    const ToolRun r = run_index(example_header(), {{.at = 0x400, .last_child = 0x800},
                                                   leaf(0x800, {"X"})});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, lines(with_header({"view_page", "items: 0", "view_page", "items: 1",
                                        "      0 recno:   1 Key: X"})));
}

TEST_F(Quarnel, PagesOfMoreThan255ItemsAreShownInFull) {
    // Every item shares the zero slot at the page's end: child 0, recno 0.
    for (std::uint16_t n : {std::uint16_t{256}, std::uint16_t{300}, std::uint16_t{506}}) {
        Page p{.at = 0x400, .count = n, .offsets = std::vector<std::uint16_t>(n + 1u, 1016)};
        std::vector<std::string> expected = {"view_page", "items: " + std::to_string(n)};
        for (int j = 0; j < n; ++j) {
            char line[64];
            std::snprintf(line, sizeof line, "%7i recno:   0 Key: ", j);
            expected.push_back(line);
        }
        const ToolRun r = run_index(example_header(), {p});
        EXPECT_EQ(r.status, 0) << n;
        EXPECT_EQ(r.out, lines(with_header(expected))) << n;
    }
}

TEST_F(Quarnel, KeyWithoutZeroEndsAtThePageEnd) {
    Page p{.at = 0x400, .count = 1, .offsets = {1010, 6}, .patches = {{1018, "ABCDEF"}}};
    const ToolRun r = run_index(example_header(), {p});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(last_line(r.out), lines({"      0 recno:   0 Key: ABCDEF"}));
}

TEST_F(Quarnel, ChildPastTheEndFailsAfterItsViewLine) {
    // Wholly past the end, partly past it, and past 2 GiB: none is read in full.
    for (const auto& [child, text] : {std::pair{0x7ffffc00u, "7ffffc00"}, std::pair{0x600u, "600"},
                                      std::pair{0x80000400u, "80000400"}}) {
        Page p = leaf(0x400, {"A", "B"});
        p.items[1].child = child;
        const ToolRun r = run_index(example_header(), {p});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_EQ(r.out, lines(with_header({"view_page", "items: 2", "      0 recno:   1 Key: A",
                                            "view_page",
                                            std::string("Error reading page ") + text + "h"})));
    }
}

// --- Layout faults are reported where the walk meets them ---

TEST_F(Quarnel, PagesBreakingTheLayoutEndWithAnErrorLine) {
    struct Case {
        Page page;
        std::vector<std::string> tail;
    };
    const std::vector<Case> cases = {
        {{.at = 0x400, .count = 511, .offsets = {4}},
         {"items: 511", "Error in page 400h: 511 items do not fit"}},
        {{.at = 0x400, .count = 600, .offsets = {4}},
         {"items: 600", "Error in page 400h: 600 items do not fit"}},
        {{.at = 0x400, .count = 2, .offsets = {8, 1017, 24}, .patches = {{16, "A"}}},
         {"items: 2", "      0 recno:   0 Key: A", "Error in page 400h: item 1 lies outside the page"}},
        {{.at = 0x400, .count = 1, .offsets = {8, 1021}},
         {"items: 1", "      0 recno:   0 Key: ", "Error in page 400h: item 1 lies outside the page"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> walk = {"view_page"};
        walk.insert(walk.end(), c.tail.begin(), c.tail.end());
        const ToolRun r = run_index(example_header(), {c.page});
        EXPECT_EQ(r.status, 1) << c.tail.back();
        EXPECT_EQ(r.out, lines(with_header(walk))) << c.tail.back();
    }
    // The last possible slots are still inside the page.
    const ToolRun r = run_index(example_header(), {{.at = 0x400, .count = 1, .offsets = {1016, 1020}}});
    EXPECT_EQ(r.status, 0);
}

// --- Mended faults: unsigned references, read where they point ---

TEST_F(Quarnel, ReferencesAtOrAbove2GiBAreReadWhereTheyPoint) {
    // In a short file the read comes back short, rather than showing the
    // bytes after the header as the page.
    Header h = example_header();
    h.root = 0x80000400;
    ToolRun r = run_index(h, {leaf(0x400, {"NOT ME"})});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(last_line(r.out), lines({"Error reading page 80000400h"}));

    // In a sparse file just under 4 GiB they reach their page.
    h.root = 0xfffff800;
    r = run_index(h, {leaf(0xfffff800, {"HIGH"}, 7)}, 0xfffffc00);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(last_line(r.out), lines({"      0 recno:   7 Key: HIGH"}));
}

// --- The walk always ends ---

TEST_F(Quarnel, LoopsOnThePathAreReportedButSharedPagesShowTwice) {
    Page root = leaf(0x400, {"R"});
    root.items[0].child = 0x800;
    root.last_child = 0x800;
    Page back = leaf(0x800, {"B"});
    back.last_child = 0x400;
    ToolRun r = run_index(example_header(), {root, back});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, lines(with_header({"view_page", "items: 1", "view_page", "items: 1",
                                        "      0 recno:   1 Key: B",
                                        "Error in page 800h: child 400h is already on the path"})));

    root.last_child = 0x400;
    root.items[0].child = 0;
    r = run_index(example_header(), {root});
    EXPECT_EQ(last_line(r.out), lines({"Error in page 400h: child 400h is already on the path"}));

    // The same leaf under two items of one page is no loop.
    root.last_child = 0x800;
    root.items[0].child = 0x800;
    r = run_index(example_header(), {root, leaf(0x800, {"L"})});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, "      0 recno:   1 Key: L"), 2u);
}

// A chain of `levels` distinct pages, each the only child of the one above.
std::vector<Page> chain(std::size_t levels) {
    std::vector<Page> pages;
    for (std::size_t k = 0; k < levels; ++k) {
        const auto at = static_cast<std::uint32_t>(0x400 * (k + 1));
        pages.push_back({.at = at, .last_child = k + 1 < levels ? at + 0x400 : 0});
    }
    return pages;
}

TEST_F(Quarnel, DeepChainsStopAtTheDepthLimit) {
    ToolRun r = run_index(example_header(), chain(256));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, "view_page"), 256u);

    r = run_index(example_header(), chain(100000));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count_lines(r.out, "view_page"), 256u);
    EXPECT_EQ(last_line(r.out),
              lines({"Error in page 40000h: child 40400h lies deeper than 256 levels"}));
}

TEST_F(Quarnel, DoublingReferencesStopAtTheVisitLimit) {
    // Both children of every page name the next one: 2^60 visits unchecked.
    std::vector<Page> pages = chain(60);
    for (Page& p : pages) p.items = {{.child = p.last_child, .recno = 1, .key = "D"}};
    const ToolRun r = run_index(example_header(), pages);
    EXPECT_EQ(r.status, 1);
    // 61 KiB of file: 2 * 61 + 1024 visits.
    EXPECT_EQ(count_lines(r.out, "view_page"), 1146u);
    EXPECT_NE(last_line(r.out).find("goes past the limit of 1146 page visits"), std::string::npos);
}

TEST_F(Quarnel, FullTreeOfDistinctPagesIsShownInFull) {
    // Three levels of ten children: every page a distinct block, each once.
    std::vector<Page> pages;
    std::uint32_t next = 0x400;
    auto add = [&](auto&& self, int level) -> std::uint32_t {
        Page p{.at = next};
        next += 0x400;
        for (int k = 0; k < 9; ++k)
            p.items.push_back({.child = level ? self(self, level - 1) : 0, .recno = k, .key = "K"});
        p.last_child = level ? self(self, level - 1) : 0;
        pages.push_back(p);
        return p.at;
    };
    add(add, 2);
    const ToolRun r = run_index(example_header(), pages);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(count_lines(r.out, "view_page"), 111u);
}

// --- A file that changes under the walk ---

TEST_F(Quarnel, FileCutOrRewrittenDuringTheWalkEndsCleanly) {
    // Three levels of 30 children, about 1 MiB, so changes land mid-walk.
    std::vector<Page> pages;
    std::uint32_t next = 0x400;
    auto add = [&](auto&& self, int level) -> std::uint32_t {
        Page p = leaf(next, std::vector<std::string>(30, "KEY"));
        next += 0x400;
        if (level > 0) {
            for (Item& item : p.items) item.child = self(self, level - 1);
            p.last_child = self(self, level - 1);
        }
        pages.push_back(p);
        return p.at;
    };
    add(add, 2);
    const fs::path index = file("index.ntx");
    builder::write_index(index, example_header(), pages);
    const std::string original = read_file(index);

    // While the tool walks it, this process cuts the file short, overwrites
    // pages with noise and puts it back, over and over.
    std::atomic<bool> walks_done{false};
    std::thread changer([&] {
        std::minstd_rand random(7);
        std::string noise(1024, '\0');
        for (unsigned k = 0; !walks_done; ++k) {
            const std::size_t at = random() % original.size();
            std::error_code ignored;  // a change refused now is tried again
            if (k % 3 == 0) {
                fs::resize_file(index, at, ignored);
                continue;
            }
            std::fstream f(index, std::ios::binary | std::ios::in | std::ios::out);
            if (k % 3 == 1) {
                for (char& c : noise) c = static_cast<char>(random());
                f.seekp(static_cast<std::streamoff>(at)).write(noise.data(), 1024);
            } else {
                f.write(original.data(), static_cast<std::streamsize>(original.size()));
            }
        }
    });
    for (int k = 0; k < 30; ++k) {
        const ToolRun r = run({index.string()});
        // A page-read or layout error, or the walk of what was there.
        EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
        if (r.status == 1) {
            EXPECT_EQ(last_line(r.out).rfind("Error ", 0), 0u) << last_line(r.out);
        }
    }
    walks_done = true;
    changer.join();
}

// --- Output that cannot be written is no success ---

TEST_F(Quarnel, UnwritableOutputEndsWithStatusOne) {
#ifdef _WIN32
    GTEST_SKIP() << "Windows has no device like /dev/full that refuses every write";
#endif
    builder::write_index(file("index.ntx"), example_header(), {leaf(0x400, {"A"})});
    EXPECT_EQ(run_quarnel({file("index.ntx").string()}, "/dev/full").status, 1);
}

}  // namespace
