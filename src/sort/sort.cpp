#include "sort.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace {
constexpr std::size_t recno_size = 4;
// Below this many entries in memory a run costs more than it saves.
constexpr std::size_t least_capacity = 16;

std::uint32_t recno_of(const std::uint8_t* entry, std::size_t key_size) {
    std::uint32_t recno;
    std::memcpy(&recno, entry + key_size, recno_size);
    return recno;
}

// The first eight bytes as a big-endian number, so that numbers compare as
// the bytes do; inverted for a descending sort.
std::uint64_t prefix_of(const std::uint8_t* key, std::size_t key_size, bool descending) {
    std::uint64_t prefix = 0;
    if (key_size >= 8) {
        std::memcpy(&prefix, key, 8);
        prefix = __builtin_bswap64(prefix);
    } else {
        for (std::size_t i = 0; i < 8; ++i)
            prefix = prefix << 8 | (i < key_size ? key[i] : 0u);
    }
    return descending ? ~prefix : prefix;
}

// Whether entry a comes before entry b, from key byte `from` on.
bool before(const Sorter& s, const std::uint8_t* a, const std::uint8_t* b, std::size_t from) {
    if (from < s.key_size) {
        const int c = std::memcmp(a + from, b + from, s.key_size - from);
        if (c != 0) return s.descending ? c > 0 : c < 0;
    }
    return recno_of(a, s.key_size) < recno_of(b, s.key_size);
}

// An entry's bytes, copied a word at a time: a call to memcpy for every
// entry of a few dozen bytes costs more than the copy.
void copy_entry(std::uint8_t* to, const std::uint8_t* from, std::size_t size) {
    for (; size >= 8; size -= 8, to += 8, from += 8) std::memcpy(to, from, 8);
    for (; size > 0; --size) *to++ = *from++;
}

unsigned digit(std::uint64_t prefix, int d) {
    return static_cast<unsigned>(prefix >> (8 * d)) & 0xFFu;
}

// Slots sorted by the `digits` low bytes of their prefix, least significant
// first, between `data` and `other`; a byte they all share is passed over.
// Returns which of the two holds the result.
SortSlot* sort_low_bytes(SortSlot* data, SortSlot* other, std::size_t n, int digits) {
    if (n < 32) {
        std::sort(data, data + n,
                  [](const SortSlot& a, const SortSlot& b) { return a.prefix < b.prefix; });
        return data;
    }
    std::uint32_t counts[8][256] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t p = data[i].prefix;
        for (int d = 0; d < digits; ++d) ++counts[d][digit(p, d)];
    }
    for (int d = 0; d < digits; ++d) {
        std::uint32_t* count = counts[d];
        if (count[digit(data[0].prefix, d)] == n) continue;
        std::uint32_t sum = 0;
        for (int b = 0; b < 256; ++b) sum += std::exchange(count[b], sum);
        for (std::size_t i = 0; i < n; ++i) other[count[digit(data[i].prefix, d)]++] = data[i];
        std::swap(data, other);
    }
    return data;
}

// The slots by their prefix, into s.order. One pass splits them by the top
// byte, and each part, mostly small enough to stay in the cache, is sorted
// by the other seven. Equal prefixes may come in any order.
void radix_sort(Sorter& s) {
    const std::size_t n = s.held;
    std::uint32_t starts[257] = {};
    for (std::size_t i = 0; i < n; ++i) ++starts[digit(s.order[i].prefix, 7) + 1];
    if (starts[digit(s.order[0].prefix, 7) + 1] == n) {
        if (sort_low_bytes(s.order, s.spare, n, 7) != s.order) std::swap(s.order, s.spare);
        return;
    }
    for (int b = 0; b < 256; ++b) starts[b + 1] += starts[b];
    std::uint32_t next[256];
    std::copy(starts, starts + 256, next);
    for (std::size_t i = 0; i < n; ++i) s.spare[next[digit(s.order[i].prefix, 7)]++] = s.order[i];
    for (int b = 0; b < 256; ++b) {
        const std::size_t at = starts[b], size = starts[b + 1] - at;
        if (size == 0) continue;
        const SortSlot* done = sort_low_bytes(s.spare + at, s.order + at, size, 7);
        if (done != s.order + at) std::copy(done, done + size, s.order + at);
    }
}

