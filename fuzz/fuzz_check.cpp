// Fuzz entry for quarnel-check: each input is a whole index file. Besides
// crashes, hangs and sanitizer reports it catches a report that breaks the
// checker's contract: every line a fault, a note or the verdict last; as
// many fault lines as the verdict counts; status 0 exactly when sound; and
// no byte of the file that a terminal would obey.
#include "memory_platform.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

int check_main(int argc, char** argv);  // the checker's main, renamed

namespace {

std::string report;

[[noreturn]] void broken(const char* why, int status) {
    std::fprintf(stderr, "%s (status %d)\n--- report ---\n%.2000s\n", why, status,
                 report.c_str());
    std::abort();
}

bool starts(std::string_view line, std::string_view with) {
    return line.substr(0, with.size()) == with;
}

void check_report(int status, bool has_header) {
    if (!has_header) {
        if (status != 2 || !report.empty()) broken("a file shorter than its header", status);
        return;
    }
    for (const char c : report) {
        const auto b = static_cast<unsigned char>(c);
        if ((b < 0x20 && c != '\n') || b == 0x7f)
            broken("a control byte reached the report", status);
    }
    if (report.empty() || report.back() != '\n') broken("the report does not end a line", status);
    std::uint64_t fault_lines = 0;
    std::string_view rest = report;
    std::string_view line;
    while (!rest.empty()) {
        line = rest.substr(0, rest.find('\n'));
        rest.remove_prefix(line.size() + 1);
        if (rest.empty()) break;
        if (starts(line, "page ") || starts(line, "record ") || starts(line, "header: "))
            ++fault_lines;
        else if (!starts(line, "note: "))
            broken("a line that is neither a fault nor a note", status);
    }
    const bool sound = starts(line, "sound: ");
    if (!sound && !starts(line, "damaged: ")) broken("no verdict last", status);
    if (status != (sound ? 0 : 1)) broken("a status that is not the verdict's", status);
    const std::size_t at = line.find(" fault");
    std::size_t from = line.rfind(", ", at);
    if (at == std::string_view::npos || from == std::string_view::npos)
        broken("a verdict without its fault count", status);
    const auto counted = std::strtoull(std::string(line.substr(from + 2)).c_str(), nullptr, 10);
    if (counted != fault_lines || (counted == 0) != sound)
        broken("a fault count that is not the fault lines'", status);
}

}  // namespace

void fuzz::printed(std::string_view text) { report.append(text); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::set_terminal_from_environment();
    report.reserve(1 << 20);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::index_file = {data, size};
    report.clear();
    char name[] = "index.ntx";
    char program[] = "quarnel-check";
    char* argv[] = {program, name, nullptr};
    int status = -1;  // main returning at all is a fault
    try {
        check_main(2, argv);
    } catch (const fuzz::RunEnded& end) {
        status = end.status;
    }
    check_report(status, size >= 280);
    return 0;
}
