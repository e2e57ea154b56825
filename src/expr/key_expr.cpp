// Compiler and evaluator of key expressions. The compiler is a recursive
// descent parser that emits instructions as it goes, operands first; the
// evaluator runs them in order, each writing its own value slot.
#include "key_expr.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace expr {

enum class Op : std::uint8_t {
    // leaves
    field_text, field_number, field_date, field_logical, field_dtos, recno, deleted,
    // text
    concat, concat_trim, upper, lower, rtrim, ltrim, alltrim, left, right, substr, pad,
    str, str_fixed, dtos, space, replicate, chr, descend_text, iif, strtran,
    // numbers
    add, sub, mul, div, mod, pow, neg, abs, int_, round, max, min,
    val, len, asc, at, year, month, day, dow, date_diff, descend_date,
    // dates
    date_add, date_max, date_min, stod,
    // logicals
    and_, or_, not_, cmp_text, cmp_number, cmp_date, cmp_logical, contains,
    empty_text, empty_number, empty_date,
};

namespace {

// ---------------------------------------------------------------- numbers

constexpr int max_scale = 18;
constexpr std::array<std::int64_t, 19> pow10 = [] {
    std::array<std::int64_t, 19> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
}();

double pow10_double(int k) {
    static constexpr std::array<double, 23> exact = {
        1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    if (k >= 0 && k < static_cast<int>(exact.size())) return exact[static_cast<std::size_t>(k)];
    return std::pow(10.0, k);
}

Number exact(std::int64_t m, int scale) {
    Number n;
    n.mantissa = m;
    n.scale = static_cast<std::int8_t>(scale);
    return n;
}

// A double as a Number: exact when it is an integer a double holds exactly.
Number from_double(double d) {
    constexpr double limit = 9007199254740992.0;  // 2^53
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < limit)
        return exact(static_cast<std::int64_t>(d), 0);
    Number n;
    n.exact = false;
    n.approx = d;
    return n;
}

double to_double(const Number& n) {
    return n.exact ? static_cast<double>(n.mantissa) / pow10_double(n.scale) : n.approx;
}

bool is_zero(const Number& n) { return n.exact ? n.mantissa == 0 : n.approx == 0; }

// m * 10^k, false on overflow.
bool scale_up(std::int64_t m, int k, std::int64_t& out) {
    return !__builtin_mul_overflow(m, pow10[static_cast<std::size_t>(k)], &out);
}

// Both exact numbers at their common scale; false on overflow.
bool align(const Number& a, const Number& b, std::int64_t& x, std::int64_t& y, int& scale) {
    scale = std::max(a.scale, b.scale);
    return scale_up(a.mantissa, scale - a.scale, x) && scale_up(b.mantissa, scale - b.scale, y);
}

Number add(const Number& a, const Number& b) {
    std::int64_t x, y, r;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s) && !__builtin_add_overflow(x, y, &r))
        return exact(r, s);
    return from_double(to_double(a) + to_double(b));
}

Number sub(const Number& a, const Number& b) {
    std::int64_t x, y, r;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s) && !__builtin_sub_overflow(x, y, &r))
        return exact(r, s);
    return from_double(to_double(a) - to_double(b));
}

Number mul(const Number& a, const Number& b) {
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
Number div(const Number& a, const Number& b) {
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
Number mod(const Number& a, const Number& b) {
    if (is_zero(b)) return exact(0, 0);
    std::int64_t x, y;
    int s;
    if (a.exact && b.exact && align(a, b, x, y, s)) return exact(y == -1 ? 0 : x % y, s);
    return from_double(std::fmod(to_double(a), to_double(b)));
}

Number neg(const Number& a) {
    if (a.exact && a.mantissa != std::numeric_limits<std::int64_t>::min())
        return exact(-a.mantissa, a.scale);
    return from_double(-to_double(a));
}

Number abs(const Number& a) { return (a.exact ? a.mantissa < 0 : a.approx < 0) ? neg(a) : a; }

Number int_part(const Number& a) {
    if (a.exact) return exact(a.mantissa / pow10[static_cast<std::size_t>(a.scale)], 0);
    return from_double(std::trunc(a.approx));
}

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

int compare(const Number& a, const Number& b) {
    std::int64_t x, y;
    int s;
    if (!(a.exact && b.exact && align(a, b, x, y, s))) {
        const double u = to_double(a), v = to_double(b);
        return u < v ? -1 : u > v ? 1 : 0;
    }
    return x < y ? -1 : x > y ? 1 : 0;
}

// The integer part, clamped far inside int64; 0 for NaN.
std::int64_t to_count(const Number& n) {
    if (n.exact) return n.mantissa / pow10[static_cast<std::size_t>(n.scale)];
    if (std::isnan(n.approx)) return 0;
    constexpr double limit = 4611686018427387904.0;  // 2^62
    return static_cast<std::int64_t>(std::trunc(std::clamp(n.approx, -limit, limit)));
}

bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

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

// Writes the digits of q, at least `min_digits` of them, ending at `end`;
// returns where they start. Two digits a step: a key's number is most of
// what its evaluation costs.
std::uint8_t* put_digits(std::uint64_t q, int min_digits, std::uint8_t* end) {
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

void stars(std::span<std::uint8_t> out) { std::memset(out.data(), '*', out.size()); }

// ------------------------------------------------------------------ dates

// Days from 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    int year, month, day;
};

Civil civil_from_days(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t y = static_cast<std::int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<int>(y + (m <= 2)), static_cast<int>(m), static_cast<int>(d)};
}

constexpr std::int64_t julian_1970 = 2440588;

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Dates are held as the number YYYYMMDD, which orders as the dates do and
// writes as DTOS does; their Julian day is made only for arithmetic.
std::int32_t pack(int y, int m, int d) { return y * 10000 + m * 100 + d; }

// The Julian day of a date; 0 for the empty date.
std::int64_t julian(std::int32_t date) {
    if (date == 0) return 0;
    return days_from_civil(date / 10000, static_cast<unsigned>(date / 100 % 100),
                           static_cast<unsigned>(date % 100)) +
           julian_1970;
}

// YYYYMMDD as a date, 0 (the empty date) for anything else: a date of the
// calendar, years 0000 to 9999.
std::int32_t parse_date(const std::uint8_t* s, std::size_t n) {
    if (n < 8) return 0;
    int v = 0;
    for (int i = 0; i < 8; ++i) {
        const unsigned d = s[i] - unsigned{'0'};
        if (d > 9) return 0;
        v = v * 10 + static_cast<int>(d);
    }
    const int y = v / 10000, m = v / 100 % 100, d = v % 100;
    static constexpr int month_days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (m < 1 || m > 12 || d < 1 || d > month_days[m - 1] || (m == 2 && d == 29 && !leap(y)))
        return 0;
    return v;
}

// YYYYMMDD, or 8 spaces for the empty date.
void put_dtos(std::int32_t date, std::uint8_t* out) {
    if (date == 0) {
        std::memset(out, ' ', 8);
        return;
    }
    put_digits(static_cast<std::uint64_t>(date), 8, out + 8);
}

// A date n days on; the empty date stays empty, and one outside the
// calendar's years becomes empty.
std::int32_t add_days(std::int32_t date, std::int64_t n) {
    if (date == 0) return 0;
    static const std::int64_t first = julian(pack(0, 1, 1)), last = julian(pack(9999, 12, 31));
    const std::int64_t r = julian(date) + n;
    if (r < first || r > last) return 0;
    const Civil c = civil_from_days(r - julian_1970);
    return pack(c.year, c.month, c.day);
}

// ------------------------------------------------------------------- text

const std::uint8_t empty_text[1] = {0};
const std::uint8_t no_date[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};  // DTOS of the empty date

int compare_text(const Value& a, const Value& b, bool whole) {
    const std::size_t n = std::min(a.length, b.length);
    if (n != 0) {
        const int c = std::memcmp(a.text, b.text, n);
        if (c != 0) return c < 0 ? -1 : 1;
    }
    if (whole) return a.length < b.length ? -1 : a.length > b.length ? 1 : 0;
    return b.length > a.length ? -1 : 0;  // xBase =: the right side a prefix
}

// UPPER (from 'a') or LOWER (from 'A') of ASCII letters, eight bytes a
// step: in each byte below 80h, its low seven bits plus 80h - from reach the
// top bit when it is `from` or above, plus 80h - (from + 26) when it is past
// the letters, and neither sum carries into the next byte.
void change_case(const std::uint8_t* s, std::size_t n, std::uint8_t from, std::uint8_t* d) {
    constexpr std::uint64_t ones = 0x0101010101010101u, high = 0x8080808080808080u;
    const std::uint64_t to_first = ones * (0x80u - from), past_last = ones * (0x80u - from - 26);
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x;
        std::memcpy(&x, s + i, 8);
        const std::uint64_t low = x & ~high;
        const std::uint64_t letters = (low + to_first) & ~(low + past_last) & ~x & high;
        x ^= letters >> 2;  // 80h >> 2 is the case bit, 20h
        std::memcpy(d + i, &x, 8);
    }
    for (; i < n; ++i) {
        const std::uint8_t c = s[i];
        const auto letter = static_cast<std::uint8_t>(static_cast<std::uint8_t>(c - from) < 26);
        d[i] = static_cast<std::uint8_t>(c ^ (letter << 5));
    }
}

