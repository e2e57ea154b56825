// quarnel-reindex: rebuilds an NTX index from its dBase table, or rewrites
// it from its own entries, in the layout a fresh build gives; the new file
// is proved by the checker before it takes the old one's place.
#include "platform.h"
#include "rebuild.h"
#include "report.h"
#include "write_file.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#ifndef QUARNEL_VERSION
#define QUARNEL_VERSION "unknown"
#endif

namespace {

constexpr std::string_view usage =
    "Use: quarnel-reindex [-o NEW] [--force] [--memory MIB] INDEX [TABLE]\n"
    "     quarnel-reindex -k EXPR [-f COND] [-u] [-d] [-n NAME] [--memory MIB] -o NEW TABLE\n"
    "     quarnel-reindex --help | --version";

constexpr std::string_view help =
    "\n\n"
    "Rebuilds INDEX from TABLE, keeping INDEX's key expression, FOR condition and\n"
    "header fields; the old file is kept as INDEX.bak. Given INDEX alone, rewrites\n"
    "a sound index from its own entries. The new file is written beside the one it\n"
    "replaces, flushed, and checked, tree and table, before it takes its place.\n"
    "\n"
    "  -o NEW        write NEW, which must not exist, and leave INDEX as it is\n"
    "  --force       rebuild an index whose keys are out of byte order\n"
    "  --memory MIB  sort within MIB mebibytes (64 by default), then on disk\n"
    "  -k EXPR       a new index on the key expression EXPR (with -o NEW and TABLE)\n"
    "  -f COND       ... holding only the records that pass COND\n"
    "  -u            ... unique: the first record of each key\n"
    "  -d            ... descending\n"
    "  -n NAME       ... with the order name NAME\n"
    "\n"
    "Exit status: 0 the index is written and proved; 1 refused for what the files\n"
    "hold (keys that cannot be made, table faults, keys out of byte order, a\n"
    "damaged index given alone); 2 usage or system trouble. With any status but\n"
    "0, every file is as it was.\n";

[[noreturn]] void usage_error(std::string_view why) {
    end_with_error(why, "", std::string(why.empty() ? "" : "\n") + std::string(usage), 2);
}

// At most half the address space, so that a 32-bit build can still hold it.
bool parse_memory(const char* text, std::size_t& bytes) {
    std::size_t mib = 0;
    const char* end = text + std::strlen(text);
    const auto [at, ec] = std::from_chars(text, end, mib);
    if (ec != std::errc{} || at != end || mib < 1 || mib > (SIZE_MAX / 2) >> 20) return false;
    bytes = mib << 20;
    return true;
}

void put_line(std::string_view text) {
    put_text(text);
    end_line();
}

RebuildRequest parse(int argc, char** argv) {
    RebuildRequest r;
    const char* operands[3] = {};
    int count = 0;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const auto value = [&]() -> const char* {
            if (i + 1 >= argc) usage_error(std::string(a) + " needs a value");
            return argv[++i];
        };
        if (options && a == "--") {
            options = false;
        } else if (options && a == "--help") {
            put_text(usage);
            put_text(help);
            end_run(0);
        } else if (options && a == "--version") {
            put_line("quarnel-reindex " QUARNEL_VERSION);
            end_run(0);
        } else if (options && a == "-o") {
            r.out = value();
        } else if (options && a == "--force") {
            r.force = true;
        } else if (options && a == "--memory") {
            if (!parse_memory(value(), r.memory))
                usage_error("--memory takes a whole number of MiB from 1 up");
        } else if (options && a == "-k") {
            r.key = value();
        } else if (options && a == "-f") {
            r.condition = value();
        } else if (options && a == "-u") {
            r.unique = true;
        } else if (options && a == "-d") {
            r.descending = true;
        } else if (options && a == "-n") {
            r.name = value();
        } else if (options && a.size() > 1 && a[0] == '-') {
            usage_error("unknown option " + std::string(a));
        } else {
            if (count == 2) usage_error("too many files");
            operands[count++] = argv[i];
        }
    }
    if (r.key) {
        if (count != 1 || !r.out) usage_error("-k EXPR needs -o NEW and the TABLE alone");
        r.table = operands[0];
    } else {
        if (r.condition || r.unique || r.descending || r.name)
            usage_error("-f, -u, -d and -n describe a new index, with -k EXPR");
        if (count == 0) usage_error("");
        r.index = operands[0];
        r.table = operands[1];
    }
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const RebuildRequest request = parse(argc, argv);
    remove_on_signals();
    const RebuildDone done = rebuild(request);
    put_text(request.out ? "written: " : "rebuilt: ");
    put_dec(static_cast<std::int64_t>(done.keys));
    put_text(done.keys == 1 ? " key, " : " keys, ");
    put_dec(static_cast<std::int64_t>(done.pages));
    put_text(done.pages == 1 ? " page" : " pages");
    if (!done.backup.empty()) {
        put_text("; the old index is ");
        put_stored_text(done.backup);
    }
    end_line();
    end_run(flush_report() ? 0 : 2);
}
