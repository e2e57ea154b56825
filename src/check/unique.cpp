#include "unique.h"

#include "report.h"

#include <algorithm>
#include <bit>

namespace {

struct Slot {
    std::uint64_t hash = 0;    // 0 for an empty slot
    std::uint32_t first = 0;   // the key's first record
    std::uint32_t holder = 0;  // the first of its records the index holds, 0 for none
};

// The keys whose hash begins with the `bits` bits of `prefix`.
struct Part {
    std::uint64_t prefix = 0;
    unsigned bits = 0;
};

bool in_part(std::uint64_t hash, Part p) {
    return p.bits == 0 || hash >> (64 - p.bits) == p.prefix;
}

struct Named {
    std::uint32_t recno;
    std::uint32_t first;  // the first record of its key, when it is not that one
};

// Reads the table for one part; false when the part holds more keys than
// the slots.
// The slots are filled to three quarters at most.
bool fill_part(Comparison& c, const RecordSet& records, Part part, std::vector<Slot>& slots) {
    std::fill(slots.begin(), slots.end(), Slot{});
    const std::size_t slot_count = slots.size();
    const std::size_t fill_limit = slot_count / 4 * 3;
    std::size_t filled = 0;
    bool full = false;
    const std::uint32_t short_at = read_records(c, [&](dbf::Bytes record, std::uint32_t recno) {
        if (full || !passes(c, record, recno)) return;
        std::uint64_t hash = key_hash(make_key(c, record, recno), c.key_size);
        if (!in_unheld_filter(c.unheld_keys, hash) || !in_part(hash, part)) return;
        hash += hash == 0;
        // Bits below those of the part and above those of the filter.
        std::size_t at = static_cast<std::size_t>(hash >> 24) & (slot_count - 1);
        while (slots[at].hash != 0 && slots[at].hash != hash) at = (at + 1) & (slot_count - 1);
        Slot& s = slots[at];
        if (s.hash == 0) {
            if (filled == fill_limit) {
                full = true;
                return;
            }
            ++filled;
            s.hash = hash;
            s.first = recno;
        }
        if (s.holder == 0 && has_record(records, recno)) s.holder = recno;
    });
    // A table that reads short now was changed meanwhile: nothing is named.
    if (short_at != 0) std::fill(slots.begin(), slots.end(), Slot{});
    return !full;
}

}  // namespace

std::uint64_t name_unheld_first_records(Comparison& c, const RecordSet& records) {
    // The keys to expect: one at most for each record without an entry, and
    // the keys of others that share a bit of the filter with one of them.
    std::uint64_t set = 0;
    for (const std::uint64_t w : c.unheld_keys) set += static_cast<std::uint64_t>(std::popcount(w));
    const std::uint64_t expected =
        c.unheld + c.geometry.compared * set / (c.unheld_keys.size() * 64);
    // A part is sized for a quarter of the slots, so that it seldom
    // overfills them; one that does is read again as two halves. No more
    // slots than the keys expected need.
    const std::size_t most = std::bit_ceil(std::max<std::size_t>(c.unique_slots, 4));
    const std::size_t slot_count = static_cast<std::size_t>(
        std::min<std::uint64_t>(most, std::bit_ceil(std::max<std::uint64_t>(expected * 4, 16))));
    const std::uint64_t keys_per_part = slot_count / 4;
    unsigned bits = 0;
    while (bits < 32 && (expected >> bits) > keys_per_part) ++bits;

    std::vector<Slot> slots(slot_count);
    std::vector<Part> todo;
    for (std::uint64_t p = std::uint64_t{1} << bits; p-- > 0;) todo.push_back({p, bits});
    std::vector<Named> named;
    std::uint64_t faults = 0;
    while (!todo.empty()) {
        const Part part = todo.back();
        todo.pop_back();
        if (!fill_part(c, records, part, slots) && part.bits < 64) {
            todo.push_back({part.prefix * 2 + 1, part.bits + 1});
            todo.push_back({part.prefix * 2, part.bits + 1});
            continue;
        }
        named.clear();
        for (const Slot& s : slots)
            if (s.hash != 0 && s.holder != s.first)
                named.push_back(s.holder == 0 ? Named{s.first, 0} : Named{s.holder, s.first});
        std::sort(named.begin(), named.end(),
                  [](const Named& a, const Named& b) { return a.recno < b.recno; });
        for (const Named& n : named) {
            ++faults;
            put_text("record ");
            put_dec(n.recno);
            if (n.first == 0) {
                put_text(": not in the index");
            } else {
                put_text(": in the index in place of record ");
                put_dec(n.first);
                put_text(", the first with its key");
            }
            end_line();
        }
    }
    return faults;
}
