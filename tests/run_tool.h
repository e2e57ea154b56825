// Runs the built quarnel and captures its standard output bytes and status.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct ToolRun {
    std::string out;
    // As the platform reports it: 0 to 255 on POSIX, and all 32 bits of
    // the exit code on Windows, where -1 reads 0xFFFFFFFF.
    std::int64_t status = -1;
};

// `args` follow the program name; standard output goes to `out_file`.
ToolRun run_program(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& out_file);

ToolRun run_quarnel(const std::vector<std::string>& args,
                    const std::filesystem::path& out_file);

#ifndef _WIN32
// `program` with `arg`, its standard output and error on a pseudo-terminal
// in raw mode, so every byte it writes is read back unchanged.
ToolRun run_on_terminal(const std::string& program, const std::string& arg);
#endif

// The whole of a file's bytes.
std::string read_file(const std::filesystem::path& file);

// The lines as the platform's text mode writes them: each ends in LF, or
// in CR LF on Windows.
std::string lines(const std::vector<std::string>& text);
