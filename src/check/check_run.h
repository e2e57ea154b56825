// The whole check of one index, alone or against its table, as quarnel-check
// runs it and as a rebuild proves what it wrote: the fault lines go to the
// report, the counts stay for the verdict.
#pragma once

#include "check_tree.h"
#include "compare.h"
#include "ntx_layout.h"

#include <array>
#include <cstdint>

struct CheckRun {
    // The header's whole first page: the key expression's field and the FOR
    // condition after it are read with it.
    std::array<std::uint8_t, ntx::page_size> header_bytes{};
    std::size_t header_got = 0;
    TreeCheck check;
    Comparison table;
    bool with_table = false;
};

// The files the command line names: INDEX [TABLE], after options that
// only print (--help, --version; both end the run with status 0) and `--`,
// after which every word is a file. Ends the run with status 2 and the
// usage on standard error for any other command line.
struct CommandLine {
    const char* index = nullptr;
    const char* table = nullptr;
};
CommandLine read_command_line(int argc, char** argv);

// Opens the index, and the table when `table_path` is not null, or ends the
// run with status 2 and a message on standard error. The table is read
// before anything is reported, so that a table that cannot be read leaves
// nothing but its message.
void open_check(CheckRun& run, const char* index_path, const char* table_path);

// Opens and decodes the table into `c`, or ends the run with status 2 where
// no record can be found: a header or field descriptors that cannot be
// read, a record length that is not the fields', a header longer than the
// file.
void open_table_or_end(const char* path, Comparison& c);

// Checks what open_check opened: the header, the tree, and the table.
void run_check(CheckRun& run);

// The verdict line, after a note on pages outside the tree.
void put_verdict(const CheckRun& run);
