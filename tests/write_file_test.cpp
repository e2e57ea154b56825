// The platform's writing: a new file beside the target, put in place with
// a backup, and nothing left behind on a failure, a full disk or a signal.
#include "platform.h"
#include "temp_dir_test.h"
#include "write_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <utility>
#include <vector>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {
std::string contents(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void put(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string> listing(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// A new file holding `body` after a first page, the first page written
// last as the rebuild writes its header.
void write_new(NewFile& f, const fs::path& target, const std::string& head,
               const std::string& body) {
    std::string error;
    ASSERT_TRUE(create_beside(f, target.string().c_str(), error)) << error;
    ASSERT_TRUE(write_at(f, 1024, body.data(), body.size(), error)) << error;
    std::string first = head;
    first.resize(1024, '\0');
    ASSERT_TRUE(write_at(f, 0, first.data(), first.size(), error)) << error;
    ASSERT_TRUE(flush_file(f, error)) << error;
}

std::string page(const std::string& head, const std::string& body) {
    std::string bytes = head;
    bytes.resize(1024, '\0');
    return bytes + body;
}

#ifndef _WIN32
unsigned mode_of(const fs::path& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

unsigned usual_mode() {
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

// Runs `body` in a child process; its status, or 128 + the signal.
template <typename Body>
int in_child(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
#endif
}  // namespace

using Writing = TempDirTest;

TEST_F(Writing, ReplaceKeepsTheOldBytesAsBackupAndReplacesAnOlderOne) {
    const fs::path target = file("NAME.NTX");
    const fs::path backup = file("NAME.BAK");
    put(target, "the index as it was");
    put(backup, "an older backup");
#ifndef _WIN32
    fs::permissions(target, fs::perms(0640));
#endif
    NewFile f;
    write_new(f, target, "header", "pages");
    // Beside the target, hidden, and readable back by its path alone.
    EXPECT_EQ(fs::path(f.path).parent_path(), dir_);
    EXPECT_EQ(fs::path(f.path).filename().string().rfind(".NAME.NTX.", 0), 0u);
    EXPECT_EQ(contents(f.path), page("header", "pages"));
    ASSERT_TRUE(open_index(f.path.c_str()));
    char first[6];
    EXPECT_EQ(read_index(0, first, sizeof first), sizeof first);
    EXPECT_EQ(std::string(first, 6), "header");
    EXPECT_EQ(close_index(), 0);

    std::string error;
    ASSERT_TRUE(replace_with_backup(f, target.string().c_str(), backup.string().c_str(), true,
                                    error))
        << error;
    EXPECT_EQ(contents(target), page("header", "pages"));
    EXPECT_EQ(contents(backup), "the index as it was");
    EXPECT_EQ(listing(dir_), (std::set<std::string>{"NAME.NTX", "NAME.BAK"}));
    EXPECT_EQ(f.handle, -1);
#ifndef _WIN32
    EXPECT_EQ(mode_of(target), 0640u);
#endif

    // Again: the backup is now the first rebuild, the file the second.
    NewFile again;
    write_new(again, target, "second", "");
    ASSERT_TRUE(replace_with_backup(again, target.string().c_str(), backup.string().c_str(),
                                    false, error))
        << error;
    EXPECT_EQ(contents(target), page("second", ""));
    EXPECT_EQ(contents(backup), page("header", "pages"));
    EXPECT_EQ(listing(dir_), (std::set<std::string>{"NAME.NTX", "NAME.BAK"}));
#ifndef _WIN32
    EXPECT_EQ(mode_of(target), usual_mode());
#endif
    // A later discard of what was put in place removes nothing.
    discard(again);
    EXPECT_TRUE(fs::exists(target));
}

TEST_F(Writing, ReplaceRefusesAndChangesNothing) {
    const fs::path target = file("A.NTX");
    const fs::path backup = file("A.BAK");
    put(target, "old");
    put(backup, "older");
    std::string error;
    NewFile f;
    write_new(f, target, "new", "");
    EXPECT_FALSE(replace_with_backup(f, target.string().c_str(), target.string().c_str(), true,
                                     error));
    const fs::path missing = file("MISSING.NTX");
    EXPECT_FALSE(replace_with_backup(f, missing.string().c_str(), backup.string().c_str(), true,
                                     error));
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(missing));
#ifdef _WIN32
    // A program holding the index open for writing.
    const HANDLE writer =
        CreateFileA(target.string().c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(replace_with_backup(f, target.string().c_str(), backup.string().c_str(), true,
                                     error));
    CloseHandle(writer);
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
#else
    // A link would be replaced by a file rather than followed.
    const fs::path link = file("LINK.NTX");
    fs::create_symlink(target, link);
    EXPECT_FALSE(replace_with_backup(f, link.string().c_str(), backup.string().c_str(), true,
                                     error));
    EXPECT_TRUE(fs::is_symlink(link));
    fs::remove(link);
#endif
    EXPECT_EQ(contents(target), "old");
    EXPECT_EQ(contents(backup), "older");
    const std::string temp = f.path;
    EXPECT_TRUE(fs::exists(temp));
    discard(f);
    EXPECT_EQ(listing(dir_), (std::set<std::string>{"A.NTX", "A.BAK"}));
}

TEST_F(Writing, MoveNewToNeverReplacesAnExistingFile) {
    const fs::path existing = file("TAKEN.NTX");
    put(existing, "someone's file");
    std::string error;
    NewFile f;
    write_new(f, existing, "new", "");
    EXPECT_FALSE(move_new_to(f, existing.string().c_str(), error));
    EXPECT_NE(error.find("already exists"), std::string::npos) << error;
    EXPECT_EQ(contents(existing), "someone's file");
    discard(f);
    EXPECT_EQ(listing(dir_), std::set<std::string>{"TAKEN.NTX"});

    const fs::path fresh = file("NEW.NTX");
    NewFile g;
    write_new(g, fresh, "new", "keys");
    ASSERT_TRUE(move_new_to(g, fresh.string().c_str(), error)) << error;
    EXPECT_EQ(contents(fresh), page("new", "keys"));
    EXPECT_EQ(listing(dir_), (std::set<std::string>{"TAKEN.NTX", "NEW.NTX"}));
#ifndef _WIN32
    EXPECT_EQ(mode_of(fresh), usual_mode());
#endif
}

TEST_F(Writing, AFolderThatDoesNotExistIsAnErrorAndCreatesNothing) {
    const fs::path target = file("no-such-folder") / "X.NTX";
    NewFile f;
    std::string error;
    EXPECT_FALSE(create_beside(f, target.string().c_str(), error));
    EXPECT_NE(error.find("no such file"), std::string::npos) << error;
    EXPECT_EQ(f.slot, -1);
    EXPECT_TRUE(listing(dir_).empty());
    // A name ending in a separator names no file to be beside.
    EXPECT_FALSE(create_beside(f, (dir_.string() + "/").c_str(), error));
    EXPECT_TRUE(listing(dir_).empty());
}

TEST_F(Writing, ScratchFilesReadBackAndLeaveNoName) {
    const fs::path scratch_dir = file("scratch");
    fs::create_directories(scratch_dir);
    // The folder the system names for temporary files, changed for this
    // test alone.
#ifdef _WIN32
    const char* names[] = {"TMP", "TEMP"};
#else
    const char* names[] = {"TMPDIR"};
#endif
    std::vector<std::pair<std::string, std::string>> saved;
    for (const char* name : names) {
        const char* value = std::getenv(name);
        saved.emplace_back(name, value ? value : "");
    }
    const auto set_folder = [&](const std::string& folder) {
        for (const char* name : names) {
#ifdef _WIN32
            _putenv_s(name, folder.c_str());
#else
            setenv(name, folder.c_str(), 1);
#endif
        }
    };
    set_folder(scratch_dir.string() + "/");
    Scratch s;
    std::string error;
    ASSERT_TRUE(create_scratch(s, error)) << error;
    const std::string a(100000, 'a');
    ASSERT_TRUE(append_scratch(s, a.data(), a.size(), error)) << error;
    ASSERT_TRUE(append_scratch(s, "tail", 4, error)) << error;
    EXPECT_EQ(s.size, a.size() + 4);
    char back[6];
    ASSERT_TRUE(read_scratch(s, a.size() - 2, back, sizeof back, error)) << error;
    EXPECT_EQ(std::string(back, 6), "aatail");
    EXPECT_FALSE(read_scratch(s, a.size(), back, sizeof back, error));
#ifndef _WIN32
    // Unnamed while open, so a process killed outright leaves nothing.
    EXPECT_TRUE(listing(scratch_dir).empty());
#endif
    remove_scratch(s);
    EXPECT_TRUE(listing(scratch_dir).empty());

    set_folder((file("no-such-folder") / "").string());
    EXPECT_FALSE(create_scratch(s, error));
    EXPECT_NE(error.find("scratch"), std::string::npos) << error;
    for (const auto& [name, value] : saved) {
#ifdef _WIN32
        _putenv_s(name.c_str(), value.c_str());  // empty removes it
#else
        if (value.empty())
            unsetenv(name.c_str());
        else
            setenv(name.c_str(), value.c_str(), 1);
#endif
    }
}

#ifndef _WIN32
TEST_F(Writing, ABackupThatIsAlreadyALinkToTheTargetLeavesNoSecondName) {
    const fs::path target = file("L.NTX");
    const fs::path backup = file("L.BAK");
    put(target, "old");
    fs::create_hard_link(target, backup);
    NewFile f;
    write_new(f, target, "new", "");
    std::string error;
    ASSERT_TRUE(replace_with_backup(f, target.c_str(), backup.c_str(), true, error)) << error;
    EXPECT_EQ(contents(target), page("new", ""));
    EXPECT_EQ(contents(backup), "old");
    EXPECT_EQ(listing(dir_), (std::set<std::string>{"L.NTX", "L.BAK"}));
}

// Where no hard link can be made, here across file systems, the backup is
// a copy of the old bytes, made before the target's name moves.
TEST_F(Writing, ABackupWithoutAHardLinkIsACopy) {
    const fs::path other = fs::path("/dev/shm") / ("quarnel-" + dir_.filename().string());
    struct stat a, b;
    if (stat("/dev/shm", &b) != 0 || stat(dir_.c_str(), &a) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at /dev/shm";
    fs::remove_all(other);
    fs::create_directories(other);
    const fs::path target = file("C.NTX");
    const fs::path backup = other / "C.BAK";
    put(target, "old bytes");
    fs::permissions(target, fs::perms(0604));
    NewFile f;
    write_new(f, target, "new", "");
    std::string error;
    EXPECT_TRUE(replace_with_backup(f, target.c_str(), backup.c_str(), true, error)) << error;
    EXPECT_EQ(contents(target), page("new", ""));
    EXPECT_EQ(contents(backup), "old bytes");
    EXPECT_EQ(mode_of(backup), 0604u);
    EXPECT_EQ(listing(dir_), std::set<std::string>{"C.NTX"});
    EXPECT_EQ(listing(other), std::set<std::string>{"C.BAK"});
    fs::remove_all(other);
}

TEST_F(Writing, AFullDiskIsAnErrorAndDiscardLeavesNothing) {
    const fs::path target = file("FULL.NTX");
    put(target, "old");
    const auto before = listing(dir_);
    const int status = in_child([&] {
        // The file size limit stands in for the disk filling up.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{8192, 8192};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 10;
        NewFile f;
        std::string error;
        if (!create_beside(f, target.c_str(), error)) return 11;
        const std::vector<char> bytes(4096, 'k');
        for (std::uint64_t at = 0; at < 65536; at += bytes.size()) {
            if (!write_at(f, at, bytes.data(), bytes.size(), error)) {
                discard(f);
                return error.find("largest size") != std::string::npos ? 0 : 13;
            }
        }
        return 12;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(listing(dir_), before);
    EXPECT_EQ(contents(target), "old");
}

TEST_F(Writing, EndingSignalsAndExitsRemoveTheNewFile) {
    const fs::path target = file("SIG.NTX");
    put(target, "old");
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            remove_on_signals();
            NewFile f;
            std::string error;
            if (!create_beside(f, target.c_str(), error)) _exit(11);
            write_at(f, 0, "partial", 7, error);
            if (write(ready[1], "x", 1) != 1) _exit(12);
            for (;;) pause();
        }
        char x = 0;
        ASSERT_EQ(read(ready[0], &x, 1), 1);
        close(ready[0]);
        close(ready[1]);
        EXPECT_EQ(listing(dir_).size(), 2u);
        kill(pid, sig);
        int status = 0;
        waitpid(pid, &status, 0);
        // Ended by the signal itself, as a parent expects to see.
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << sig;
        EXPECT_EQ(listing(dir_), std::set<std::string>{"SIG.NTX"}) << sig;
        EXPECT_EQ(contents(target), "old");
    }
    // Every error exit goes through end_process; a return from main or a
    // plain exit is covered too.
    for (const bool through_end_process : {true, false}) {
        const int status = in_child([&] {
            NewFile f;
            std::string error;
            if (!create_beside(f, target.c_str(), error)) return 11;
            if (through_end_process) end_process(3);
            std::exit(4);
        });
        EXPECT_EQ(status, through_end_process ? 3 : 4);
        EXPECT_EQ(listing(dir_), std::set<std::string>{"SIG.NTX"});
    }
}
#endif
