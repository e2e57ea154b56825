#include "compare.h"

#include "key_order.h"
#include "platform.h"
#include "report.h"
#include "unique.h"

#include <algorithm>
#include <cstring>

namespace {

// A power of two: 64 KiB of sums, which stay in the processor's cache
// while the walk adds to them in the index's order, scattered by record
// number; still few enough records to each that a differing sum costs
// little to look at again.
constexpr std::size_t bucket_count = std::size_t{1} << 13;

std::size_t bucket(std::uint32_t recno) { return recno & (bucket_count - 1); }

std::uint64_t mix(std::uint64_t h) {
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93u;
    h ^= h >> 32;
    return h;
}

// Any one differing byte or record number changes the hash, and the sums
// of two different sets of entries meet only by a 2^-64 chance. A key is
// taken eight bytes a step, its last few as one more word.
std::uint64_t entry_hash(std::uint32_t recno, const std::uint8_t* key, std::size_t size) {
    std::uint64_t h = (recno + 0x9e3779b97f4a7c15u) * 0xff51afd7ed558ccdu;
    std::size_t i = 0;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, key + i, 8);
        h = (h ^ word) * 0xc4ceb9fe1a85ec53u;
        h ^= h >> 29;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, key + i, size - i);
    return mix((h ^ tail) * 0x9e3779b97f4a7c15u ^ size);
}

// What the text calls that the table alone cannot give, said for the
// verdict; empty when it can be evaluated.
std::string unknown_part(const expr::Compiled& compiled, const char* what) {
    std::string why;
    if (!compiled.error.empty()) {
        why = std::string(what) + " cannot be read: " + compiled.error;
    } else if (!compiled.app_function.empty()) {
        const std::string& name = compiled.app_function;
        why = std::string(what);
        if (name == "DTOC" || name == "CTOD")
            why += " calls " + name + ", whose text follows the application's date format";
        else if (name.find("->") != std::string::npos)
            why += " uses " + name + ", a variable of the application";
        else
            why += " calls " + name + ", which this check does not evaluate";
    }
    return why;
}

bool condition_known(const Comparison& c) {
    return !c.has_condition || (c.condition.error.empty() && c.condition.app_function.empty());
}

TreeCheck* tree_checked = nullptr;  // while the table is compared

void begin_record_fault(std::uint32_t recno) {
    ++tree_checked->counts.faults;
    put_text("record ");
    put_dec(recno);
    put_text(": ");
}

void put_count(std::uint64_t n, const char* one, const char* many) {
    put_dec(static_cast<std::int64_t>(n));
    put_text(n == 1 ? one : many);
}

void put_key(const std::uint8_t* key, std::size_t size) {
    put_text("'");
    put_shown_text({reinterpret_cast<const char*>(key), size});
    put_text("'");
}

// How many of the records past the header's count the index holds.
std::uint64_t held_past_count(const Comparison& c, const TreeCheck& tree) {
    std::uint64_t held = 0;
    const std::uint64_t last = c.geometry.whole;
    for (std::uint32_t r = next_record(tree.records, c.geometry.counted); r != 0 && r <= last;
         r = next_record(tree.records, r))
        ++held;
    return held;
}

}  // namespace

std::uint64_t key_hash(const std::uint8_t* key, std::size_t size) {
    return entry_hash(0, key, size);
}

bool passes(Comparison& c, dbf::Bytes record, std::uint32_t recno) {
    return !c.has_condition || expr::holds(c.condition.program, record, recno);
}

const std::uint8_t* make_key(Comparison& c, dbf::Bytes record, std::uint32_t recno) {
    expr::make_key(c.key.program, record, recno, c.made_key, c.key_decimals);
    return c.made_key.data();
}

bool read_record_run(const Comparison& c, std::uint32_t first, std::size_t n, std::uint8_t* to) {
    const std::size_t size = n * c.table.record_length;
    return read_table(dbf::record_offset(c.table, first), to, size) == size;
}

std::string keys_unknown(const Comparison& c) {
    std::string why = unknown_part(c.key, "the key expression");
    if (why.empty() && c.has_condition) why = unknown_part(c.condition, "the FOR condition");
    return why;
}

void prepare_comparison(Comparison& c, const TreeRules& rules, std::string_view key_expr,
                        std::string_view for_condition, unsigned key_decimals) {
    c.key_size = rules.key_width;
    c.key_decimals = key_decimals;
    c.key = expr::compile(key_expr, c.table.fields);
    c.has_condition = !for_condition.empty();
    if (c.has_condition) c.condition = expr::compile(for_condition, c.table.fields);
    if (c.has_condition && c.condition.error.empty() && c.condition.type != expr::Type::logical)
        c.condition.error = "it is not a logical value";
    c.record.assign(c.table.record_length, 0);
    c.made_key.assign(c.key_size, 0);
    if (c.key.error.empty()) watch_fields(c.faults, c.table, c.key);
    if (c.has_condition && c.condition.error.empty()) watch_fields(c.faults, c.table, c.condition);

    // A table without records needs no key made.
    if (c.geometry.compared == 0) return;
    if (c.key_size == 0)
        c.keys_not_compared = "the header's key size cannot be trusted";
    else
        c.keys_not_compared = unknown_part(c.key, "the key expression");
    if (c.keys_not_compared.empty())
        c.keys_not_compared = unknown_part(c.condition, "the FOR condition");
    if (c.keys_not_compared.empty()) c.sums.assign(bucket_count, 0);
}

