// Read-ahead in file order. A walk jumps about the file, one small read a
// page, and on a cold cache or a file share each read waits its own
// latency. So every read of the index also asks the OS to bring in the
// next step of the file, front to back, once over it: the cache fills at
// sequential speed, paced by the walk. It only warms the cache; the walk
// still reads each page itself, so what it shows is what the file holds.
#pragma once

#include <cstdint>

// One step: within what a single hint is honoured in full (Linux trims a
// hint to its read-ahead size, 1.25 MiB on some devices).
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
