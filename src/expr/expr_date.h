// Dates, held as the number YYYYMMDD: read and written inline here, as keys
// of every record do; the calendar arithmetic is in expr_date.cpp.
#pragma once

#include "expr_number.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace expr::detail {

inline bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

std::int64_t julian(std::int32_t date);

// YYYYMMDD as a date, 0 (the empty date) for anything else: a date of the
// calendar, years 0000 to 9999.
inline std::int32_t parse_date(const std::uint8_t* s, std::size_t n) {
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
inline void put_dtos(std::int32_t date, std::uint8_t* out) {
    if (date == 0) {
        std::memset(out, ' ', 8);
        return;
    }
    put_digits(static_cast<std::uint64_t>(date), 8, out + 8);
}

std::int32_t add_days(std::int32_t date, std::int64_t n);

}  // namespace expr::detail
