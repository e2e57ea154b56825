// The instruction set the compiler emits and the evaluator runs.
#pragma once

#include <cstdint>

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

namespace detail {

enum Relation : std::uint8_t { eq, whole_eq, ne, lt, le, gt, ge };
enum PadSide : std::uint8_t { pad_right, pad_left, pad_centre };
inline constexpr std::uint8_t with_fill = 4;       // pad: a fill character is given
inline constexpr std::uint8_t zero_filled = 1;     // str: STRZERO
inline constexpr std::uint8_t with_decimals = 2;   // str: decimals are given
inline constexpr std::uint8_t with_count = 1;      // substr: a count is given

}  // namespace detail
}  // namespace expr
