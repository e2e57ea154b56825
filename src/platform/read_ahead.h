// Read-ahead in file order. A walk jumps about the file, one small read a
// page, and on a cold cache or a file share each read waits its own
// latency. So every read of the index also asks the OS to bring in the
// next step of the file, front to back, once over it: the cache fills at
// sequential speed, paced by the walk. It only warms the cache; the walk
// still reads each page itself, so what it shows is what the file holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

// One step: the usual read-ahead of a device, and well within what one
// hint is honoured for in full (Linux cuts a hint down to a limit of the
// device's, from 1.25 MiB on some to 8 MiB).
inline constexpr std::uint64_t read_ahead_step = 128 * 1024;

// Whether a file is read ahead at all: a regular file that is not empty
// and takes at most half of the memory available, so that reading it in
// evicts nothing the machine needs and its pages stay cached until the
// walk comes to them. Anything larger is read as if there were no
// read-ahead.
constexpr bool read_ahead_allowed(bool regular_file, std::uint64_t file_size,
                                  std::uint64_t available_memory) {
    return regular_file && file_size > 0 && file_size <= available_memory / 2;
}

// The bytes the MemAvailable line of Linux's /proc/meminfo names; empty
// when the text has no such line, as before Linux 3.14.
constexpr std::optional<std::uint64_t> mem_available(std::string_view meminfo) {
    constexpr std::string_view label = "MemAvailable:";
    const std::size_t at = meminfo.find(label);
    if (at == std::string_view::npos) return std::nullopt;
    std::size_t i = at + label.size();
    while (i < meminfo.size() && meminfo[i] == ' ') ++i;
    std::uint64_t kib = 0;
    for (; i < meminfo.size() && meminfo[i] >= '0' && meminfo[i] <= '9'; ++i)
        kib = kib * 10 + static_cast<unsigned>(meminfo[i] - '0');
    return kib * 1024;
}
