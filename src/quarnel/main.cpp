// quarnel: prints the header of an NTX index file and walks its pages.
#include "ntx_layout.h"
#include "platform.h"
#include "report.h"
#include "view_page.h"

#include <array>
#include <cstdint>

namespace {

// Kept for the whole run; the key expression points into its bytes.
std::array<std::uint8_t, ntx::header_size> header_bytes;
ntx::IndexHeader header;

void put_hex_line(std::string_view label, std::uint32_t value) {
    put_text(label);
    put_hex(value);
    put_text("h");
    end_line();
}

void print_header() {
    put_text("***** NTX header *****");
    end_line();
    put_hex_line("Signature ", header.signature);
    put_hex_line("Version ", header.version);
    put_hex_line("Root ", header.root);
    put_hex_line("Next page ", header.next_page);
    put_hex_line("Item size ", header.item_size);
    put_hex_line("Key size ", header.key_size);
    put_hex_line("Key decimals ", header.key_decimals);
    put_hex_line("Max item ", header.max_item);
    put_text("Key expr: '");
    put_stored_text(header.key_expr);
    put_text("'");
    end_line();
    put_text("Unique: ");
    put_dec(header.unique);
    end_line();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        put_text("Use: quarnel arquivo.ntx");
        fail();
    }
    const char* path = argv[1];
    if (!open_index(path)) {
        put_text("Open error: ");
        put_stored_text(path);  // a file name may hold control bytes too
        fail();
    }
    if (read_index(0, header_bytes.data(), header_bytes.size()) != header_bytes.size()) {
        put_text("Error reading header of ");
        put_stored_text(path);
        fail();
    }
    header = *ntx::decode_header(header_bytes);
    print_header();
    view_page(header.root);
    end_run(close_index());
}
