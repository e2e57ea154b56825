// Writing a file on Windows: ReplaceFile under a lock the console handler takes.
#ifdef _WIN32

#include "write_file.h"
#include "write_file_parts.h"

#include <cstdlib>
#include <cstring>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

using namespace write_parts;

namespace {
// The console handler runs on a thread of its own while the program goes
// on, so the registry and each replace are done under this lock, and the
// handler waits for a replace under way to finish before it removes files.
SRWLOCK registry_lock = SRWLOCK_INIT;

void hold_signals() { AcquireSRWLockExclusive(&registry_lock); }
void release_signals() { ReleaseSRWLockExclusive(&registry_lock); }

HANDLE as_handle(std::intptr_t h) { return reinterpret_cast<HANDLE>(h); }
std::intptr_t from_handle(HANDLE h) { return reinterpret_cast<std::intptr_t>(h); }

// The conversion CreateFileA makes: paths are in the ANSI code page.
bool widen_into(const char* path, wchar_t* out, int capacity) {
    return MultiByteToWideChar(CP_ACP, 0, path, -1, out, capacity) > 0;
}

std::wstring widen(const std::string& path) {
    const int n = MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.c_str(), -1, wide.data(), n);
    wide.resize(static_cast<std::size_t>(n - 1));
    return wide;
}

std::string narrow(const std::wstring& path) {
    const int n =
        WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return {};
    std::string text(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, path.c_str(), -1, text.data(), n, nullptr, nullptr);
    text.resize(static_cast<std::size_t>(n - 1));
    return text;
}

std::string error_text(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME: return "no such file or directory";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
    case ERROR_USER_MAPPED_FILE: return "in use";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "no space left on the device";
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS: return "already exists";
    case ERROR_NOT_SAME_DEVICE: return "on another drive";
    case ERROR_WRITE_PROTECT: return "the disk is write-protected";
    case ERROR_FILENAME_EXCED_RANGE: return "the name is too long";
    default: break;
    }
    char text[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                             nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_DEFAULT), text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) --n;
    if (n == 0) return "error " + std::to_string(code);
    if (text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return std::string(text, n);
}

std::string last_error() { return error_text(GetLastError()); }

bool exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void close_new(NewFile& f) {
    if (f.handle != -1) CloseHandle(as_handle(f.handle));
    f.handle = -1;
}

// An older backup is moved aside rather than removed, so that a replace
// that fails can give it back.
bool set_aside(const std::string& backup, std::wstring& aside, std::string& error) {
    aside.clear();
    const std::wstring wide = widen(backup);
    if (!exists(wide)) return true;
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        const std::wstring name = widen(temporary_beside(backup, GetCurrentProcessId()));
        if (MoveFileExW(wide.c_str(), name.c_str(), 0)) {
            aside = name;
            return true;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS) {
            error = "cannot move the older backup " + backup + " aside: " + error_text(code);
            return false;
        }
    }
    error = "cannot move the older backup " + backup + " aside: no free name";
    return false;
}
}  // namespace

bool create_beside(NewFile& f, const char* target, std::string& error) {
    f = NewFile{};
    const std::string folder = folder_of(target);
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        const std::string path = temporary_beside(target, GetCurrentProcessId());
        if (path.empty()) {
            error = std::string(target) + " names no file";
            return false;
        }
        hold_signals();
        // Deletion shared, so that the console handler can remove it while
        // it is still open; reading shared, for the proof read.
        const HANDLE h =
            CreateFileW(widen(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
        const DWORD code = GetLastError();
        if (h != INVALID_HANDLE_VALUE) {
            f.slot = register_path(path);
            if (f.slot < 0) {
                CloseHandle(h);
                DeleteFileW(widen(path).c_str());
                release_signals();
                error = "too many new files at once";
                return false;
            }
            if (!exit_hook_set) exit_hook_set = std::atexit(remove_at_exit) == 0;
            release_signals();
            f.path = path;
            f.handle = from_handle(h);
            return true;
        }
        release_signals();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            error = "cannot create a file in " + folder + ": " + error_text(code);
            return false;
        }
    }
    error = "cannot create a file in " + folder + ": no free name";
    return false;
}

bool write_at(NewFile& f, std::uint64_t offset, const void* data, std::size_t size,
              std::string& error) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD n = 0;
        if (!WriteFile(as_handle(f.handle), bytes, chunk, &n, &where)) {
            error = last_error();
            return false;
        }
        if (n == 0) {
            error = "no space left on the device";
            return false;
        }
        bytes += n;
        offset += n;
        size -= n;
    }
    return true;
}

bool flush_file(NewFile& f, std::string& error) {
    if (FlushFileBuffers(as_handle(f.handle))) return true;
    error = last_error();
    return false;
}