// The entries in memory in order: by prefix, then the slots of equal
// prefixes by the rest of the key and the record number.
void sort_held(Sorter& s) {
    if (s.held == 0) return;
    radix_sort(s);
    const auto row = [&s](const SortSlot& a) { return s.rows + std::size_t{a.row} * s.entry_size; };
    for (std::size_t i = 0; i < s.held;) {
        std::size_t j = i + 1;
        while (j < s.held && s.order[j].prefix == s.order[i].prefix) ++j;
        if (j - i > 1) {
            // Keys that share their first eight bytes (codes with leading
            // zeros, say) are ordered by their next eight the same way,
            // which spares most of the byte comparisons.
            const std::size_t from = std::min<std::size_t>(8, s.key_size);
            const std::size_t rest_from = std::min<std::size_t>(16, s.key_size);
            for (std::size_t k = i; k < j; ++k)
                s.order[k].prefix = prefix_of(row(s.order[k]) + from, s.key_size - from,
                                              s.descending);
            std::sort(s.order + i, s.order + j, [&](const SortSlot& a, const SortSlot& b) {
                if (a.prefix != b.prefix) return a.prefix < b.prefix;
                return before(s, row(a), row(b), rest_from);
            });
        }
        i = j;
    }
}

bool fail(Sorter& s, std::string& error, const std::string& why) {
    s.phase = Sorter::Phase::failed;
    s.error = why;
    error = why;
    return false;
}

// A call out of turn; after a failure, that failure again.
bool refuse(Sorter& s, std::string& error, const char* why) {
    if (s.phase == Sorter::Phase::failed) {
        error = s.error;
        return false;
    }
    return fail(s, error, why);
}

// The entries in memory, sorted, appended to the scratch file as one run;
// gathered through the spare slots, free once the sort is done.
bool write_run(Sorter& s, std::string& error) {
    sort_held(s);
    if (s.file.handle == -1 && !create_scratch(s.file, error)) return fail(s, error, error);
    auto* out = reinterpret_cast<std::uint8_t*>(s.spare);
    const std::size_t per_write = s.capacity * sizeof(SortSlot) / s.entry_size;
    const SortRun run{s.file.size, s.held};
    for (std::size_t i = 0; i < s.held;) {
        const std::size_t n = std::min(per_write, s.held - i);
        // The rows are read in no order of theirs: each is asked for a few
        // entries ahead, so the copy rarely waits for memory.
        constexpr std::size_t ahead = 16;
        for (std::size_t k = 0; k < n; ++k) {
            if (i + k + ahead < s.held)
                __builtin_prefetch(s.rows + std::size_t{s.order[i + k + ahead].row} * s.entry_size);
            copy_entry(out + k * s.entry_size,
                       s.rows + std::size_t{s.order[i + k].row} * s.entry_size, s.entry_size);
        }
        if (!append_scratch(s.file, out, n * s.entry_size, error)) return fail(s, error, error);
        i += n;
    }
    s.runs.push_back(run);
    s.held = 0;
    return true;
}

const std::uint8_t* current(const Sorter& s, std::uint32_t reader) {
    const RunReader& r = s.readers[reader];
    return r.buffer + r.at * s.entry_size;
}

// The heap holds each reader's current prefix beside it, so that most
// comparisons touch neither the buffers nor memcmp.
bool item_before(const Sorter& s, const SortSlot& a, const SortSlot& b) {
    if (a.prefix != b.prefix) return a.prefix < b.prefix;
    return before(s, current(s, a.row), current(s, b.row), std::min<std::size_t>(8, s.key_size));
}

SortSlot heap_item(const Sorter& s, std::uint32_t reader) {
    return {prefix_of(current(s, reader), s.key_size, s.descending), reader, 0};
}