bool is_blank(std::uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where `needle` first occurs in `hay`, by Knuth-Morris-Pratt over a table of
// `entries` (never fewer than the needle's length); -1 when it does not (or
// is empty), so that a search takes time in proportion to the haystack.
long find(const Value& needle, const Value& hay, std::uint16_t* table, std::uint32_t entries) {
    const std::uint32_t m = needle.length;
    if (m == 0 || m > hay.length || m > entries) return -1;
    const std::uint8_t* p = needle.text;
    table[0] = 0;
    for (std::uint32_t i = 1, k = 0; i < m; ++i) {
        while (k > 0 && p[i] != p[k]) k = table[k - 1];
        if (p[i] == p[k]) ++k;
        table[i] = static_cast<std::uint16_t>(k);
    }
    for (std::uint32_t i = 0, k = 0; i < hay.length; ++i) {
        while (k > 0 && hay.text[i] != p[k]) k = table[k - 1];
        if (hay.text[i] == p[k] && ++k == m) return static_cast<long>(i + 1 - m);
    }
    return -1;
}

// ------------------------------------------------------------ compilation

// A value's type while compiling: `any` is what an application function
// gives, which fits wherever it stands.
enum class VT : std::uint8_t { character, numeric, date, logical, any };

const char* type_name(VT t) {
    switch (t) {
        case VT::character: return "character";
        case VT::numeric: return "numeric";
        case VT::date: return "date";
        case VT::logical: return "logical";
        case VT::any: break;
    }
    return "unknown";
}

enum class Fn : std::uint8_t {
    abs, alltrim, asc, at, chr, day, deleted, descend, dow, dtos, empty, iif, int_, left, len,
    lower, ltrim, max, min, month, padc, padl, padr, recno, replicate, right, round, rtrim,
    space, stod, str, strzero, substr, trim, upper, val, year, strtran,
};

struct FnInfo {
    const char* name;
    Fn fn;
    int min_args, max_args;
};

constexpr FnInfo functions[] = {
    {"ABS", Fn::abs, 1, 1},         {"ALLTRIM", Fn::alltrim, 1, 1}, {"ASC", Fn::asc, 1, 1},
    {"AT", Fn::at, 2, 2},           {"CHR", Fn::chr, 1, 1},         {"DAY", Fn::day, 1, 1},
    {"DELETED", Fn::deleted, 0, 0}, {"DESCEND", Fn::descend, 1, 1}, {"DOW", Fn::dow, 1, 1},
    {"DTOS", Fn::dtos, 1, 1},       {"EMPTY", Fn::empty, 1, 1},     {"IF", Fn::iif, 3, 3},
    {"IIF", Fn::iif, 3, 3},         {"INT", Fn::int_, 1, 1},        {"LEFT", Fn::left, 2, 2},
    {"LEN", Fn::len, 1, 1},         {"LOWER", Fn::lower, 1, 1},     {"LTRIM", Fn::ltrim, 1, 1},
    {"MAX", Fn::max, 2, 2},         {"MIN", Fn::min, 2, 2},         {"MONTH", Fn::month, 1, 1},
    {"PADC", Fn::padc, 2, 3},       {"PADL", Fn::padl, 2, 3},       {"PADR", Fn::padr, 2, 3},
    {"RECNO", Fn::recno, 0, 0},     {"REPLICATE", Fn::replicate, 2, 2},
    {"RIGHT", Fn::right, 2, 2},     {"ROUND", Fn::round, 2, 2},     {"RTRIM", Fn::rtrim, 1, 1},
    {"SPACE", Fn::space, 1, 1},     {"STOD", Fn::stod, 1, 1},       {"STR", Fn::str, 1, 3},
    {"STRZERO", Fn::strzero, 1, 3}, {"SUBSTR", Fn::substr, 2, 3},   {"TRIM", Fn::trim, 1, 1},
    {"UPPER", Fn::upper, 1, 1},     {"VAL", Fn::val, 1, 1},         {"YEAR", Fn::year, 1, 1},
    {"STRTRAN", Fn::strtran, 2, 5},
};

// The function a name calls: its whole name, or an abbreviation of four
// letters or more that only one name begins with.
const FnInfo* find_function(const std::string& name) {
    const FnInfo* found = nullptr;
    int candidates = 0;
    for (const FnInfo& f : functions) {
        const std::string_view full = f.name;
        if (full == name) return &f;
        if (name.size() >= 4 && full.substr(0, name.size()) == name) {
            found = &f;
            ++candidates;
        }
    }
    return candidates == 1 ? found : nullptr;
}

enum Relation : std::uint8_t { eq, whole_eq, ne, lt, le, gt, ge };
enum PadSide : std::uint8_t { pad_right, pad_left, pad_centre };
constexpr std::uint8_t with_fill = 4;       // pad: a fill character is given
constexpr std::uint8_t zero_filled = 1;     // str: STRZERO
constexpr std::uint8_t with_decimals = 2;   // str: decimals are given
constexpr std::uint8_t with_count = 1;      // substr: a count is given

enum class Tok : std::uint8_t {
    end, name, number, string, lparen, rparen, comma, arrow, plus, minus, star, slash,
    percent, power, relation, dollar, not_, and_, or_, true_, false_,
};

struct Token {
    Tok kind = Tok::end;
    std::size_t pos = 0, end = 0;  // 0-based, end one past the token
    std::string_view text;  // a name, a number, a string's contents
    Relation relation = eq;
};

struct Failure {
    std::string message;
};

[[noreturn]] void fail(std::string message) { throw Failure{std::move(message)}; }

std::string at_pos(std::size_t pos) { return " at " + std::to_string(pos + 1); }

std::string upper_ascii(std::string_view s) {
    std::string u(s);
    for (char& c : u)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return u;
}

bool equal_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && upper_ascii(a) == upper_ascii(b);
}

struct Lexer {
    std::string_view s;
    std::size_t pos = 0;
    Token tok;

    bool match_word(std::size_t from, std::string_view word) const {
        return s.size() - from >= word.size() && equal_nocase(s.substr(from, word.size()), word);
    }

    void advance() {
        scan();
        tok.end = pos;
    }

