// The calendar arithmetic of dates: Julian days and days added.
#include "expr_date.h"

namespace expr::detail {

namespace {

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

// Dates are held as the number YYYYMMDD, which orders as the dates do and
// writes as DTOS does; their Julian day is made only for arithmetic.
std::int32_t pack(int y, int m, int d) { return y * 10000 + m * 100 + d; }

}  // namespace

// The Julian day of a date; 0 for the empty date.
std::int64_t julian(std::int32_t date) {
    if (date == 0) return 0;
    return days_from_civil(date / 10000, static_cast<unsigned>(date / 100 % 100),
                           static_cast<unsigned>(date % 100)) +
           julian_1970;
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

}  // namespace expr::detail