void sift_down(Sorter& s, std::size_t i) {
    const std::size_t n = s.heap.size();
    const SortSlot moving = s.heap[i];
    for (;;) {
        std::size_t child = 2 * i + 1;
        if (child >= n) break;
        if (child + 1 < n && item_before(s, s.heap[child + 1], s.heap[child])) ++child;
        if (!item_before(s, s.heap[child], moving)) break;
        s.heap[i] = s.heap[child];
        i = child;
    }
    s.heap[i] = moving;
}

// The reader's buffer filled with its run's next entries; false at the
// run's end, or on a read error (with `error` set).
bool refill(Sorter& s, RunReader& r, std::string& error) {
    const std::uint64_t left = (r.end - r.next) / s.entry_size;
    if (left == 0) return false;
    const std::size_t n = left < r.capacity ? static_cast<std::size_t>(left) : r.capacity;
    if (!read_scratch(s.file, r.next, r.buffer, n * s.entry_size, error)) return false;
    r.next += n * s.entry_size;
    r.held = n;
    r.at = 0;
    return true;
}

// Readers for `runs`, each with an equal share of the memory but for
// `reserve` bytes, and the heap of their first entries.
bool start_merge(Sorter& s, const SortRun* runs, std::size_t n, std::size_t reserve,
                 std::string& error) {
    const std::size_t share = (s.memory_size - reserve) / n / s.entry_size;
    s.readers.clear();
    s.heap.clear();
    for (std::size_t i = 0; i < n; ++i) {
        RunReader r{runs[i].offset, runs[i].offset + runs[i].count * s.entry_size,
                    s.memory.get() + reserve + i * share * s.entry_size, share, 0, 0};
        if (!refill(s, r, error)) {
            if (!error.empty()) return fail(s, error, error);
            continue;
        }
        s.readers.push_back(r);
        s.heap.push_back(heap_item(s, static_cast<std::uint32_t>(s.readers.size() - 1)));
    }
    for (std::size_t i = s.heap.size() / 2; i-- > 0;) sift_down(s, i);
    s.returned = false;
    return true;
}

// The smallest entry of the runs being merged; the one handed out before
// is stepped past first, which may refill its buffer.
bool pop_entry(Sorter& s, const std::uint8_t*& entry, std::string& error) {
    if (s.returned) {
        s.returned = false;
        RunReader& r = s.readers[s.heap[0].row];
        if (++r.at == r.held && !refill(s, r, error)) {
            if (!error.empty()) return fail(s, error, error);
            s.heap[0] = s.heap.back();
            s.heap.pop_back();
        } else {
            s.heap[0] = heap_item(s, s.heap[0].row);
        }
        if (!s.heap.empty()) sift_down(s, 0);
    }
    if (s.heap.empty()) return false;
    entry = current(s, s.heap[0].row);
    s.returned = true;
    return true;
}

// Merges runs `fan_in` at a time into a new scratch file until no more
// than `fan_in` are left, each group's output gathered in a buffer of the
// same share as each reader's.
bool merge_passes(Sorter& s, std::size_t fan_in, std::string& error) {
    while (s.runs.size() > fan_in) {
        Scratch to;
        if (!create_scratch(to, error)) return fail(s, error, error);
        std::vector<SortRun> merged;
        const std::size_t out_capacity = s.memory_size / (fan_in + 1) / s.entry_size;
        const std::size_t reserve = out_capacity * s.entry_size;
        std::uint8_t* out = s.memory.get();
        for (std::size_t first = 0; first < s.runs.size(); first += fan_in) {
            const std::size_t n = std::min(fan_in, s.runs.size() - first);
            if (!start_merge(s, s.runs.data() + first, n, reserve, error)) {
                remove_scratch(to);
                return false;
            }
            SortRun run{to.size, 0};
            std::size_t filled = 0;
            const std::uint8_t* entry = nullptr;
            for (;;) {
                const bool more = pop_entry(s, entry, error);
                if (!more && !error.empty()) {
                    remove_scratch(to);
                    return false;
                }
                if (more) copy_entry(out + filled++ * s.entry_size, entry, s.entry_size);
                if (filled == out_capacity || (!more && filled > 0)) {
                    if (!append_scratch(to, out, filled * s.entry_size, error)) {
                        remove_scratch(to);
                        return fail(s, error, error);
                    }
                    run.count += filled;
                    filled = 0;
                }
                if (!more) break;
            }
            merged.push_back(run);
        }
        remove_scratch(s.file);
        s.file = to;
        s.runs = std::move(merged);
    }
    return true;
}
}  // namespace

