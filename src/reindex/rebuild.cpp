#include "rebuild.h"

#include "check_run.h"
#include "dbf_layout.h"
#include "key_expr.h"
#include "platform.h"
#include "report.h"
#include "sort.h"
#include "table_faults.h"
#include "write_file.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Pages gathered before each write: the file is written front to back.
constexpr std::size_t write_batch = 64;
constexpr std::uint16_t max_key_size = 250;

// Where a rebuild's time goes, for the benchmark: with QUARNEL_REINDEX_TIMES
// set, each part's seconds on standard error at the end. The table's read
// is timed by a pass that only reads it, before the one that makes keys.
struct Times {
    bool wanted = false;
    double read = 0, keys = 0, sort = 0, write = 0, flush = 0, proof = 0;
};
Times times;

double seconds_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void put_times(double total) {
    if (!times.wanted) return;
    char line[256];
    std::snprintf(line, sizeof line,
                  "times: read %.3f s, keys %.3f s, sort %.3f s, write %.3f s, flush %.3f s, "
                  "proof %.3f s, total %.3f s\n",
                  times.read, times.keys, times.sort, times.write, times.flush, times.proof,
                  total);
    write_stderr(line, std::strlen(line));
}

[[noreturn]] void refuse(std::string_view what, const char* path, std::string_view why) {
    end_with_error(what, path, why, 1);
}

[[noreturn]] void trouble(std::string_view what, const char* path, std::string_view why) {
    end_with_error(what, path, why, 2);
}

// The new file, with the pages the build completes written as they come.
struct Output {
    NewFile file;
    const char* shown = nullptr;  // the path the user gave, for messages
    std::vector<std::uint8_t> batch;
    std::uint64_t at = ntx::page_size;  // where the batch goes
};

void write_or_end(Output& out, std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
    std::string error;
    if (!write_at(out.file, offset, data, size, error)) {
        discard(out.file);
        trouble("Error writing beside ", out.shown, ": " + error);
    }
}

void flush_batch(Output& out) {
    if (out.batch.empty()) return;
    const double start = times.wanted ? seconds_now() : 0;
    write_or_end(out, out.at, out.batch.data(), out.batch.size());
    if (times.wanted) times.write += seconds_now() - start;
    out.at += out.batch.size();
    out.batch.clear();
}

void take_pages(Output& out, ntx::TreeBuild& b) {
    for (const ntx::IndexPage& page : b.done) {
        out.batch.insert(out.batch.end(), page.bytes.begin(), page.bytes.end());
        if (out.batch.size() >= write_batch * ntx::page_size) flush_batch(out);
    }
    b.done.clear();
}

// Everything a rebuild carries from step to step.
struct Rebuild {
    const RebuildRequest* request = nullptr;
    ntx::HeaderFields header;
    Comparison table;  // the table, its compiled key and FOR condition
    Sorter sorter;
    std::uint64_t entries = 0;
    // An order-sensitive sum of the entries as they went into the build, for
    // the proof of a rebuild from the index's own entries.
    std::uint64_t trail = 0;
    ntx::TreeBuild build;
    Output out;
};

std::uint64_t step_trail(std::uint64_t trail, std::uint32_t recno, const std::uint8_t* key,
                         std::size_t size) {
    std::uint64_t h = trail ^ (recno * 0x9e3779b97f4a7c15u);
    for (std::size_t i = 0; i < size; ++i) h = (h ^ key[i]) * 0x100000001b3u;
    return h * 0xff51afd7ed558ccdu;
}

const char* target_of(const RebuildRequest& r) { return r.out ? r.out : r.index; }

// --------------------------------------------------------------- header

// The old index's header page, whole: the FOR condition and the order name
// lie past the header record.
std::vector<std::uint8_t> read_old_header(const char* index) {
    if (!open_index(index)) trouble("Open error: ", index, "");
    std::vector<std::uint8_t> bytes(ntx::page_size, 0);
    const std::size_t got = read_index(0, bytes.data(), bytes.size());
    if (got < ntx::header_size) trouble("Error reading header of ", index, "");
    return bytes;
}

