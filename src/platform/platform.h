// The few services the tool takes from its platform: positional reads of
// one index file, raw writes to standard output, and ending the process.
#pragma once

#include <cstddef>
#include <cstdint>

// Opens `path` read-only, in binary mode, without locking other readers or
// writers out, as the process-wide index file. False when the open fails.
bool open_index(const char* path);

// Reads up to `size` bytes at byte `offset`. Returns how many came back:
// fewer than `size` only at end of file or on a read error.
std::size_t read_index(std::uint64_t offset, void* buffer, std::size_t size);

// The file's size when it was opened; 0 when the platform cannot tell.
std::uint64_t index_size();

// 0 when the close succeeds, -1 when it fails.
int close_index();

// The checker's second file, a table read front to back in large reads and
// then here and there: opened like the index, never read ahead by hints of
// ours, since the system's own read-ahead serves a sequential read best.
bool open_table(const char* path);
std::size_t read_table(std::uint64_t offset, void* buffer, std::size_t size);
std::uint64_t table_size();
// 0 when the close succeeds (or no table is open), -1 when it fails.
int close_table();

// Writes all of `size` bytes to standard output in the platform's text
// mode. False when they could not all be written.
bool write_stdout(const char* data, std::size_t size);

bool stdout_is_terminal();

// Standard error, unbuffered, for the checker's messages when it cannot
// check at all: standard output then stays the report alone.
bool write_stderr(const char* data, std::size_t size);
bool stderr_is_terminal();

// Ends the process with `status`, the temporary files of write_file.h
// removed first; the report's only way out, so that a build with another
// platform can end a run without ending the process.
[[noreturn]] void end_process(int status);
