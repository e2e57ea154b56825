#include "view_page.h"

#include "ntx_layout.h"
#include "platform.h"
#include "report.h"

#include <string_view>

namespace {

// The pages from the root to the one being visited; a child already on it
// would make the walk endless.
std::uint32_t path[max_depth];
std::size_t depth = 0;
std::uint64_t visits = 0;
std::uint64_t max_visits = 0;

void begin_page_error(std::uint32_t ref) {
    put_text("Error in page ");
    put_hex(ref);
    put_text("h: ");
}

void begin_child_error(std::uint32_t ref, std::uint32_t child) {
    begin_page_error(ref);
    put_text("child ");
    put_hex(child);
    put_text("h ");
}

[[noreturn]] void fail_item(std::uint32_t ref, std::size_t j) {
    begin_page_error(ref);
    put_text("item ");
    put_dec(static_cast<std::int64_t>(j));
    put_text(" lies outside the page");
    fail();
}

void visit(std::uint32_t ref);

[[noreturn]] void fail_past(std::uint32_t ref, std::uint32_t child, std::string_view what,
                            std::uint64_t limit, std::string_view unit) {
    begin_child_error(ref, child);
    put_text(what);
    put_dec(static_cast<std::int64_t>(limit));
    put_text(unit);
    fail();
}

void visit_child(std::uint32_t ref, std::uint32_t child) {
    for (std::size_t i = 0; i < depth; ++i) {
        if (path[i] == child) {
            begin_child_error(ref, child);
            put_text("is already on the path");
            fail();
        }
    }
    if (depth == max_depth) fail_past(ref, child, "lies deeper than ", max_depth, " levels");
    if (visits == max_visits)
        fail_past(ref, child, "goes past the limit of ", max_visits, " page visits");
    visit(child);
}

void visit(std::uint32_t ref) {
    put_text("view_page");
    end_line();
    ++visits;
    path[depth++] = ref;

    ntx::IndexPage page;
    if (read_index(ref, page.bytes.data(), page.bytes.size()) != page.bytes.size()) {
        put_text("Error reading page ");
        put_hex(ref);
        put_text("h");
        fail();
    }
    const std::size_t count = ntx::item_count(page);
    put_text("items: ");
    put_dec(static_cast<std::int64_t>(count));
    end_line();
    if (!ntx::offsets_fit(count)) {
        begin_page_error(ref);
        put_dec(static_cast<std::int64_t>(count));
        put_text(" items do not fit");
        fail();
    }

    for (std::size_t j = 0; j < count; ++j) {
        const auto item = ntx::decode_item(page, j);
        if (!item) fail_item(ref, j);
        if (item->child != 0) visit_child(ref, item->child);
        put_item_line(static_cast<std::uint32_t>(j), item->recno, item->key);
    }
    const auto last = ntx::decode_child(page, count);
    if (!last) fail_item(ref, count);
    if (*last != 0) visit_child(ref, *last);
    --depth;
}

}  // namespace

std::uint64_t visit_limit(std::uint64_t file_size) {
    return 2 * (file_size / ntx::page_size) + 1024;
}

void view_page(std::uint32_t ref) {
    depth = 0;
    visits = 0;
    max_visits = visit_limit(index_size());
    visit(ref);
}