    void scan() {
        while (pos < s.size() && is_blank(static_cast<std::uint8_t>(s[pos]))) ++pos;
        tok = Token{};
        tok.pos = pos;
        if (pos == s.size()) return;
        const auto c = static_cast<std::uint8_t>(s[pos]);
        const auto next = [&](std::size_t k) {
            return pos + k < s.size() ? static_cast<std::uint8_t>(s[pos + k]) : std::uint8_t{0};
        };
        const auto one = [&](Tok k, std::size_t len) {
            tok.kind = k;
            pos += len;
        };
        const auto rel = [&](Relation r, std::size_t len) {
            tok.relation = r;
            one(Tok::relation, len);
        };
        const auto alpha = [](std::uint8_t x) {
            return (x >= 'A' && x <= 'Z') || (x >= 'a' && x <= 'z') || x == '_';
        };
        if (alpha(c)) {
            std::size_t e = pos + 1;
            while (e < s.size() && (alpha(static_cast<std::uint8_t>(s[e])) ||
                                    is_digit(static_cast<std::uint8_t>(s[e]))))
                ++e;
            tok.kind = Tok::name;
            tok.text = s.substr(pos, e - pos);
            pos = e;
            return;
        }
        if (is_digit(c) || (c == '.' && is_digit(next(1)))) {
            std::size_t e = pos;
            while (e < s.size() && is_digit(static_cast<std::uint8_t>(s[e]))) ++e;
            if (e < s.size() && s[e] == '.') {
                const std::uint8_t after =
                    e + 1 < s.size() ? static_cast<std::uint8_t>(s[e + 1]) : std::uint8_t{0};
                if (!alpha(after)) {  // "1.AND." leaves the point to the operator
                    ++e;
                    while (e < s.size() && is_digit(static_cast<std::uint8_t>(s[e]))) ++e;
                }
            }
            if (e - pos > 40) fail("number too long" + at_pos(pos));
            tok.kind = Tok::number;
            tok.text = s.substr(pos, e - pos);
            pos = e;
            return;
        }
        if (c == '\'' || c == '"' || c == '[') {
            const char close = c == '[' ? ']' : static_cast<char>(c);
            const std::size_t e = s.find(close, pos + 1);
            if (e == std::string_view::npos) fail("unterminated string" + at_pos(pos));
            tok.kind = Tok::string;
            tok.text = s.substr(pos + 1, e - pos - 1);
            pos = e + 1;
            return;
        }
        if (c == '.') {
            static constexpr struct {
                std::string_view word;
                Tok kind;
            } dotted[] = {{".T.", Tok::true_},  {".F.", Tok::false_}, {".Y.", Tok::true_},
                          {".N.", Tok::false_}, {".AND.", Tok::and_}, {".OR.", Tok::or_},
                          {".NOT.", Tok::not_}};
            for (const auto& d : dotted)
                if (match_word(pos, d.word)) return one(d.kind, d.word.size());
            fail("unexpected '.'" + at_pos(pos));
        }
        switch (c) {
            case '(': return one(Tok::lparen, 1);
            case ')': return one(Tok::rparen, 1);
            case ',': return one(Tok::comma, 1);
            case '+': return one(Tok::plus, 1);
            case '-': return next(1) == '>' ? one(Tok::arrow, 2) : one(Tok::minus, 1);
            case '*': return next(1) == '*' ? one(Tok::power, 2) : one(Tok::star, 1);
            case '/': return one(Tok::slash, 1);
            case '%': return one(Tok::percent, 1);
            case '^': return one(Tok::power, 1);
            case '$': return one(Tok::dollar, 1);
            case '#': return rel(ne, 1);
            case '=': return next(1) == '=' ? rel(whole_eq, 2) : rel(eq, 1);
            case '!': return next(1) == '=' ? rel(ne, 2) : one(Tok::not_, 1);
            case '<':
                if (next(1) == '>') return rel(ne, 2);
                return next(1) == '=' ? rel(le, 2) : rel(lt, 1);
            case '>': return next(1) == '=' ? rel(ge, 2) : rel(gt, 1);
            default: break;
        }
        if (c >= 0x21 && c < 0x7f)
            fail(std::string("unexpected character '") + static_cast<char>(c) + "'" + at_pos(pos));
        static constexpr char hex[] = "0123456789ABCDEF";
        fail(std::string("unexpected byte ") + hex[c >> 4] + hex[c & 15] + "h" + at_pos(pos));
    }
};

// What the compiler knows of a value slot.
struct Meta {
    VT type = VT::any;
    std::uint32_t max_length = 0;  // character: the longest it can be
    bool constant = false;
    int field_length = -1, field_decimals = 0;  // a numeric field's, for STR
};

struct Literal {
    std::uint32_t slot, offset;
    std::string_view bytes;  // in the text being compiled
};

struct Compiler {
    Lexer lex;
    std::span<const dbf::Field> fields;
    Program p;
    std::vector<Meta> meta;
    std::vector<Literal> literals;
    std::size_t text_used = 0, table_used = 0;
    int depth = 0;
    std::string app_function;

    std::uint32_t new_slot(VT type, std::uint32_t max_length = 0) {
        p.values.emplace_back();
        Meta m;
        m.type = type;
        m.max_length = max_length;
        meta.push_back(m);
        return static_cast<std::uint32_t>(p.values.size() - 1);
    }

    void budget(std::size_t more, std::size_t& used) {
        used += more;
        if (text_used + 2 * table_used > max_scratch)
            fail("expression needs more than " + std::to_string(max_scratch >> 10) +
                 " KiB of text buffers");
    }

    std::uint32_t text_buffer(std::uint32_t capacity) {
        const auto at = static_cast<std::uint32_t>(text_used);
        budget(capacity, text_used);
        return at;
    }

    // An instruction writing a new slot of `type`, with a text buffer of
    // `buffer` bytes when it needs one.
    std::uint32_t emit(Instr in, VT type, std::uint32_t max_length = 0,
                       std::uint32_t buffer = 0) {
        in.out = new_slot(type, max_length);
        if (buffer != 0) {
            in.buffer = text_buffer(buffer);
            in.capacity = buffer;
        }
        p.code.push_back(in);
        return in.out;
    }

    static Instr instr(Op op, std::uint32_t a = 0, std::uint32_t b = 0, std::uint32_t c = 0,
                       std::uint8_t sub = 0) {
        Instr in;
        in.op = op;
        in.a = a;
        in.b = b;
        in.c = c;
        in.sub = sub;
        return in;
    }

    std::uint32_t constant_number(const Number& n) {
        const std::uint32_t s = new_slot(VT::numeric);
        p.values[s].number = n;
        meta[s].constant = true;
        return s;
    }

    std::uint32_t constant_logical(bool b) {
        const std::uint32_t s = new_slot(VT::logical);
        p.values[s].truth = b;
        meta[s].constant = true;
        return s;
    }

    std::uint32_t constant_text(std::string_view t) {
        const auto len = static_cast<std::uint32_t>(t.size());
        const std::uint32_t s = new_slot(VT::character, len);
        meta[s].constant = true;
        literals.push_back({s, text_buffer(len), t});
        return s;
    }

    // A call of the application's: every member of its value stays empty.
    std::uint32_t unknown(const std::string& name, VT type) {
        if (app_function.empty()) app_function = name;
        const std::uint32_t s = new_slot(type);
        meta[s].constant = true;
        return s;
    }

    VT type(std::uint32_t s) const { return meta[s].type; }
    bool fits(std::uint32_t s, VT t) const { return type(s) == t || type(s) == VT::any; }
    std::uint32_t max_length(std::uint32_t s) const { return meta[s].max_length; }

    // The value of a numeric constant, for lengths known at compile time.
    bool constant_count(std::uint32_t s, std::int64_t& n) const {
        if (!meta[s].constant || type(s) != VT::numeric) return false;
        n = to_count(p.values[s].number);
        return true;
    }

    // ------------------------------------------------------------ grammar

    struct Nest {
        Compiler& c;
        explicit Nest(Compiler& cc) : c(cc) {
            if (++c.depth > max_depth)
                fail("expression nested too deeply (more than " + std::to_string(max_depth) +
                     " levels)");
        }
        ~Nest() { --c.depth; }
        Nest(const Nest&) = delete;
        Nest& operator=(const Nest&) = delete;
    };

    const Token& tok() const { return lex.tok; }
    void advance() { lex.advance(); }

    std::uint32_t parse_expr() {
        Nest n(*this);
        std::uint32_t left = parse_and();
        while (tok().kind == Tok::or_) {
            const std::size_t pos = tok().pos;
            advance();
            const std::uint32_t right = parse_and();
            need_logical(left, right, ".OR.", pos);
            left = emit(instr(Op::or_, left, right), VT::logical);
        }
        return left;
    }

    void need_logical(std::uint32_t a, std::uint32_t b, const char* op, std::size_t pos) const {
        if (!fits(a, VT::logical) || !fits(b, VT::logical))
            fail(std::string("type mismatch") + at_pos(pos) + ": " + type_name(type(a)) + " " +
                 op + " " + type_name(type(b)));
    }

    std::uint32_t parse_and() {
        std::uint32_t left = parse_not();
        while (tok().kind == Tok::and_) {
            const std::size_t pos = tok().pos;
            advance();
            const std::uint32_t right = parse_not();
            need_logical(left, right, ".AND.", pos);
            left = emit(instr(Op::and_, left, right), VT::logical);
        }
        return left;
    }

