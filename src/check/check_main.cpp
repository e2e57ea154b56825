// quarnel-check: reads an NTX index once and reports every fault of its
// tree, and of the index against its dBase table when one is given, then a
// verdict; status 0 sound, 1 damaged, 2 not checked at all.
#include "check_tree.h"
#include "compare.h"
#include "dbf_layout.h"
#include "ntx_layout.h"
#include "platform.h"
#include "report.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// The header's whole first page: the key expression's field and the FOR
// condition after it are read with it.
std::array<std::uint8_t, ntx::page_size> header_bytes;

std::string_view text_field(std::size_t got, std::size_t at, std::size_t size) {
    if (got <= at) return {};
    const auto* start = reinterpret_cast<const char*>(header_bytes.data() + at);
    const std::string_view field{start, std::min(size, got - at)};
    return field.substr(0, field.find('\0'));
}

void put_count(std::uint64_t n, const char* one, const char* many) {
    put_dec(static_cast<std::int64_t>(n));
    put_text(n == 1 ? one : many);
}

void put_verdict(const TreeCounts& counts, const Comparison* table) {
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
    if (table) {
        put_text("; ");
        put_count(table->table.record_count, " record", " records");
        if (!table->keys_not_compared.empty()) {
            put_text(", keys not compared: ");
            put_shown_text(table->keys_not_compared);
        }
    }
    end_line();
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

int main(int argc, char** argv) {
    if (argc != 2 && argc != 3) end_with_error("Use: quarnel-check INDEX [TABLE]", "", "", 2);
    const char* path = argv[1];
    if (!open_index(path)) end_with_error("Open error: ", path, "", 2);
    const std::size_t got = read_index(0, header_bytes.data(), header_bytes.size());
    if (got < ntx::header_size) end_with_error("Error reading header of ", path, "", 2);

    // The table is read before anything is reported, so that a table that
    // cannot be read leaves nothing but its message.
    Comparison table;
    if (argc == 3) open_table_or_end(argv[2], table.table);

    const ntx::Bytes head{header_bytes.data(), ntx::header_size};
    const ntx::IndexHeader header = *ntx::decode_header(head);
    TreeCheck check;
    check.rules = check_header(header, *ntx::load_u16le(head, ntx::capacity_at),
                               header.max_item,
                               header.key_expr.size() < ntx::key_expr_size, index_size(),
                               check.counts);
    if (argc == 3) {
        prepare_comparison(table, check.rules, header.key_expr,
                           text_field(got, ntx::for_condition_at, ntx::for_condition_size),
                           header.key_decimals);
        check.comparison = &table;
    }
    check_tree(check);
    if (argc == 3) compare_table(table, check);
    put_verdict(check.counts, argc == 3 ? &table : nullptr);
    close_index();
    const bool written = flush_report();
    end_process(!written ? 2 : check.counts.faults == 0 ? 0 : 1);
}
