// The benchmark's index generator: what it writes must be the well-formed
// index it claims to be, or the benchmark measures the wrong thing.
#include "dbf_layout.h"
#include "ntx_layout.h"
#include "run_tool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Shape {
    std::uint64_t keys;
    std::size_t key_size;
    double fill;
};

struct Walk {
    std::vector<std::uint8_t> file;
    std::size_t key_size = 0;
    std::vector<std::string> keys;
    std::vector<std::int32_t> recnos;
    std::vector<std::size_t> leaf_depths;
    std::vector<std::uint32_t> visits;  // pages in the order the walk reads them
};

void walk(Walk& w, std::uint32_t ref, std::size_t depth) {
    ASSERT_EQ(ref % ntx::page_size, 0u);
    ASSERT_LE(ref + ntx::page_size, w.file.size());
    w.visits.push_back(ref);
    ntx::IndexPage page;
    std::copy_n(w.file.begin() + ref, ntx::page_size, page.bytes.begin());
    const std::size_t count = ntx::item_count(page);
    bool leaf = true;
    for (std::size_t j = 0; j <= count; ++j) {
        const auto child = ntx::decode_child(page, j);
        ASSERT_TRUE(child);
        if (*child != 0) {
            leaf = false;
            walk(w, *child, depth + 1);
        }
        if (j == count) break;
        const auto item = ntx::decode_item(page, j);
        ASSERT_TRUE(item);
        ASSERT_EQ(item->key.size(), w.key_size);
        w.keys.emplace_back(item->key);
        w.recnos.push_back(item->recno);
    }
    if (leaf) w.leaf_depths.push_back(depth);
}

// Makes the index, and the table when one is named, and checks that the
// index is well formed, whatever its layout.
void make_and_walk(const fs::path& index, const Shape& s, const std::string& layout,
                   Walk& w, const fs::path& table = {}) {
    std::vector<std::string> args{index.string(), std::to_string(s.keys),
                                  std::to_string(s.key_size), std::to_string(s.fill), layout};
    if (!table.empty()) args.push_back(table.string());
    const ToolRun made = run_program(MAKE_INDEX_PATH, args, index.parent_path() / "make.out");
    ASSERT_EQ(made.status, 0);

    const std::string bytes = read_file(index);
    w.file.assign(bytes.begin(), bytes.end());
    ASSERT_EQ(w.file.size() % ntx::page_size, 0u);
    const auto h = ntx::decode_header(w.file);
    ASSERT_TRUE(h);
    EXPECT_EQ(h->key_size, s.key_size);
    EXPECT_EQ(h->item_size, s.key_size + ntx::key_at);
    w.key_size = h->key_size;
    walk(w, h->root, 0);

    ASSERT_EQ(w.keys.size(), s.keys);
    for (std::size_t i = 1; i < w.keys.size(); ++i) ASSERT_LT(w.keys[i - 1], w.keys[i]);
    // Code, space and name take at most 21 characters; spaces fill the rest.
    for (const std::string& k : w.keys) ASSERT_EQ(k.find_first_not_of(' ', 21), k.npos);
    ASSERT_FALSE(w.leaf_depths.empty());
    for (std::size_t d : w.leaf_depths) ASSERT_EQ(d, w.leaf_depths.front());
    // Every block past the header is a page of the tree, read once.
    std::vector<std::uint32_t> seen = w.visits;
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
    EXPECT_EQ(seen.size() + 1, w.file.size() / ntx::page_size);
}

std::string without_root_line(std::string report) {
    const std::size_t at = report.find("\nRoot ");
    if (at != report.npos) report.erase(at + 1, report.find('\n', at + 1) - at);
    return report;
}

// The share of steps in the walk's reading order that go to the block just
// before or after: high where pages lie in order, low where they are shuffled.
double near_steps(const Walk& w) {
    std::size_t near = 0;
    for (std::size_t i = 1; i < w.visits.size(); ++i) {
        const std::uint32_t a = w.visits[i - 1], b = w.visits[i];
        near += (a > b ? a - b : b - a) == ntx::page_size ? 1 : 0;
    }
    return static_cast<double>(near) / static_cast<double>(w.visits.size() - 1);
}

const char* const layouts[] = {"sorted", "mixed:0.4", "scattered"};

}  // namespace

TEST(MakeIndex, WritesWellFormedTreesThatQuarnelAndPrintfWalkAgreeOn) {
    const fs::path dir = fs::temp_directory_path() / "quarnel-make-index";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path index = dir / "index.ntx";
    // Empty, a lone root, one past a full leaf, and trees of two to four
    // levels at the narrowest and widest keys.
    const Shape shapes[] = {{0, 20, 0.7},   {1, 20, 0.7},   {23, 20, 0.7},
                            {5000, 20, 0.7}, {3000, 10, 1.0}, {400, 200, 0.1}};
    for (const Shape& s : shapes) {
        std::string sorted_report;
        for (const std::string layout : layouts) {
            SCOPED_TRACE(testing::Message() << s.keys << " keys of " << s.key_size << ", "
                                            << layout);
            Walk w;
            ASSERT_NO_FATAL_FAILURE(make_and_walk(index, s, layout, w));

            const ToolRun q = run_quarnel({index.string()}, dir / "quarnel.out");
            EXPECT_EQ(q.status, 0);
            const ToolRun p =
                run_program(PRINTF_WALK_PATH, {index.string()}, dir / "printf.out");
            EXPECT_EQ(p.status, 0);
            EXPECT_TRUE(q.out == p.out);
            // Layouts move pages, never what is in them.
            if (sorted_report.empty()) sorted_report = without_root_line(q.out);
            EXPECT_TRUE(without_root_line(q.out) == sorted_report);
        }
    }
    fs::remove_all(dir);
}

