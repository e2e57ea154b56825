// Writing a file without ever opening the user's for writing: the new bytes
// go to a temporary file beside the target, flushed to disk, and only then
// take the target's name in one atomic step, the old file kept as a backup.
// A failure, a signal or a full disk leaves every file as it was, and no
// temporary file behind: each one is registered from the moment it exists
// until it has its final name, and removed on every way out.
//
// Messages are short lowercase phrases, such as "no space left on the
// device", for the caller to put after what it was doing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A new file under a temporary name; `path` is where it can be read back.
struct NewFile {
    std::string path;
    std::intptr_t handle = -1;  // the platform's descriptor or HANDLE; -1 when closed
    int slot = -1;              // its entry in the registry of files to remove
};

// Creates a new, empty file in the folder of `target` under a name of its
// own (.NAME.XXXXXX.tmp), exclusively, readable by its owner alone until
// it is moved into place, and registers it for removal.
bool create_beside(NewFile& f, const char* target, std::string& error);

// Writes all of `size` bytes at `offset`, or fails.
bool write_at(NewFile& f, std::uint64_t offset, const void* data, std::size_t size,
              std::string& error);

// Has everything written reach the disk.
bool flush_file(NewFile& f, std::string& error);

// Puts the new file in place of `target` in one step, the old one kept as
// `backup` (an older backup is replaced). With `keep_mode`, the new file
// takes the target's permission bits (POSIX; Windows keeps the target's
// attributes and security itself); without, a new file's usual ones. The
// target is never missing, at no instant. A writer holding the target open
// on Windows makes it fail with "in use". On success the temporary name is
// gone and `f` is closed.
bool replace_with_backup(NewFile& f, const char* target, const char* backup, bool keep_mode,
                         std::string& error);

// Gives the new file the name `new_path`, which must not exist: an existing
// file is never replaced. The file gets a new file's usual permissions.
bool move_new_to(NewFile& f, const char* new_path, std::string& error);

// Closes and removes the temporary file; nothing is left of it.
void discard(NewFile& f);

// Removes every registered file; safe in a signal handler. end_process
// calls it, and it runs at exit.
void remove_new_files();

// From now on SIGINT, SIGTERM and SIGHUP (Ctrl-C, Ctrl-Break and closing
// the console on Windows) remove the registered files before the process
// ends as the signal would end it. A signal the process was started
// ignoring stays ignored.
void remove_on_signals();

// Scratch space for the sort's runs, in the system's temporary folder
// (TMPDIR, or /tmp; on Windows the folder GetTempPath names). It has no
// name from the start, or loses it at once, so nothing is left behind
// even when the process is killed.
struct Scratch {
    std::intptr_t handle = -1;
    std::uint64_t size = 0;  // bytes appended so far
};

bool create_scratch(Scratch& s, std::string& error);
bool append_scratch(Scratch& s, const void* data, std::size_t size, std::string& error);
// Reads all of `size` bytes at `offset`, or fails.
bool read_scratch(const Scratch& s, std::uint64_t offset, void* data, std::size_t size,
                  std::string& error);
void remove_scratch(Scratch& s);