    std::uint32_t parse_not() {
        if (tok().kind != Tok::not_) return parse_relation();
        Nest n(*this);
        const std::size_t pos = tok().pos;
        advance();
        const std::uint32_t a = parse_not();
        if (!fits(a, VT::logical))
            fail(std::string("type mismatch") + at_pos(pos) + ": .NOT. " + type_name(type(a)));
        return emit(instr(Op::not_, a), VT::logical);
    }

    std::uint32_t parse_relation() {
        std::uint32_t left = parse_additive();
        while (tok().kind == Tok::relation || tok().kind == Tok::dollar) {
            const Token t = tok();
            advance();
            const std::uint32_t right = parse_additive();
            VT ta = type(left), tb = type(right);
            if (ta == VT::any) ta = tb;
            if (tb == VT::any) tb = ta;
            if (ta == VT::any) ta = tb = VT::character;
            const std::string op(lex.s.substr(t.pos, t.end - t.pos));
            if (ta != tb || (t.kind == Tok::dollar && ta != VT::character))
                fail(std::string("type mismatch") + at_pos(t.pos) + ": " +
                     type_name(type(left)) + " " + upper_ascii(op) + " " +
                     type_name(type(right)));
            if (t.kind == Tok::dollar) {
                left = search(Op::contains, left, right, VT::logical);
                continue;
            }
            static constexpr Op by_type[] = {Op::cmp_text, Op::cmp_number, Op::cmp_date,
                                             Op::cmp_logical};
            left = emit(instr(by_type[static_cast<int>(ta)], left, right, 0, t.relation),
                        VT::logical);
        }
        return left;
    }

    // $ and AT: a needle, a haystack and a table as long as the needle.
    std::uint32_t search(Op op, std::uint32_t needle, std::uint32_t hay, VT result) {
        Instr in = instr(op, needle, hay);
        in.capacity = std::max<std::uint32_t>(max_length(needle), 1);
        in.buffer = static_cast<std::uint32_t>(table_used);
        budget(in.capacity, table_used);
        return emit(in, result);
    }

    std::uint32_t concat(const std::vector<std::uint32_t>& parts) {
        Instr in = instr(Op::concat);
        in.first_arg = static_cast<std::uint32_t>(p.args.size());
        in.arg_count = static_cast<std::uint32_t>(parts.size());
        std::size_t total = 0;
        for (std::uint32_t s : parts) {
            p.args.push_back(s);
            total += max_length(s);
        }
        const auto cap = static_cast<std::uint32_t>(std::min(total, max_string));
        return emit(in, VT::character, cap, cap);
    }

    std::uint32_t parse_additive() {
        std::uint32_t left = parse_multiplicative();
        std::vector<std::uint32_t> parts;  // a run of text joined by +
        const auto flush = [&] {
            if (parts.size() > 1) left = concat(parts);
            parts.clear();
        };
        while (tok().kind == Tok::plus || tok().kind == Tok::minus) {
            const bool plus = tok().kind == Tok::plus;
            const std::size_t pos = tok().pos;
            advance();
            const std::uint32_t right = parse_multiplicative();
            const VT tl = parts.empty() ? type(left) : VT::character, tr = type(right);
            const bool text = (tl == VT::character && fits(right, VT::character)) ||
                              (tr == VT::character && tl == VT::any) ||
                              (tl == VT::any && tr == VT::any);
            if (plus && text) {
                if (parts.empty()) parts.push_back(left);
                parts.push_back(right);
                continue;
            }
            flush();
            left = arithmetic(plus, left, right, pos);
        }
        flush();
        return left;
    }

    std::uint32_t arithmetic(bool plus, std::uint32_t a, std::uint32_t b, std::size_t pos) {
        VT ta = type(a), tb = type(b);
        if (ta == VT::any) ta = tb == VT::date ? VT::numeric : tb == VT::any ? VT::character : tb;
        if (tb == VT::any) tb = ta == VT::date ? VT::numeric : ta;
        if (ta == VT::character && tb == VT::character) {
            // Only - reaches here: the left side's trailing spaces go last.
            const auto cap = static_cast<std::uint32_t>(
                std::min<std::size_t>(std::size_t{max_length(a)} + max_length(b), max_string));
            return emit(instr(Op::concat_trim, a, b), VT::character, cap, cap);
        }
        if (ta == VT::numeric && tb == VT::numeric)
            return emit(instr(plus ? Op::add : Op::sub, a, b), VT::numeric);
        if (ta == VT::date && tb == VT::numeric) {
            if (plus) return emit(instr(Op::date_add, a, b), VT::date);
            const std::uint32_t minus_b = emit(instr(Op::neg, b), VT::numeric);
            return emit(instr(Op::date_add, a, minus_b), VT::date);
        }
        if (plus && ta == VT::numeric && tb == VT::date)
            return emit(instr(Op::date_add, b, a), VT::date);
        if (!plus && ta == VT::date && tb == VT::date)
            return emit(instr(Op::date_diff, a, b), VT::numeric);
        fail(std::string("type mismatch") + at_pos(pos) + ": " + type_name(type(a)) +
             (plus ? " + " : " - ") + type_name(type(b)));
    }

    std::uint32_t parse_multiplicative() {
        std::uint32_t left = parse_power();
        while (tok().kind == Tok::star || tok().kind == Tok::slash || tok().kind == Tok::percent) {
            const Tok k = tok().kind;
            const std::size_t pos = tok().pos;
            advance();
            const std::uint32_t right = parse_power();
            const char* name = k == Tok::star ? " * " : k == Tok::slash ? " / " : " % ";
            left = numeric_binary(k == Tok::star ? Op::mul : k == Tok::slash ? Op::div : Op::mod,
                                  left, right, name, pos);
        }
        return left;
    }

    std::uint32_t numeric_binary(Op op, std::uint32_t a, std::uint32_t b, const char* name,
                                 std::size_t pos) {
        if (!fits(a, VT::numeric) || !fits(b, VT::numeric))
            fail(std::string("type mismatch") + at_pos(pos) + ": " + type_name(type(a)) + name +
                 type_name(type(b)));
        return emit(instr(op, a, b), VT::numeric);
    }

    std::uint32_t parse_power() {
        std::uint32_t left = parse_unary();
        while (tok().kind == Tok::power) {
            const std::size_t pos = tok().pos;
            advance();
            left = numeric_binary(Op::pow, left, parse_unary(), " ** ", pos);
        }
        return left;
    }

    std::uint32_t parse_unary() {
        if (tok().kind != Tok::minus && tok().kind != Tok::plus) return parse_primary();
        Nest n(*this);
        const bool minus = tok().kind == Tok::minus;
        const std::size_t pos = tok().pos;
        advance();
        const std::uint32_t a = parse_unary();
        if (!fits(a, VT::numeric))
            fail(std::string("type mismatch") + at_pos(pos) + ": " + (minus ? "-" : "+") +
                 type_name(type(a)));
        if (!minus) return a;
        if (meta[a].constant && type(a) == VT::numeric)
            return constant_number(neg(p.values[a].number));  // lengths like -1 stay known
        return emit(instr(Op::neg, a), VT::numeric);
    }

    void expect_close(std::size_t open) {
        if (tok().kind == Tok::rparen) {
            advance();
            return;
        }
        if (tok().kind == Tok::end) fail("unbalanced parenthesis" + at_pos(open));
        fail("expected ')'" + at_pos(tok().pos));
    }

    std::uint32_t parenthesised() {
        const std::size_t open = tok().pos;
        advance();
        const std::uint32_t e = parse_expr();
        expect_close(open);
        return e;
    }

    std::uint32_t parse_primary() {
        const Token t = tok();
        switch (t.kind) {
            case Tok::number:
                advance();
                return constant_number(parse_number(
                    reinterpret_cast<const std::uint8_t*>(t.text.data()), t.text.size()));
            case Tok::string: advance(); return constant_text(t.text);
            case Tok::true_: advance(); return constant_logical(true);
            case Tok::false_: advance(); return constant_logical(false);
            case Tok::lparen: return parenthesised();
            case Tok::name: break;
            case Tok::end: fail("expression ends where a value is expected" + at_pos(t.pos));
            case Tok::rparen: fail("unbalanced parenthesis" + at_pos(t.pos));
            default:
                fail("unexpected '" + std::string(lex.s.substr(t.pos, t.end - t.pos)) +
                     "' where a value is expected" + at_pos(t.pos));
        }
        advance();
        const std::string name = upper_ascii(t.text);
        if (tok().kind == Tok::lparen) return call(name, t.pos);
        if (tok().kind != Tok::arrow) return field(name);
        advance();  // an alias: FIELD->, M->, or the table's
        if (tok().kind == Tok::lparen) return parenthesised();
        if (tok().kind != Tok::name) fail("expected a field name after ->" + at_pos(tok().pos));
        const std::string target = upper_ascii(tok().text);
        advance();
        if (name == "M" || name == "MEMVAR") return unknown(name + "->" + target, VT::any);
        return field(target);
    }

