#include "check_tree.h"

#include "key_order.h"
#include "platform.h"
#include "report.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

// Each fault is one line and belongs to the page it is found in. A walk
// for the comparison alone has said all of them before, and stays quiet.
bool begin_fault(TreeCheck& check) {
    if (check.walk != Walk::check) return false;
    ++check.counts.faults;
    return !check.quiet;
}

bool begin_page_fault(TreeCheck& check, std::uint32_t ref) {
    if (!begin_fault(check)) return false;
    put_text("page ");
    put_hex(ref);
    put_text("h: ");
    return true;
}

bool begin_item_fault(TreeCheck& check, std::uint32_t ref, std::size_t j) {
    if (!begin_page_fault(check, ref)) return false;
    put_text("item ");
    put_dec(static_cast<std::int64_t>(j));
    put_text(": ");
    return true;
}

void put_place(std::uint32_t ref, std::size_t j) {
    put_text("page ");
    put_hex(ref);
    put_text("h, item ");
    put_dec(static_cast<std::int64_t>(j));
}

void put_key(const std::uint8_t* key, std::size_t width) {
    put_text("'");
    put_shown_text({reinterpret_cast<const char*>(key), width});
    put_text("'");
}

bool is_page(const TreeRules& rules, std::uint32_t ref) {
    return ref % ntx::page_size == 0 && ref >= ntx::page_size &&
           ref <= rules.file_size && rules.file_size - ref >= ntx::page_size;
}

// Bits by block number; a page reference names one of 2^22 blocks.
bool test_and_set(std::vector<std::uint64_t>& bits, std::uint32_t n) {
    std::uint64_t& word = bits[n / 64];
    const std::uint64_t mask = std::uint64_t{1} << (n % 64);
    const bool had = (word & mask) != 0;
    word |= mask;
    return had;
}

bool test_bit(const std::vector<std::uint64_t>& bits, std::uint32_t n) {
    return (bits[n / 64] >> (n % 64) & 1) != 0;
}

// Whether the walk may go on to `child`, named by entry `j` of `ref`
// (or by the header's root, when `ref` is 0). Says why not.
bool may_visit(TreeCheck& check, std::uint32_t ref, std::size_t j, std::uint32_t child) {
    const auto begin = [&] {
        if (ref == 0) {
            if (!begin_fault(check)) return false;
            put_text("header: root ");
        } else {
            if (!begin_item_fault(check, ref, j)) return false;
            put_text("child ");
        }
        put_hex(child);
        put_text("h ");
        return true;
    };
    if (!is_page(check.rules, child)) {
        if (begin()) {
            put_text(child % ntx::page_size != 0 ? "is not on a page boundary"
                     : child < ntx::page_size    ? "lies in the header"
                                                 : "lies past the end of the file");
            end_line();
        }
        return false;
    }
    if (test_bit(check.reached, child / ntx::page_size)) {
        const bool on_path = std::find(check.path, check.path + check.depth, child) !=
                             check.path + check.depth;
        if (begin()) {
            put_text(on_path ? "leads back up its own path (a loop)"
                             : "is reached a second time (a cross-link)");
            end_line();
        }
        return false;
    }
    if (check.depth == std::size(check.path)) {
        if (begin()) {
            put_text("lies deeper than ");
            put_dec(static_cast<std::int64_t>(std::size(check.path)));
            put_text(" levels");
            end_line();
        }
        return false;
    }
    return true;
}

// Where entry `j` lies in the page, if all of it does: an item's child,
// record number and key, or the last entry's child alone; 0 when it does
// not, which no entry can lie at.
std::size_t entry_at(const ntx::IndexPage& page, std::size_t count, std::size_t j,
                     std::size_t key_width) {
    const std::size_t off =
        *ntx::load_u16le(page.bytes, ntx::item_offsets_at + ntx::offset_entry_size * j);
    const std::size_t table_end = ntx::item_offsets_at + ntx::offset_entry_size * (count + 1);
    const std::size_t extent = j < count ? ntx::item_fixed_size + key_width : ntx::child_entry_size;
    return off >= table_end && off <= ntx::page_size && ntx::page_size - off >= extent ? off : 0;
}

