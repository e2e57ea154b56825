// On-disk layout of an NTX index file and its decoding.
//
// Every offset and width of the format is stated here once. The decoders are
// pure: they take bytes already in memory, never read outside them, and know
// nothing of files or printing. All integers are little-endian.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace ntx {

using Bytes = std::span<const std::uint8_t>;

// Loaders for one little-endian field; empty when the field does not lie
// wholly inside `bytes` (the check cannot overflow). Inline, since the
// walks make several for every item and a call would cost more than the
// load. The shifts go through a plain pointer: compilers then see the one
// little-endian load they make, and emit it as such.
inline std::optional<std::uint16_t> load_u16le(Bytes bytes, std::size_t off) {
    if (!(off <= bytes.size() && bytes.size() - off >= 2)) return std::nullopt;
    const std::uint8_t* p = bytes.data() + off;
    return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

inline std::optional<std::uint32_t> load_u32le(Bytes bytes, std::size_t off) {
    if (!(off <= bytes.size() && bytes.size() - off >= 4)) return std::nullopt;
    const std::uint8_t* p = bytes.data() + off;
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Header record, read once from offset 0.
inline constexpr std::size_t header_size = 280;
inline constexpr std::size_t signature_at = 0;     // u16
inline constexpr std::size_t version_at = 2;       // u16
inline constexpr std::size_t root_at = 4;          // u32 page reference
inline constexpr std::size_t next_page_at = 8;     // u32
inline constexpr std::size_t item_size_at = 12;    // u16
inline constexpr std::size_t key_size_at = 14;     // u16
inline constexpr std::size_t key_decimals_at = 16; // u16
// The most items a page may hold; not shown by the inspector, whose "Max
// item" is the word after it, half of this one.
inline constexpr std::size_t capacity_at = 18;     // u16
inline constexpr std::size_t max_item_at = 20;     // u16
inline constexpr std::size_t key_expr_at = 22;
inline constexpr std::size_t key_expr_size = 256;  // text, zero-terminated
inline constexpr std::size_t unique_at = 278;      // signed 8
// Byte 279 is padding.
// Past the record, in the rest of the header's page: 1 when the keys
// stand in descending order (0 otherwise), then the FOR condition of an index that has one and
// the order's name, each zero-terminated unless it fills its field. Real
// names run to 10 bytes; the field holds 11 and a zero, and the header's
// page is zero after it.
inline constexpr std::size_t descending_at = 280;  // u8; byte 281 is padding
inline constexpr std::size_t for_condition_at = 282;
inline constexpr std::size_t for_condition_size = 256;
inline constexpr std::size_t order_name_at = 538;
inline constexpr std::size_t order_name_size = 12;
static_assert(capacity_at + 2 == max_item_at && max_item_at + 2 == key_expr_at);
static_assert(key_expr_at + key_expr_size == unique_at);
static_assert(unique_at + 2 == header_size);
static_assert(header_size == descending_at && descending_at + 2 == for_condition_at);
static_assert(for_condition_at + for_condition_size == order_name_at);

// Page: a 1024-byte block at any byte offset named by a page reference.
inline constexpr std::size_t page_size = 1024;
inline constexpr std::size_t item_count_at = 0;    // u16
inline constexpr std::size_t item_offsets_at = 2;  // u16 per entry, n + 1 entries
inline constexpr std::size_t offset_entry_size = 2;
// Largest item count whose offset table (n + 1 entries) fits in the page.
inline constexpr std::size_t max_items =
    (page_size - item_offsets_at) / offset_entry_size - 1;
static_assert(max_items == 510);
static_assert(order_name_at + order_name_size <= page_size);

// Item, at a page offset taken from the offset table.
inline constexpr std::size_t child_at = 0;         // u32 page reference, 0 = none
inline constexpr std::size_t recno_at = 4;         // u32, shown signed
inline constexpr std::size_t key_at = 8;           // text up to the first zero byte
inline constexpr std::size_t child_entry_size = recno_at;  // the last entry has only a child
inline constexpr std::size_t item_fixed_size = key_at;

struct IndexHeader {
    std::uint16_t signature = 0;
    std::uint16_t version = 0;
    std::uint32_t root = 0;
    std::uint32_t next_page = 0;
    std::uint16_t item_size = 0;
    std::uint16_t key_size = 0;
    std::uint16_t key_decimals = 0;
    std::uint16_t max_item = 0;
    std::string_view key_expr;  // points into the bytes decoded from
    std::int8_t unique = 0;
    std::uint8_t descending = 0;  // 0 when the bytes end with the record
};

struct IndexPage {
    std::array<std::uint8_t, page_size> bytes{};
};

struct IndexItem {
    std::uint32_t child = 0;
    std::int32_t recno = 0;
    std::string_view key;  // points into the page it was decoded from
};

// Decodes the header record; empty when `bytes` is shorter than it.
// `key_expr` ends at its first zero byte or at the end of its field. The
// descending byte is read when `bytes` go on past the record.
std::optional<IndexHeader> decode_header(Bytes bytes);

std::uint16_t item_count(const IndexPage& page);

// Whether the offset table of `count` items (count + 1 entries) fits.
constexpr bool offsets_fit(std::size_t count) { return count <= max_items; }

// Item `j`, through entry `j` of the offset table; empty when the entry or
// the item's child and record number lie outside the page. The key ends at
// its first zero byte or at the end of the page.
std::optional<IndexItem> decode_item(const IndexPage& page, std::size_t j);

// The child reference of entry `j` alone, as used for the entry one past
// the last item; empty when the entry or its child lie outside the page.
std::optional<std::uint32_t> decode_child(const IndexPage& page, std::size_t j);

}  // namespace ntx
