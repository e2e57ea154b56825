// Exact numbers and their arithmetic, inline here as the evaluator runs it
// for every record; reading, rounding and the text forms are in
// expr_number.cpp.
#pragma once

#include "key_expr.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>

namespace expr::detail {

inline constexpr int max_scale = 18;
inline constexpr std::array<std::int64_t, 19> pow10 = [] {
    std::array<std::int64_t, 19> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
}();

inline double pow10_double(int k) {
    static constexpr std::array<double, 23> exact = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (k >= 0 && k < static_cast<int>(exact.size())) return exact[static_cast<std::size_t>(k)];
    return std::pow(10.0, k);
}

inline Number exact(std::int64_t m, int scale) {
    Number n;
    n.mantissa = m;
    n.scale = static_cast<std::int8_t>(scale);
    return n;
}

// A double as a Number: exact when it is an integer a double holds exactly.
inline Number from_double(double d) {
    constexpr double limit = 9007199254740992.0;  // 2^53
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < limit)
        return exact(static_cast<std::int64_t>(d), 0);
    Number n;
    n.exact = false;
    n.approx = d;
    return n;
}

inline double to_double(const Number& n) {
    return n.exact ? static_cast<double>(n.mantissa) / pow10_double(n.scale) : n.approx;
}

inline bool is_zero(const Number& n) { return n.exact ? n.mantissa == 0 : n.approx == 0; }

// m * 10^k, false on overflow.
inline bool scale_up(std::int64_t m, int k, std::int64_t& out) {
    return !__builtin_mul_overflow(m, pow10[static_cast<std::size_t>(k)], &out);
}

// Both exact numbers at their common scale; false on overflow.
inline bool align(const Number& a, const Number& b, std::int64_t& x, std::int64_t& y, int& scale) {
    scale = std::max(a.scale, b.scale);
    return scale_up(a.mantissa, scale - a.scale, x) && scale_up(b.mantissa, scale - b.scale, y);
}

inline Number add(const Number& a, const Number& b) {
    std::int64_t x, y, r;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s) && !__builtin_add_overflow(x, y, &r))
        return exact(r, s);
    return from_double(to_double(a) + to_double(b));
}

inline Number sub(const Number& a, const Number& b) {
    std::int64_t x, y, r;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s) && !__builtin_sub_overflow(x, y, &r))
        return exact(r, s);
    return from_double(to_double(a) - to_double(b));
}

inline Number mul(const Number& a, const Number& b) {
    std::int64_t r;
    if (a.exact && b.exact && !__builtin_mul_overflow(a.mantissa, b.mantissa, &r)) {
        int s = a.scale + b.scale;
        while (s > max_scale && r % 10 == 0) {
            r /= 10;
            --s;
        }
        if (s <= max_scale) return exact(r, s);
    }
    return from_double(to_double(a) * to_double(b));
}

// Division by zero gives 0. A quotient that ends within six decimals beyond
// the operands' stays exact.
inline Number div(const Number& a, const Number& b) {
    if (is_zero(b)) return exact(0, 0);
    std::int64_t x, y;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s)) {
        for (int t = 0; t <= 6; ++t) {
            std::int64_t n;
            if (!scale_up(x, t, n)) break;
            if (y == -1 && n == std::numeric_limits<std::int64_t>::min()) break;
            if (n % y == 0) return exact(n / y, t);
        }
    }
    return from_double(to_double(a) / to_double(b));
}

// The remainder with the dividend's sign, as fmod; 0 for a zero divisor.
inline Number mod(const Number& a, const Number& b) {
    if (is_zero(b)) return exact(0, 0);
    std::int64_t x, y;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s)) return exact(y == -1 ? 0 : x % y, s);
    return from_double(std::fmod(to_double(a), to_double(b)));
}

inline Number neg(const Number& a) {
    if (a.exact && a.mantissa != std::numeric_limits<std::int64_t>::min())
        return exact(-a.mantissa, a.scale);
    return from_double(-to_double(a));
}

inline Number abs(const Number& a) {
    return (a.exact ? a.mantissa < 0 : a.approx < 0) ? neg(a) : a;
}

inline Number int_part(const Number& a) {
    if (a.exact) return exact(a.mantissa / pow10[static_cast<std::size_t>(a.scale)], 0);
    return from_double(std::trunc(a.approx));
}

double round_double(double x, int decimals);
Number round(const Number& a, std::int64_t decimals);

inline int compare(const Number& a, const Number& b) {
    std::int64_t x, y;
    int s;
    if (!(a.exact && b.exact && align(a, b, x, y, s))) {
        const double u = to_double(a), v = to_double(b);
        return u < v ? -1 : u > v ? 1 : 0;
    }
    return x < y ? -1 : x > y ? 1 : 0;
}

// The integer part, clamped far inside int64; 0 for NaN.
inline std::int64_t to_count(const Number& n) {
    if (n.exact) return n.mantissa / pow10[static_cast<std::size_t>(n.scale)];
    if (std::isnan(n.approx)) return 0;
    constexpr double limit = 4611686018427387904.0;  // 2^62
    return static_cast<std::int64_t>(std::trunc(std::clamp(n.approx, -limit, limit)));
}

inline bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

Number parse_number(const std::uint8_t* s, std::size_t n);

// Writes the digits of q, at least `min_digits` of them, ending at `end`;
// returns where they start. Two digits a step: a key's number is most of
// what its evaluation costs.
inline std::uint8_t* put_digits(std::uint64_t q, int min_digits, std::uint8_t* end) {
    static constexpr char pairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    std::uint8_t* p = end;
    while (q >= 100) {
        p -= 2;
        std::memcpy(p, pairs + 2 * (q % 100), 2);
        q /= 100;
    }
    if (q >= 10) {
        p -= 2;
        std::memcpy(p, pairs + 2 * q, 2);
    } else {
        *--p = static_cast<std::uint8_t>('0' + q);
    }
    while (end - p < min_digits) *--p = '0';
    return p;
}

enum class Form : bool { text, key };

void put_number(const Number& n, int decimals, std::span<std::uint8_t> out, Form form);

}  // namespace expr::detail
