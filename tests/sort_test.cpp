// The external sort: its order, the same whether entries stay in memory or
// go through many runs and merge passes, and its failures reported.
#include "sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {
struct Entry {
    std::string key;
    std::uint32_t recno;
};

// Sorts `entries` and returns them in the order they came out.
std::vector<Entry> sorted(const std::vector<Entry>& entries, std::size_t key_size,
                          bool descending, std::size_t budget, std::size_t fan_in = 64) {
    Sorter s;
    begin_sort(s, key_size, descending, budget);
    s.max_fan_in = fan_in;
    std::string error;
    for (const Entry& e : entries) {
        EXPECT_TRUE(add_entry(s, e.recno, reinterpret_cast<const std::uint8_t*>(e.key.data()),
                              error))
            << error;
    }
    EXPECT_TRUE(end_input(s, error)) << error;
    EXPECT_EQ(entry_count(s), entries.size());
    std::vector<Entry> out;
    std::uint32_t recno = 0;
    const std::uint8_t* key = nullptr;
    while (next_entry(s, recno, key, error))
        out.push_back({std::string(reinterpret_cast<const char*>(key), key_size), recno});
    EXPECT_EQ(error, "");
    end_sort(s);
    return out;
}

// The order by plain comparison, as memcmp gives it.
std::vector<Entry> reference(std::vector<Entry> entries, bool descending) {
    std::sort(entries.begin(), entries.end(), [descending](const Entry& a, const Entry& b) {
        const auto ka = reinterpret_cast<const unsigned char*>(a.key.data());
        const auto kb = reinterpret_cast<const unsigned char*>(b.key.data());
        const std::basic_string_view<unsigned char> va(ka, a.key.size()), vb(kb, b.key.size());
        if (va != vb) return descending ? vb < va : va < vb;
        return a.recno < b.recno;
    });
    return entries;
}

std::vector<std::string> as_lines(const std::vector<Entry>& entries) {
    std::vector<std::string> lines;
    for (const Entry& e : entries) lines.push_back(e.key + "#" + std::to_string(e.recno));
    return lines;
}

// Keys from a few letters and bytes above 0x7F, so that many are equal and
// many share their first eight bytes; record numbers in no order.
std::vector<Entry> random_entries(std::size_t n, std::size_t key_size, unsigned seed) {
    std::mt19937 rng(seed);
    const std::string letters = "AB \x80\xff";
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < n; ++i) {
        std::string key(key_size, ' ');
        for (std::size_t k = 0; k < key_size; ++k)
            key[k] = letters[k < 6 && key_size > 8 ? 0 : rng() % letters.size()];
        entries.push_back({key, static_cast<std::uint32_t>(rng())});
    }
    return entries;
}

constexpr std::size_t mib = 1024 * 1024;
}  // namespace

TEST(Sort, KeysByTheirBytesAndEqualKeysByRecordNumber) {
    // Bytes above 0x7F sort after ASCII, as unsigned bytes do.
    const std::vector<Entry> entries = {
        {"b\x90z", 5}, {"abc", 9}, {"abc", 2}, {"a\x01z", 7}, {"abc", 4}, {"b\x90z", 1}};
    EXPECT_EQ(as_lines(sorted(entries, 3, false, mib)),
              (std::vector<std::string>{"a\x01z#7", "abc#2", "abc#4", "abc#9", "b\x90z#1",
                                        "b\x90z#5"}));
    // Descending turns the keys around, not the record numbers of equal ones.
    EXPECT_EQ(as_lines(sorted(entries, 3, true, mib)),
              (std::vector<std::string>{"b\x90z#1", "b\x90z#5", "abc#2", "abc#4", "abc#9",
                                        "a\x01z#7"}));
    // Keys that differ only past their first eight bytes.
    const std::vector<Entry> long_keys = {
        {"SMITH   JOHN", 3}, {"SMITH   ANNE", 8}, {"SMITH   JOHN", 1}, {"SMITH   ANN ", 2}};
    EXPECT_EQ(as_lines(sorted(long_keys, 12, false, mib)),
              (std::vector<std::string>{"SMITH   ANN #2", "SMITH   ANNE#8", "SMITH   JOHN#1",
                                        "SMITH   JOHN#3"}));
    EXPECT_EQ(as_lines(sorted(long_keys, 12, true, mib)),
              (std::vector<std::string>{"SMITH   JOHN#1", "SMITH   JOHN#3", "SMITH   ANNE#8",
                                        "SMITH   ANN #2"}));
}

