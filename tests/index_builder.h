// Builds index files for tests from a readable description: header fields,
// and pages at chosen references holding items at chosen offsets.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace builder {

struct Header {
    std::uint16_t signature = 6;
    std::uint16_t version = 1;
    std::uint32_t root = 0x400;
    std::uint32_t next_page = 0;
    std::uint16_t item_size = 0;
    std::uint16_t key_size = 0;
    std::uint16_t key_decimals = 0;
    std::uint16_t word18 = 0;  // never shown
    std::uint16_t max_item = 0;
    std::string key_expr;      // zero-filled after; 256 bytes leave no zero
    std::uint8_t unique = 0;
    std::uint8_t byte279 = 0;
    // Written after the record, at 280, when not 0.
    std::uint8_t descending = 0;
    // Written after the record, at 282, when not empty.
    std::string for_condition;
};

struct Item {
    std::uint32_t child = 0;
    std::int32_t recno = 0;
    std::string key;  // stored with a zero byte after it
};

struct Page {
    std::uint32_t at = 0x400;
    std::vector<Item> items;
    std::uint32_t last_child = 0;  // child of the entry past the last item
    // Stored item_count, when it should differ from items.size().
    std::optional<std::uint16_t> count;
    // Item offsets; by default the items follow the table in order, or in
    // reverse physical order when `reversed`.
    std::vector<std::uint16_t> offsets;
    bool reversed = false;
    // Raw bytes written over the page last: (page offset, bytes).
    std::vector<std::pair<std::size_t, std::string>> patches;
};

std::string header_bytes(const Header& h);
std::string page_bytes(const Page& p);

// Writes the header at 0 and every page at its reference, leaving holes
// sparse; the file is at least `min_size` bytes long.
void write_index(const std::filesystem::path& file, const Header& h,
                 const std::vector<Page>& pages, std::uint64_t min_size = 0);

}  // namespace builder
