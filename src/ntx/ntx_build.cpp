#include "ntx_build.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <utility>

namespace ntx {

namespace {

constexpr std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();

std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
    return b != 0 && a > u64_max / b ? u64_max : a * b;
}

// (max_items + 1)^height: the entries c children of that height hold, plus
// their c - 1 separators, are c times this less 1. Saturates.
std::uint64_t fan_power(std::uint16_t max_items, std::size_t height) {
    std::uint64_t p = 1;
    for (std::size_t k = 0; k < height && p != u64_max; ++k)
        p = saturating_mul(p, std::uint64_t{max_items} + 1);
    return p;
}

void store_u16(IndexPage& page, std::size_t off, std::size_t value) {
    page.bytes[off] = static_cast<std::uint8_t>(value);
    page.bytes[off + 1] = static_cast<std::uint8_t>(value >> 8);
}

void store_u32(std::uint8_t* p, std::uint32_t value) {
    for (int k = 0; k < 4; ++k) p[k] = static_cast<std::uint8_t>(value >> (8 * k));
}

void store_u32(IndexPage& page, std::size_t off, std::uint32_t value) {
    store_u32(page.bytes.data() + off, value);
}

void store_text(std::uint8_t* field, std::size_t size, const std::string& text) {
    std::memcpy(field, text.data(), std::min(size, text.size()));
}

std::string text_in(Bytes bytes, std::size_t at, std::size_t size) {
    const auto* start = bytes.data() + at;
    const void* zero = std::memchr(start, 0, size);
    const std::size_t len =
        zero ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - start) : size;
    return {reinterpret_cast<const char*>(start), len};
}

// Plans the subtree of `entries` at `level` and its first child at each
// level below, down to a leaf, where the next entry goes. A leaf planned
// empty (only a tree of no entries, or of one item a page, has one) is
// complete at once.
void start_subtree(TreeBuild& b, std::size_t level, std::uint64_t entries);

// Completes the page open at `level`, then each page above that this
// completes in turn: its count and offset table are written, it is handed to
// b.done and numbered, and its reference goes to the parent's next child.
void complete(TreeBuild& b, std::size_t level) {
    const std::size_t slots = std::size_t{b.shape.max_items} + 1;
    for (;;) {
        BuildLevel& lv = b.levels[level];
        // At most max_items: a leaf's entries, or an inner page's children - 1.
        const auto items = static_cast<std::size_t>(
            level == 0 ? lv.plan.entries : std::uint64_t{lv.plan.children} - 1);
        // An inner page's last child was stored as that child completed.
        if (level == 0) store_u32(lv.page, slot_at(b.shape, items) + child_at, 0);
        store_u16(lv.page, item_count_at, items);
        for (std::size_t j = 0; j < slots; ++j)
            store_u16(lv.page, item_offsets_at + offset_entry_size * j, slot_at(b.shape, j));
        b.done.push_back(lv.page);
        const std::uint32_t ref = b.next_page++ * static_cast<std::uint32_t>(page_size);
        if (level + 1 == b.levels.size()) {
            b.root = ref;
            return;
        }
        BuildLevel& up = b.levels[++level];
        store_u32(up.page, slot_at(b.shape, up.plan.placed) + child_at, ref);
        if (++up.plan.placed < up.plan.children) {
            b.cursor = level;  // the next entry is the separator after this child
            return;
        }
    }
}

void start_subtree(TreeBuild& b, std::size_t level, std::uint64_t entries) {
    for (;;) {
        SubtreePlan& plan = b.levels[level].plan;
        plan = plan_subtree(entries, level, b.shape.max_items);
        if (level == 0) break;
        entries = child_entries(plan, 0);
        --level;
    }
    b.cursor = 0;
    if (b.levels[0].plan.entries == 0) complete(b, 0);
}

}  // namespace

bool shape_fits(const BuildShape& s) {
    const std::size_t slots = std::size_t{s.max_items} + 1;
    return s.max_items >= 1 && offsets_fit(s.max_items) &&
           s.item_size >= item_fixed_size + std::size_t{s.key_size} &&
           slot_at(s, slots) <= page_size;
}

std::size_t tree_height(std::uint64_t entries, std::uint16_t max_items) {
    std::size_t h = 0;
    // Holds (max + 1)^(h + 1); saturated, it holds anything.
    std::uint64_t reach = std::uint64_t{max_items} + 1;
    while (reach != u64_max && reach - 1 < entries) {
        reach = saturating_mul(reach, std::uint64_t{max_items} + 1);
        ++h;
    }
    return h;
}

SubtreePlan plan_subtree(std::uint64_t entries, std::size_t height, std::uint16_t max_items) {
    SubtreePlan plan{.entries = entries};
    if (height == 0) return plan;
    // c children hold c * (max + 1)^height - 1 entries: the fewest that hold
    // `entries` are entries / (max + 1)^height + 1, at most max + 1.
    const std::uint64_t c = entries / fan_power(max_items, height) + 1;
    const std::uint64_t spread = entries - (c - 1);
    plan.children = static_cast<std::uint32_t>(c);
    plan.per_child = spread / c;
    plan.bigger = static_cast<std::uint32_t>(spread % c);
    return plan;
}

