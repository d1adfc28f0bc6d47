// RFC 3339 date-time text: strict recognition and the two UTC forms the system writes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zm::text {

// True when `s` is exactly an RFC 3339 date-time (section 5.6), nothing before or after:
//   YYYY-MM-DD (T | t | one space) HH:MM:SS [. 1*DIGIT] (Z | z | (+|-)HH:MM)
// Every field has exactly its digits; month 01-12; day from 01 to the month's length
// (February 29 only in Gregorian leap years, year 0000 counting as leap); hour 00-23;
// minute 00-59; second 00-60 (60 as a leap second, at any minute); offset hour 00-23
// and offset minute 00-59.
bool is_rfc3339(std::string_view s);

// "YYYY-MM-DDTHH:MM:SSZ" for `seconds` since the Unix epoch (UTC).
std::string format_utc_seconds(int64_t seconds);
// "YYYY-MM-DDTHH:MM:SS.nnnnnnnnnZ"; `nanos` below 1000000000.
std::string format_utc_nanos(int64_t seconds, uint32_t nanos);

}  // namespace zm::text