TEST(MakeIndex, LayoutsOtherThanSortedMovePages) {
    const fs::path dir = fs::temp_directory_path() / "quarnel-make-index-layouts";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const Shape shape{5000, 20, 0.7};
    double near[3] = {};
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(layouts[i]);
        Walk w;
        ASSERT_NO_FATAL_FAILURE(make_and_walk(dir / "index.ntx", shape, layouts[i], w));
        near[i] = near_steps(w);
    }
    // Sorted: leaves one after another but for the step over a parent.
    EXPECT_GT(near[0], 0.8);
    // Mixed: only where both neighbours stayed, about 0.6 * 0.6.
    EXPECT_GT(near[1], 0.15);
    EXPECT_LT(near[1], 0.6);
    EXPECT_LT(near[2], 0.05);
    fs::remove_all(dir);
}

TEST(MakeIndex, RefusesUnknownLayouts) {
    const fs::path dir = fs::temp_directory_path() / "quarnel-make-index-usage";
    fs::create_directories(dir);
    for (const char* layout : {"mixed:", "mixed:1.5", "mixed:-0.1", "mixed", "shuffled"}) {
        const ToolRun r = run_program(
            MAKE_INDEX_PATH, {(dir / "index.ntx").string(), "100", "20", "0.8", layout},
            dir / "make.out");
        EXPECT_EQ(r.status, 2) << layout;
    }
    EXPECT_FALSE(fs::exists(dir / "index.ntx"));
    fs::remove_all(dir);
}

// The table written beside an index is the one it indexes: record r gives,
// through the key expression CODE+NAME, the key stored with record number
// r, and every record is there once. Making it leaves the index unchanged.
TEST(MakeIndex, WritesTheTableTheIndexWasBuiltFrom) {
    const fs::path dir = fs::temp_directory_path() / "quarnel-make-index-table";
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path index = dir / "index.ntx", table = dir / "table.dbf";
    const Shape shapes[] = {{0, 20, 0.7}, {1, 12, 0.7}, {5000, 20, 0.7}, {400, 200, 0.1},
                            {2999, 33, 1.0}};
    for (const Shape& s : shapes) {
        for (const std::string layout : {"sorted", "scattered"}) {
            SCOPED_TRACE(testing::Message() << s.keys << " keys of " << s.key_size << ", "
                                            << layout);
            Walk alone, w;
            ASSERT_NO_FATAL_FAILURE(make_and_walk(index, s, layout, alone));
            ASSERT_NO_FATAL_FAILURE(make_and_walk(index, s, layout, w, table));
            EXPECT_TRUE(alone.file == w.file);
            EXPECT_EQ(ntx::decode_header(w.file)->key_expr, "CODE+NAME");

            const std::string bytes = read_file(table);
            const dbf::Bytes file(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                  bytes.size());
            const auto length = dbf::header_length(file);
            ASSERT_TRUE(length);
            const dbf::TableDecoded d = dbf::decode_table_header(file.first(*length));
            ASSERT_TRUE(d.header) << d.error;
            const dbf::TableHeader& h = *d.header;
            ASSERT_EQ(h.record_count, s.keys);
            EXPECT_EQ(dbf::check_table_size(h, bytes.size()), "");
            EXPECT_EQ(bytes.back(), '\x1a');
            const dbf::Field* code = dbf::find_field(h, "CODE");
            const dbf::Field* name = dbf::find_field(h, "NAME");
            const dbf::Field* since = dbf::find_field(h, "SINCE");
            ASSERT_TRUE(code && name && since);
            ASSERT_EQ(code->length + name->length, s.key_size);

            std::vector<bool> seen(h.record_count + 1);
            for (std::size_t k = 0; k < w.keys.size(); ++k) {
                const std::int32_t r = w.recnos[k];
                ASSERT_GE(r, 1);
                ASSERT_LE(static_cast<std::uint32_t>(r), h.record_count);
                ASSERT_FALSE(seen[static_cast<std::size_t>(r)]) << r;
                seen[static_cast<std::size_t>(r)] = true;
                const dbf::Bytes rec = file.subspan(
                    static_cast<std::size_t>(dbf::record_offset(h, static_cast<std::uint32_t>(r))),
                    h.record_length);
                ASSERT_FALSE(dbf::is_deleted(rec));
                const dbf::Bytes c = dbf::field_bytes(rec, *code), n = dbf::field_bytes(rec, *name);
                ASSERT_EQ(std::string(c.begin(), c.end()) + std::string(n.begin(), n.end()),
                          w.keys[k])
                    << r;
                const dbf::Bytes date = dbf::field_bytes(rec, *since);
                ASSERT_TRUE(std::all_of(date.begin(), date.end(),
                                        [](std::uint8_t b) { return b >= '0' && b <= '9'; }));
            }
        }
    }
    // A key too short for a name beside its code has no table.
    const ToolRun r = run_program(
        MAKE_INDEX_PATH, {index.string(), "10", "11", "0.8", "sorted", table.string()},
        dir / "make.out");
    EXPECT_EQ(r.status, 2);
    fs::remove_all(dir);
}
