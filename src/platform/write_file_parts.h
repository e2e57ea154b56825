// What the POSIX and Windows halves of write_file share: the registry of
// files to remove and the temporary names beside a target.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>

namespace write_parts {
// The files that exist under a temporary name: a few at a time at most,
// in a fixed table that a signal handler can walk without allocating.
constexpr int max_new_files = 16;
constexpr std::size_t max_path_bytes = 4096;

struct Registered {
    volatile std::sig_atomic_t used;
    char path[max_path_bytes];
};
extern Registered registry[max_new_files];

// Mutations happen with signals held off (POSIX) or under a lock the
// console handler also takes (Windows), so a handler sees each entry
// either whole or unused.
int register_path(const std::string& path);
void unregister(int& slot);

extern bool exit_hook_set;

void remove_at_exit();

// Six characters that make a name unlikely to be taken; the exclusive
// create is what makes it safe.
std::string random_tag(std::uint64_t extra);

// .NAME.XXXXXX.tmp in the folder of `target`; empty when the target names
// no file.
std::string temporary_beside(const std::string& target, std::uint64_t extra);

std::string folder_of(const std::string& target);

constexpr int create_attempts = 100;
}  // namespace write_parts
