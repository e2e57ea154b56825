// Fuzz entry: each input is a whole index file. The tool runs from its own
// entry point, as `quarnel index.ntx`, on a platform whose file is the input
// and whose end of process returns here; its report and status must be the
// ones built independently in expected_report.
#include "expected_report.h"
#include "memory_platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

int quarnel_main(int argc, char** argv);  // the tool's main, renamed

namespace {

ReportDigest report;
ReportDigest want;

[[noreturn]] void mismatch(int want_status, int got_status) {
    const std::string& a = want.head;
    const std::string& b = report.head;
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    const std::size_t from = at > 200 ? at - 200 : 0;
    std::fprintf(stderr,
                 "report differs: status %d, expected %d; %llu bytes, expected %llu; "
                 "first difference at byte %zu\n--- expected ---\n%.400s\n--- printed ---\n%.400s\n",
                 got_status, want_status, static_cast<unsigned long long>(report.size),
                 static_cast<unsigned long long>(want.size), at, a.c_str() + from,
                 b.c_str() + from);
    std::abort();
}

}  // namespace

void fuzz::printed(std::string_view text) { report.add(text); }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::set_terminal_from_environment();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::index_file = {data, size};
    report.reset();
    char name[] = "index.ntx";
    char program[] = "quarnel";
    char* argv[] = {program, name, nullptr};
    int status = -1;  // main returning at all is a fault
    try {
        quarnel_main(2, argv);
    } catch (const fuzz::RunEnded& end) {
        status = end.status;
    }
    want.reset();
    const int want_status = expected_report(fuzz::index_file, name, fuzz::terminal, want);
    if (status != want_status || !same_report(report, want))
        mismatch(want_status, status);
    return 0;
}
