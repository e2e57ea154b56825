// The OS-independent part of writing a file: the registry of files to
// remove, and the temporary names beside a target.
#include "write_file.h"
#include "write_file_parts.h"

#include <chrono>
#include <cstring>

namespace write_parts {
Registered registry[max_new_files];

// Mutations happen with signals held off (POSIX) or under a lock the
// console handler also takes (Windows), so a handler sees each entry
// either whole or unused.
int register_path(const std::string& path) {
    if (path.size() >= max_path_bytes) return -1;
    for (int i = 0; i < max_new_files; ++i) {
        if (registry[i].used) continue;
        std::memcpy(registry[i].path, path.c_str(), path.size() + 1);
        registry[i].used = 1;
        return i;
    }
    return -1;
}

void unregister(int& slot) {
    if (slot >= 0) registry[slot].used = 0;
    slot = -1;
}

bool exit_hook_set = false;

void remove_at_exit() { remove_new_files(); }

namespace {
// Everything of `target` up to and including its last separator, and what
// follows it.
std::size_t name_start(const std::string& target) {
#ifdef _WIN32
    const std::size_t sep = target.find_last_of("/\\:");
#else
    const std::size_t sep = target.find_last_of('/');
#endif
    return sep == std::string::npos ? 0 : sep + 1;
}
}  // namespace

// Six characters that make a name unlikely to be taken; the exclusive
// create is what makes it safe.
std::string random_tag(std::uint64_t extra) {
    static std::uint64_t counter = 0;
    std::uint64_t x = static_cast<std::uint64_t>(
                          std::chrono::steady_clock::now().time_since_epoch().count()) ^
                      (extra << 32) ^ (++counter * 0x9E3779B97F4A7C15u);
    x ^= x >> 30;
    x *= 0xBF58476D1CE4E5B9u;
    x ^= x >> 27;
    x *= 0x94D049BB133111EBu;
    x ^= x >> 31;
    static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string tag(6, 'a');
    for (char& c : tag) {
        c = letters[x % 36];
        x /= 36;
    }
    return tag;
}

// .NAME.XXXXXX.tmp in the folder of `target`; empty when the target names
// no file.
std::string temporary_beside(const std::string& target, std::uint64_t extra) {
    const std::size_t at = name_start(target);
    if (at == target.size()) return {};
    return target.substr(0, at) + "." + target.substr(at) + "." + random_tag(extra) + ".tmp";
}

std::string folder_of(const std::string& target) {
    const std::size_t at = name_start(target);
    return at == 0 ? std::string(".") : target.substr(0, at);
}
}  // namespace write_parts