    std::uint32_t field(const std::string& name) {
        const dbf::Field* f = nullptr;
        for (const dbf::Field& x : fields)
            if (equal_nocase(x.name, name)) {
                f = &x;
                break;
            }
        if (!f && name.size() > 10)  // ten letters of a name are read
            for (const dbf::Field& x : fields)
                if (x.name.size() == 10 &&
                    equal_nocase(x.name, std::string_view(name).substr(0, 10))) {
                    f = &x;
                    break;
                }
        if (!f) fail("unknown field " + name);
        const auto index = static_cast<std::uint32_t>(f - fields.data());
        if (std::find(p.fields_read.begin(), p.fields_read.end(), index) == p.fields_read.end())
            p.fields_read.push_back(index);
        Instr in;
        const auto offset_limit = std::numeric_limits<std::uint32_t>::max() - max_string;
        in.at = static_cast<std::uint32_t>(std::min<std::size_t>(f->offset, offset_limit));
        in.length = static_cast<std::uint32_t>(std::min(f->length, max_string));
        switch (f->type) {
            case 'N':
            case 'F': {
                in.op = Op::field_number;
                const std::uint32_t s = emit(in, VT::numeric);
                meta[s].field_length = static_cast<int>(in.length);
                meta[s].field_decimals = static_cast<int>(std::min(f->decimals, max_string));
                return s;
            }
            case 'D': in.op = Op::field_date; return emit(in, VT::date);
            case 'L': in.op = Op::field_logical; return emit(in, VT::logical);
            case 'M': fail("memo field " + name + ": its text is not in the table");
            default: in.op = Op::field_text; return emit(in, VT::character, in.length);
        }
    }

