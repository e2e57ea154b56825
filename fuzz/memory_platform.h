// The platform of the fuzz targets: the index file is the fuzzer's input,
// the report goes to the target, and the end of the process returns to it.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace fuzz {

extern std::span<const std::uint8_t> index_file;
// The table, for a target that names one on the command line.
extern std::span<const std::uint8_t> table_file;
// Whether standard output and error are terminals, for the whole process:
// the programs ask once. QUARNEL_FUZZ_TERMINAL=1 sets it.
extern bool terminal;

// Thrown by end_process: ends the run, not the process.
struct RunEnded {
    int status;
};

// Each target's own: what the program writes to standard output.
void printed(std::string_view text);

// Reads QUARNEL_FUZZ_TERMINAL.
void set_terminal_from_environment();

}  // namespace fuzz
