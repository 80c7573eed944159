// civil_date: days between 1970-01-01 and a date of the proleptic Gregorian calendar, for the
// readers of time stamps and the dead-entry deadlines. No state, no dependencies.
#pragma once

#include <cstdint>

// Days from 1970-01-01 to year-month-day (month 1 to 12); negative before 1970.
constexpr std::int64_t
days_from_civil(std::int64_t year, unsigned month, unsigned day)
{
    year -= month <= 2 ? 1 : 0;
    std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    auto year_of_era = static_cast<unsigned>(year - era * 400);
    unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}