    std::uint32_t call(const std::string& name, std::size_t pos) {
        const std::size_t open = tok().pos;
        advance();
        std::vector<std::uint32_t> args;
        std::vector<std::size_t> where;
        if (tok().kind != Tok::rparen) {
            for (;;) {
                if (tok().kind == Tok::comma || tok().kind == Tok::rparen)
                    fail("missing argument" + at_pos(tok().pos));
                where.push_back(tok().pos);
                args.push_back(parse_expr());
                if (tok().kind != Tok::comma) break;
                advance();
            }
        }
        expect_close(open);
        const FnInfo* f = find_function(name);
        if (!f) {
            // Known types for the application's date conversions.
            if (name == "DTOC") return unknown(name, VT::character);
            if (name == "CTOD") return unknown(name, VT::date);
            return unknown(name, VT::any);
        }
        const auto n = static_cast<int>(args.size());
        if (n < f->min_args || n > f->max_args) {
            std::string takes = f->min_args == f->max_args
                                    ? std::to_string(f->min_args)
                                    : std::to_string(f->min_args) + " to " +
                                          std::to_string(f->max_args);
            fail(std::string(f->name) + " takes " + takes + " argument" +
                 (f->max_args == 1 ? "" : "s") + ", not " + std::to_string(n) + at_pos(pos));
        }
        const auto need = [&](int i, VT t) {
            if (!fits(args[static_cast<std::size_t>(i)], t))
                fail(std::string(f->name) + " needs a " + type_name(t) + " argument " +
                     std::to_string(i + 1) + at_pos(where[static_cast<std::size_t>(i)]) +
                     ", not " + type_name(type(args[static_cast<std::size_t>(i)])));
        };
        const auto arg = [&](int i) { return args[static_cast<std::size_t>(i)]; };
        // An absent optional argument: slot 0, never read, as a flag in `sub` says.
        const auto opt = [&](int i) { return i < n ? arg(i) : 0u; };
        // A length that is a constant bounds the buffer; any other is bounded
        // by max_string.
        const auto length_bound = [&](int i) {
            std::int64_t v;
            if (!constant_count(arg(i), v)) return static_cast<std::uint32_t>(max_string);
            return static_cast<std::uint32_t>(std::clamp<std::int64_t>(v, 0, max_string));
        };
        switch (f->fn) {
            case Fn::upper:
            case Fn::lower: {
                need(0, VT::character);
                const std::uint32_t cap = max_length(arg(0));
                return emit(instr(f->fn == Fn::upper ? Op::upper : Op::lower, arg(0)),
                            VT::character, cap, cap);
            }
            case Fn::trim:
            case Fn::rtrim:
            case Fn::ltrim:
            case Fn::alltrim: {
                need(0, VT::character);
                const Op op = f->fn == Fn::ltrim ? Op::ltrim
                              : f->fn == Fn::alltrim ? Op::alltrim
                                                     : Op::rtrim;
                return emit(instr(op, arg(0)), VT::character, max_length(arg(0)));
            }
            case Fn::left:
            case Fn::right:
                need(0, VT::character);
                need(1, VT::numeric);
                return emit(instr(f->fn == Fn::left ? Op::left : Op::right, arg(0), arg(1)),
                            VT::character, std::min(max_length(arg(0)), length_bound(1)));
            case Fn::substr: {
                need(0, VT::character);
                need(1, VT::numeric);
                std::uint32_t cap = max_length(arg(0));
                if (n == 3) {
                    need(2, VT::numeric);
                    cap = std::min(cap, length_bound(2));
                }
                return emit(instr(Op::substr, arg(0), arg(1), opt(2), n == 3 ? with_count : 0),
                            VT::character, cap);
            }
            case Fn::padr:
            case Fn::padl:
            case Fn::padc: {
                need(0, VT::character);
                need(1, VT::numeric);
                if (n == 3) need(2, VT::character);
                const std::uint8_t side = f->fn == Fn::padr   ? pad_right
                                          : f->fn == Fn::padl ? pad_left
                                                              : pad_centre;
                const std::uint32_t cap = length_bound(1);
                return emit(instr(Op::pad, arg(0), arg(1), opt(2),
                                  static_cast<std::uint8_t>(side | (n == 3 ? with_fill : 0))),
                            VT::character, cap, cap);
            }
            case Fn::str:
            case Fn::strzero: return str(f->fn == Fn::strzero, args, need);
            case Fn::dtos:
                need(0, VT::date);
                if (!p.code.empty() && p.code.back().out == arg(0) &&
                    p.code.back().op == Op::field_date) {
                    // DTOS of a field is the field's own bytes once they are a
                    // date: the field's instruction gives them, with no copy.
                    p.code.back().op = Op::field_dtos;
                    meta[arg(0)].type = VT::character;
                    meta[arg(0)].max_length = 8;
                    return arg(0);
                }
                return emit(instr(Op::dtos, arg(0)), VT::character, 8, 8);
            case Fn::space: {
                need(0, VT::numeric);
                const std::uint32_t cap = length_bound(0);
                return emit(instr(Op::space, arg(0)), VT::character, cap, cap);
            }
            case Fn::replicate: {
                need(0, VT::character);
                need(1, VT::numeric);
                const std::uint32_t cap = static_cast<std::uint32_t>(std::min<std::uint64_t>(
                    std::uint64_t{max_length(arg(0))} * length_bound(1), max_string));
                return emit(instr(Op::replicate, arg(0), arg(1)), VT::character, cap, cap);
            }
            case Fn::chr:
                need(0, VT::numeric);
                return emit(instr(Op::chr, arg(0)), VT::character, 1, 1);
            case Fn::descend:
                switch (type(arg(0))) {
                    case VT::numeric: return emit(instr(Op::neg, arg(0)), VT::numeric);
                    case VT::date: return emit(instr(Op::descend_date, arg(0)), VT::numeric);
                    case VT::logical: return emit(instr(Op::not_, arg(0)), VT::logical);
                    default: {
                        const std::uint32_t cap = max_length(arg(0));
                        return emit(instr(Op::descend_text, arg(0)), VT::character, cap, cap);
                    }
                }
            case Fn::iif: {
                need(0, VT::logical);
                VT t = type(arg(1));
                if (t == VT::any) t = type(arg(2));
                if (!fits(arg(2), t))
                    fail("IIF needs its two values of one type" + at_pos(pos) + ", not " +
                         type_name(type(arg(1))) + " and " + type_name(type(arg(2))));
                return emit(instr(Op::iif, arg(0), arg(1), arg(2)), t,
                            std::max(max_length(arg(1)), max_length(arg(2))));
            }
            case Fn::val:
                need(0, VT::character);
                return emit(instr(Op::val, arg(0)), VT::numeric);
            case Fn::len:
                need(0, VT::character);
                return emit(instr(Op::len, arg(0)), VT::numeric);
            case Fn::asc:
                need(0, VT::character);
                return emit(instr(Op::asc, arg(0)), VT::numeric);
            case Fn::at:
                need(0, VT::character);
                need(1, VT::character);
                return search(Op::at, arg(0), arg(1), VT::numeric);
            case Fn::year:
            case Fn::month:
            case Fn::day:
            case Fn::dow: {
                need(0, VT::date);
                const Op op = f->fn == Fn::year    ? Op::year
                              : f->fn == Fn::month ? Op::month
                              : f->fn == Fn::day   ? Op::day
                                                   : Op::dow;
                return emit(instr(op, arg(0)), VT::numeric);
            }
            case Fn::stod:
                need(0, VT::character);
                return emit(instr(Op::stod, arg(0)), VT::date);
            case Fn::int_:
            case Fn::abs:
                need(0, VT::numeric);
                return emit(instr(f->fn == Fn::int_ ? Op::int_ : Op::abs, arg(0)), VT::numeric);
            case Fn::round:
                need(0, VT::numeric);
                need(1, VT::numeric);
                return emit(instr(Op::round, arg(0), arg(1)), VT::numeric);
            case Fn::max:
            case Fn::min: {
                const bool dates = type(arg(0)) == VT::date || type(arg(1)) == VT::date;
                need(0, dates ? VT::date : VT::numeric);
                need(1, dates ? VT::date : VT::numeric);
                const bool is_max = f->fn == Fn::max;
                if (dates)
                    return emit(instr(is_max ? Op::date_max : Op::date_min, arg(0), arg(1)),
                                VT::date);
                return emit(instr(is_max ? Op::max : Op::min, arg(0), arg(1)), VT::numeric);
            }
            case Fn::empty: {
                static constexpr Op by_type[] = {Op::empty_text, Op::empty_number,
                                                 Op::empty_date, Op::not_, Op::empty_text};
                return emit(instr(by_type[static_cast<int>(type(arg(0)))], arg(0)),
                            VT::logical);
            }
            case Fn::recno: return emit(instr(Op::recno), VT::numeric);
            case Fn::strtran: {  // the text, what to find, its replacement, from which, how many
                for (int i = 0; i < n; ++i) need(i, i < 3 ? VT::character : VT::numeric);
                Instr in = instr(Op::strtran, arg(0), arg(1), opt(2), static_cast<std::uint8_t>(n));
                in.first_arg = static_cast<std::uint32_t>(p.args.size());
                p.args.insert(p.args.end(), {opt(3), opt(4)});
                in.at = static_cast<std::uint32_t>(table_used);  // the search's table
                in.length = std::max<std::uint32_t>(max_length(arg(1)), 1);
                budget(in.length, table_used);
                const std::uint64_t with =
                    n > 2 ? std::max<std::uint32_t>(max_length(arg(2)), 1) : 1;
                const auto cap = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(max_length(arg(0)) * with, max_string));
                return emit(in, VT::character, cap, cap);
            }
            case Fn::deleted: return emit(instr(Op::deleted), VT::logical);
        }
        fail("internal: function " + name);
    }

    template <typename Need>
    std::uint32_t str(bool zero, const std::vector<std::uint32_t>& args, const Need& need) {
        const auto n = args.size();
        need(0, VT::numeric);
        for (int i = 1; i < static_cast<int>(n); ++i) need(i, VT::numeric);
        std::int64_t width = 10, decimals = 0;
        const std::uint32_t x = args[0];
        if (n == 1 && meta[x].field_length >= 0) {  // STR(field): the field's own
            width = meta[x].field_length;
            decimals = meta[x].field_decimals;
        }
        const bool fixed_width = n < 2 || constant_count(args[1], width);
        const bool fixed_decimals = n < 3 || constant_count(args[2], decimals);
        if (fixed_width) width = width < 1 ? 10 : std::min<std::int64_t>(width, max_string);
        const auto cap = fixed_width ? static_cast<std::uint32_t>(width)
                                     : static_cast<std::uint32_t>(max_string);
        const std::uint8_t sub = zero ? zero_filled : 0;
        if (fixed_width && fixed_decimals) {
            Instr in = instr(Op::str_fixed, x, 0, 0, sub);
            in.width = static_cast<std::int32_t>(width);
            in.decimals = static_cast<std::int32_t>(std::clamp<std::int64_t>(decimals, 0, width));
            return emit(in, VT::character, cap, cap);
        }
        return emit(instr(Op::str, x, args[1], n == 3 ? args[2] : 0,
                          static_cast<std::uint8_t>(sub | (n == 3 ? with_decimals : 0))),
                    VT::character, cap, cap);
    }

    void finish(std::uint32_t result) {
        p.text.assign(std::max<std::size_t>(text_used, 1), 0);
        p.table.assign(std::max<std::size_t>(table_used, 1), 0);
        for (Value& v : p.values) v.text = empty_text;
        for (const Literal& l : literals) {
            std::memcpy(p.text.data() + l.offset, l.bytes.data(), l.bytes.size());
            p.values[l.slot].text = p.text.data() + l.offset;
            p.values[l.slot].length = static_cast<std::uint32_t>(l.bytes.size());
        }
        p.result = result;
        const VT t = type(result);
        p.type = t == VT::any ? Type::character : static_cast<Type>(t);
        find_pieces();
    }

    // Whether the result is fields and literals joined by + (under UPPER or
    // LOWER, or a date field, alone or through DTOS), and if so its pieces.
    void find_pieces() {
        std::vector<std::uint32_t> producer(p.values.size(), none);
        for (std::uint32_t i = 0; i < p.code.size(); ++i) producer[p.code[i].out] = i;
        std::vector<std::uint32_t> literal_at(p.values.size(), none);
        for (const Literal& l : literals) literal_at[l.slot] = l.offset;
        p.direct = pieces_of(p.result, 0, producer, literal_at, 0);
        if (!p.direct) p.pieces.clear();
    }

    static constexpr std::uint32_t none = std::numeric_limits<std::uint32_t>::max();

    // `case_from` is the outermost UPPER's or LOWER's, as change_case takes it.
    bool pieces_of(std::uint32_t slot, std::uint8_t case_from,
                   const std::vector<std::uint32_t>& producer,
                   const std::vector<std::uint32_t>& literal_at, int depth) {
        if (depth > max_depth) return false;
        if (literal_at[slot] != none) {
            p.pieces.push_back({Piece::literal, case_from, literal_at[slot], p.values[slot].length});
            return true;
        }
        if (producer[slot] == none) return false;
        const Instr& in = p.code[producer[slot]];
        switch (in.op) {
            case Op::field_text:
                p.pieces.push_back({Piece::field, case_from, in.at, in.length});
                return true;
            case Op::field_date:  // a date key is its DTOS
                if (slot != p.result) return false;
                [[fallthrough]];
            case Op::field_dtos:
                p.pieces.push_back({Piece::field_dtos, 0, in.at, in.length});
                return true;
            case Op::upper:
            case Op::lower:
                if (case_from == 0) case_from = in.op == Op::upper ? 'a' : 'A';
                return pieces_of(in.a, case_from, producer, literal_at, depth + 1);
            case Op::concat:
                for (std::uint32_t i = 0; i < in.arg_count; ++i)
                    if (!pieces_of(p.args[in.first_arg + i], case_from, producer, literal_at,
                                   depth + 1))
                        return false;
                return true;
            default: return false;
        }
    }
};

// ------------------------------------------------------------- evaluation

Value text_view(const std::uint8_t* s, std::size_t n) {
    Value v;
    v.text = s;
    v.length = static_cast<std::uint32_t>(n);
    return v;
}

// Clamps a count to [0, limit].
std::uint32_t clamp_count(const Number& n, std::uint32_t limit) {
    return static_cast<std::uint32_t>(std::clamp<std::int64_t>(to_count(n), 0, limit));
}