void report_entry_outside(TreeCheck& check, const ntx::IndexPage& page, std::uint32_t ref,
                          std::size_t count, std::size_t j) {
    if (!begin_item_fault(check, ref, j)) return;
    const std::size_t off =
        *ntx::load_u16le(page.bytes, ntx::item_offsets_at + ntx::offset_entry_size * j);
    const std::size_t table_end = ntx::item_offsets_at + ntx::offset_entry_size * (count + 1);
    put_text("offset ");
    put_dec(static_cast<std::int64_t>(off));
    put_text(off < table_end ? " lies inside the offset table" : " lies outside the page");
    end_line();
}

// The key before is compared where it lies while its page is still held,
// and kept in `previous` only when the walk leaves that page.
void check_key(TreeCheck& check, std::uint32_t ref, std::size_t j, const std::uint8_t* key) {
    const std::size_t width = check.rules.key_width;
    if (width == 0) return;
    if (check.before) {
        const bool descending = check.rules.descending;
        const int order = key_order(check.before, key, width, descending);
        if (order > 0 && check.walk == Walk::check) {
            ++check.counts.order_faults;
            const std::size_t at = first_difference(key, check.before, width);
            if (key[at] >= 0x80 || check.before[at] >= 0x80) ++check.counts.order_faults_high;
        }
        if ((order > 0 || (order == 0 && check.rules.unique)) && begin_item_fault(check, ref, j)) {
            put_text("key ");
            put_key(key, width);
            put_text(order == 0   ? " repeats the key before it in a unique index ("
                     : descending ? " sorts above the key before it in a descending index ("
                                  : " sorts below the key before it (");
            put_place(check.before_page, check.before_item);
            if (order > 0) {
                put_text(": ");
                put_key(check.before, width);
            }
            put_text(")");
            end_line();
        }
    }
    check.before = key;
    check.before_page = ref;
    check.before_item = j;
}

void keep_key_before(TreeCheck& check, const ntx::IndexPage& page) {
    const std::uint8_t* start = page.bytes.data();
    if (check.before >= start && check.before < start + page.bytes.size()) {
        std::memcpy(check.previous.data(), check.before, check.rules.key_width);
        check.before = check.previous.data();
    }
}

void check_record(TreeCheck& check, std::uint32_t ref, std::size_t j, std::int32_t recno,
                  const std::uint8_t* key) {
    if (recno < 1) {
        if (begin_item_fault(check, ref, j)) {
            put_text("record number ");
            put_dec(recno);
            put_text(" is below 1");
            end_line();
        }
        return;
    }
    const auto n = static_cast<std::uint32_t>(recno);
    if (check.walk == Walk::check && add_record(check.records, n)) {
        add_record(check.repeated, n);
        if (begin_fault(check)) {
            put_text("record ");
            put_dec(recno);
            put_text(": in the index twice (again at ");
            put_place(ref, j);
            put_text(")");
            end_line();
        }
    }
    if (check.walk == Walk::collect) {
        check.collect(check.collect_to, n, key);
        return;
    }
    if (check.comparison) note_entry(*check.comparison, check.walk, n, key, ref, j);
}

void visit(TreeCheck& check, std::uint32_t ref, std::uint64_t level);

void visit_child(TreeCheck& check, std::uint32_t ref, std::size_t j, std::uint32_t child,
                 std::uint64_t level) {
    if (may_visit(check, ref, j, child)) visit(check, child, level + 1);
}

// A leaf's level is the tree's depth; every other leaf must be as deep.
void check_leaf_level(TreeCheck& check, std::uint32_t ref, std::uint64_t level) {
    if (check.leaf_level == 0) {
        check.leaf_level = level;
    } else if (level != check.leaf_level && begin_page_fault(check, ref)) {
        put_text("a leaf at level ");
        put_dec(static_cast<std::int64_t>(level));
        put_text(", where the first leaf is at level ");
        put_dec(static_cast<std::int64_t>(check.leaf_level));
        end_line();
    }
}

