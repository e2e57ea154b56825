#include "report.h"

#include "platform.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {

// Large enough for a page's worth of item lines in one write; small next to
// the memory a deep walk may use.
constexpr std::size_t buffer_size = 64 * 1024;
char buffer[buffer_size];
std::size_t used = 0;
bool write_failed = false;
int interactive = -1;  // unknown until the first line ends

void flush() {
    if (used > 0 && !write_failed) write_failed = !write_stdout(buffer, used);
    used = 0;
}

// Room for `n` more bytes; n <= buffer_size.
char* room(std::size_t n) {
    if (buffer_size - used < n) flush();
    return buffer + used;
}

}  // namespace

void put_text(std::string_view text) {
    while (!text.empty()) {
        if (used == buffer_size) flush();
        const std::size_t n = std::min(text.size(), buffer_size - used);
        std::memcpy(buffer + used, text.data(), n);
        used += n;
        text.remove_prefix(n);
    }
}

void put_dec(std::int64_t value, int width) {
    char digits[24];
    char* end = digits + sizeof digits;
    char* p = end;
    // Work on the magnitude as unsigned, so the most negative value is safe.
    std::uint64_t mag = value < 0 ? 0 - static_cast<std::uint64_t>(value)
                                  : static_cast<std::uint64_t>(value);
    do {
        *--p = static_cast<char>('0' + mag % 10);
        mag /= 10;
    } while (mag != 0);
    if (value < 0) *--p = '-';
    const auto len = static_cast<std::size_t>(end - p);
    const std::size_t pad = width > 0 && static_cast<std::size_t>(width) > len
                                ? static_cast<std::size_t>(width) - len
                                : 0;
    char* out = room(pad + len);
    std::memset(out, ' ', pad);
    std::memcpy(out + pad, p, len);
    used += pad + len;
}

void put_hex(std::uint32_t value) {
    char digits[8];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = "0123456789abcdef"[value & 0xf];
        value >>= 4;
    } while (value != 0);
    const auto len = static_cast<std::size_t>(end - p);
    std::memcpy(room(len), p, len);
    used += len;
}

void end_line() {
    *room(1) = '\n';
    ++used;
    if (interactive < 0) interactive = stdout_is_terminal() ? 1 : 0;
    if (interactive) flush();
}

void end_run(int status) {
    flush();
    if (write_failed && status == 0) status = 1;
    end_process(status);
}

void fail() {
    end_line();
    end_run(1);
}
