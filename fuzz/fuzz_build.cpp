// Fuzz entry: each input describes a shape and a run of entries. Byte 0
// picks the most items a page holds, byte 1 the key size, byte 2 the item's
// padding (and, with its top bit, a shape one item too wide, which must be
// refused), bytes 3 and 4 the count (up to 300, or with byte 4's top bit up
// to 4096); the rest seeds the keys and record numbers, which are sorted.
// The entries are built into pages, and the pages, held in memory, are
// walked from the header's root: every reference must name one of the
// pages, reached once; every leaf lie at one depth; every count be at most
// the most a page holds, every subtree be spread as the rule says; and the
// entries come back identical and in order.
#include "check_run.h"
#include "memory_platform.h"
#include "ntx_build.h"

#include <algorithm>
#include <set>
#include <string_view>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr std::size_t most_entries = 4096;
constexpr std::size_t most_key = 64;

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "broken: %s\n", what);
        std::abort();
    }
}

struct Entry {
    std::uint32_t recno = 0;
    std::string key;
    bool operator==(const Entry&) const = default;
    bool operator<(const Entry& e) const { return std::tie(key, recno) < std::tie(e.key, e.recno); }
};

// The walk of the built pages, in memory.
struct PageWalk {
    PageWalk(const std::vector<ntx::IndexPage>& p, const ntx::BuildShape& s)
        : pages(p), shape(s), seen(p.size(), false) {}
    const std::vector<ntx::IndexPage>& pages;
    const ntx::BuildShape& shape;
    std::vector<bool> seen;
    std::vector<Entry> entries;
    int leaf_depth = -1;
};

// Entries of the subtree at `ref`, whose page lies `depth` below the root.
std::uint64_t walk(PageWalk& w, std::uint32_t ref, int depth, std::size_t height) {
    require(depth <= 64, "deeper than any tree built");
    require(ref % ntx::page_size == 0 && ref >= ntx::page_size, "reference off a page");
    const std::size_t k = ref / ntx::page_size - 1;
    require(k < w.pages.size(), "reference past the file");
    require(!w.seen[k], "page reached twice");
    w.seen[k] = true;
    const ntx::IndexPage& page = w.pages[k];
    const std::size_t n = ntx::item_count(page);
    require(n <= w.shape.max_items, "more items than a page holds");

    const auto first = ntx::decode_child(page, 0);
    require(first.has_value(), "no first child");
    const bool leaf = *first == 0;
    require(leaf == (height == 0), "leaf off the leaves' level");
    if (leaf) {
        require(w.leaf_depth < 0 || w.leaf_depth == depth, "leaves at two depths");
        w.leaf_depth = depth;
    }
    std::vector<std::uint64_t> sizes;
    for (std::size_t j = 0; j <= n; ++j) {
        const auto off = ntx::load_u16le(page.bytes, ntx::item_offsets_at + 2 * j);
        require(*off == ntx::slot_at(w.shape, j), "offsets not in slot order");
        const auto child = ntx::decode_child(page, j);
        require(child && (*child == 0) == leaf, "a child missing, or in a leaf");
        if (!leaf) sizes.push_back(walk(w, *child, depth + 1, height - 1));
        if (j == n) break;
        const auto item = ntx::decode_item(page, j);
        require(item && item->child == *child, "item not decoded");
        require(*off + ntx::key_at + w.shape.key_size <= ntx::page_size, "key past the page");
        w.entries.push_back({static_cast<std::uint32_t>(item->recno),
                             std::string(reinterpret_cast<const char*>(page.bytes.data()) +
                                             *off + ntx::key_at,
                                         w.shape.key_size)});
    }
    if (leaf) return n;
    // The fewest children that hold the subtree at its height, the others'
    // entries spread evenly, the larger children first.
    std::uint64_t total = n, unit = 1;
    for (std::size_t h = 0; h < height; ++h) unit *= w.shape.max_items + 1u;
    for (std::size_t j = 0; j < sizes.size(); ++j) {
        total += sizes[j];
        require(sizes[0] - sizes[j] <= 1 && (j == 0 || sizes[j] <= sizes[j - 1]),
                "children not spread evenly");
    }
    require(n * unit < total + 1 && (n + 1) * unit >= total + 1, "not the fewest children");
    return total;
}

std::uint64_t next_random(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15u);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
}

}  // namespace

