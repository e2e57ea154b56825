// Runs the built quarnel and captures its standard output bytes and status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

struct ToolRun {
    std::string out;
    int status = -1;
};

// `args` follow the program name; standard output goes to `out_file`.
ToolRun run_program(const std::string& program, const std::vector<std::string>& args,
                    const std::filesystem::path& out_file);

ToolRun run_quarnel(const std::vector<std::string>& args,
                    const std::filesystem::path& out_file);

// The lines as the platform's text mode writes them.
std::string lines(const std::vector<std::string>& text);