// The fields a new index gets from -k EXPR, sized by EXPR's value.
ntx::HeaderFields fields_from_request(const RebuildRequest& r, const dbf::TableHeader& table) {
    const expr::Compiled key = expr::compile(r.key, table.fields);
    if (!key.error.empty())
        end_with_error("Cannot build ", r.out, ": the key expression cannot be read: " + key.error,
                       1);
    if (!key.app_function.empty())
        end_with_error("Cannot build ", r.out,
                       ": keys cannot be made: the key expression calls " + key.app_function, 1);
    if (key.key_length < 1 || key.key_length > max_key_size)
        end_with_error("Cannot build ", r.out,
                       ": the key expression's value is " + std::to_string(key.key_length) +
                           " bytes long; a key holds 1 to 250",
                       1);
    ntx::HeaderFields h;
    h.key_expr = r.key;
    h.key_size = static_cast<std::uint16_t>(key.key_length);
    h.key_decimals = static_cast<std::uint16_t>(key.key_decimals);
    h.item_size = static_cast<std::uint16_t>(h.key_size + ntx::item_fixed_size);
    h.max_items = usual_max_items(h.key_size);
    h.half = static_cast<std::uint16_t>(h.max_items / 2);
    h.unique = r.unique ? 1 : 0;
    h.descending = r.descending ? 1 : 0;
    h.for_condition = r.condition ? r.condition : "";
    h.order_name = r.name ? r.name : "";
    h.signature = h.for_condition.empty() && !r.descending ? 6 : 7;
    h.version = 1;
    return h;
}

// ---------------------------------------------------------------- table

// Compiles the key and the FOR condition, or refuses: keys that cannot be
// made cannot be indexed.
void compile_keys(Rebuild& rb) {
    const RebuildRequest& r = *rb.request;
    TreeRules rules;
    rules.key_width = rb.header.key_size;
    prepare_comparison(rb.table, rules, rb.header.key_expr, rb.header.for_condition,
                       rb.header.key_decimals);
    const char* what = r.index ? r.index : r.out;
    if (!rb.table.key.error.empty())
        refuse("Cannot rebuild ", what,
               ": its key expression cannot be read: " + rb.table.key.error +
                   "; give one with -k EXPR -o NEW");
    const std::string why = keys_unknown(rb.table);
    if (!why.empty()) refuse("Cannot rebuild ", what, ": keys cannot be made: " + why);
}

// A table with faults of its own is not indexed: its count may be stale,
// its file cut, its fields not what the key reads. Every fault is reported,
// as the checker reports it, before the refusal.
void refuse_table_faults(Rebuild& rb, std::uint64_t faults) {
    if (faults == 0) return;
    flush_report();
    refuse("Cannot rebuild from ", rb.request->table,
           ": the table has " + std::to_string(faults) +
               (faults == 1 ? " fault" : " faults") + " of its own; nothing was changed");
}

// Reads the table front to back and sorts the key of every record that
// passes the FOR condition, deleted ones included.
void sort_table(Rebuild& rb) {
    Comparison& c = rb.table;
    std::uint64_t faults =
        note_geometry_faults(c.geometry, c.table.record_length, std::nullopt);
    refuse_table_faults(rb, faults);
    std::string error;
    const std::uint32_t short_at = read_records(c, [&](dbf::Bytes record, std::uint32_t recno) {
        faults += note_record_faults(c.faults, c.table, record, recno);
        if (!error.empty() || !passes(c, record, recno)) return;
        add_entry(rb.sorter, recno, make_key(c, record, recno), error);
    });
    if (short_at != 0) trouble("Error reading ", rb.request->table, ": it changed while it was read");
    if (!error.empty()) trouble("Error sorting the keys of ", rb.request->table, ": " + error);
    put_unlisted_faults(c.faults, c.table);
    refuse_table_faults(rb, faults);
    if (!end_input(rb.sorter, error))
        trouble("Error sorting the keys of ", rb.request->table, ": " + error);
}

// A unique index keeps the first record, the lowest number, of each key:
// equal keys come out by record number. The count the layout needs is known
// only once they are dropped, so the survivors pass through a second sort,
// which takes sorted entries at little cost.
void keep_first_of_each_key(Rebuild& rb) {
    Sorter firsts;
    std::string error;
    begin_sort(firsts, rb.header.key_size, rb.header.descending != 0, rb.request->memory / 2);
    std::vector<std::uint8_t> last(rb.header.key_size);
    bool any = false;
    std::uint32_t recno = 0;
    const std::uint8_t* key = nullptr;
    while (next_entry(rb.sorter, recno, key, error)) {
        if (any && std::memcmp(key, last.data(), last.size()) == 0) continue;
        std::memcpy(last.data(), key, last.size());
        any = true;
        if (!add_entry(firsts, recno, key, error)) break;
    }
    if (!error.empty() || !end_input(firsts, error))
        trouble("Error sorting the keys of ", rb.request->table, ": " + error);
    end_sort(rb.sorter);
    rb.sorter = std::move(firsts);
}

