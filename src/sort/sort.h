// Sorting index entries, a key of fixed size and a record number, within a
// memory budget: entries are held and sorted in memory while they fit, and
// beyond that written out in sorted runs to scratch files and merged.
//
// The order is the key's bytes ascending, or descending, and entries with
// equal keys by ascending record number either way.
#pragma once

#include "write_file.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One entry's place in memory: the key's first eight bytes as a number
// that sorts as they do, and where the entry is.
struct SortSlot {
    std::uint64_t prefix;
    std::uint32_t row;
    std::uint32_t unused;
};

// Entries in a scratch file, sorted: where they begin and how many.
struct SortRun {
    std::uint64_t offset;
    std::uint64_t count;
};

struct RunReader {
    std::uint64_t next;  // byte offset of the first entry not yet read
    std::uint64_t end;
    std::uint8_t* buffer;
    std::size_t capacity;  // entries the buffer holds
    std::size_t held;      // entries in it now
    std::size_t at;        // the current one
};

struct Sorter {
    std::size_t key_size = 0;
    std::size_t entry_size = 0;  // key and record number
    bool descending = false;
    std::size_t budget = 0;
    // The most runs merged at once; more are merged in passes.
    std::size_t max_fan_in = 64;
    std::uint64_t count = 0;  // entries added

    // One block of the budget's size, the entries and their slots while
    // they come in, the merge's buffers after.
    std::unique_ptr<std::uint8_t[]> memory;
    std::size_t memory_size = 0;
    std::size_t capacity = 0;  // entries held in memory at most
    std::size_t held = 0;
    std::uint8_t* rows = nullptr;
    SortSlot* order = nullptr;
    SortSlot* spare = nullptr;

    Scratch file;
    std::vector<SortRun> runs;

    enum class Phase { adding, from_memory, merging, failed } phase = Phase::adding;
    std::size_t next_slot = 0;
    std::vector<RunReader> readers;
    std::vector<SortSlot> heap;  // readers (as rows), the smallest entry first
    bool returned = false;       // an entry of the heap's top was handed out
    std::string error;           // why it failed
};

// Starts a sort of keys of `key_size` bytes (1 to 250), within about
// `budget_bytes` of memory; a budget too small for a few entries is raised
// to that.
void begin_sort(Sorter& s, std::size_t key_size, bool descending, std::size_t budget_bytes);

bool add_entry(Sorter& s, std::uint32_t recno, const std::uint8_t* key, std::string& error);

// After the last entry: sorts what is in memory, or merges the runs down
// to one pass's worth.
bool end_input(Sorter& s, std::string& error);

// The next entry in order. False at the end, with `error` left empty, or
// on a failure, with `error` set. `key` stays valid until the next call.
bool next_entry(Sorter& s, std::uint32_t& recno, const std::uint8_t*& key, std::string& error);

std::uint64_t entry_count(const Sorter& s);

// Frees the memory and removes the scratch files.
void end_sort(Sorter& s);
