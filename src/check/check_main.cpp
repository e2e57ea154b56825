// quarnel-check: reads an NTX index once and reports every fault of its
// tree, then a verdict; status 0 sound, 1 damaged, 2 not checked at all.
#include "check_tree.h"
#include "ntx_layout.h"
#include "platform.h"
#include "report.h"

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// The header's whole first page: the key expression's field and what
// follows it are read with it.
std::array<std::uint8_t, ntx::page_size> header_bytes;

void put_count(std::uint64_t n, const char* one, const char* many) {
    put_dec(static_cast<std::int64_t>(n));
    put_text(n == 1 ? one : many);
}

void put_verdict(const TreeCounts& counts) {
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
    end_line();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) end_with_error("Use: quarnel-check INDEX", "", 2);
    const char* path = argv[1];
    if (!open_index(path)) end_with_error("Open error: ", path, 2);
    const std::size_t got = read_index(0, header_bytes.data(), header_bytes.size());
    if (got < ntx::header_size) end_with_error("Error reading header of ", path, 2);
    const ntx::Bytes head{header_bytes.data(), ntx::header_size};
    const ntx::IndexHeader header = *ntx::decode_header(head);

    TreeCheck check;
    check.rules = check_header(header, *ntx::load_u16le(head, ntx::max_item_at - 2),
                               header.max_item,
                               header.key_expr.size() < ntx::key_expr_size, index_size(),
                               check.counts);
    check_tree(check);
    put_verdict(check.counts);
    close_index();
    const bool written = flush_report();
    end_process(!written ? 2 : check.counts.faults == 0 ? 0 : 1);
}
