// Numbers read from text, rounded, and written as STR and a key write them.
#include "expr_number.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace expr::detail {

namespace {

void stars(std::span<std::uint8_t> out) { std::memset(out.data(), '*', out.size()); }

// A key's number: its leading spaces and minus sign written as 0, and when
// negative every digit d as 5Ch - d ('0' as ','); asterisks stay.
void as_key(std::span<std::uint8_t> out) {
    if (out.empty() || out[0] == '*') return;
    bool negative = false;
    for (std::uint8_t& c : out) {
        negative = negative || c == '-';
        if (c == ' ' || c == '-') c = '0';
    }
    if (negative)
        for (std::uint8_t& c : out)
            if (is_digit(c)) c = static_cast<std::uint8_t>(0x5c - c);
}

}  // namespace

// The language's rounding of a double: a half away from zero, with the
// double's own error allowed for, so that 2.675 (2.67499...) gives 2.68.
double round_double(double x, int decimals) {
    if (x == 0 || !std::isfinite(x)) return x;
    const double p = pow10_double(std::abs(decimals));
    double c = decimals >= 0 ? x * p * 10 : x / p * 10;
    c += x < 0 ? -5.0 : 5.0;
    c /= 10;
    c *= 1.0000000000000002;
    const double i = std::trunc(c);
    return decimals >= 0 ? i / p : i * p;
}

Number round(const Number& a, std::int64_t decimals) {
    const int d = static_cast<int>(std::clamp<std::int64_t>(decimals, -300, 300));
    if (a.exact) {
        if (d >= a.scale) return a;
        const int k = a.scale - d;  // digits dropped
        if (k <= max_scale) {
            const std::int64_t p = pow10[static_cast<std::size_t>(k)];
            std::int64_t q = a.mantissa / p;
            const std::int64_t r = a.mantissa % p;
            if (r >= p - r) ++q;
            if (-r >= p + r) --q;
            if (d >= 0) return exact(q, d);
            std::int64_t up;
            if (scale_up(q, -d, up)) return exact(up, 0);
        }
    }
    return from_double(round_double(to_double(a), d));
}

// The leading number of a text, as VAL reads it and a numeric field holds
// it: spaces, a sign, digits, a point, digits; nothing of that is 0.
Number parse_number(const std::uint8_t* s, std::size_t n) {
    const std::uint8_t* p = s;
    const std::uint8_t* const end = s + n;
    while (p != end && *p == ' ') ++p;
    const std::uint8_t* const start = p;
    bool negative = false;
    if (p != end && (*p == '-' || *p == '+')) negative = *p++ == '-';
    // Up to 19 digits cannot wrap 64 unsigned bits; more are not used.
    std::uint64_t m = 0;
    const std::uint8_t* const whole = p;
    for (unsigned d; p != end && (d = *p - unsigned{'0'}) <= 9; ++p) m = m * 10 + d;
    long digits = p - whole, scale = 0;
    if (p != end && *p == '.') {
        const std::uint8_t* const fraction = ++p;
        for (unsigned d; p != end && (d = *p - unsigned{'0'}) <= 9; ++p) m = m * 10 + d;
        scale = p - fraction;
        digits += scale;
    }
    constexpr auto limit = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (digits <= 19 && m <= limit && scale <= max_scale) {
        const auto v = static_cast<std::int64_t>(m);
        return exact(negative ? -v : v, static_cast<int>(scale));
    }
    // More than 64 bits hold: the nearest double, read without the locale's
    // say and without a '+', which from_chars does not take.
    const char* first = reinterpret_cast<const char*>(*start == '+' ? start + 1 : start);
    double d = 0;
    const auto r = std::from_chars(first, reinterpret_cast<const char*>(p), d,
                                   std::chars_format::fixed);
    if (r.ec == std::errc::result_out_of_range)
        d = negative ? -std::numeric_limits<double>::infinity()
                     : std::numeric_limits<double>::infinity();
    return from_double(d);
}

// STR's text, or a key's form of it written at once (the fill, the sign and
// the complemented digits), as the evaluation of most numeric keys ends.
void put_number(const Number& n, int decimals, std::span<std::uint8_t> out, Form form) {
    if (out.size() > max_string) {  // wider than any text value: the last max_string bytes
        std::memset(out.data(), form == Form::key ? '0' : ' ', out.size() - max_string);
        out = out.last(max_string);
    }
    const auto width = static_cast<int>(out.size());
    if (width == 0) return;
    int dec = std::max(decimals, 0);
    if (dec > width - 2) dec = std::max(width - 2, 0);

    std::uint64_t q;  // the value rounded, as q / 10^e, then dec - e zeros
    int e;
    bool negative;
    if (n.exact) {
        negative = n.mantissa < 0;
        const std::uint64_t u = negative ? 0 - static_cast<std::uint64_t>(n.mantissa)
                                         : static_cast<std::uint64_t>(n.mantissa);
        if (n.scale > dec) {
            const auto p =
                static_cast<std::uint64_t>(pow10[static_cast<std::size_t>(n.scale - dec)]);
            q = u / p;
            if (u % p >= p - u % p) ++q;  // a half away from zero
            e = dec;
        } else {
            q = u;
            e = n.scale;
        }
    } else {
        const double x = n.approx;
        if (!std::isfinite(x)) return stars(out);
        negative = x < 0;
        const double t = std::fabs(x) * pow10_double(dec);
        if (t < 9e18 && dec <= max_scale) {
            q = static_cast<std::uint64_t>(std::fabs(round_double(t, 0)));
            e = dec;
        } else {
            // Too wide for 64 bits; whatever fits the width is written whole.
            char* const first = reinterpret_cast<char*>(out.data());
            const auto r = std::to_chars(first, first + width, x, std::chars_format::fixed, dec);
            if (r.ec != std::errc()) return stars(out);
            const auto len = static_cast<std::size_t>(r.ptr - first);
            const std::size_t pad = static_cast<std::size_t>(width) - len;
            std::memmove(out.data() + pad, out.data(), len);
            std::memset(out.data(), ' ', pad);
            if (form == Form::key) as_key(out);
            return;
        }
    }
    negative = negative && q != 0;
    std::uint8_t digits[24];
    std::uint8_t* const end = digits + sizeof digits;
    const std::uint8_t* const first = put_digits(q, e + 1, end);
    const int whole = static_cast<int>(end - first) - e;
    const int total = (negative ? 1 : 0) + whole + (dec > 0 ? 1 + dec : 0);
    if (total > width) return stars(out);
    // Written right to left: the zeros past q's decimals, its decimals, the
    // point, its whole digits, the sign, the fill. A key's negative number
    // has every digit, its sign and its fill as 5Ch - digit.
    const bool complement = form == Form::key && negative;
    const auto digit = [complement](std::uint8_t c) {
        return complement ? static_cast<std::uint8_t>(0x5c - c) : c;
    };
    std::uint8_t* d = out.data() + width;
    for (int k = e; k < dec; ++k) *--d = digit('0');
    const std::uint8_t* c = end;
    if (dec > 0) {
        for (int k = 0; k < e; ++k) *--d = digit(*--c);
        *--d = '.';
    }
    while (c != first) *--d = digit(*--c);
    if (negative) *--d = form == Form::key ? digit('0') : '-';
    const std::uint8_t fill = form == Form::key ? digit('0') : ' ';
    while (d != out.data()) *--d = fill;
}

}  // namespace expr::detail

namespace expr {

void format_number(const Number& n, int decimals, std::span<std::uint8_t> out) {
    detail::put_number(n, decimals, out, detail::Form::text);
}

}  // namespace expr
