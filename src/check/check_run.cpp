#include "check_run.h"

#include "dbf_layout.h"
#include "platform.h"
#include "report.h"

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string_view text_field(const CheckRun& run, std::size_t at, std::size_t size) {
    if (run.header_got <= at) return {};
    const auto* start = reinterpret_cast<const char*>(run.header_bytes.data() + at);
    const std::string_view field{start, std::min(size, run.header_got - at)};
    return field.substr(0, field.find('\0'));
}

void put_count(std::uint64_t n, const char* one, const char* many) {
    put_dec(static_cast<std::int64_t>(n));
    put_text(n == 1 ? one : many);
}

constexpr std::string_view usage = "Use: quarnel-check [--] INDEX [TABLE]";

constexpr std::string_view help =
    "Checks an NTX index, and given the dBase table it was built from, the index\n"
    "against the table: one line for each fault, then a verdict, sound or damaged.\n"
    "\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "  --         end the options: every word after it is a file\n"
    "\n"
    "Exit status: 0 sound, no fault found; 1 damaged, each fault reported;\n"
    "2 nothing could be checked (a wrong command line, a file that cannot be\n"
    "opened or read, a table whose records cannot be found), with a message\n"
    "on standard error, or the report could not be written.";

[[noreturn]] void print_and_end(std::string_view text) {
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        put_text(text.substr(at, end - at));
        end_line();
        at = end + 1;
    }
    end_process(flush_report() ? 0 : 2);
}

}  // namespace

CommandLine read_command_line(int argc, char** argv) {
    std::vector<const char*> files;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (options && word == "--") {
            options = false;
        } else if (options && word == "--help") {
            put_text(usage);
            end_line();
            print_and_end(help);
        } else if (options && word == "--version") {
            print_and_end("quarnel-check " QUARNEL_VERSION);
        } else if (options && word.size() > 1 && word[0] == '-') {
            end_with_error("Unknown option ", word, "; " + std::string(usage), 2);
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.size() != 1 && files.size() != 2) end_with_error(usage, "", "", 2);
    return {files[0], files.size() == 2 ? files[1] : nullptr};
}

void open_table_or_end(const char* path, Comparison& c) {
    if (!open_table(path)) end_with_error("Open error: ", path, "", 2);
    const auto fail = [path](const std::string& why) {
        end_with_error("Error in table ", path, ": " + why, 2);
    };
    std::uint8_t prologue[dbf::prologue_size];
    if (read_table(0, prologue, sizeof prologue) != sizeof prologue)
        fail("shorter than a table's header");
    const auto length = dbf::header_length(prologue);
    std::vector<std::uint8_t> bytes(length.value_or(0));
    if (read_table(0, bytes.data(), bytes.size()) != bytes.size())
        fail("shorter than its header");
    dbf::TableDecoded decoded = dbf::decode_table_header(bytes);
    if (!decoded.header) fail(decoded.error);
    const dbf::TableHeader& header = *decoded.header;
    const std::size_t used = dbf::fields_length(header);
    if (used != header.record_length)  // more is refused by the decoder
        fail("fields take " + std::to_string(used) + " bytes, less than the record length " +
             std::to_string(header.record_length));
    const std::uint64_t size = table_size();
    if (size < header.header_length) fail("shorter than its header");
    std::uint8_t last = 0;
    const bool has_last = size > header.header_length && read_table(size - 1, &last, 1) == 1;
    c.geometry = dbf::table_geometry(header, size, has_last ? std::optional(last) : std::nullopt);
    c.table = std::move(*decoded.header);
}

void open_check(CheckRun& run, const char* index_path, const char* table_path) {
    if (!open_index(index_path)) end_with_error("Open error: ", index_path, "", 2);
    run.header_got = read_index(0, run.header_bytes.data(), run.header_bytes.size());
    if (run.header_got < ntx::header_size)
        end_with_error("Error reading header of ", index_path, "", 2);
    run.with_table = table_path != nullptr;
    if (run.with_table) open_table_or_end(table_path, run.table);
}

void run_check(CheckRun& run) {
    const ntx::Bytes head{run.header_bytes.data(), ntx::header_size};
    const ntx::IndexHeader header = *ntx::decode_header({run.header_bytes.data(), run.header_got});
    TreeCheck& check = run.check;
    check.rules = check_header(header, *ntx::load_u16le(head, ntx::capacity_at),
                               header.max_item,
                               header.key_expr.size() < ntx::key_expr_size, index_size(),
                               check.counts, check.quiet);
    if (run.with_table) {
        prepare_comparison(run.table, check.rules, header.key_expr,
                           text_field(run, ntx::for_condition_at, ntx::for_condition_size),
                           header.key_decimals);
        check.comparison = &run.table;
    }
    check_tree(check);
    if (run.with_table) compare_table(run.table, check);
}

void put_verdict(const CheckRun& run) {
    const TreeCounts& counts = run.check.counts;
    const Comparison& table = run.table;
    const std::uint64_t differing = counts.order_faults + table.key_differences;
    if (differing > 0 && counts.order_faults_high == counts.order_faults &&
        table.key_differences_high == table.key_differences) {
        put_text("note: every key out of order or unlike its record's first differs at a byte "
                 "from 80h up: the index may have been built with a national collation or "
                 "upper case, whose order and case of such letters this check does not know");
        end_line();
    }
    if (counts.outside > 0) {
        put_text("note: ");
        put_count(counts.outside, " page lies", " pages lie");
        put_text(" outside the tree, free or left over: space lost, but no key");
        end_line();
    }
    put_text(counts.faults == 0 ? "sound: " : "damaged: ");
    put_count(counts.keys, " key, ", " keys, ");
    put_count(counts.pages, " page, ", " pages, ");
    put_count(counts.levels, " level, ", " levels, ");
    put_count(counts.faults, " fault, ", " faults, ");
    put_count(counts.outside, " page outside the tree", " pages outside the tree");
    if (run.with_table) {
        put_text("; ");
        put_count(run.table.geometry.compared, " record", " records");
        if (!run.table.keys_not_compared.empty()) {
            put_text(", keys not compared: ");
            put_shown_text(run.table.keys_not_compared);
        }
    }
    end_line();
}