TEST(Sort, NoEntriesAndOneEntry) {
    EXPECT_TRUE(sorted({}, 10, false, mib).empty());
    EXPECT_TRUE(sorted({}, 10, true, 0).empty());
    EXPECT_EQ(as_lines(sorted({{"only", 7}}, 4, false, mib)),
              std::vector<std::string>{"only#7"});
    EXPECT_EQ(as_lines(sorted({{"only", 7}}, 4, true, 0)), std::vector<std::string>{"only#7"});
}

TEST(Sort, ManyRunsAndMergePassesGiveThePlainOrder) {
    const std::size_t key_sizes[] = {1, 7, 8, 9, 20, 250};
    for (const std::size_t key_size : key_sizes) {
        for (const bool descending : {false, true}) {
            const auto entries = random_entries(3000, key_size, static_cast<unsigned>(key_size));
            const auto expected = as_lines(reference(entries, descending));
            EXPECT_EQ(as_lines(sorted(entries, key_size, descending, 64 * mib)), expected)
                << key_size << (descending ? " descending, in memory" : ", in memory");
            // The least budget: runs of 16 entries, merged two at a time,
            // in many passes.
            Sorter least;
            begin_sort(least, key_size, descending, 0);
            ASSERT_GT(entries.size(), least.capacity * 2 * 2 * 2 * 2);
            EXPECT_EQ(as_lines(sorted(entries, key_size, descending, 0)), expected)
                << key_size << (descending ? " descending, least budget" : ", least budget");
            EXPECT_EQ(as_lines(sorted(entries, key_size, descending, 16 * 1024, 3)), expected)
                << key_size << (descending ? " descending, fan-in 3" : ", fan-in 3");
            // A budget between: runs merged in one pass.
            EXPECT_EQ(as_lines(sorted(entries, key_size, descending, 64 * 1024)), expected)
                << key_size << (descending ? " descending, one pass" : ", one pass");
        }
    }
}

TEST(Sort, AScratchFileThatCannotBeMadeIsAnError) {
#ifdef _WIN32
    const char* names[] = {"TMP", "TEMP"};
#else
    const char* names[] = {"TMPDIR"};
#endif
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? value : "");
#ifdef _WIN32
        _putenv_s(name, "Z:\\no\\such\\folder\\");
#else
        setenv(name, "/no/such/folder", 1);
#endif
    }
    Sorter s;
    begin_sort(s, 20, false, 0);
    std::string error;
    const std::string key(20, 'k');
    bool added = true;
    for (std::uint32_t i = 0; i < 1000 && added; ++i)
        added = add_entry(s, i, reinterpret_cast<const std::uint8_t*>(key.data()), error);
    EXPECT_FALSE(added);
    EXPECT_NE(error.find("scratch"), std::string::npos) << error;
    // Nothing more goes in or comes out, and the reason stays.
    EXPECT_FALSE(end_input(s, error));
    std::uint32_t recno = 0;
    const std::uint8_t* out = nullptr;
    EXPECT_FALSE(next_entry(s, recno, out, error));
    EXPECT_NE(error.find("scratch"), std::string::npos) << error;
    end_sort(s);
    for (const auto& [name, value] : saved) {
#ifdef _WIN32
        _putenv_s(name.c_str(), value.c_str());
#else
        if (value.empty())
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
#endif
    }
}