// ----------------------------------------------------------------- build

void begin_output(Rebuild& rb, std::uint64_t count) {
    const char* target = target_of(*rb.request);
    rb.out.shown = target;
    if (!ntx::begin_build(rb.build, ntx::shape_of(rb.header), count))
        refuse("Cannot build ", target,
               ": " + std::to_string(count) + " keys do not fit in an index of 4 GiB");
    std::string error;
    if (!create_beside(rb.out.file, target, error))
        trouble("Error creating a file beside ", target, ": " + error);
    rb.entries = count;
    take_pages(rb.out, rb.build);  // an empty tree is complete at once
}

void add_to_build(Rebuild& rb, std::uint32_t recno, const std::uint8_t* key) {
    if (!ntx::add_entry(rb.build, recno, key)) {
        discard(rb.out.file);
        trouble("Error reading ", rb.request->index ? rb.request->index : rb.request->table,
                ": it changed while it was read");
    }
    rb.trail = step_trail(rb.trail, recno, key, rb.header.key_size);
    take_pages(rb.out, rb.build);
}

void build_from_sort(Rebuild& rb) {
    begin_output(rb, entry_count(rb.sorter));
    std::string error;
    std::uint32_t recno = 0;
    const std::uint8_t* key = nullptr;
    while (next_entry(rb.sorter, recno, key, error)) add_to_build(rb, recno, key);
    if (!error.empty()) {
        discard(rb.out.file);
        trouble("Error sorting the keys of ", rb.request->table, ": " + error);
    }
    end_sort(rb.sorter);
}

// The header last, once the root is known, then everything to the disk.
void finish_output(Rebuild& rb) {
    const std::uint32_t root = ntx::end_build(rb.build);
    if (root == 0) {
        discard(rb.out.file);
        trouble("Error reading ", rb.request->index, ": it changed while it was read");
    }
    flush_batch(rb.out);
    const auto header = ntx::build_header(rb.header, root);
    write_or_end(rb.out, 0, header.data(), header.size());
    std::string error;
    if (!flush_file(rb.out.file, error)) {
        discard(rb.out.file);
        trouble("Error writing beside ", rb.out.shown, ": " + error);
    }
}

// ------------------------------------------------------- old index's own

void collect_entry(void* to, std::uint32_t recno, const std::uint8_t* key) {
    add_to_build(*static_cast<Rebuild*>(to), recno, key);
}

// Checks the old index alone, as quarnel-check does, and rewrites it from
// its own entries in the order its tree holds them: a sound index only,
// or with --force one whose only faults are keys out of byte order, whose
// order is then the one its application reads.
void build_from_own_entries(Rebuild& rb) {
    const RebuildRequest& r = *rb.request;
    CheckRun run;
    open_check(run, r.index, nullptr);
    run_check(run);
    const TreeCounts& counts = run.check.counts;
    if (counts.faults != 0) {
        flush_report();
        if (counts.faults == counts.order_faults && !r.force)
            refuse("Cannot rewrite ", r.index,
                   ": its keys are out of byte order (built with a national collation, "
                   "or damaged); --force rewrites it in the order it holds");
        if (counts.faults != counts.order_faults)
            refuse("Cannot rewrite ", r.index,
                   ": it is damaged (" + std::to_string(counts.faults) +
                       (counts.faults == 1 ? " fault" : " faults") +
                       "); rebuild it from its table: quarnel-reindex INDEX TABLE");
    }
    begin_output(rb, counts.keys);
    run.check.walk = Walk::collect;
    run.check.collect = collect_entry;
    run.check.collect_to = &rb;
    check_tree(run.check);
    close_index();
}

// ----------------------------------------------------------------- proof

// The trail of the new file's entries, to hold to the one built.
struct Trail {
    std::uint64_t sum = 0;
    std::size_t key_size = 0;
};

void trail_entry(void* to, std::uint32_t recno, const std::uint8_t* key) {
    Trail& t = *static_cast<Trail*>(to);
    t.sum = step_trail(t.sum, recno, key, t.key_size);
}

