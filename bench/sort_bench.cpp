// The external sort on keys given as fixed-width lines, written back as
// lines in order, so that its time, memory and output can be set beside
// those of a line sort of the same file (bench/sort_bench.py does).
//
//   sort_bench make FILE COUNT [KEY_SIZE] [SEED]   random keys, one a line
//   sort_bench sort IN OUT BUDGET_MIB [KEY_SIZE]   record number = line number
#include "sort.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {
int usage() {
    std::fputs("use: sort_bench make FILE COUNT [KEY_SIZE] [SEED]\n"
               "     sort_bench sort IN OUT BUDGET_MIB [KEY_SIZE]\n",
               stderr);
    return 2;
}

int make(const char* path, std::uint64_t count, std::size_t key_size, unsigned seed) {
    static constexpr char letters[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::mt19937_64 rng(seed);
    std::FILE* out = std::fopen(path, "wb");
    if (!out) return 1;
    std::string line(key_size + 1, '\n');
    for (std::uint64_t i = 0; i < count; ++i) {
        std::uint64_t bits = rng();
        for (std::size_t k = 0; k < key_size; ++k) {
            if (k % 10 == 0) bits = rng();
            line[k] = letters[bits % 62];
            bits /= 62;
        }
        std::fwrite(line.data(), 1, line.size(), out);
    }
    return std::fclose(out) == 0 ? 0 : 1;
}

int sort_file(const char* in_path, const char* out_path, std::size_t budget,
              std::size_t key_size) {
    std::FILE* in = std::fopen(in_path, "rb");
    if (!in) return 1;
    Sorter s;
    begin_sort(s, key_size, false, budget);
    std::string error;
    const std::size_t line_size = key_size + 1;
    std::vector<std::uint8_t> buffer(line_size * 8192);
    std::uint32_t recno = 0;
    for (;;) {
        const std::size_t got = std::fread(buffer.data(), line_size, 8192, in);
        for (std::size_t i = 0; i < got; ++i) {
            if (!add_entry(s, ++recno, buffer.data() + i * line_size, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 1;
            }
        }
        if (got < 8192) break;
    }
    std::fclose(in);
    if (!end_input(s, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    std::FILE* out = std::fopen(out_path, "wb");
    if (!out) return 1;
    std::size_t filled = 0;
    const std::uint8_t* key = nullptr;
    while (next_entry(s, recno, key, error)) {
        std::memcpy(buffer.data() + filled, key, key_size);
        buffer[filled + key_size] = '\n';
        filled += line_size;
        if (filled == buffer.size()) {
            std::fwrite(buffer.data(), 1, filled, out);
            filled = 0;
        }
    }
    std::fwrite(buffer.data(), 1, filled, out);
    end_sort(s);
    if (!error.empty()) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return std::fclose(out) == 0 ? 0 : 1;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "make") == 0) {
        return make(argv[2], std::strtoull(argv[3], nullptr, 10),
                    argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 20,
                    argc > 5 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)) : 1);
    }
    if (argc >= 5 && std::strcmp(argv[1], "sort") == 0) {
        const std::size_t key_size = argc > 5 ? std::strtoul(argv[5], nullptr, 10) : 20;
        if (key_size < 1 || key_size > 250) return usage();
        return sort_file(argv[2], argv[3], std::strtoul(argv[4], nullptr, 10) << 20, key_size);
    }
    return usage();
}
