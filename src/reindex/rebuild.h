// The steps of a rebuild: what the new index's header holds, its entries
// (from the table, or from the old index's own tree), sorted within a
// memory budget, laid out page by page into a new file beside the one it
// replaces, proved by the checker's own code, and only then put in place.
#pragma once

#include "ntx_build.h"

#include <cstddef>
#include <cstdint>
#include <string>

struct RebuildRequest {
    const char* index = nullptr;      // the old index, or null with -k
    const char* table = nullptr;      // null: from the old index's own entries
    const char* out = nullptr;        // -o NEW; null: INDEX is replaced
    const char* key = nullptr;        // -k EXPR
    const char* condition = nullptr;  // -f COND
    const char* name = nullptr;       // -n NAME
    bool unique = false;
    bool descending = false;
    bool force = false;
    std::size_t memory = std::size_t{64} << 20;  // bytes the sort may hold
};

// What a finished rebuild tells the user.
struct RebuildDone {
    std::uint64_t keys = 0;
    std::uint64_t pages = 0;
    std::uint64_t levels = 0;
    std::string backup;  // the old file's new name, when INDEX was replaced
};

// Runs the whole rebuild. Every refusal and failure ends the process
// (status 1 for what the files hold, 2 for usage and system trouble) with
// every file as it was and no temporary file left.
RebuildDone rebuild(const RebuildRequest& request);

// The header a new index gets from -k EXPR: its key size and decimals from
// EXPR's value; the most items a page holds as the usual builder sets it.
std::uint16_t usual_max_items(std::uint16_t key_size);
