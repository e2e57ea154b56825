// Decoding of the header record, pages and items from bytes in memory.
#include "index_builder.h"
#include "ntx_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

ntx::Bytes bytes_of(const std::string& s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

ntx::IndexPage page_of(const builder::Page& p) {
    ntx::IndexPage page;
    const std::string b = builder::page_bytes(p);
    std::memcpy(page.bytes.data(), b.data(), page.bytes.size());
    return page;
}

TEST(Loaders, ReadLittleEndianOnlyInsideTheBytes) {
    const std::string b = "\x01\x02\x03\x04\xff";
    EXPECT_EQ(ntx::load_u16le(bytes_of(b), 0), 0x0201);
    EXPECT_EQ(ntx::load_u32le(bytes_of(b), 0), 0x04030201u);
    EXPECT_EQ(ntx::load_u32le(bytes_of(b), 1), 0xff040302u);
    EXPECT_EQ(ntx::load_u16le(bytes_of(b), 3), 0xff04);
    EXPECT_FALSE(ntx::load_u16le(bytes_of(b), 4));
    EXPECT_FALSE(ntx::load_u32le(bytes_of(b), 2));
    EXPECT_FALSE(ntx::load_u32le(bytes_of(b), 5));
    EXPECT_FALSE(ntx::load_u32le(bytes_of(b), SIZE_MAX - 1));
}

TEST(Header, DecodesEveryFieldAtItsOffset) {
    const builder::Header in{.signature = 0x8006, .version = 0xfffe, .root = 0x12345678,
                             .next_page = 0x9abcdef0, .item_size = 0x1e, .key_size = 0x16,
                             .key_decimals = 2, .word18 = 0x5555, .max_item = 0x1f,
                             .key_expr = "CODIGO", .unique = 0x80};
    const std::string b = builder::header_bytes(in);
    const auto h = ntx::decode_header(bytes_of(b));
    ASSERT_TRUE(h);
    EXPECT_EQ(h->signature, 0x8006);
    EXPECT_EQ(h->version, 0xfffe);
    EXPECT_EQ(h->root, 0x12345678u);
    EXPECT_EQ(h->next_page, 0x9abcdef0u);
    EXPECT_EQ(h->item_size, 0x1e);
    EXPECT_EQ(h->key_size, 0x16);
    EXPECT_EQ(h->key_decimals, 2);
    EXPECT_EQ(h->max_item, 0x1f);  // the word at 20, not at 18
    EXPECT_EQ(h->key_expr, "CODIGO");
    EXPECT_EQ(h->unique, -128);

    for (std::size_t size = 0; size < ntx::header_size; ++size)
        EXPECT_FALSE(ntx::decode_header(bytes_of(b.substr(0, size)))) << size;
}

TEST(Header, KeyExprStaysInsideItsField) {
    builder::Header in{.key_expr = std::string(256, 'X'), .unique = 0x41};
    auto b = builder::header_bytes(in);
    EXPECT_EQ(ntx::decode_header(bytes_of(b))->key_expr, std::string(256, 'X'));
    in.key_expr = std::string("A\0B", 3);
    b = builder::header_bytes(in);
    EXPECT_EQ(ntx::decode_header(bytes_of(b))->key_expr, "A");
}

TEST(Page, ItemsAreFoundThroughTheOffsetTableInAnyOrder) {
    const builder::Page p{.items = {{.child = 0x800, .recno = 1, .key = "PAD  "},
                                    {.child = 0, .recno = -1, .key = "Z"}},
                          .last_child = 0xc00,
                          .reversed = true};
    const ntx::IndexPage page = page_of(p);
    ASSERT_EQ(ntx::item_count(page), 2);
    const auto a = ntx::decode_item(page, 0), z = ntx::decode_item(page, 1);
    ASSERT_TRUE(a && z);
    EXPECT_EQ(a->child, 0x800u);
    EXPECT_EQ(a->recno, 1);
    EXPECT_EQ(a->key, "PAD  ");
    EXPECT_EQ(z->recno, -1);
    EXPECT_EQ(z->key, "Z");
    EXPECT_EQ(ntx::decode_child(page, 2), 0xc00u);

    // An empty page still has entry 0 and its child.
    EXPECT_EQ(ntx::decode_child(page_of({.last_child = 0x400}), 0), 0x400u);
}

TEST(Page, DecodingNeverLeavesThePage) {
    EXPECT_TRUE(ntx::offsets_fit(510));
    EXPECT_FALSE(ntx::offsets_fit(511));

    ntx::IndexPage page = page_of({.count = 1, .offsets = {1016, 1020}});
    EXPECT_TRUE(ntx::decode_item(page, 0));
    EXPECT_EQ(ntx::decode_item(page, 0)->key, "");
    EXPECT_NE(ntx::decode_item(page, 0)->key.data(), nullptr);  // safe to memcpy
    EXPECT_TRUE(ntx::decode_child(page, 1));

    page = page_of({.count = 1, .offsets = {1017, 1021}});
    EXPECT_FALSE(ntx::decode_item(page, 0));
    EXPECT_FALSE(ntx::decode_child(page, 1));
    EXPECT_FALSE(ntx::decode_item(page, 511));
    EXPECT_FALSE(ntx::decode_child(page, SIZE_MAX));

    // A key with no zero byte ends at the page's end.
    page = page_of({.count = 1, .offsets = {1000}, .patches = {{1008, std::string(16, 'K')}}});
    EXPECT_EQ(ntx::decode_item(page, 0)->key, std::string(16, 'K'));
}

}  // namespace
