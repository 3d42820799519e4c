#pragma once

#include <cstdint>

namespace qel::calendar {

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day);

// The date of a day count since 1970-01-01.
void civilFromDays(std::int64_t days, int& year, unsigned& month, unsigned& day);

}  // namespace qel::calendar
