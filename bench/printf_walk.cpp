// printf_walk: the reference the benchmark measures quarnel against. It
// prints the same report for a well-formed index, written the plain way:
// the same unbuffered reading (a seek and one 1024-byte read for every
// page) and one printf for every line. It trusts the tree's shape (no loop,
// depth or visit checks).
#include "ntx_layout.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#ifndef O_BINARY
#define O_BINARY 0
#endif

namespace {

int index_file = -1;

void walk(std::uint32_t ref) {
    std::printf("view_page\n");
    ntx::IndexPage page;
    if (lseek(index_file, static_cast<off_t>(ref), SEEK_SET) < 0 ||
        read(index_file, page.bytes.data(), page.bytes.size()) !=
            static_cast<long>(page.bytes.size())) {
        std::printf("Error reading page %lxh\n", static_cast<unsigned long>(ref));
        std::exit(1);
    }
    const std::size_t count = ntx::item_count(page);
    std::printf("items: %i\n", static_cast<int>(count));
    for (std::size_t j = 0; j < count; ++j) {
        const auto item = ntx::decode_item(page, j);
        if (!item) std::exit(1);
        if (item->child != 0) walk(item->child);
        std::printf("%7i recno: %3i Key: %.*s\n", static_cast<int>(j), item->recno,
                    static_cast<int>(item->key.size()), item->key.data());
    }
    const auto last = ntx::decode_child(page, count);
    if (!last) std::exit(1);
    if (*last != 0) walk(*last);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::printf("Use: printf_walk arquivo.ntx\n");
        return 1;
    }
    index_file = open(argv[1], O_RDONLY | O_BINARY);
    std::array<std::uint8_t, ntx::header_size> bytes;
    if (index_file < 0 ||
        read(index_file, bytes.data(), bytes.size()) != static_cast<long>(bytes.size())) {
        std::printf("Error reading header of %s\n", argv[1]);
        return 1;
    }
    const ntx::IndexHeader h = *ntx::decode_header(bytes);
    std::printf("***** NTX header *****\n");
    std::printf("Signature %xh\n", unsigned{h.signature});
    std::printf("Version %xh\n", unsigned{h.version});
    std::printf("Root %lxh\n", static_cast<unsigned long>(h.root));
    std::printf("Next page %xh\n", static_cast<unsigned>(h.next_page));
    std::printf("Item size %xh\n", unsigned{h.item_size});
    std::printf("Key size %xh\n", unsigned{h.key_size});
    std::printf("Key decimals %xh\n", unsigned{h.key_decimals});
    std::printf("Max item %xh\n", unsigned{h.max_item});
    std::printf("Key expr: '%.*s'\n", static_cast<int>(h.key_expr.size()), h.key_expr.data());
    std::printf("Unique: %d\n", int{h.unique});
    walk(h.root);
    return close(index_file) == 0 ? 0 : -1;
}