bool replace_with_backup(NewFile& f, const char* target, const char* backup, bool,
                         std::string& error) {
    if (std::strcmp(target, backup) == 0) {
        error = "the backup cannot be the file itself";
        return false;
    }
    close_new(f);
    const std::wstring wide_target = widen(target);
    const std::wstring wide_backup = widen(backup);
    const std::wstring wide_new = widen(f.path);
    hold_signals();
    // Opened without sharing writes, this refuses while a program holds the
    // index open for writing, and keeps any from opening it meanwhile.
    HANDLE guard = CreateFileW(wide_target.c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (guard == INVALID_HANDLE_VALUE) {
        error = std::string(target) + ": " + last_error();
        release_signals();
        return false;
    }
    std::wstring aside;
    if (!set_aside(backup, aside, error)) {
        CloseHandle(guard);
        release_signals();
        return false;
    }
    BOOL done = ReplaceFileW(wide_target.c_str(), wide_new.c_str(), wide_backup.c_str(),
                             REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
    DWORD code = done ? 0 : GetLastError();
    CloseHandle(guard);
    if (!done && code == ERROR_SHARING_VIOLATION) {
        // A system whose ReplaceFile wants the target for writing is kept
        // from it by the guard itself; no writer held the file a moment
        // ago, so once more without it.
        done = ReplaceFileW(wide_target.c_str(), wide_new.c_str(), wide_backup.c_str(),
                            REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr);
        code = done ? 0 : GetLastError();
    }
    if (!done) {
        // Here the target has already been renamed to the backup name, and
        // the new file could not take its place: it is given its name back.
        if (code == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2)
            MoveFileExW(wide_backup.c_str(), wide_target.c_str(), 0);
        if (!aside.empty()) MoveFileExW(aside.c_str(), wide_backup.c_str(), 0);
        release_signals();
        error = std::string(target) + ": " +
                (code == ERROR_UNABLE_TO_REMOVE_REPLACED ? std::string("in use")
                                                         : error_text(code));
        return false;
    }
    if (!aside.empty()) DeleteFileW(aside.c_str());
    unregister(f.slot);
    release_signals();
    return true;
}

bool move_new_to(NewFile& f, const char* new_path, std::string& error) {
    close_new(f);
    hold_signals();
    const bool moved = MoveFileExW(widen(f.path).c_str(), widen(new_path).c_str(),
                                   MOVEFILE_WRITE_THROUGH) != 0;
    const DWORD code = GetLastError();
    if (moved) unregister(f.slot);
    release_signals();
    if (moved) return true;
    error = std::string(new_path) + ": " + error_text(code);
    return false;
}

void discard(NewFile& f) {
    close_new(f);
    hold_signals();
    if (f.slot >= 0) DeleteFileW(widen(f.path).c_str());
    unregister(f.slot);
    release_signals();
}

void remove_new_files() {
    static wchar_t wide[max_path_bytes];
    for (Registered& entry : registry) {
        if (!entry.used) continue;
        if (widen_into(entry.path, wide, static_cast<int>(max_path_bytes))) DeleteFileW(wide);
        entry.used = 0;
    }
}

namespace {
BOOL WINAPI on_console_event(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        // Never released: the process ends here, with the status Windows
        // gives a process Ctrl-C ends.
        AcquireSRWLockExclusive(&registry_lock);
        remove_new_files();
        ExitProcess(0xC000013AU);
    default: return FALSE;
    }
}
}  // namespace

void remove_on_signals() { SetConsoleCtrlHandler(on_console_event, TRUE); }

bool create_scratch(Scratch& s, std::string& error) {
    s = Scratch{};
    wchar_t folder[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, folder);
    if (n == 0 || n > MAX_PATH) {
        error = "cannot find the temporary folder";
        return false;
    }
    for (int attempt = 0; attempt < create_attempts; ++attempt) {
        const std::wstring path =
            folder + widen("quarnel-" + random_tag(GetCurrentProcessId()) + ".tmp");
        // Deleted by the system when the handle closes, however the
        // process ends; kept in memory while it fits.
        const HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW,
                                     FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                     nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            s.handle = from_handle(h);
            return true;
        }
        const DWORD code = GetLastError();
        if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
            error = "cannot create a scratch file in " + narrow(folder) + ": " +
                    error_text(code);
            return false;
        }
    }
    error = "cannot create a scratch file in " + narrow(folder) + ": no free name";
    return false;
}

bool append_scratch(Scratch& s, const void* data, std::size_t size, std::string& error) {
    NewFile as_new;
    as_new.handle = s.handle;
    if (!write_at(as_new, s.size, data, size, error)) return false;
    s.size += size;
    return true;
}

bool read_scratch(const Scratch& s, std::uint64_t offset, void* data, std::size_t size,
                  std::string& error) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        OVERLAPPED where{};
        where.Offset = static_cast<DWORD>(offset);
        where.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD n = 0;
        if (!ReadFile(as_handle(s.handle), bytes, chunk, &n, &where)) {
            error = "cannot read a scratch file: " + last_error();
            return false;
        }
        if (n == 0) {
            error = "a scratch file ended early";
            return false;
        }
        bytes += n;
        offset += n;
        size -= n;
    }
    return true;
}

void remove_scratch(Scratch& s) {
    if (s.handle != -1) CloseHandle(as_handle(s.handle));
    s = Scratch{};
}

#endif
