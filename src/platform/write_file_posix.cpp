// Writing a file on POSIX systems: renames and hard links with signals held off.
#ifndef _WIN32

#include "write_file.h"
#include "write_file_parts.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace write_parts;

namespace {
// The signals that end the process and can be handled: held off while the
// registry changes and while files change names, so that a handler always
// finds the files in one state or the other, never between.
int held = 0;
sigset_t held_mask;

void hold_signals() {
    if (held++ > 0) return;
    sigset_t ending;
    sigemptyset(&ending);
    sigaddset(&ending, SIGINT);
    sigaddset(&ending, SIGTERM);
    sigaddset(&ending, SIGHUP);
    sigprocmask(SIG_BLOCK, &ending, &held_mask);
}

void release_signals() {
    if (--held == 0) sigprocmask(SIG_SETMASK, &held_mask, nullptr);
}

int as_fd(std::intptr_t h) { return static_cast<int>(h); }

std::string error_text(int code) {
    switch (code) {
    case ENOSPC: return "no space left on the device";
    case EFBIG: return "the file would grow past the largest size allowed";
    case EDQUOT: return "the disk quota is used up";
    case ENOENT: return "no such file or directory";
    case EACCES:
    case EPERM: return "permission denied";
    case EROFS: return "the file system is read-only";
    case EEXIST: return "already exists";
    case EXDEV: return "on another file system";
    case ENAMETOOLONG: return "the name is too long";
    case EIO: return "input/output error";
    default: break;
    }
    std::string text = std::strerror(code);
    if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z')
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

std::string last_error() { return error_text(errno); }

// A new file's permission bits: what 0666 leaves after the umask.
mode_t usual_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Once names have moved there is nothing to undo, so the folder's flush is
// as much as the file system gives: some give none for a folder.
void flush_folder(const std::string& folder) {
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd == -1) return;
    fsync(fd);
    close(fd);
}

void close_new(NewFile& f) {
    if (f.handle != -1) close(as_fd(f.handle));
    f.handle = -1;
}

bool all_written(int fd, std::uint64_t offset, const void* data, std::size_t size,
                 std::string& error) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = pwrite(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = last_error();
            return false;
        }
        if (n == 0) {
            error = "no space left on the device";
            return false;
        }
        bytes += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool all_read(int fd, std::uint64_t offset, void* data, std::size_t size, std::string& error) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = pread(fd, bytes, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = last_error();
            return false;
        }
        if (n == 0) {
            error = "it ended early";
            return false;
        }
        bytes += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Whether link() failed because the file system cannot do it at all, or
// not for this file, rather than for a fault a copy would meet too.
bool links_refused(int code) {
    return code == EPERM || code == EOPNOTSUPP || code == ENOSYS || code == EMLINK ||
           code == EXDEV;
}

// A second name for the target's bytes beside the backup, registered: a
// hard link where the file system has them, else a flushed copy. Removing
// it loses nothing while the target still has its old bytes.
bool second_name(const char* target, const char* backup, mode_t mode, NewFile& copy,
                 std::string& error) {
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        const std::string name = temporary_beside(backup, static_cast<std::uint64_t>(getpid()));
        hold_signals();
        if (link(target, name.c_str()) == 0) {
            copy.slot = register_path(name);
            if (copy.slot < 0) unlink(name.c_str());
            release_signals();
            if (copy.slot < 0) {
                error = "too many new files at once";
                return false;
            }
            copy.path = name;
            return true;
        }
        const int code = errno;
        release_signals();
        if (code == EEXIST) continue;
        if (!links_refused(code)) {
            error = "cannot make the backup " + std::string(backup) + ": " + error_text(code);
            return false;
        }
        break;
    }
    // No hard links here: a copy, which takes longer but leaves the target
    // in place all the while.
    const int from = open(target, O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (from == -1) {
        error = "cannot read " + std::string(target) + ": " + last_error();
        return false;
    }
    if (!create_beside(copy, backup, error)) {
        close(from);
        return false;
    }
    static char buffer[64 * 1024];
    std::uint64_t at = 0;
    bool ok = true;
    for (;;) {
        const ssize_t n = read(from, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + std::string(target) + ": " + last_error();
            ok = false;
            break;
        }
        if (n == 0) break;
        if (!write_at(copy, at, buffer, static_cast<std::size_t>(n), error)) {
            error = "cannot make the backup " + std::string(backup) + ": " + error;
            ok = false;
            break;
        }
        at += static_cast<std::uint64_t>(n);
    }
    close(from);
    if (ok && fchmod(as_fd(copy.handle), mode) != 0) {
        error = "cannot make the backup " + std::string(backup) + ": " + last_error();
        ok = false;
    }
    if (ok && !flush_file(copy, error)) {
        error = "cannot make the backup " + std::string(backup) + ": " + error;
        ok = false;
    }
    if (!ok) {
        discard(copy);
        return false;
    }
    close_new(copy);
    return true;
}

// The new file's permissions, set and flushed before it takes a name.
bool set_mode(NewFile& f, const struct stat* like, std::string& error) {
    const int fd = as_fd(f.handle);
    // Owner and group as the target's where we may (root may), the bits
    // alone otherwise; chown first, as it clears the set-id bits.
    if (like && fchown(fd, like->st_uid, like->st_gid) != 0) {
    }
    const mode_t mode = like ? like->st_mode & 07777 : usual_mode();
    if (fchmod(fd, mode) != 0 || fsync(fd) != 0) {
        error = "cannot set the permissions of " + f.path + ": " + last_error();
        return false;
    }
    return true;
}
}  // namespace