// Reads the page at `ref` on `level` as read_index would, through the
// level's window: from it when it holds the page, filling it when the page
// lies a little past the one before, and the page alone otherwise, so that
// pages strewn over the file cost no more than before.
std::size_t read_page(TreeCheck& check, std::uint32_t ref, std::uint64_t level,
                      std::uint8_t* out) {
    if (level == 0 || level > window_levels) return read_index(ref, out, ntx::page_size);
    ReadWindow& w = check.windows[static_cast<std::size_t>(level - 1)];
    const bool near = ref > w.last && ref - w.last < window_size;
    w.last = ref;
    if (ref >= w.start && ref - w.start + ntx::page_size <= w.size) {
        std::memcpy(out, w.bytes.data() + (ref - w.start), ntx::page_size);
        return ntx::page_size;
    }
    if (!near) return read_index(ref, out, ntx::page_size);
    w.bytes.resize(window_size);
    w.start = ref;
    w.size = read_index(ref, w.bytes.data(), window_size);
    if (w.size < ntx::page_size) {  // a fault further on may fail the whole read
        w.size = 0;
        return read_index(ref, out, ntx::page_size);
    }
    std::memcpy(out, w.bytes.data(), ntx::page_size);
    return ntx::page_size;
}

void visit(TreeCheck& check, std::uint32_t ref, std::uint64_t level) {
    test_and_set(check.reached, ref / ntx::page_size);
    check.path[check.depth++] = ref;
    if (check.walk == Walk::check) {
        ++check.counts.pages;
        check.counts.levels = std::max(check.counts.levels, level);
    }

    ntx::IndexPage page;
    const std::size_t got = read_page(check, ref, level, page.bytes.data());
    if (got != page.bytes.size()) {
        if (begin_page_fault(check, ref)) {
            put_text("reads short, ");
            put_dec(static_cast<std::int64_t>(got));
            put_text(" of 1024 bytes");
            end_line();
        }
        --check.depth;
        return;
    }
    const std::size_t count = ntx::item_count(page);
    if (count > check.rules.max_items && begin_page_fault(check, ref)) {
        put_dec(static_cast<std::int64_t>(count));
        put_text(" items, more than the most a page holds, ");
        put_dec(static_cast<std::int64_t>(check.rules.max_items));
        if (!ntx::offsets_fit(count)) put_text("; the page is skipped");
        end_line();
    }
    if (!ntx::offsets_fit(count)) {
        --check.depth;
        return;
    }

    // Which entries can be trusted, and whose children to follow: a page
    // is an interior page when most of its entries have a child. Entries
    // are found again as they are needed, which keeps a level of the
    // walk's stack to little more than its page.
    const std::size_t width = check.rules.key_width;
    const auto child_of = [&page](std::size_t off) {
        return *ntx::load_u32le(page.bytes, off + ntx::child_at);
    };
    std::size_t with_child = 0;
    std::size_t trusted = 0;
    for (std::size_t j = 0; j <= count; ++j) {
        const std::size_t off = entry_at(page, count, j, width);
        if (off == 0) {
            report_entry_outside(check, page, ref, count, j);
            continue;
        }
        ++trusted;
        with_child += child_of(off) != 0;
        if (j < count)
            prefetch_record(check.records, *ntx::load_u32le(page.bytes, off + ntx::recno_at));
    }
    const bool interior = with_child > 0 && 2 * with_child >= trusted;
    if (!interior) check_leaf_level(check, ref, level);
    if (with_child != 0 && with_child != trusted) {
        for (std::size_t j = 0; j <= count; ++j) {
            const std::size_t off = entry_at(page, count, j, width);
            if (off == 0) continue;
            const std::uint32_t child = child_of(off);
            if (interior && child == 0 && begin_item_fault(check, ref, j)) {
                put_text("no child, where the other entries of the page have one");
                end_line();
            } else if (!interior && child != 0 && begin_item_fault(check, ref, j)) {
                put_text("child ");
                put_hex(child);
                put_text("h in a leaf, where the other entries have none; not followed");
                end_line();
            }
        }
    }

    for (std::size_t j = 0; j <= count; ++j) {
        const std::size_t off = entry_at(page, count, j, width);
        if (off == 0) continue;
        const std::uint32_t child = child_of(off);
        if (interior && child != 0) visit_child(check, ref, j, child, level);
        if (j == count) break;
        const auto recno =
            static_cast<std::int32_t>(*ntx::load_u32le(page.bytes, off + ntx::recno_at));
        const std::uint8_t* key = page.bytes.data() + off + ntx::key_at;
        if (check.walk == Walk::check) ++check.counts.keys;
        check_key(check, ref, j, key);
        check_record(check, ref, j, recno, key);
    }
    keep_key_before(check, page);
    --check.depth;
}

}  // namespace