void begin_sort(Sorter& s, std::size_t key_size, bool descending, std::size_t budget_bytes) {
    end_sort(s);
    s.key_size = key_size;
    s.entry_size = key_size + recno_size;
    s.descending = descending;
    const std::size_t per_entry = s.entry_size + 2 * sizeof(SortSlot);
    std::size_t capacity = std::max(budget_bytes / per_entry, least_capacity);
    capacity = std::min<std::size_t>(capacity, std::numeric_limits<std::uint32_t>::max());
    s.capacity = capacity;
    s.budget = capacity * per_entry;
}

bool add_entry(Sorter& s, std::uint32_t recno, const std::uint8_t* key, std::string& error) {
    if (s.phase != Sorter::Phase::adding) return refuse(s, error, "the input has ended");
    if (!s.memory) {
        // Pages the sort never fills are never touched, so a small sort
        // costs little of the budget it was given.
        s.memory_size = s.budget;
        s.memory.reset(new std::uint8_t[s.memory_size]);
        s.order = reinterpret_cast<SortSlot*>(s.memory.get());
        s.spare = s.order + s.capacity;
        s.rows = reinterpret_cast<std::uint8_t*>(s.spare + s.capacity);
    }
    if (s.held == s.capacity && !write_run(s, error)) return false;
    std::uint8_t* row = s.rows + s.held * s.entry_size;
    copy_entry(row, key, s.key_size);
    std::memcpy(row + s.key_size, &recno, recno_size);
    s.order[s.held] = {prefix_of(key, s.key_size, s.descending),
                       static_cast<std::uint32_t>(s.held), 0};
    ++s.held;
    ++s.count;
    return true;
}

bool end_input(Sorter& s, std::string& error) {
    if (s.phase != Sorter::Phase::adding) return refuse(s, error, "the input has ended");
    if (s.runs.empty()) {
        sort_held(s);
        s.phase = Sorter::Phase::from_memory;
        s.next_slot = 0;
        return true;
    }
    if (s.held > 0 && !write_run(s, error)) return false;
    // From here the memory holds the merge's buffers: at least a few
    // entries each, so that reads stay large.
    const std::size_t most = s.memory_size / (s.entry_size * 64);
    const std::size_t fan_in =
        std::clamp<std::size_t>(most, 2, std::max<std::size_t>(s.max_fan_in, 2));
    if (!merge_passes(s, fan_in, error)) return false;
    if (!start_merge(s, s.runs.data(), s.runs.size(), 0, error)) return false;
    s.phase = Sorter::Phase::merging;
    return true;
}

bool next_entry(Sorter& s, std::uint32_t& recno, const std::uint8_t*& key, std::string& error) {
    error.clear();
    switch (s.phase) {
    case Sorter::Phase::from_memory: {
        if (s.next_slot == s.held) return false;
        // The rows are read in no order of theirs: each is asked for a few
        // entries ahead, so that their cache misses overlap.
        constexpr std::size_t ahead = 16;
        if (s.next_slot + ahead < s.held)
            __builtin_prefetch(s.rows + std::size_t{s.order[s.next_slot + ahead].row} * s.entry_size);
        key = s.rows + std::size_t{s.order[s.next_slot++].row} * s.entry_size;
        break;
    }
    case Sorter::Phase::merging:
        if (!pop_entry(s, key, error)) return false;
        break;
    case Sorter::Phase::adding:
        error = "the input has not ended";
        return false;
    case Sorter::Phase::failed:
        error = s.error;
        return false;
    }
    recno = recno_of(key, s.key_size);
    return true;
}

std::uint64_t entry_count(const Sorter& s) { return s.count; }

void end_sort(Sorter& s) {
    remove_scratch(s.file);
    s = Sorter{};
}
