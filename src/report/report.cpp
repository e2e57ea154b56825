#include "report.h"

#include "platform.h"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstring>
#include <string>

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

bool on_terminal() {
    if (interactive < 0) [[unlikely]]
        interactive = stdout_is_terminal() ? 1 : 0;
    return interactive != 0;
}

// Called after each newline: a terminal sees every line as it ends.
void line_ended() {
    if (on_terminal()) flush();
}

// Bytes a terminal or console would obey rather than show: the C0 controls
// and DEL. Bytes from 0x80 up are letters of the file's code page.
bool is_control(char c) {
    const auto b = static_cast<unsigned char>(c);
    return b < 0x20 || b == 0x7f;
}

bool has_control(std::string_view text) {
    for (const char c : text)
        if (is_control(c)) return true;
    return false;
}

// "00" to "99", so decimal digits come out two per division.
constexpr char digit_pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr std::uint32_t powers_of_ten[] = {1,      10,      100,      1000,      10000,
                                           100000, 1000000, 10000000, 100000000, 1000000000};

std::size_t decimal_digits(std::uint32_t mag) {
    mag |= 1;  // 0 has one digit, as 1 has
    // log10 from log2 (1233/4096 is just below log10 2), then one correction.
    const auto guess = static_cast<std::size_t>(std::bit_width(mag)) * 1233 >> 12;
    return guess + (mag >= powers_of_ten[guess] ? 1 : 0);
}

// A 32-bit magnitude, with a minus sign when `negative`, right-aligned in
// at least `Width` characters at `out`; returns the end. Needs room for
// Width or 11 characters, whichever is more.
template <std::size_t Width>
char* format_dec32(char* out, std::uint32_t mag, bool negative) {
    static_assert(Width <= 11);
    // Spaces first; the digits then overwrite as many as they need.
    std::memcpy(out, "           ", Width);
    const std::size_t len = decimal_digits(mag) + (negative ? 1 : 0);
    char* const end = out + (len > Width ? len : Width);
    char* p = end;
    while (mag >= 100) {
        p -= 2;
        std::memcpy(p, digit_pairs + mag % 100 * 2, 2);
        mag /= 100;
    }
    if (mag >= 10) {
        p -= 2;
        std::memcpy(p, digit_pairs + mag * 2, 2);
    } else {
        *--p = static_cast<char>('0' + mag);
    }
    if (negative) *--p = '-';
    return end;
}

template <std::size_t N>
char* copy_literal(char* out, const char (&text)[N]) {
    std::memcpy(out, text, N - 1);
    return out + N - 1;
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

namespace {

// Caret notation, as cat -v and less show them: ESC as ^[, DEL as ^?.
// `put` takes each run of text as it is to go out.
template <typename Put>
void put_carets(std::string_view text, Put put) {
    while (!text.empty()) {
        std::size_t n = 0;
        while (n < text.size() && !is_control(text[n])) ++n;
        put(text.substr(0, n));
        if (n == text.size()) break;
        const char caret[] = {'^', static_cast<char>(text[n] ^ 0x40)};
        put(std::string_view{caret, sizeof caret});
        text.remove_prefix(n + 1);
    }
}

}  // namespace

void put_stored_text(std::string_view text) {
    if (on_terminal())
        put_shown_text(text);
    else
        put_text(text);
}

void put_shown_text(std::string_view text) { put_carets(text, put_text); }

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
    line_ended();
}

void put_item_line(std::uint32_t j, std::int32_t recno, std::string_view key) {
    // Both numbers at their widest, the two labels and the newline.
    constexpr std::size_t fixed = 11 + 8 + 11 + 6 + 1;
    // Copied straight in, unless too long for the buffer or, on a
    // terminal, holding bytes it must not be sent as they are.
    const bool terminal = on_terminal();
    const bool in_place =
        key.size() <= buffer_size - fixed && !(terminal && has_control(key));
    char* out = room(in_place ? fixed + key.size() : fixed);
    out = format_dec32<7>(out, j, false);
    out = copy_literal(out, " recno: ");
    const auto mag = static_cast<std::uint32_t>(recno);
    out = format_dec32<3>(out, recno < 0 ? 0 - mag : mag, recno < 0);
    out = copy_literal(out, " Key: ");
    if (in_place) {
        std::memcpy(out, key.data(), key.size());
        out[key.size()] = '\n';
        used = static_cast<std::size_t>(out + key.size() + 1 - buffer);
        if (terminal) flush();  // as line_ended does, without asking again
    } else {
        used = static_cast<std::size_t>(out - buffer);
        put_stored_text(key);
        end_line();
    }
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

bool flush_report() {
    flush();
    return !write_failed;
}

void end_with_error(std::string_view text, std::string_view path, std::string_view rest,
                    int status) {
    flush();
    std::string line(text);
    if (stderr_is_terminal())
        put_carets(path, [&line](std::string_view run) { line += run; });
    else
        line += path;
    line += rest;
    line += '\n';
    write_stderr(line.data(), line.size());
    end_process(status);
}
