// The report quarnel must print for a given index file, written a second
// time from the rules alone: raw bytes and printf conversions, sharing no
// code with the tool, so that the fuzzer finds wrong output and not only
// crashes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// A report too large to keep whole: its length, a hash of every byte, and
// the first bytes, enough to show where two reports part. Bytes are hashed
// in blocks of the stream, so however the text arrives in pieces, the same
// text gives the same digest.
struct ReportDigest {
    static constexpr std::size_t kept = 1 << 20;
    std::uint64_t size = 0;
    std::uint64_t hash = 14695981039346656037u;
    unsigned char block[64];  // the bytes not yet hashed: size % 64 of them
    std::string head;

    void add(std::string_view text);
    // Empty again, keeping the buffer: a run allocates nothing once warm.
    void reset();
};

bool same_report(const ReportDigest& a, const ReportDigest& b);

// The report and exit status for the file `bytes` named `path`, written to
// a terminal when `terminal`, else redirected.
int expected_report(std::span<const std::uint8_t> bytes, const char* path, bool terminal,
                    ReportDigest& out);
