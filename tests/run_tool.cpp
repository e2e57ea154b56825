#include "run_tool.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#ifdef _WIN32

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace {

// One argument as the child's C runtime splits it back: quoted, with the
// backslashes before a quote doubled, so no argument is changed.
std::string quoted(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\n\v\"") == std::string::npos) return arg;
    std::string out = "\"";
    std::size_t slashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++slashes;
            continue;
        }
        out.append(c == '"' ? 2 * slashes + 1 : slashes, '\\');
        out += c;
        slashes = 0;
    }
    out.append(2 * slashes, '\\');
    return out + '"';
}

// The program's exit status, with its standard output in `out_file`.
std::int64_t run_and_wait(const std::string& program, const std::vector<std::string>& args,
                          const std::filesystem::path& out_file) {
    std::string command = quoted(program);
    for (const std::string& a : args) command += ' ' + quoted(a);

    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE out = CreateFileA(out_file.string().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                   &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot create " + out_file.string());
    STARTUPINFOA start{};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    start.hStdOutput = out;
    start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                        0, nullptr, nullptr, &start, &child);
    CloseHandle(out);
    if (!started) throw std::runtime_error("cannot start " + program);
    WaitForSingleObject(child.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(child.hProcess, &code);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return code;
}

const char* const newline = "\r\n";

}  // namespace

#else

#include <cerrno>
#include <fcntl.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

std::int64_t run_and_wait(const std::string& program_path, const std::vector<std::string>& args,
                          const std::filesystem::path& out_file) {
    std::vector<char*> argv;
    std::string program = program_path;
    argv.push_back(program.data());
    std::vector<std::string> copies = args;
    for (std::string& a : copies) argv.push_back(a.data());
    argv.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int fd = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int raw = 0;
    while (waitpid(pid, &raw, 0) < 0) {
    }
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

const char* const newline = "\n";

}  // namespace

ToolRun run_on_terminal(const std::string& program, const std::string& arg) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid < 0) return {};
    if (pid == 0) {
        termios raw{};
        tcgetattr(1, &raw);
        cfmakeraw(&raw);
        tcsetattr(1, TCSANOW, &raw);
        execl(program.c_str(), program.c_str(), arg.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ToolRun r;
    char chunk[4096];
    for (;;) {
        const ssize_t n = read(master, chunk, sizeof chunk);
        if (n > 0) {
            r.out.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;  // EIO once the program has closed its side
        }
    }
    close(master);
    int raw_status = 0;
    waitpid(pid, &raw_status, 0);
    r.status = WIFEXITED(raw_status) ? WEXITSTATUS(raw_status) : 128 + WTERMSIG(raw_status);
    return r;
}

#endif

ToolRun run_program(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& out_file) {
    ToolRun run;
    run.status = run_and_wait(program, args, out_file);
    if (std::filesystem::is_regular_file(out_file)) run.out = read_file(out_file);  // not /dev/full
    return run;
}

std::string read_file(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

ToolRun run_quarnel(const std::vector<std::string>& args,
                    const std::filesystem::path& out_file) {
    return run_program(QUARNEL_PATH, args, out_file);
}

std::string lines(const std::vector<std::string>& text) {
    std::string out;
    for (const std::string& line : text) out += line + newline;
    return out;
}