// The new file, read back from the disk by the checker's own code: the tree
// alone, and against the table when it was built from one. Only a sound
// result is put in place.
void prove(Rebuild& rb) {
    const RebuildRequest& r = *rb.request;
    CheckRun proof;
    open_check(proof, rb.out.file.path.c_str(), r.table);
    run_check(proof);
    if (r.table) close_table();
    const TreeCounts& counts = proof.check.counts;
    // A forced rewrite keeps its own order, and so its order faults.
    const std::uint64_t allowed = !r.table && r.force ? counts.order_faults : 0;
    bool sound = counts.faults == allowed && counts.keys == rb.entries;
    if (sound && !r.table) {
        Trail trail{.key_size = rb.header.key_size};
        proof.check.walk = Walk::collect;
        proof.check.collect = trail_entry;
        proof.check.collect_to = &trail;
        check_tree(proof.check);
        sound = trail.sum == rb.trail;
    }
    close_index();
    if (!sound) {
        flush_report();
        discard(rb.out.file);
        refuse("Cannot rebuild ", target_of(r),
               ": the new index did not prove sound when read back; nothing was changed");
    }
}

// -------------------------------------------------------------- in place

void put_in_place(Rebuild& rb, RebuildDone& done) {
    const RebuildRequest& r = *rb.request;
    std::string error;
    if (r.out) {
        if (!move_new_to(rb.out.file, r.out, error)) {
            discard(rb.out.file);
            trouble("Error writing ", r.out, ": " + error);
        }
        return;
    }
    done.backup = std::string(r.index) + ".bak";
    if (!replace_with_backup(rb.out.file, r.index, done.backup.c_str(), true, error)) {
        discard(rb.out.file);
        trouble("Error replacing ", r.index, ": " + error);
    }
}

// Whether the old index's keys stand in byte order, as far as its tree can
// be walked: a quiet check that only counts.
bool old_in_byte_order(const char* index) {
    CheckRun run;
    run.check.quiet = true;
    open_check(run, index, nullptr);
    run_check(run);
    close_index();
    return run.check.counts.order_faults == 0;
}

}  // namespace

std::uint16_t usual_max_items(std::uint16_t key_size) {
    const auto most = static_cast<unsigned>((ntx::page_size - 4) / (key_size + 10u) - 1);
    return static_cast<std::uint16_t>(most & ~1u);
}

RebuildDone rebuild(const RebuildRequest& request) {
    const double began = seconds_now();
    times.wanted = std::getenv("QUARNEL_REINDEX_TIMES") != nullptr;
    Rebuild rb;
    rb.request = &request;
    RebuildDone done;
    // Said before any work; the move into place refuses it again, atomically.
    std::error_code ignored;
    if (request.out && std::filesystem::symlink_status(request.out, ignored).type() !=
                           std::filesystem::file_type::not_found)
        trouble("Error: ", request.out, " already exists; -o writes a new file only");
    if (request.index) {
        const std::vector<std::uint8_t> bytes = read_old_header(request.index);
        rb.header = *ntx::decode_header_fields(bytes);
        close_index();
        if (!ntx::shape_fits(ntx::shape_of(rb.header)))
            refuse("Cannot rebuild ", request.index,
                   ": its header's key size, item size and most items a page holds do not "
                   "fit a page; give them with -k EXPR -o NEW");
    }
    if (!request.table) {
        build_from_own_entries(rb);
    } else {
        open_table_or_end(request.table, rb.table);
        if (!request.index) rb.header = fields_from_request(request, rb.table.table);
        compile_keys(rb);
        if (request.index && !request.out && !request.force && !old_in_byte_order(request.index))
            refuse("Cannot rebuild ", request.index,
                   ": its keys are out of byte order (built with a national collation, or "
                   "damaged); a rebuild in byte order would mislead a program that reads it in "
                   "its collation; --force rebuilds it anyway, or -o NEW writes a new file");
        // A unique index sorts twice, each within half the budget.
        begin_sort(rb.sorter, rb.header.key_size, rb.header.descending != 0,
                   rb.header.unique ? request.memory / 2 : request.memory);
        double start = seconds_now();
        if (times.wanted) {
            read_records(rb.table, [](dbf::Bytes, std::uint32_t) {});
            times.read = seconds_now() - start;
            start = seconds_now();
        }
        sort_table(rb);
        times.keys = seconds_now() - start;
        start = seconds_now();
        if (rb.header.unique) keep_first_of_each_key(rb);
        build_from_sort(rb);
        times.sort = seconds_now() - start - times.write;
    }
    if (request.table) close_table();  // the proof opens it again
    double start = seconds_now();
    finish_output(rb);
    times.flush = seconds_now() - start;
    start = seconds_now();
    prove(rb);
    times.proof = seconds_now() - start;
    put_in_place(rb, done);
    done.keys = rb.entries;
    done.pages = rb.build.pages;
    put_times(seconds_now() - began);
    return done;
}
