// The benchmark's index generator: what it writes must be the well-formed
// index it claims to be, or the benchmark measures the wrong thing.
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
    std::vector<std::size_t> leaf_depths;
};

void walk(Walk& w, std::uint32_t ref, std::size_t depth) {
    ASSERT_EQ(ref % ntx::page_size, 0u);
    ASSERT_LE(ref + ntx::page_size, w.file.size());
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
    }
    if (leaf) w.leaf_depths.push_back(depth);
}

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
        SCOPED_TRACE(testing::Message() << s.keys << " keys of " << s.key_size);
        const ToolRun made = run_program(
            MAKE_INDEX_PATH,
            {index.string(), std::to_string(s.keys), std::to_string(s.key_size),
             std::to_string(s.fill)},
            dir / "make.out");
        ASSERT_EQ(made.status, 0);

        Walk w;
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

        const ToolRun q = run_quarnel({index.string()}, dir / "quarnel.out");
        EXPECT_EQ(q.status, 0);
        const ToolRun p = run_program(PRINTF_WALK_PATH, {index.string()}, dir / "printf.out");
        EXPECT_EQ(p.status, 0);
        EXPECT_TRUE(q.out == p.out);
    }
    fs::remove_all(dir);
}
