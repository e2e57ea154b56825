#include "memory_platform.h"

#include "platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace fuzz {

std::span<const std::uint8_t> index_file;
std::span<const std::uint8_t> table_file;
bool terminal = false;

void set_terminal_from_environment() {
    const char* mode = std::getenv("QUARNEL_FUZZ_TERMINAL");
    terminal = mode && std::strcmp(mode, "1") == 0;
}

}  // namespace fuzz

namespace {

std::size_t read_from(std::span<const std::uint8_t> input, std::uint64_t offset, void* buffer,
                      std::size_t size) {
    if (offset >= input.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(size, input.size() - offset);
    std::memcpy(buffer, input.data() + offset, n);
    return n;
}

}  // namespace

bool open_index(const char*) { return true; }

std::size_t read_index(std::uint64_t offset, void* buffer, std::size_t size) {
    return read_from(fuzz::index_file, offset, buffer, size);
}

std::uint64_t index_size() { return fuzz::index_file.size(); }

int close_index() { return 0; }

bool open_table(const char*) { return true; }

std::size_t read_table(std::uint64_t offset, void* buffer, std::size_t size) {
    return read_from(fuzz::table_file, offset, buffer, size);
}

std::uint64_t table_size() { return fuzz::table_file.size(); }

int close_table() { return 0; }

bool write_stdout(const char* data, std::size_t size) {
    fuzz::printed({data, size});
    return true;
}

bool stdout_is_terminal() { return fuzz::terminal; }

bool write_stderr(const char*, std::size_t) { return true; }

bool stderr_is_terminal() { return fuzz::terminal; }

void end_process(int status) { throw fuzz::RunEnded{status}; }