void put_str(const Number& x, std::int64_t width, std::int64_t decimals, bool zero,
             std::uint8_t* out) {
    const auto w = static_cast<std::size_t>(width);
    format_number(x, static_cast<int>(std::clamp<std::int64_t>(decimals, 0, width)), {out, w});
    if (!zero || out[0] == '*') return;
    std::size_t i = 0;
    while (i < w && out[i] == ' ') out[i++] = '0';
    if (i < w && out[i] == '-' && i > 0) {  // STRZERO: the sign goes first
        out[i] = '0';
        out[0] = '-';
    }
}

void run(Program& p, dbf::Bytes record, std::uint32_t recno) {
    Value* const v = p.values.data();
    std::uint8_t* const text = p.text.data();
    const std::size_t size = record.size();
    for (const Instr& in : p.code) {
        Value& o = v[in.out];
        const Value& a = v[in.a];
        const Value& b = v[in.b];
        switch (in.op) {
            case Op::field_text:
            case Op::field_number:
            case Op::field_date:
            case Op::field_logical:
            case Op::field_dtos: {
                const std::size_t avail = in.at < size ? size - in.at : 0;
                const std::size_t n = std::min<std::size_t>(in.length, avail);
                const std::uint8_t* s = n != 0 ? record.data() + in.at : empty_text;
                if (in.op == Op::field_text) {
                    o.text = s;
                    o.length = static_cast<std::uint32_t>(n);
                } else if (in.op == Op::field_number) {
                    o.number = parse_number(s, n);
                } else if (in.op == Op::field_date) {
                    o.date = parse_date(s, n);
                } else if (in.op == Op::field_dtos) {
                    o.text = parse_date(s, n) != 0 ? s : no_date;
                    o.length = 8;
                } else {
                    o.truth = n != 0 && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
                }
                break;
            }
            case Op::recno: o.number = exact(recno, 0); break;
            case Op::deleted: o.truth = size != 0 && record[0] == dbf::deleted_mark; break;
            case Op::concat: {
                std::uint8_t* d = text + in.buffer;
                std::uint32_t used = 0;
                for (std::uint32_t i = 0; i < in.arg_count; ++i) {
                    const Value& part = v[p.args[in.first_arg + i]];
                    const std::uint32_t n = std::min(part.length, in.capacity - used);
                    std::memcpy(d + used, part.text, n);
                    used += n;
                }
                o.text = d;
                o.length = used;
                break;
            }
            case Op::concat_trim: {
                std::uint8_t* d = text + in.buffer;
                std::uint32_t kept = a.length;
                while (kept > 0 && a.text[kept - 1] == ' ') --kept;
                kept = std::min(kept, in.capacity);
                std::memcpy(d, a.text, kept);
                const std::uint32_t n = std::min(b.length, in.capacity - kept);
                std::memcpy(d + kept, b.text, n);
                const std::uint32_t spaces =
                    std::min(a.length - kept, in.capacity - kept - n);
                std::memset(d + kept + n, ' ', spaces);
                o.text = d;
                o.length = kept + n + spaces;
                break;
            }
            case Op::upper:
            case Op::lower: {
                std::uint8_t* d = text + in.buffer;
                const std::uint32_t n = std::min(a.length, in.capacity);
                change_case(a.text, n, in.op == Op::upper ? 'a' : 'A', d);
                o.text = d;
                o.length = n;
                break;
            }
            case Op::rtrim:
            case Op::ltrim:
            case Op::alltrim: {
                std::uint32_t from = 0, to = a.length;
                if (in.op != Op::ltrim)
                    while (to > 0 && a.text[to - 1] == ' ') --to;
                if (in.op != Op::rtrim)
                    while (from < to && is_blank(a.text[from])) ++from;
                o = text_view(a.text + from, to - from);
                break;
            }
            case Op::left: o = text_view(a.text, clamp_count(b.number, a.length)); break;
            case Op::right: {
                const std::uint32_t n = clamp_count(b.number, a.length);
                o = text_view(a.text + (a.length - n), n);
                break;
            }
            case Op::substr: {
                // A start of 0 is 1; a negative one counts from the end.
                std::int64_t start = to_count(b.number);
                const std::int64_t len = a.length;
                start = start < 0 ? std::max<std::int64_t>(len + start, 0)
                                  : std::max<std::int64_t>(start - 1, 0);
                if (start >= len) {
                    o = text_view(a.text, 0);
                    break;
                }
                std::int64_t n = len - start;
                if (in.sub & with_count)
                    n = std::clamp<std::int64_t>(to_count(v[in.c].number), 0, n);
                o = text_view(a.text + start, static_cast<std::size_t>(n));
                break;
            }
            case Op::pad: {
                std::uint8_t* d = text + in.buffer;
                const std::uint32_t w = clamp_count(b.number, in.capacity);
                const std::uint8_t fill =
                    (in.sub & with_fill) && v[in.c].length != 0 ? v[in.c].text[0] : ' ';
                const std::uint32_t n = std::min(a.length, w);
                const int side = in.sub & 3;
                const std::uint32_t before = side == pad_right  ? 0
                                             : side == pad_left ? w - n
                                                                : (w - n) / 2;
                std::memset(d, fill, w);
                std::memcpy(d + before, a.text, n);
                o.text = d;
                o.length = w;
                break;
            }
            case Op::str_fixed:
                put_str(a.number, in.width, in.decimals, in.sub & zero_filled, text + in.buffer);
                o.text = text + in.buffer;
                o.length = static_cast<std::uint32_t>(in.width);
                break;
            case Op::str: {
                std::int64_t w = to_count(b.number);
                w = w < 1 ? 10 : std::min<std::int64_t>(w, in.capacity);
                const std::int64_t dec = (in.sub & with_decimals) ? to_count(v[in.c].number) : 0;
                put_str(a.number, w, dec, in.sub & zero_filled, text + in.buffer);
                o.text = text + in.buffer;
                o.length = static_cast<std::uint32_t>(w);
                break;
            }
            case Op::dtos:
                put_dtos(a.date, text + in.buffer);
                o.text = text + in.buffer;
                o.length = 8;
                break;
            case Op::space: {
                const std::uint32_t n = clamp_count(a.number, in.capacity);
                std::memset(text + in.buffer, ' ', n);
                o.text = text + in.buffer;
                o.length = n;
                break;
            }
            case Op::replicate: {
                std::uint8_t* d = text + in.buffer;
                const std::uint32_t times = clamp_count(b.number, in.capacity);
                std::uint32_t used = 0;
                if (a.length != 0)
                    for (std::uint32_t i = 0; i < times && used < in.capacity; ++i) {
                        const std::uint32_t n = std::min(a.length, in.capacity - used);
                        std::memcpy(d + used, a.text, n);
                        used += n;
                    }
                o.text = d;
                o.length = used;
                break;
            }
            case Op::chr:
                text[in.buffer] = static_cast<std::uint8_t>(to_count(a.number) & 0xff);
                o.text = text + in.buffer;
                o.length = 1;
                break;
            case Op::descend_text: {
                std::uint8_t* d = text + in.buffer;
                const std::uint32_t n = std::min(a.length, in.capacity);
                for (std::uint32_t i = 0; i < n; ++i)
                    d[i] = static_cast<std::uint8_t>(256 - a.text[i]);
                if (n == 1 && a.text[0] == 0) d[0] = 0;
                o.text = d;
                o.length = n;
                break;
            }
            case Op::iif: o = a.truth ? b : v[in.c]; break;
            case Op::strtran: {
                // Occurrences left to right, none overlapping; from the start-th
                // on (1 below 1), count of them (all when not given).
                std::uint8_t* d = text + in.buffer;
                const Value with = in.sub > 2 ? v[in.c] : text_view(empty_text, 0);
                const Value& from_arg = v[p.args[in.first_arg]];
                const Value& count_arg = v[p.args[in.first_arg + 1]];
                const std::int64_t start =
                    in.sub > 3 ? std::max<std::int64_t>(to_count(from_arg.number), 1) : 1;
                const std::int64_t count = in.sub > 4 ? to_count(count_arg.number)
                                                      : std::numeric_limits<std::int64_t>::max();
                std::uint32_t used = 0, from = 0;
                const auto put = [&](const std::uint8_t* s, std::uint32_t n) {
                    n = std::min(n, in.capacity - used);
                    if (n != 0) std::memcpy(d + used, s, n);
                    used += n;
                };
                for (std::int64_t seen = 0, done = 0; b.length != 0 && done < count;) {
                    const long at = find(b, text_view(a.text + from, a.length - from),
                                         p.table.data() + in.at, in.length);
                    if (at < 0) break;
                    const std::uint32_t hit = from + static_cast<std::uint32_t>(at);
                    const bool replaced = ++seen >= start;
                    put(a.text + from, hit - from + (replaced ? 0 : b.length));
                    if (replaced) {
                        put(with.text, with.length);
                        ++done;
                    }
                    from = hit + b.length;
                }
                put(a.text + from, a.length - from);
                o.text = d;
                o.length = used;
                break;
            }
            case Op::add: o.number = add(a.number, b.number); break;
            case Op::sub: o.number = sub(a.number, b.number); break;
            case Op::mul: o.number = mul(a.number, b.number); break;
            case Op::div: o.number = div(a.number, b.number); break;
            case Op::mod: o.number = mod(a.number, b.number); break;
            case Op::pow:
                o.number = from_double(std::pow(to_double(a.number), to_double(b.number)));
                break;
            case Op::neg: o.number = neg(a.number); break;
            case Op::abs: o.number = abs(a.number); break;
            case Op::int_: o.number = int_part(a.number); break;
            case Op::round: o.number = round(a.number, to_count(b.number)); break;
            case Op::max: o.number = compare(a.number, b.number) >= 0 ? a.number : b.number; break;
            case Op::min: o.number = compare(a.number, b.number) <= 0 ? a.number : b.number; break;
            case Op::val: o.number = parse_number(a.text, a.length); break;
            case Op::len: o.number = exact(a.length, 0); break;
            case Op::asc: o.number = exact(a.length != 0 ? a.text[0] : 0, 0); break;
            case Op::at:
                o.number = exact(find(a, b, p.table.data() + in.buffer, in.capacity) + 1, 0);
                break;
            case Op::year: o.number = exact(a.date / 10000, 0); break;
            case Op::month: o.number = exact(a.date / 100 % 100, 0); break;
            case Op::day: o.number = exact(a.date % 100, 0); break;
            case Op::dow:  // 1 for a Sunday
                o.number = exact(a.date == 0 ? 0 : (julian(a.date) + 1) % 7 + 1, 0);
                break;
            case Op::date_diff:
                o.number = exact(julian(a.date) - julian(b.date), 0);
                break;
            case Op::descend_date: o.number = exact(5231808 - julian(a.date), 0); break;
            case Op::date_add: o.date = add_days(a.date, to_count(b.number)); break;
            case Op::date_max: o.date = std::max(a.date, b.date); break;
            case Op::date_min: o.date = std::min(a.date, b.date); break;
            case Op::stod: o.date = parse_date(a.text, a.length == 8 ? 8 : 0); break;
            case Op::and_: o.truth = a.truth && b.truth; break;
            case Op::or_: o.truth = a.truth || b.truth; break;
            case Op::not_: o.truth = !a.truth; break;
            case Op::cmp_text:
            case Op::cmp_number:
            case Op::cmp_date:
            case Op::cmp_logical: {
                int c;
                if (in.op == Op::cmp_text) c = compare_text(a, b, in.sub == whole_eq);
                else if (in.op == Op::cmp_number) c = compare(a.number, b.number);
                else if (in.op == Op::cmp_date) c = a.date < b.date ? -1 : a.date > b.date;
                else c = static_cast<int>(a.truth) - static_cast<int>(b.truth);
                switch (in.sub) {
                    case eq:
                    case whole_eq: o.truth = c == 0; break;
                    case ne: o.truth = c != 0; break;
                    case lt: o.truth = c < 0; break;
                    case le: o.truth = c <= 0; break;
                    case gt: o.truth = c > 0; break;
                    default: o.truth = c >= 0; break;
                }
                break;
            }
            case Op::contains:
                o.truth = find(a, b, p.table.data() + in.buffer, in.capacity) >= 0;
                break;
            case Op::empty_text: {
                std::uint32_t i = 0;
                while (i < a.length && is_blank(a.text[i])) ++i;
                o.truth = i == a.length;
                break;
            }
            case Op::empty_number: o.truth = is_zero(a.number); break;
            case Op::empty_date: o.truth = a.date == 0; break;
        }
    }
}

}  // namespace