bool create_beside(NewFile& f, const char* target, std::string& error) {
    f = NewFile{};
    const std::string folder = folder_of(target);
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        const std::string path = temporary_beside(target, static_cast<std::uint64_t>(getpid()));
        if (path.empty()) {
            error = std::string(target) + " names no file";
            return false;
        }
        hold_signals();
        const int fd =
            open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        const int code = errno;
        if (fd != -1) {
            f.slot = register_path(path);
            if (f.slot < 0) {
                close(fd);
                unlink(path.c_str());
                release_signals();
                error = "too many new files at once";
                return false;
            }
            if (!exit_hook_set) exit_hook_set = std::atexit(remove_at_exit) == 0;
            release_signals();
            f.path = path;
            f.handle = fd;
            return true;
        }
        release_signals();
        if (code != EEXIST) {
            error = "cannot create a file in " + folder + ": " + error_text(code);
            return false;
        }
    }
    error = "cannot create a file in " + folder + ": no free name";
    return false;
}

bool write_at(NewFile& f, std::uint64_t offset, const void* data, std::size_t size,
              std::string& error) {
    return all_written(as_fd(f.handle), offset, data, size, error);
}

bool flush_file(NewFile& f, std::string& error) {
    if (fsync(as_fd(f.handle)) == 0) return true;
    error = last_error();
    return false;
}

bool replace_with_backup(NewFile& f, const char* target, const char* backup, bool keep_mode,
                         std::string& error) {
    if (std::strcmp(target, backup) == 0) {
        error = "the backup cannot be the file itself";
        return false;
    }
    if (f.handle == -1 || f.slot < 0) {
        error = "no new file to put in place";
        return false;
    }
    // A link or a folder at either name would be replaced by a file, not
    // followed: both must be plain files, or the backup absent.
    struct stat old_file;
    if (lstat(target, &old_file) != 0) {
        error = std::string(target) + ": " + last_error();
        return false;
    }
    if (!S_ISREG(old_file.st_mode)) {
        error = std::string(target) + " is not a regular file";
        return false;
    }
    struct stat old_backup;
    if (lstat(backup, &old_backup) == 0 && !S_ISREG(old_backup.st_mode)) {
        error = std::string(backup) + " exists and is not a regular file";
        return false;
    }
    if (!set_mode(f, keep_mode ? &old_file : nullptr, error)) return false;
    NewFile second;
    if (!second_name(target, backup, old_file.st_mode & 07777, second, error)) return false;
    close_new(f);

    // The target keeps its name throughout: the new file takes it over in
    // one rename, and only then does the second name of the old bytes
    // become the backup, over any older one in one rename too. Signals
    // wait until the names are settled.
    hold_signals();
    if (rename(f.path.c_str(), target) != 0) {
        error = std::string(target) + ": " + last_error();
        unlink(second.path.c_str());
        unregister(second.slot);
        release_signals();
        return false;
    }
    unregister(f.slot);
    const bool backed_up = rename(second.path.c_str(), backup) == 0;
    const int code = errno;
    // Where the backup already was a name of the target's bytes, rename
    // leaves both names: the second one goes.
    if (backed_up) unlink(second.path.c_str());
    unregister(second.slot);
    release_signals();
    flush_folder(folder_of(target));
    if (folder_of(backup) != folder_of(target)) flush_folder(folder_of(backup));
    if (!backed_up) {
        error = "the new file is in place, but the old one could not be named " +
                std::string(backup) + " (" + error_text(code) + "); it is kept as " +
                second.path;
        return false;
    }
    return true;
}

