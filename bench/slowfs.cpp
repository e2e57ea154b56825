// slowfs: a read-only passthrough of one directory that waits a fixed time
// before serving each read request, so that the benchmark can time the
// tool on a file share's latency without one.
//
//     slowfs SOURCE_DIR MOUNTPOINT --delay-us N [FUSE options, e.g. -f]
//
// What keeps it like a share:
// - The kernel's page cache stays in use (no direct_io), so its read-ahead
//   and a reader's hints work through it as they do on a share, and what
//   was read once is served from memory. Cached pages are kept across
//   opens while the file's size and time are unchanged, as share clients
//   keep them.
// - The multi-threaded loop serves requests side by side, in up to 16
//   threads, more than the 12 asynchronous requests the kernel keeps in
//   flight by default: several outstanding reads (the kernel's read-ahead,
//   or a reader's own) wait out their delays together, as on a share with
//   several requests in flight.
// - The delay is per request, before the read, whatever its size: a round
//   trip, not a bandwidth.
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

std::string source;  // absolute: in the background the process runs in /
std::chrono::microseconds delay{0};

std::string source_path(const char* path) { return source + path; }

int get_attributes(const char* path, struct stat* st, fuse_file_info*) {
    return lstat(source_path(path).c_str(), st) == 0 ? 0 : -errno;
}

int read_directory(const char* path, void* buffer, fuse_fill_dir_t fill, off_t,
                   fuse_file_info*, fuse_readdir_flags) {
    DIR* dir = opendir(source_path(path).c_str());
    if (!dir) return -errno;
    while (const dirent* entry = readdir(dir)) {
        struct stat st {};
        st.st_ino = entry->d_ino;
        st.st_mode = static_cast<mode_t>(DTTOIF(entry->d_type));
        if (fill(buffer, entry->d_name, &st, 0, fuse_fill_dir_flags{}) != 0) break;
    }
    closedir(dir);
    return 0;
}

int open_file(const char* path, fuse_file_info* fi) {
    if ((fi->flags & O_ACCMODE) != O_RDONLY) return -EROFS;
    const int fd = open(source_path(path).c_str(), O_RDONLY);
    if (fd < 0) return -errno;
    fi->fh = static_cast<std::uint64_t>(fd);
    return 0;
}

int read_file(const char*, char* buffer, std::size_t size, off_t offset, fuse_file_info* fi) {
    std::this_thread::sleep_for(delay);
    const int fd = static_cast<int>(fi->fh);
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, buffer + got, size - got, offset + static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -errno;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<int>(got);
}

int file_system_stats(const char* path, struct statvfs* st) {
    return statvfs(source_path(path).c_str(), st) == 0 ? 0 : -errno;
}

int release_file(const char*, fuse_file_info* fi) {
    close(static_cast<int>(fi->fh));
    return 0;
}

void* start(fuse_conn_info*, fuse_config* config) {
    config->auto_cache = 1;
    config->no_rofd_flush = 1;  // no FLUSH request on close, as share clients do
    return nullptr;
}

bool parse_delay(const char* text) {
    long long us = 0;
    const char* end = text + std::strlen(text);
    const auto [p, ec] = std::from_chars(text, end, us);
    if (ec != std::errc{} || p != end || us < 0 || us > 10'000'000) return false;
    delay = std::chrono::microseconds(us);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // FUSE gets every argument but the source and the delay, after these
    // defaults. Threads are kept rather than made per request; naming
    // how many also keeps libfuse 3.14 from warning about its own default.
    static char options[] = "-oro,fsname=slowfs,subtype=slowfs,max_threads=16,max_idle_threads=16";
    std::vector<char*> args{argv[0], options};
    bool have_delay = false;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--delay-us") == 0 && i + 1 < argc) {
            have_delay = parse_delay(argv[++i]);
            if (!have_delay) break;
        } else {
            args.push_back(argv[i]);
        }
    }
    char resolved[PATH_MAX];
    struct stat st {};
    if (argc < 3 || !have_delay || !realpath(argv[1], resolved) || stat(resolved, &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        std::fputs("Use: slowfs SOURCE_DIR MOUNTPOINT --delay-us N (0 to 10000000) "
                   "[FUSE options, e.g. -f for the foreground]\n",
                   stderr);
        return 2;
    }
    source = resolved;
    if (source == "/") source.clear();  // paths from FUSE start with '/'

    fuse_operations ops{};
    ops.getattr = get_attributes;
    ops.open = open_file;
    ops.read = read_file;
    ops.statfs = file_system_stats;
    ops.release = release_file;
    ops.readdir = read_directory;
    ops.init = start;
    return fuse_main(static_cast<int>(args.size()), args.data(), &ops, nullptr);
}
