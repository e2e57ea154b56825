// Fuzz entry: each input is a whole index file. The tool runs from its own
// entry point, as `quarnel index.ntx`, on a platform whose file is the input
// and whose end of process returns here; its report and status must be the
// ones built independently in expected_report.
#include "expected_report.h"
#include "platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

int quarnel_main(int argc, char** argv);  // the tool's main, renamed

namespace {

std::span<const std::uint8_t> input;
// Whether standard output is a terminal, for the whole process: the tool
// asks once. QUARNEL_FUZZ_TERMINAL=1 sets it.
bool terminal = false;
ReportDigest printed;
ReportDigest want;

// Thrown by end_process: ends the run, not the process.
struct RunEnded {
    int status;
};

[[noreturn]] void mismatch(int want_status, int got_status) {
    const std::string& a = want.head;
    const std::string& b = printed.head;
    std::size_t at = 0;
    while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
    const std::size_t from = at > 200 ? at - 200 : 0;
    std::fprintf(stderr,
                 "report differs: status %d, expected %d; %llu bytes, expected %llu; "
                 "first difference at byte %zu\n--- expected ---\n%.400s\n--- printed ---\n%.400s\n",
                 got_status, want_status, static_cast<unsigned long long>(printed.size),
                 static_cast<unsigned long long>(want.size), at, a.c_str() + from,
                 b.c_str() + from);
    std::abort();
}

}  // namespace

bool open_index(const char*) { return true; }

std::size_t read_index(std::uint64_t offset, void* buffer, std::size_t size) {
    if (offset >= input.size()) return 0;
    const std::size_t n = std::min<std::uint64_t>(size, input.size() - offset);
    std::memcpy(buffer, input.data() + offset, n);
    return n;
}

std::uint64_t index_size() { return input.size(); }

int close_index() { return 0; }

bool write_stdout(const char* data, std::size_t size) {
    printed.add({data, size});
    return true;
}

bool stdout_is_terminal() { return terminal; }

// The tool itself never writes to standard error.
bool write_stderr(const char*, std::size_t) { std::abort(); }

bool stderr_is_terminal() { return false; }

void end_process(int status) { throw RunEnded{status}; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const char* mode = std::getenv("QUARNEL_FUZZ_TERMINAL");
    terminal = mode && std::strcmp(mode, "1") == 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    input = {data, size};
    printed.reset();
    char name[] = "index.ntx";
    char program[] = "quarnel";
    char* argv[] = {program, name, nullptr};
    int status = -1;  // main returning at all is a fault
    try {
        quarnel_main(2, argv);
    } catch (const RunEnded& end) {
        status = end.status;
    }
    want.reset();
    const int want_status = expected_report(input, name, terminal, want);
    if (status != want_status || !same_report(printed, want))
        mismatch(want_status, status);
    return 0;
}
