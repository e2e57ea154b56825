// Which files are read ahead: a file taking more than half the memory the
// OS has to spare would push out what the walk is about to read.
#include "read_ahead.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>

TEST(ReadAhead, OnlyRegularFilesWithinHalfTheAvailableMemory) {
    constexpr std::uint64_t gib = std::uint64_t{1} << 30;
    EXPECT_TRUE(read_ahead_allowed(true, 1, 2));
    EXPECT_TRUE(read_ahead_allowed(true, 4 * gib, 8 * gib));
    EXPECT_FALSE(read_ahead_allowed(true, 4 * gib + 1, 8 * gib));
    EXPECT_TRUE(read_ahead_allowed(true, 4 * gib, 8 * gib + 1));  // odd bytes round down
    EXPECT_FALSE(read_ahead_allowed(true, 2, 3));

    // Nothing to read, or nothing the OS would tell.
    EXPECT_FALSE(read_ahead_allowed(true, 0, 8 * gib));
    EXPECT_FALSE(read_ahead_allowed(true, 1024, 0));
    EXPECT_FALSE(read_ahead_allowed(true, 1024, 1));

    // A pipe, device or directory: never, whatever the sizes.
    EXPECT_FALSE(read_ahead_allowed(false, 1024, 8 * gib));
    EXPECT_FALSE(read_ahead_allowed(false, 0, 8 * gib));
}

TEST(ReadAhead, AvailableMemoryIsTheMemAvailableLine) {
    const char* meminfo =
        "MemTotal:       24557076 kB\n"
        "MemFree:        21034484 kB\n"
        "MemAvailable:   23312660 kB\n"
        "Buffers:          183428 kB\n";
    EXPECT_EQ(mem_available(meminfo), std::uint64_t{23312660} * 1024);
    EXPECT_EQ(mem_available("MemAvailable: 0 kB\n"), 0u);
    // Kernels before 3.14 have no such line: the caller asks otherwise.
    EXPECT_EQ(mem_available("MemTotal: 1024 kB\nMemFree: 512 kB\n"), std::nullopt);
    EXPECT_EQ(mem_available(""), std::nullopt);
}
