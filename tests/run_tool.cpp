#include "run_tool.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

ToolRun run_program(const std::string& program_path, const std::vector<std::string>& args,
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
    ToolRun run;
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if (!std::filesystem::is_regular_file(out_file)) return run;
    std::ifstream in(out_file, std::ios::binary);
    run.out.assign(std::istreambuf_iterator<char>(in), {});
    return run;
}

ToolRun run_quarnel(const std::vector<std::string>& args,
                    const std::filesystem::path& out_file) {
    return run_program(QUARNEL_PATH, args, out_file);
}

std::string lines(const std::vector<std::string>& text) {
    std::string out;
    for (const std::string& line : text) out += line + "\n";
    return out;
}
