#include "platform.h"

#include <cstdlib>

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>

#include <climits>

namespace {
HANDLE index_handle = INVALID_HANDLE_VALUE;
std::uint64_t index_bytes = 0;
}  // namespace

bool open_index(const char* path) {
    index_handle = CreateFileA(path, GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (index_handle == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER size;
    index_bytes = GetFileSizeEx(index_handle, &size) && size.QuadPart > 0
                      ? static_cast<std::uint64_t>(size.QuadPart)
                      : 0;
    return true;
}

std::size_t read_index(std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        const std::uint64_t at = offset + got;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!ReadFile(index_handle, out + got, static_cast<DWORD>(size - got), &n, &where) ||
            n == 0)
            break;
        got += n;
    }
    return got;
}

int close_index() { return CloseHandle(index_handle) ? 0 : -1; }

bool write_stdout(const char* data, std::size_t size) {
    // _write in text mode turns each LF into CR LF, as the console expects.
    while (size > 0) {
        const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        const int n = _write(1, data, chunk);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool stdout_is_terminal() { return _isatty(1) != 0; }

#else

#include <cerrno>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "index offsets up to 4 GiB need a 64-bit off_t");

namespace {
int index_fd = -1;
std::uint64_t index_bytes = 0;
}  // namespace

bool open_index(const char* path) {
    // O_NONBLOCK keeps a FIFO from holding the open up for ever; regular
    // files ignore it.
    index_fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (index_fd == -1) return false;
    const off_t end = lseek(index_fd, 0, SEEK_END);
    index_bytes = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    return true;
}

std::size_t read_index(std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(index_fd, out + got, size - got,
                                static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

int close_index() { return close(index_fd) == 0 ? 0 : -1; }

bool write_stdout(const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(1, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool stdout_is_terminal() { return isatty(1) != 0; }

#endif

std::uint64_t index_size() { return index_bytes; }

void end_process(int status) { std::exit(status); }