void note_entry(Comparison& c, Walk walk, std::uint32_t recno, const std::uint8_t* key,
                std::uint32_t page, std::size_t item) {
    if (c.sums.empty()) return;
    std::uint64_t& sum = c.sums[bucket(recno)];
    if (walk == Walk::check) {
        sum += entry_hash(recno, key, c.key_size);
        return;
    }
    // The second walk: only entries whose sum differs, and only records
    // not named already (past the table's end, twice, failing the FOR).
    if (sum == 0 || recno > c.geometry.compared || has_record(tree_checked->repeated, recno))
        return;
    const std::size_t size = c.table.record_length;
    if (read_table(dbf::record_offset(c.table, recno), c.record.data(), size) != size) return;
    if (!passes(c, c.record, recno)) return;
    const std::uint8_t* made = make_key(c, c.record, recno);
    const std::size_t at = first_difference(made, key, c.key_size);
    if (at == c.key_size) return;
    ++c.key_differences;
    if (made[at] >= 0x80 || key[at] >= 0x80) ++c.key_differences_high;
    begin_record_fault(recno);
    put_text("the index holds key ");
    put_key(key, c.key_size);
    put_text(" and the table gives ");
    put_key(made, c.key_size);
    put_text(" (page ");
    put_hex(page);
    put_text("h, item ");
    put_dec(static_cast<std::int64_t>(item));
    put_text(")");
    end_line();
}

void compare_table(Comparison& c, TreeCheck& tree) {
    tree_checked = &tree;
    const dbf::TableGeometry& g = c.geometry;
    const std::uint32_t count = g.compared;
    const bool judge_presence = condition_known(c);
    const bool keys = !c.sums.empty();
    // A unique index rightly lacks the later records of a key; which those
    // are is told once every record's key is known.
    const bool defer = tree.rules.unique && keys;
    // Without keys, such records cannot be told from the first ones.
    const bool judge_unheld = !tree.rules.unique || keys;
    if (defer) c.unheld_keys = unheld_filter(count);

    tree.counts.faults += note_geometry_faults(
        g, c.table.record_length,
        g.whole > g.counted ? std::optional(held_past_count(c, tree)) : std::nullopt);
    const std::uint32_t short_at = read_records(c, [&](dbf::Bytes record, std::uint32_t recno) {
        tree.counts.faults += note_record_faults(c.faults, c.table, record, recno);
        if (!judge_presence) return;
        const bool in_index = has_record(tree.records, recno);
        const bool wanted = passes(c, record, recno);
        if (wanted && !in_index && defer) {
            ++c.unheld;
            const std::size_t bit =
                unheld_bit(c.unheld_keys, key_hash(make_key(c, record, recno), c.key_size));
            c.unheld_keys[bit / 64] |= std::uint64_t{1} << (bit % 64);
        } else if (wanted && !in_index && judge_unheld) {
            begin_record_fault(recno);
            put_text("not in the index");
            end_line();
        } else if (!wanted && in_index) {
            begin_record_fault(recno);
            put_text("in the index, but fails the FOR condition");
            end_line();
        }
        // An entry the index holds is taken off its sum, if its key is the
        // one the record gives.
        if (in_index && keys)
            c.sums[bucket(recno)] -= entry_hash(recno, make_key(c, record, recno), c.key_size);
    });
    if (short_at != 0) {
        begin_record_fault(short_at);
        put_text("cannot be read: the table ends before its ");
        put_dec(count);
        put_text(" records");
        end_line();
    }
    put_unlisted_faults(c.faults, c.table);

    for (std::uint32_t recno = next_record(tree.records, count); recno != 0;
         recno = next_record(tree.records, recno)) {
        begin_record_fault(recno);
        if (g.whole == g.counted) {
            put_text("in the index, but the table has only ");
            put_count(count, " record", " records");
        } else {
            put_text("in the index, but the file holds only ");
            put_count(count, " whole record", " whole records");
        }
        end_line();
    }

    if (defer && c.unheld > 0 && short_at == 0)
        tree.counts.faults += name_unheld_first_records(c, tree.records);
    c.unheld_keys = {};

    if (keys && std::any_of(c.sums.begin(), c.sums.end(), [](std::uint64_t s) { return s != 0; })) {
        tree.walk = Walk::compare_only;
        check_tree(tree);
        tree.walk = Walk::check;
    }
}