namespace {

std::string report;
std::vector<Entry> collected;
std::size_t collected_key_size = 0;

void collect(void*, std::uint32_t recno, const std::uint8_t* key) {
    collected.push_back({recno, std::string(reinterpret_cast<const char*>(key), collected_key_size)});
}

// The built file as the checker reads it: sound, every entry counted, and
// handed back in the same order. Where the entries themselves are not an
// index's (a record number twice) or the header cannot be one the checker
// takes (an item larger than key + 8), only that is left out.
void prove_with_checker(const std::vector<Entry>& in, const std::vector<ntx::IndexPage>& pages,
                        const std::array<std::uint8_t, ntx::page_size>& header,
                        std::uint16_t key_size, std::uint16_t item_size) {
    if (key_size == 0 || item_size != key_size + ntx::item_fixed_size) return;
    std::set<std::uint32_t> recnos;
    for (const Entry& e : in)
        if (!recnos.insert(e.recno).second) return;
    std::vector<std::uint8_t> file(header.begin(), header.end());
    for (const ntx::IndexPage& page : pages) file.insert(file.end(), page.bytes.begin(), page.bytes.end());
    fuzz::index_file = {file.data(), file.size()};
    report.clear();
    CheckRun run;
    char name[] = "built.ntx";
    open_check(run, name, nullptr);
    run_check(run);
    require(run.check.counts.faults == 0, "the checker finds the built index damaged");
    require(run.check.counts.keys == in.size(), "the checker counts other keys");
    collected.clear();
    collected_key_size = key_size;
    run.check.walk = Walk::collect;
    run.check.collect = collect;
    check_tree(run.check);
    require(collected == in, "the checker's walk gives other entries back");
}

}  // namespace

void fuzz::printed(std::string_view text) { report.append(text); }

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const std::uint16_t key_size = static_cast<std::uint16_t>(data[1] % (most_key + 1));
    const std::uint16_t item_size = static_cast<std::uint16_t>(key_size + 8 + (data[2] & 3));
    // 2 + 2 (max + 1) + (max + 1) item_size <= 1024.
    const std::size_t widest = (ntx::page_size - 2) / (2u + item_size) - 1;
    const bool too_wide = data[2] & 0x80;
    const auto max_items =
        static_cast<std::uint16_t>(too_wide ? widest + 1 : 1 + data[0] % widest);
    const ntx::BuildShape shape{.max_items = max_items, .key_size = key_size,
                                .item_size = item_size};
    // Mostly a few pages, so that runs are quick; with the top bit of byte
    // 4, up to most_entries.
    const std::size_t count = (std::size_t{data[3]} | std::size_t{data[4]} << 8) %
                              (data[4] & 0x80 ? most_entries + 1 : 301);

    ntx::TreeBuild b;
    if (!ntx::begin_build(b, shape, count)) {
        require(too_wide, "a shape that fits refused");
        require(b.levels.empty() && ntx::end_build(b) == 0, "a refused build left state");
        return 0;
    }
    require(!too_wide, "a shape too wide accepted");

    // Keys of bytes mostly from a small alphabet, so that equal keys and
    // shared prefixes come often, with the zero byte among them.
    std::uint64_t state = 0;
    for (std::size_t k = 5; k < size; ++k) state = state * 31 + data[k];
    std::vector<Entry> in(count);
    for (Entry& e : in) {
        // Record numbers the checker takes: 1 to 2^31 - 1.
        e.recno = static_cast<std::uint32_t>(1 + next_random(state) % 0x7ffffffe);
        e.key.resize(key_size);
        for (char& c : e.key) {
            const std::uint64_t r = next_random(state);
            c = static_cast<char>(size > 5 && r % 4 ? data[5 + r / 4 % (size - 5)] % 4 : r >> 8);
        }
    }
    std::sort(in.begin(), in.end());

    std::vector<ntx::IndexPage> pages;
    const auto take = [&] {
        require(b.done.size() <= b.levels.size(), "more pages done than levels");
        pages.insert(pages.end(), b.done.begin(), b.done.end());
        b.done.clear();
    };
    take();
    for (const Entry& e : in) {
        require(ntx::end_build(b) == 0, "ended before the last entry");
        require(ntx::add_entry(b, e.recno, reinterpret_cast<const std::uint8_t*>(e.key.data())),
                "entry refused");
        take();
    }
    const std::uint8_t spare[most_key] = {};
    require(!ntx::add_entry(b, 1, spare), "an entry past the count taken");
    const std::uint32_t root = ntx::end_build(b);
    require(pages.size() == b.pages && pages.size() == ntx::count_pages(count, max_items),
            "pages not as counted");
    // The file: the header, then the pages from 1024 on, the root last.
    const std::uint64_t file_size = (pages.size() + 1) * ntx::page_size;
    require(root == file_size - ntx::page_size, "the root is not the last page");

    const ntx::HeaderFields fields{.item_size = item_size, .key_size = key_size,
                                   .max_items = max_items,
                                   .half = static_cast<std::uint16_t>(max_items / 2),
                                   .key_expr = "KEY"};
    const auto header = ntx::build_header(fields, root);
    const auto decoded = ntx::decode_header({header.data(), header.size()});
    require(decoded && decoded->root == root && decoded->key_size == key_size &&
                decoded->item_size == item_size && decoded->next_page == 0,
            "header not as built");

    PageWalk w(pages, shape);
    const std::size_t height = ntx::tree_height(count, max_items);
    require(walk(w, decoded->root, 0, height) == count, "subtree sizes not the count");
    require(w.leaf_depth == static_cast<int>(height), "leaves not at the tree's height");
    require(std::all_of(w.seen.begin(), w.seen.end(), [](bool s) { return s; }),
            "a page outside the tree");
    require(w.entries == in, "entries do not come back in order");
    prove_with_checker(in, pages, header, key_size, item_size);
    return 0;
}