std::optional<std::uint32_t> count_pages(std::uint64_t entries, std::uint16_t max_items,
                                         std::uint32_t limit) {
    // Every page holds at most max_items entries; this also keeps the sums
    // below far from overflowing.
    if (entries / max_items > limit) return std::nullopt;
    // The subtrees of one level, as (entries, how many): a subtree's
    // children differ by at most one entry, so a level has few sizes.
    std::map<std::uint64_t, std::uint64_t> level{{entries, 1}};
    std::uint64_t pages = 1;
    for (std::size_t h = tree_height(entries, max_items); h > 0; --h) {
        std::map<std::uint64_t, std::uint64_t> below;
        for (const auto& [n, times] : level) {
            const SubtreePlan p = plan_subtree(n, h, max_items);
            if (p.bigger) below[p.per_child + 1] += times * p.bigger;
            if (p.children > p.bigger) below[p.per_child] += times * (p.children - p.bigger);
            pages += times * p.children;
        }
        if (pages > limit) return std::nullopt;
        level = std::move(below);
    }
    if (pages > limit) return std::nullopt;
    return static_cast<std::uint32_t>(pages);
}

bool begin_build(TreeBuild& b, const BuildShape& shape, std::uint64_t count) {
    b.levels.clear();
    b.count = b.added = 0;
    b.pages = b.root = 0;
    b.next_page = 1;
    b.cursor = 0;
    if (!shape_fits(shape)) return false;
    const auto pages = count_pages(count, shape.max_items);
    if (!pages) return false;
    b.shape = shape;
    b.count = count;
    b.pages = *pages;
    const std::size_t height = tree_height(count, shape.max_items);
    b.levels.assign(height + 1, BuildLevel{});
    start_subtree(b, height, count);
    return true;
}

bool add_entry(TreeBuild& b, std::uint32_t recno, const std::uint8_t* key) {
    if (b.levels.empty() || b.added == b.count) return false;
    ++b.added;
    BuildLevel& lv = b.levels[b.cursor];
    SubtreePlan& plan = lv.plan;
    // A leaf's item is the next one; an inner page's is the separator after
    // the child just completed, whose reference is in its slot already.
    const std::size_t slot = b.cursor == 0 ? plan.placed : plan.placed - 1;
    const std::size_t at = slot_at(b.shape, slot);
    if (b.cursor == 0) store_u32(lv.page, at + child_at, 0);
    store_u32(lv.page, at + recno_at, recno);
    if (b.shape.key_size) std::memcpy(lv.page.bytes.data() + at + key_at, key, b.shape.key_size);
    if (b.cursor == 0) {
        if (++plan.placed == plan.entries) complete(b, 0);
    } else {
        start_subtree(b, b.cursor - 1, child_entries(plan, plan.placed));
    }
    return true;
}

std::uint32_t end_build(const TreeBuild& b) {
    return !b.levels.empty() && b.added == b.count ? b.root : 0;
}

std::array<std::uint8_t, page_size> build_header(const HeaderFields& h, std::uint32_t root) {
    IndexPage page;
    store_u16(page, signature_at, h.signature);
    store_u16(page, version_at, h.version);
    store_u32(page, root_at, root);
    store_u32(page, next_page_at, 0);
    store_u16(page, item_size_at, h.item_size);
    store_u16(page, key_size_at, h.key_size);
    store_u16(page, key_decimals_at, h.key_decimals);
    store_u16(page, capacity_at, h.max_items);
    store_u16(page, max_item_at, h.half);
    store_text(page.bytes.data() + key_expr_at, key_expr_size, h.key_expr);
    page.bytes[unique_at] = h.unique;
    page.bytes[descending_at] = h.descending;
    store_text(page.bytes.data() + for_condition_at, for_condition_size, h.for_condition);
    store_text(page.bytes.data() + order_name_at, order_name_size, h.order_name);
    return page.bytes;
}

std::optional<HeaderFields> decode_header_fields(Bytes bytes) {
    if (bytes.size() < page_size) return std::nullopt;
    HeaderFields h;
    h.signature = *load_u16le(bytes, signature_at);
    h.version = *load_u16le(bytes, version_at);
    h.item_size = *load_u16le(bytes, item_size_at);
    h.key_size = *load_u16le(bytes, key_size_at);
    h.key_decimals = *load_u16le(bytes, key_decimals_at);
    h.max_items = *load_u16le(bytes, capacity_at);
    h.half = *load_u16le(bytes, max_item_at);
    h.key_expr = text_in(bytes, key_expr_at, key_expr_size);
    h.unique = bytes[unique_at];
    h.descending = bytes[descending_at];
    h.for_condition = text_in(bytes, for_condition_at, for_condition_size);
    h.order_name = text_in(bytes, order_name_at, order_name_size);
    return h;
}

}  // namespace ntx
