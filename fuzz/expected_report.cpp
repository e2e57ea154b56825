#include "expected_report.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

std::uint64_t mix(std::uint64_t hash, const void* block) {
    for (std::size_t at = 0; at < 64; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, static_cast<const char*>(block) + at, 8);
        hash = (hash ^ word) * 1099511628211u;
    }
    return hash;
}

}  // namespace

void ReportDigest::add(std::string_view text) {
    static_assert(sizeof block == 64);
    if (head.size() < kept) head.append(text.substr(0, kept - head.size()));
    while (!text.empty()) {
        const std::size_t filled = size % sizeof block;
        if (filled == 0 && text.size() >= sizeof block) {
            hash = mix(hash, text.data());
            size += sizeof block;
            text.remove_prefix(sizeof block);
            continue;
        }
        const std::size_t n = std::min(text.size(), sizeof block - filled);
        std::memcpy(block + filled, text.data(), n);
        size += n;
        text.remove_prefix(n);
        if (size % sizeof block == 0) hash = mix(hash, block);
    }
}

void ReportDigest::reset() {
    size = 0;
    hash = ReportDigest{}.hash;
    head.clear();
}

bool same_report(const ReportDigest& a, const ReportDigest& b) {
    return a.size == b.size && a.hash == b.hash &&
           std::memcmp(a.block, b.block, a.size % sizeof a.block) == 0;
}

namespace {

struct Walk {
    std::span<const std::uint8_t> file;
    bool terminal;
    ReportDigest& out;
    std::vector<std::uint32_t> path;
    std::uint64_t visits = 0;
    std::uint64_t max_visits = 0;
};

void printf_to(ReportDigest& out, const char* format, auto... values) {
    char line[128];
    const int n = std::snprintf(line, sizeof line, format, values...);
    out.add({line, static_cast<std::size_t>(n)});
}

unsigned u16(const std::uint8_t* p) { return p[0] | unsigned{p[1]} << 8; }
std::uint32_t u32(const std::uint8_t* p) { return u16(p) | std::uint32_t{u16(p + 2)} << 16; }

std::string_view text(const std::uint8_t* p, std::size_t room) {
    const auto* zero = static_cast<const std::uint8_t*>(std::memchr(p, 0, room));
    return {reinterpret_cast<const char*>(p), zero ? static_cast<std::size_t>(zero - p) : room};
}

// Text from the file as it is shown: on a terminal, C0 controls and DEL
// as cat -v writes them.
void add_text(ReportDigest& out, std::string_view text, bool terminal) {
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        if (terminal && (b < 0x20 || b == 0x7f)) {
            const char caret[] = {'^', b == 0x7f ? '?' : static_cast<char>('@' + b)};
            out.add({caret, 2});
        } else {
            out.add({&c, 1});
        }
    }
}

bool visit(Walk& w, std::uint32_t ref);

// False when the walk ended with an error line.
bool visit_child(Walk& w, std::uint32_t ref, std::uint32_t child) {
    const char* why = nullptr;
    for (const std::uint32_t on_path : w.path)
        if (on_path == child) why = "is already on the path";
    if (!why && w.path.size() == 256) why = "lies deeper than 256 levels";
    if (why) {
        printf_to(w.out, "Error in page %xh: child %xh %s\n", ref, child, why);
        return false;
    }
    if (w.visits == w.max_visits) {
        printf_to(w.out, "Error in page %xh: child %xh goes past the limit of %" PRIu64
                         " page visits\n", ref, child, w.max_visits);
        return false;
    }
    return visit(w, child);
}

bool visit(Walk& w, std::uint32_t ref) {
    w.out.add("view_page\n");
    ++w.visits;
    if (w.file.size() < 1024 || ref > w.file.size() - 1024) {
        printf_to(w.out, "Error reading page %xh\n", ref);
        return false;
    }
    const std::uint8_t* page = w.file.data() + ref;
    const unsigned n = u16(page);
    printf_to(w.out, "items: %u\n", n);
    if (2 + 2 * (n + 1) > 1024) {
        printf_to(w.out, "Error in page %xh: %u items do not fit\n", ref, n);
        return false;
    }
    w.path.push_back(ref);
    for (unsigned j = 0; j <= n; ++j) {
        const unsigned at = u16(page + 2 + 2 * j);
        if (at + (j < n ? 8 : 4) > 1024) {
            printf_to(w.out, "Error in page %xh: item %u lies outside the page\n", ref, j);
            return false;
        }
        const std::uint32_t child = u32(page + at);
        if (child != 0 && !visit_child(w, ref, child)) return false;
        if (j == n) break;
        printf_to(w.out, "%7u recno: %3" PRId32 " Key: ",
                  j, static_cast<std::int32_t>(u32(page + at + 4)));
        add_text(w.out, text(page + at + 8, 1024 - (at + 8)), w.terminal);
        w.out.add("\n");
    }
    w.path.pop_back();
    return true;
}

}  // namespace

int expected_report(std::span<const std::uint8_t> bytes, const char* path, bool terminal,
                    ReportDigest& out) {
    if (bytes.size() < 280) {
        out.add("Error reading header of ");
        out.add(path);
        out.add("\n");
        return 1;
    }
    const std::uint8_t* h = bytes.data();
    printf_to(out, "***** NTX header *****\nSignature %xh\nVersion %xh\nRoot %xh\n",
              u16(h), u16(h + 2), u32(h + 4));
    printf_to(out, "Next page %xh\nItem size %xh\nKey size %xh\n",
              u32(h + 8), u16(h + 12), u16(h + 14));
    printf_to(out, "Key decimals %xh\nMax item %xh\nKey expr: '", u16(h + 16), u16(h + 20));
    add_text(out, text(h + 22, 256), terminal);
    printf_to(out, "'\nUnique: %d\n", static_cast<int>(static_cast<std::int8_t>(h[278])));

    Walk w{bytes, terminal, out, {}};
    w.max_visits = 2 * (bytes.size() / 1024) + 1024;
    return visit(w, u32(h + 4)) ? 0 : 1;
}