bool move_new_to(NewFile& f, const char* new_path, std::string& error) {
    if (f.handle == -1 || f.slot < 0) {
        error = "no new file to move";
        return false;
    }
    if (!set_mode(f, nullptr, error)) return false;
    close_new(f);
    hold_signals();
    int result = -1;
    int code = 0;
#ifdef __linux__
    result = renameat2(AT_FDCWD, f.path.c_str(), AT_FDCWD, new_path, RENAME_NOREPLACE);
    code = errno;
    if (result != 0 && (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP)) code = 0;
#endif
    if (result != 0 && code == 0) {
        // link() fails on an existing name as atomically; where there are
        // no hard links, a name taken exclusively is renamed over instead.
        result = link(f.path.c_str(), new_path);
        code = errno;
        if (result == 0) {
            unlink(f.path.c_str());
        } else if (links_refused(code) && code != EXDEV) {
            const int fd = open(new_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
            code = errno;
            if (fd != -1) {
                close(fd);
                result = rename(f.path.c_str(), new_path);
                code = errno;
                if (result != 0) unlink(new_path);
            }
        }
    }
    if (result == 0) unregister(f.slot);
    release_signals();
    if (result != 0) {
        error = std::string(new_path) + ": " + error_text(code);
        return false;
    }
    flush_folder(folder_of(new_path));
    return true;
}

void discard(NewFile& f) {
    close_new(f);
    hold_signals();
    if (f.slot >= 0) unlink(f.path.c_str());
    unregister(f.slot);
    release_signals();
}

void remove_new_files() {
    for (Registered& entry : registry) {
        if (!entry.used) continue;
        unlink(entry.path);
        entry.used = 0;
    }
}

namespace {
void on_ending_signal(int signal) {
    const int saved = errno;
    remove_new_files();
    // Then ended as the signal ends a process, so the parent sees it.
    struct sigaction plain {};
    plain.sa_handler = SIG_DFL;
    sigemptyset(&plain.sa_mask);
    sigaction(signal, &plain, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
    errno = saved;
}
}  // namespace

void remove_on_signals() {
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction old {};
        if (sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
        struct sigaction action {};
        action.sa_handler = on_ending_signal;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGTERM);
        sigaddset(&action.sa_mask, SIGHUP);
        sigaction(signal, &action, nullptr);
    }
}

bool create_scratch(Scratch& s, std::string& error) {
    s = Scratch{};
    const char* env = std::getenv("TMPDIR");
    const std::string folder = env && *env ? env : "/tmp";
#ifdef O_TMPFILE
    // Never named at all, where the file system allows.
    const int unnamed = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (unnamed != -1) {
        s.handle = unnamed;
        return true;
    }
#endif
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        const std::string path =
            folder + "/quarnel-" + random_tag(static_cast<std::uint64_t>(getpid())) + ".tmp";
        // The name is dropped at once; the open descriptor keeps the file.
        hold_signals();
        const int fd =
            open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
        const int code = errno;
        if (fd != -1) unlink(path.c_str());
        release_signals();
        if (fd != -1) {
            s.handle = fd;
            return true;
        }
        if (code != EEXIST) {
            error = "cannot create a scratch file in " + folder + ": " + error_text(code);
            return false;
        }
    }
    error = "cannot create a scratch file in " + folder + ": no free name";
    return false;
}

bool append_scratch(Scratch& s, const void* data, std::size_t size, std::string& error) {
    if (!all_written(as_fd(s.handle), s.size, data, size, error)) {
        error = "cannot write a scratch file: " + error;
        return false;
    }
    s.size += size;
    return true;
}

bool read_scratch(const Scratch& s, std::uint64_t offset, void* data, std::size_t size,
                  std::string& error) {
    if (all_read(as_fd(s.handle), offset, data, size, error)) return true;
    error = "cannot read a scratch file: " + error;
    return false;
}

void remove_scratch(Scratch& s) {
    if (s.handle != -1) close(as_fd(s.handle));
    s = Scratch{};
}

#endif
