// Calendar arithmetic on day counts from 1970-01-01, the proleptic
// Gregorian calendar that datetime and numpy's datetime64 share.
#pragma once

#include <cstdint>

namespace sorvel::bar_table {

inline constexpr std::int64_t kSecondsPerDay = 86400;
inline constexpr std::int64_t kNanosPerSecond = 1'000'000'000;

// Days from 1970-01-01 to the given date.
constexpr std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

// The date of a day count (the inverse of days_from_civil).
constexpr void civil_from_days(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr std::int64_t floor_div(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// Whole seconds (rounded down) and the nanoseconds after them, for any
// int64 value: seconds * 1e9 would leave the range near its lower end.
constexpr void split_nanos(std::int64_t value, std::int64_t& seconds, std::int64_t& below) {
    seconds = value / kNanosPerSecond;
    below = value % kNanosPerSecond;
    if (below < 0) {
        seconds -= 1;
        below += kNanosPerSecond;
    }
}

}  // namespace sorvel::bar_table
