// The comparison of an index with its table.
#pragma once

#include "check_tree.h"

#include <cstddef>
#include <cstdint>

struct Comparison;

// Every entry the tree walk trusts, in key order, with where it stands.
void note_entry(Comparison& c, Walk walk, std::uint32_t recno, const std::uint8_t* key,
                std::uint32_t page, std::size_t item);