Compiled compile(std::string_view text, std::span<const dbf::Field> fields) {
    Compiled out;
    if (text.size() > max_text) {
        out.error = "expression too long (" + std::to_string(text.size()) + " bytes, at most " +
                    std::to_string(max_text) + ")";
        return out;
    }
    Compiler c;
    c.lex.s = text;
    c.fields = fields;
    try {
        c.advance();
        if (c.tok().kind == Tok::end) fail("empty expression");
        const std::uint32_t result = c.parse_expr();
        if (c.tok().kind == Tok::rparen) fail("unbalanced parenthesis" + at_pos(c.tok().pos));
        if (c.tok().kind != Tok::end) {
            const Token& t = c.tok();
            fail("unexpected '" + std::string(text.substr(t.pos, t.end - t.pos)) + "'" +
                 at_pos(t.pos));
        }
        c.finish(result);
    } catch (const Failure& f) {
        out.error = f.message;
        return out;
    }
    out.program = std::move(c.p);
    out.type = out.program.type;
    out.app_function = std::move(c.app_function);
    return out;
}

namespace {

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

enum class Form : bool { text, key };

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

const Value not_compiled = text_view(empty_text, 0);

}  // namespace

void format_number(const Number& n, int decimals, std::span<std::uint8_t> out) {
    put_number(n, decimals, out, Form::text);
}

const Value& evaluate(Program& p, dbf::Bytes record, std::uint32_t recno) {
    if (p.values.empty()) return not_compiled;
    run(p, record, recno);
    return p.values[p.result];
}

namespace {

// The key of a run of pieces, as the instructions would make it: each piece
// what the record holds of it, the whole cut to the key or padded.
void copy_pieces(const Program& p, dbf::Bytes record, std::span<std::uint8_t> key) {
    const std::size_t size = record.size();
    const std::size_t room = std::min(key.size(), max_string);
    std::size_t used = 0;
    for (const Piece& piece : p.pieces) {
        if (used == room) break;
        const std::uint8_t* s;
        std::size_t n;
        if (piece.source == Piece::literal) {
            s = p.text.data() + piece.at;
            n = piece.length;
        } else {
            const std::size_t avail = piece.at < size ? size - piece.at : 0;
            n = std::min<std::size_t>(piece.length, avail);
            s = n != 0 ? record.data() + piece.at : empty_text;
            if (piece.source == Piece::field_dtos) {
                if (parse_date(s, n) == 0) s = no_date;
                n = 8;
            }
        }
        n = std::min(n, room - used);
        std::uint8_t* d = key.data() + used;
        if (piece.case_from != 0)
            change_case(s, n, piece.case_from, d);
        else
            std::memcpy(d, s, n);
        used += n;
    }
    std::memset(key.data() + used, ' ', key.size() - used);
}

}  // namespace

void make_key(Program& p, dbf::Bytes record, std::uint32_t recno, std::span<std::uint8_t> key,
              unsigned key_decimals) {
    if (key.empty()) return;  // its data may be null, which no copy may be given
    if (p.direct) {
        copy_pieces(p, record, key);
        return;
    }
    const Value& v = evaluate(p, record, recno);
    const auto put_text = [&](const std::uint8_t* s, std::size_t n) {
        n = std::min(n, key.size());
        std::memcpy(key.data(), s, n);
        std::memset(key.data() + n, ' ', key.size() - n);
    };
    switch (p.type) {
        case Type::character: put_text(v.text, v.length); break;
        case Type::date: {
            std::uint8_t d[8];
            put_dtos(v.date, d);
            put_text(d, 8);
            break;
        }
        case Type::logical: {
            const std::uint8_t c = v.truth ? 'T' : 'F';
            put_text(&c, 1);
            break;
        }
        case Type::numeric:
            put_number(v.number, static_cast<int>(std::min<unsigned>(key_decimals, max_string)),
                       key, Form::key);
            break;
    }
}

bool holds(Program& p, dbf::Bytes record, std::uint32_t recno) {
    if (p.type != Type::logical) return false;
    return evaluate(p, record, recno).truth;
}

}  // namespace expr
