// Fuzz entry for quarnel-check: each input is a whole index file, or an
// index, the separator "DBF:" and the table it is checked against. Besides
// crashes, hangs and sanitizer reports it catches a report that breaks the
// checker's contract: every line a fault, a note or the verdict last; as
// many faults as the verdict counts, each a line or counted in a line that
// says how many more of a kind of table fault there were; status 0 exactly
// when sound; nothing reported with status 2; and no byte of the files that
// a terminal would obey.
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

std::uint64_t number_at(std::string_view text) {
    return std::strtoull(std::string(text.substr(0, 24)).c_str(), nullptr, 10);
}

void check_report(int status, bool has_header) {
    if (!has_header && status != 2) broken("a file shorter than its header", status);
    if (status == 2) {
        if (!report.empty()) broken("a report with status 2", status);
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
        // "table: N more records whose ...": N faults not listed.
        constexpr std::string_view more = " more record";
        const std::size_t digits = line.find_first_not_of("0123456789", 7);
        if (starts(line, "table: ") && digits > 7 && digits != std::string_view::npos &&
            line.substr(digits, more.size()) == more)
            fault_lines += number_at(line.substr(7));
        else if (starts(line, "page ") || starts(line, "record ") || starts(line, "header: ") ||
                 starts(line, "table: "))
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
    const auto counted = number_at(line.substr(from + 2));
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
    constexpr std::string_view separator = "DBF:";
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t at = input.find(separator);
    const bool with_table = at != std::string_view::npos;
    const std::size_t index_size = with_table ? at : size;
    fuzz::index_file = {data, index_size};
    fuzz::table_file = {};
    if (with_table) fuzz::table_file = {data + at + separator.size(), size - at - separator.size()};
    report.clear();
    char index[] = "index.ntx";
    char table[] = "table.dbf";
    char program[] = "quarnel-check";
    char* argv[] = {program, index, table, nullptr};
    int status = -1;  // main returning at all is a fault
    try {
        check_main(with_table ? 3 : 2, argv);
    } catch (const fuzz::RunEnded& end) {
        status = end.status;
    }
    check_report(status, index_size >= 280);
    return 0;
}
