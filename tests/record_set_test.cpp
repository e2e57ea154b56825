// The checker's set of record numbers: every number kept, whether its block
// is still a list or a block of bits, and memory by numbers, not by spread.
#include "record_set.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <set>

namespace {

TEST(RecordSet, KeepsEveryNumberThroughListsAndBlocks) {
    std::mt19937 random(11);
    RecordSet set;
    std::set<std::uint32_t> model;
    for (int i = 0; i < 200000; ++i) {
        // Crowded low numbers, many seen twice, and some anywhere at all.
        const std::uint32_t n = i % 5 == 0 ? static_cast<std::uint32_t>(random()) | 1u
                                           : 1 + static_cast<std::uint32_t>(random() % 150000);
        EXPECT_EQ(add_record(set, n), !model.insert(n).second) << n;
    }
    for (int i = 0; i < 20000; ++i) {
        const std::uint32_t n = 1 + static_cast<std::uint32_t>(random() % 150000);
        EXPECT_EQ(has_record(set, n), model.count(n) == 1) << n;
    }
    std::uint32_t n = next_record(set, 0);
    for (const std::uint32_t m : model) {
        ASSERT_EQ(n, m);
        n = next_record(set, n);
    }
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(next_record(set, 0xFFFFFFFFu), 0u);
}

TEST(RecordSet, StrewnNumbersMakeNoBlocks) {
    RecordSet set;
    for (std::uint32_t k = 0; k < 65536; ++k) add_record(set, (k << 16) | 5);
    std::size_t made = 0;
    for (const auto& b : set.blocks) made += b != nullptr;
    EXPECT_EQ(made, 0u);  // 8 KiB each would be 512 MiB
    for (std::uint32_t n = 1; n <= 2 * RecordSet::list_limit; ++n) add_record(set, 0x70000 + n);
    made = 0;
    for (const auto& b : set.blocks) made += b != nullptr;
    EXPECT_EQ(made, 1u);
    EXPECT_TRUE(has_record(set, 0x70005));  // the listed one went into the block
    EXPECT_EQ(next_record(set, 0x70000 + 2 * RecordSet::list_limit), 0x80005u);
}

}  // namespace
