#include "platform.h"

#include "read_ahead.h"
#include "write_file.h"

#include <algorithm>
#include <cstdlib>

namespace {
#ifdef QUARNEL_NO_READ_AHEAD
constexpr bool reads_ahead = false;  // the benchmark's build without it
#else
constexpr bool reads_ahead = true;
#endif

// The next byte to read ahead, and the end of what is; 0 when the file is
// not read ahead.
std::uint64_t ahead_at = 0;
std::uint64_t ahead_end = 0;

bool request_ahead(std::uint64_t at, std::uint64_t len);

// One step further through the file, once a page has been read, so that
// the hint never stands in the way of the read the walk waits for.
void step_ahead() {
    if (!reads_ahead || ahead_at >= ahead_end) return;
    const std::uint64_t len = std::min(read_ahead_step, ahead_end - ahead_at);
    if (request_ahead(ahead_at, len)) ahead_at += len;
}
}  // namespace

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <io.h>

#include <climits>

namespace {
using Handle = HANDLE;
const Handle no_handle = INVALID_HANDLE_VALUE;
Handle index_handle = no_handle;
std::uint64_t index_bytes = 0;

constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Windows has no hint that brings a file range into its cache without a
// mapping, so the steps are read into one scratch buffer through a second,
// overlapped handle: one step at a time in flight, none waited for. The
// walk's own handle and reads stay as they are.
HANDLE ahead_handle = INVALID_HANDLE_VALUE;
OVERLAPPED ahead_io;
bool ahead_busy = false;
char ahead_buffer[read_ahead_step];

std::uint64_t available_memory() {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof status;
    return GlobalMemoryStatusEx(&status) ? status.ullAvailPhys : 0;
}

void open_ahead(const char* path) {
    const bool regular = GetFileType(index_handle) == FILE_TYPE_DISK;
    if (!read_ahead_allowed(regular, index_bytes, available_memory())) return;
    ahead_handle = CreateFileA(path, GENERIC_READ, share_all, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (ahead_handle != INVALID_HANDLE_VALUE) ahead_end = index_bytes;
}

// False while the step before is still being read: this one waits for the
// next page read.
bool request_ahead(std::uint64_t at, std::uint64_t len) {
    DWORD n = 0;
    if (ahead_busy) {
        if (!HasOverlappedIoCompleted(&ahead_io)) return false;
        GetOverlappedResult(ahead_handle, &ahead_io, &n, FALSE);
        ahead_busy = false;
    }
    ahead_io = OVERLAPPED{};
    ahead_io.Offset = static_cast<DWORD>(at);
    ahead_io.OffsetHigh = static_cast<DWORD>(at >> 32);
    // Done at once from the cache, under way, or failed: a failed step is
    // not tried again, since the walk's own read will tell of any fault.
    ahead_busy = !ReadFile(ahead_handle, ahead_buffer, static_cast<DWORD>(len), nullptr,
                           &ahead_io) &&
                 GetLastError() == ERROR_IO_PENDING;
    return true;
}

void close_ahead() {
    if (ahead_handle == INVALID_HANDLE_VALUE) return;
    if (ahead_busy) {
        DWORD n = 0;
        CancelIo(ahead_handle);
        GetOverlappedResult(ahead_handle, &ahead_io, &n, TRUE);
    }
    CloseHandle(ahead_handle);
}

// The handle of an existing file, read-only, and its size (0 when unknown).
// A sequential one is read front to back, as the table is.
HANDLE open_shared(const char* path, bool sequential, std::uint64_t& bytes) {
    const DWORD flags = FILE_ATTRIBUTE_NORMAL | (sequential ? FILE_FLAG_SEQUENTIAL_SCAN : 0);
    const HANDLE h =
        CreateFileA(path, GENERIC_READ, share_all, nullptr, OPEN_EXISTING, flags, nullptr);
    LARGE_INTEGER size;
    bytes = h != INVALID_HANDLE_VALUE && GetFileSizeEx(h, &size) && size.QuadPart > 0
                ? static_cast<std::uint64_t>(size.QuadPart)
                : 0;
    return h;
}

std::size_t read_at(HANDLE h, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        const std::uint64_t at = offset + got;
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(at);
        where.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD n = 0;
        if (!ReadFile(h, out + got, static_cast<DWORD>(size - got), &n, &where) || n == 0)
            break;
        got += n;
    }
    return got;
}

bool close_handle(HANDLE h) { return CloseHandle(h) != 0; }

// _write in text mode turns each LF into CR LF, as the console expects.
bool write_fd(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const unsigned chunk = size > INT_MAX ? INT_MAX : static_cast<unsigned>(size);
        const int n = _write(fd, data, chunk);
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool is_terminal(int fd) { return _isatty(fd) != 0; }
}  // namespace

#else

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysinfo.h>
#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) >= 8, "index offsets up to 4 GiB need a 64-bit off_t");

namespace {
using Handle = int;
constexpr Handle no_handle = -1;
Handle index_handle = no_handle;
std::uint64_t index_bytes = 0;

// MemAvailable counts the page cache the kernel can reclaim, which a file
// read ahead may take the place of; the free memory of sysinfo leaves it
// out, and reads near zero on any machine that has been busy a while. So
// sysinfo is only the fallback, where /proc is not mounted.
std::uint64_t available_memory() {
    char text[4096];
    const int fd = open("/proc/meminfo", O_RDONLY | O_CLOEXEC);
    if (fd != -1) {
        const ssize_t n = read(fd, text, sizeof text);
        close(fd);
        if (const auto bytes = mem_available({text, n > 0 ? static_cast<std::size_t>(n) : 0}))
            return *bytes;
    }
    struct sysinfo info;
    if (sysinfo(&info) != 0) return 0;
    return (std::uint64_t{info.freeram} + info.bufferram) * info.mem_unit;
}

void open_ahead(const char*) {
    struct stat st;
    const bool regular = fstat(index_handle, &st) == 0 && S_ISREG(st.st_mode);
    if (read_ahead_allowed(regular, index_bytes, available_memory())) ahead_end = index_bytes;
}

// The hint returns at once; the kernel reads the step in the background.
bool request_ahead(std::uint64_t at, std::uint64_t len) {
    posix_fadvise(index_handle, static_cast<off_t>(at), static_cast<off_t>(len),
                  POSIX_FADV_WILLNEED);
    return true;
}

void close_ahead() {}

// O_NONBLOCK keeps a FIFO from holding the open up for ever; regular files
// ignore it.
int open_shared(const char* path, bool sequential, std::uint64_t& bytes) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    const off_t end = fd == -1 ? 0 : lseek(fd, 0, SEEK_END);
    bytes = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    if (fd != -1 && sequential) posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    return fd;
}

std::size_t read_at(int fd, std::uint64_t offset, void* buffer, std::size_t size) {
    auto* out = static_cast<char*>(buffer);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    return got;
}

bool close_handle(int fd) { return close(fd) == 0; }

bool write_fd(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool is_terminal(int fd) { return isatty(fd) != 0; }
}  // namespace

#endif

namespace {
Handle table_handle = no_handle;
std::uint64_t table_bytes = 0;
}  // namespace

bool open_index(const char* path) {
    index_handle = open_shared(path, false, index_bytes);
    if (index_handle == no_handle) return false;
    if (reads_ahead) open_ahead(path);
    return true;
}

std::size_t read_index(std::uint64_t offset, void* buffer, std::size_t size) {
    const std::size_t got = read_at(index_handle, offset, buffer, size);
    step_ahead();
    return got;
}

std::uint64_t index_size() { return index_bytes; }

int close_index() {
    close_ahead();
    return close_handle(index_handle) ? 0 : -1;
}

bool open_table(const char* path) {
    table_handle = open_shared(path, true, table_bytes);
    return table_handle != no_handle;
}

std::size_t read_table(std::uint64_t offset, void* buffer, std::size_t size) {
    return read_at(table_handle, offset, buffer, size);
}

std::uint64_t table_size() { return table_bytes; }

int close_table() {
    if (table_handle == no_handle) return 0;
    const bool closed = close_handle(table_handle);
    table_handle = no_handle;
    return closed ? 0 : -1;
}

bool write_stdout(const char* data, std::size_t size) { return write_fd(1, data, size); }

bool stdout_is_terminal() { return is_terminal(1); }

bool write_stderr(const char* data, std::size_t size) { return write_fd(2, data, size); }

bool stderr_is_terminal() { return is_terminal(2); }

// Every way out of a program: no temporary file outlives it.
void end_process(int status) {
    remove_new_files();
    std::exit(status);
}
