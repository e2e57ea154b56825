// Fuzz entry for key expressions: the input is an expression's text, then a
// zero byte, then the bytes of one record (as many as the input has, so a
// record shorter than its fields is tried too). The text is compiled against
// a fixed table with a field of every type; when it compiles, keys of a few
// sizes and the FOR value are made twice each and must come out the same
// (a key that is copied, once copied and once run).
#include "key_expr.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

namespace {

std::vector<dbf::Field> table() {
    std::vector<dbf::Field> f = {{.name = "NAME", .type = 'C', .length = 10},
                                 {.name = "PRICE", .type = 'N', .length = 8, .decimals = 2},
                                 {.name = "DAY", .type = 'D', .length = 8},
                                 {.name = "OK", .type = 'L', .length = 1},
                                 {.name = "NOTES", .type = 'M', .length = 10},
                                 {.name = "BIG", .type = 'N', .length = 19},
                                 {.name = "RATE", .type = 'F', .length = 6, .decimals = 3},
                                 {.name = "CODE", .type = 'C', .length = 3},
                                 {.name = "ODD", .type = 'X', .length = 2},
                                 {.name = "DESCRICAOO", .type = 'C', .length = 300}};
    std::size_t at = 1;
    for (dbf::Field& x : f) {
        x.offset = at;
        at += x.length;
    }
    return f;
}

const std::vector<dbf::Field> fields = table();

[[noreturn]] void fault(const char* what) {
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto* end = static_cast<const std::uint8_t*>(std::memchr(data, 0, size));
    const std::size_t text_size = end ? static_cast<std::size_t>(end - data) : size;
    const std::string_view text(reinterpret_cast<const char*>(data), text_size);
    // The record on the heap at its exact size, so any read past it is seen.
    const std::vector<std::uint8_t> record(end ? end + 1 : data + size, data + size);

    expr::Compiled c = expr::compile(text, fields);
    if (!c.error.empty()) {
        if (!c.app_function.empty() || !c.program.code.empty()) fault("an error with a program");
        return 0;
    }
    if (c.program.values.empty()) fault("compiled to nothing");
    for (const std::size_t key_size : {std::size_t{1}, std::size_t{12}, std::size_t{300}}) {
        for (const unsigned decimals : {0u, 2u, 400u}) {
            std::vector<std::uint8_t> a(key_size, 0xAA), b(key_size, 0x55);
            // A key that is copied is made the second time by the
            // instructions, which must agree.
            const bool copied = c.program.direct;
            expr::make_key(c.program, record, 3, a, decimals);
            c.program.direct = false;
            expr::make_key(c.program, record, 3, b, decimals);
            c.program.direct = copied;
            if (a != b) fault(copied ? "a copied key differs from the one run"
                                     : "two keys of one record differ");
        }
    }
    if (expr::holds(c.program, record, 1) != expr::holds(c.program, record, 1))
        fault("two values of one condition differ");
    return 0;
}
