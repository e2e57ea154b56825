// The comparison of an index with the table it was built from.
//
// No key is held per record. The tree walk adds a hash of each entry's
// (record number, key) to one of a fixed number of sums, chosen by record
// number; the table, read front to back, takes the hash of each record's
// own key from the same sum. A sum left at zero means its records agree.
// Only the entries of the other sums are looked at again, in a second walk
// that reads their records where they lie, to name each record that
// differs. Record numbers need no sums: the walk keeps a bit for each.
#pragma once

#include "check_tree.h"
#include "dbf_layout.h"
#include "key_expr.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Comparison {
    dbf::TableHeader table;
    expr::Compiled key;
    expr::Compiled condition;
    bool has_condition = false;
    // Why keys cannot be compared; empty when they are.
    std::string keys_not_compared;
    std::size_t key_size = 0;
    unsigned key_decimals = 0;
    std::vector<std::uint64_t> sums;
    // Scratch for one record and the key made from it.
    std::vector<std::uint8_t> record;
    std::vector<std::uint8_t> made_key;
};

// Compiles the key expression and FOR condition against the table's
// fields; decides whether keys can be compared.
void prepare_comparison(Comparison& c, const TreeRules& rules, std::string_view key_expr,
                        std::string_view for_condition, unsigned key_decimals);

// After the tree walk: reads the table and names every record that differs,
// walking the tree a second time where sums differ.
void compare_table(Comparison& c, TreeCheck& tree);
