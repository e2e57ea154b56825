// The compiler's function calls: the table of functions and how each call
// compiles.
#include "expr_compiler.h"

#include <algorithm>
#include <cstdint>

namespace expr::detail {

namespace {

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

}  // namespace

std::uint32_t Compiler::call(const std::string& name, std::size_t pos) {
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
std::uint32_t Compiler::str(bool zero, const std::vector<std::uint32_t>& args, const Need& need) {
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

}  // namespace expr::detail
