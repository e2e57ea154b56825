#include "check_run.h"

#include "dbf_layout.h"
#include "platform.h"
#include "report.h"

#include <algorithm>
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

// Opens and decodes the table, or ends the run with status 2.
void open_table_or_end(const char* path, dbf::TableHeader& table) {
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
    const std::string short_by = dbf::check_table_size(*decoded.header, table_size());
    if (!short_by.empty()) fail(short_by);
    table = std::move(*decoded.header);
}

}  // namespace

void open_check(CheckRun& run, const char* index_path, const char* table_path) {
    if (!open_index(index_path)) end_with_error("Open error: ", index_path, "", 2);
    run.header_got = read_index(0, run.header_bytes.data(), run.header_bytes.size());
    if (run.header_got < ntx::header_size)
        end_with_error("Error reading header of ", index_path, "", 2);
    run.with_table = table_path != nullptr;
    if (run.with_table) open_table_or_end(table_path, run.table.table);
}

void run_check(CheckRun& run) {
    const ntx::Bytes head{run.header_bytes.data(), ntx::header_size};
    const ntx::IndexHeader header = *ntx::decode_header(head);
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
        put_count(run.table.table.record_count, " record", " records");
        if (!run.table.keys_not_compared.empty()) {
            put_text(", keys not compared: ");
            put_shown_text(run.table.keys_not_compared);
        }
    }
    end_line();
}