TreeRules check_header(const ntx::IndexHeader& header, std::uint16_t header_max,
                       std::uint16_t half_max, bool key_expr_ended, std::uint64_t file_size,
                       TreeCounts& counts, bool quiet) {
    // A quiet check counts its faults and says nothing of them.
    const auto fault = [&counts, quiet] {
        ++counts.faults;
        if (!quiet) put_text("header: ");
        return !quiet;
    };
    TreeRules rules;
    rules.root = header.root;
    rules.free_page = header.next_page;
    rules.file_size = file_size;
    rules.unique = header.unique != 0;
    rules.descending = header.descending == 1;

    const std::size_t key_size = header.key_size;
    if (key_size == 0 || ntx::item_fixed_size + key_size > ntx::page_size - ntx::item_offsets_at) {
        if (fault()) {
            put_text("key size ");
            put_dec(static_cast<std::int64_t>(key_size));
            put_text(" leaves no room for an item; keys are not compared");
            end_line();
        }
    } else {
        rules.key_width = key_size;
    }
    if (header.item_size != key_size + ntx::item_fixed_size) {
        if (fault()) {
            put_text("item size ");
            put_dec(header.item_size);
            put_text(" is not the key size ");
            put_dec(static_cast<std::int64_t>(key_size));
            put_text(" + 8");
            end_line();
        }
    }
    // Every page must have room for its offset table and all its items.
    const std::uint64_t slots = std::uint64_t{header_max} + 1;
    const std::uint64_t room = ntx::item_offsets_at + ntx::offset_entry_size * slots +
                               slots * std::max<std::uint64_t>(header.item_size,
                                                               ntx::item_fixed_size);
    rules.max_items = ntx::max_items;
    if (header_max == 0 || room > ntx::page_size) {
        if (fault()) {
            put_text("a page of ");
            put_dec(header_max);
            put_text(" items of ");
            put_dec(header.item_size);
            put_text(header_max == 0 ? " bytes holds no item" : " bytes does not fit in 1024 bytes");
            end_line();
        }
    } else {
        rules.max_items = header_max;
    }
    if (half_max != header_max / 2) {
        if (fault()) {
            put_text("half the most items a page holds is ");
            put_dec(header_max / 2);
            put_text(", not ");
            put_dec(half_max);
            end_line();
        }
    }
    if (header.descending > 1) {
        if (fault()) {
            put_text("the descending flag (byte 280) is ");
            put_dec(header.descending);
            put_text(", neither 0 nor 1; keys are checked in ascending order");
            end_line();
        }
    }
    if (!key_expr_ended) {
        if (fault()) {
            put_text("the key expression does not end inside its 256 bytes");
            end_line();
        }
    }
    return rules;
}

void check_tree(TreeCheck& check) {
    const TreeRules& rules = check.rules;
    // Blocks past 4 GiB are out of every reference's reach.
    const std::uint64_t blocks = rules.file_size / ntx::page_size;
    const auto reachable = static_cast<std::uint32_t>(
        std::min<std::uint64_t>(blocks, (std::uint64_t{1} << 32) / ntx::page_size));
    check.reached.assign(reachable / 64 + 1, 0);
    check.depth = 0;
    check.leaf_level = 0;
    check.before = nullptr;
    if (may_visit(check, 0, 0, rules.root)) visit(check, rules.root, 1);
    if (check.walk != Walk::check) return;

    // Pages the tree does not reach: free, or left over from earlier
    // writes; space lost, but no key.
    if (rules.free_page != 0 && is_page(rules, rules.free_page)) {
        if (test_bit(check.reached, rules.free_page / ntx::page_size)) {
            if (begin_fault(check)) {
                put_text("header: the free page ");
                put_hex(rules.free_page);
                put_text("h is a page of the tree");
                end_line();
            }
        } else {
            test_and_set(check.reached, rules.free_page / ntx::page_size);
        }
    }
    check.counts.outside = blocks - reachable;
    for (std::uint32_t b = 1; b < reachable; ++b)
        if (!test_bit(check.reached, b)) ++check.counts.outside;
}
