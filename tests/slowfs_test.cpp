// slowfs stands in for a file share in the benchmark: a program reading
// through it must get the file's bytes, or the timings are of something else.
#include "run_tool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

bool is_mount_point(const fs::path& dir) {
    struct stat here {}, above {};
    return stat(dir.c_str(), &here) == 0 && stat(dir.parent_path().c_str(), &above) == 0 &&
           here.st_dev != above.st_dev;
}

int run_quietly(const std::vector<std::string>& argv) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, 1);
        dup2(null, 2);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string pread_string(int fd, std::size_t size, off_t at) {
    std::string out(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = pread(fd, out.data() + got, size - got, at + static_cast<off_t>(got));
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

class SlowFs : public testing::Test {
protected:
    // One of its own for each run, since a mount is not lightly shared.
    fs::path dir = fs::temp_directory_path() / ("quarnel-slowfs-" + std::to_string(getpid()));
    fs::path source = dir / "source";
    fs::path mount = dir / "mount";
    std::string data;
    pid_t server = -1;

    void SetUp() override {
        const int fuse = open("/dev/fuse", O_RDWR);
        if (fuse < 0) GTEST_SKIP() << "/dev/fuse cannot be opened here";
        close(fuse);
        fs::create_directories(source / "sub");
        fs::create_directories(mount);
        // Not a whole number of pages or of FUSE's 128 KiB requests, and no
        // two blocks alike, so a misplaced or short read shows.
        std::uint64_t x = 1;
        for (std::size_t i = 0; i < 3 * 131072 + 1234; ++i, x = x * 6364136223846793005u + 1)
            data += static_cast<char>(x >> 56);
        std::FILE* f = std::fopen((source / "data").c_str(), "wb");
        ASSERT_TRUE(f);
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), f), data.size());
        std::fclose(f);
        std::FILE* g = std::fopen((source / "sub" / "small").c_str(), "wb");
        ASSERT_TRUE(g);
        std::fputs("small\n", g);
        std::fclose(g);

        server = fork();
        ASSERT_GE(server, 0);
        if (server == 0) {
            execl(SLOWFS_PATH, SLOWFS_PATH, source.c_str(), mount.c_str(), "--delay-us", "200",
                  "-f", static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int tries = 0; tries < 500 && !is_mount_point(mount); ++tries) {
            int status = 0;
            if (waitpid(server, &status, WNOHANG) == server) {
                server = -1;
                // fuse_main's status for a mount it was refused.
                if (WIFEXITED(status) && WEXITSTATUS(status) == 4)
                    GTEST_SKIP() << "mounting is not allowed here";
                FAIL() << "slowfs ended before mounting, status " << status;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(is_mount_point(mount));
    }

    // Unmounts even after a failed check, so that no mount outlives the test.
    void TearDown() override {
        if (server > 0) {
            if (run_quietly({"fusermount3", "-u", mount.string()}) != 0) kill(server, SIGTERM);
            int status = 0;
            while (waitpid(server, &status, 0) < 0 && errno == EINTR) {
            }
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        if (is_mount_point(mount)) run_quietly({"umount", "-l", mount.string()});
        if (is_mount_point(mount))
            ADD_FAILURE() << mount << " is still mounted";
        else
            fs::remove_all(dir);
    }
};

TEST_F(SlowFs, PassesBytesThroughUnchanged) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(mount))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"data", "sub"}));
    EXPECT_EQ(fs::file_size(mount / "data"), data.size());
    EXPECT_EQ(read_file(mount / "sub" / "small"), "small\n");

    EXPECT_TRUE(read_file(mount / "data") == data);
    const int fd = open((mount / "data").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // Within a page, across request boundaries, past the end and at it.
    const std::pair<std::size_t, std::size_t> reads[] = {
        {1, 100}, {131071, 2}, {200000, 131072 + 5000}, {data.size() - 10, 4096},
        {data.size(), 10}};
    for (const auto& [at, size] : reads) {
        SCOPED_TRACE(at);
        EXPECT_TRUE(pread_string(fd, size, static_cast<off_t>(at)) == data.substr(at, size));
    }
    close(fd);
}

TEST_F(SlowFs, RefusesWrites) {
    errno = 0;
    EXPECT_LT(open((mount / "data").c_str(), O_WRONLY), 0);
    EXPECT_EQ(errno, EROFS);
    EXPECT_LT(open((mount / "new").c_str(), O_WRONLY | O_CREAT, 0644), 0);
    EXPECT_FALSE(fs::exists(source / "new"));
}

}  // namespace
