// The evaluator: one pass over a program's instructions for a record, each
// writing its own value slot, with no allocation and no failure.
#include "expr_date.h"
#include "expr_number.h"
#include "expr_ops.h"
#include "expr_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace expr {

using namespace detail;

namespace {

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

const Value not_compiled = text_view(empty_text, 0);

}  // namespace

const Value& evaluate(Program& p, dbf::Bytes record, std::uint32_t recno) {
    if (p.values.empty()) return not_compiled;
    run(p, record, recno);
    return p.values[p.result];
}

}  // namespace expr
