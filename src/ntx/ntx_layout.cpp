#include "ntx_layout.h"

#include <algorithm>
#include <cstring>

namespace ntx {

namespace {

bool fits(Bytes bytes, std::size_t off, std::size_t width) {
    return off <= bytes.size() && bytes.size() - off >= width;
}

// Text from `off` up to its first zero byte, or to the end of `bytes`.
// An empty text still points at the bytes' end, never at null, so callers
// may copy it with memcpy.
std::string_view text_at(Bytes bytes, std::size_t off) {
    off = std::min(off, bytes.size());
    const auto* start = bytes.data() + off;
    const std::size_t room = bytes.size() - off;
    const void* zero = std::memchr(start, 0, room);
    const std::size_t len =
        zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - start) : room;
    return {reinterpret_cast<const char*>(start), len};
}

}  // namespace

std::optional<IndexHeader> decode_header(Bytes bytes) {
    if (bytes.size() < header_size) return std::nullopt;
    const Bytes rec = bytes.first(header_size);
    IndexHeader h;
    h.signature = *load_u16le(rec, signature_at);
    h.version = *load_u16le(rec, version_at);
    h.root = *load_u32le(rec, root_at);
    h.next_page = *load_u32le(rec, next_page_at);
    h.item_size = *load_u16le(rec, item_size_at);
    h.key_size = *load_u16le(rec, key_size_at);
    h.key_decimals = *load_u16le(rec, key_decimals_at);
    h.max_item = *load_u16le(rec, max_item_at);
    h.key_expr = text_at(rec.subspan(key_expr_at, key_expr_size), 0);
    h.unique = static_cast<std::int8_t>(rec[unique_at]);
    if (bytes.size() > descending_at) h.descending = bytes[descending_at];
    return h;
}

std::uint16_t item_count(const IndexPage& page) {
    return *load_u16le(page.bytes, item_count_at);
}

namespace {

std::optional<std::uint16_t> entry_offset(const IndexPage& page, std::size_t j) {
    if (j > max_items) return std::nullopt;
    return load_u16le(page.bytes, item_offsets_at + offset_entry_size * j);
}

}  // namespace

std::optional<IndexItem> decode_item(const IndexPage& page, std::size_t j) {
    const auto off = entry_offset(page, j);
    if (!off || !fits(page.bytes, *off, item_fixed_size)) return std::nullopt;
    IndexItem item;
    item.child = *load_u32le(page.bytes, *off + child_at);
    item.recno = static_cast<std::int32_t>(*load_u32le(page.bytes, *off + recno_at));
    item.key = text_at(page.bytes, *off + key_at);
    return item;
}

std::optional<std::uint32_t> decode_child(const IndexPage& page, std::size_t j) {
    const auto off = entry_offset(page, j);
    if (!off) return std::nullopt;
    return load_u32le(page.bytes, *off + child_at);
}

}  // namespace ntx
