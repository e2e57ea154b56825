#include "index_builder.h"

#include <algorithm>
#include <cassert>
#include <fstream>
#include <stdexcept>

namespace builder {

namespace {

void put16(std::string& b, std::size_t at, std::uint32_t v) {
    b.at(at) = static_cast<char>(v & 0xff);
    b.at(at + 1) = static_cast<char>(v >> 8 & 0xff);
}

void put32(std::string& b, std::size_t at, std::uint32_t v) {
    put16(b, at, v & 0xffff);
    put16(b, at + 2, v >> 16);
}

}  // namespace

std::string header_bytes(const Header& h) {
    std::string b(280, '\0');
    put16(b, 0, h.signature);
    put16(b, 2, h.version);
    put32(b, 4, h.root);
    put32(b, 8, h.next_page);
    put16(b, 12, h.item_size);
    put16(b, 14, h.key_size);
    put16(b, 16, h.key_decimals);
    put16(b, 18, h.word18);
    put16(b, 20, h.max_item);
    b.replace(22, std::min<std::size_t>(h.key_expr.size(), 256), h.key_expr, 0, 256);
    b[278] = static_cast<char>(h.unique);
    b[279] = static_cast<char>(h.byte279);
    return b;
}

std::string page_bytes(const Page& p) {
    std::string b(1024, '\0');
    const std::size_t n = p.items.size();
    put16(b, 0, p.count.value_or(static_cast<std::uint16_t>(n)));
    std::vector<std::uint16_t> offsets = p.offsets;
    if (offsets.empty()) {
        // Items packed after the table, then the last entry's 8 bytes.
        std::size_t at = 2 + 2 * (n + 1);
        offsets.resize(n + 1);
        for (std::size_t k = 0; k <= n; ++k) {
            const std::size_t j = p.reversed && k < n ? n - 1 - k : k;
            offsets[j] = static_cast<std::uint16_t>(at);
            at += k < n ? 8 + p.items[j].key.size() + 1 : 8;
        }
        if (at > 1024) throw std::length_error("items do not fit in a page");
    }
    for (std::size_t j = 0; j < offsets.size(); ++j) put16(b, 2 + 2 * j, offsets[j]);
    for (std::size_t j = 0; j <= n && j < offsets.size(); ++j) {
        const std::uint32_t child = j < n ? p.items[j].child : p.last_child;
        put32(b, offsets[j], child);
        if (j == n) continue;
        put32(b, offsets[j] + 4u, static_cast<std::uint32_t>(p.items[j].recno));
        b.replace(offsets[j] + 8u, p.items[j].key.size(), p.items[j].key);
    }
    for (const auto& [at, bytes] : p.patches) b.replace(at, bytes.size(), bytes);
    b.resize(1024);
    return b;
}

void write_index(const std::filesystem::path& file, const Header& h,
                 const std::vector<Page>& pages, std::uint64_t min_size) {
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out << header_bytes(h);
        if (h.descending != 0) {
            out.seekp(280);
            out << static_cast<char>(h.descending);
        }
        if (!h.for_condition.empty()) {
            out.seekp(282);
            out << h.for_condition << '\0';
        }
        for (const Page& p : pages) {
            out.seekp(static_cast<std::streamoff>(p.at));
            out << page_bytes(p);
        }
        if (!out) throw std::runtime_error("cannot write " + file.string());
    }
    if (std::filesystem::file_size(file) < min_size) std::filesystem::resize_file(file, min_size);
}

}  // namespace builder
