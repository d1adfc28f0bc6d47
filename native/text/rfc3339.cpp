#include "text/rfc3339.h"

#include <fmt/format.h>

namespace zm::text {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Reads exactly `n` digits at s[pos], advancing pos; false when any is missing.
bool read_digits(std::string_view s, size_t& pos, size_t n, int& value) {
  if (s.size() - pos < n) return false;
  value = 0;
  for (size_t k = 0; k < n; ++k) {
    char c = s[pos + k];
    if (!is_digit(c)) return false;
    value = value * 10 + (c - '0');
  }
  pos += n;
  return true;
}

bool expect(std::string_view s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

bool is_leap_year(int64_t y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month == 2 && is_leap_year(year)) return 29;
  return kDays[month - 1];
}

struct Civil {
  int64_t year;
  unsigned month;
  unsigned day;
};

// Proleptic Gregorian date of a day count since 1970-01-01.
Civil civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

std::string format_date_time(int64_t seconds) {
  int64_t days = seconds / 86400;
  int64_t rem = seconds % 86400;
  if (rem < 0) {
    rem += 86400;
    --days;
  }
  Civil c = civil_from_days(days);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}", c.year, c.month, c.day, rem / 3600, rem / 60 % 60,
                     rem % 60);
}

}  // namespace

bool is_rfc3339(std::string_view s) {
  size_t pos = 0;
  int year, month, day, hour, minute, second;
  if (!read_digits(s, pos, 4, year) || !expect(s, pos, '-') || !read_digits(s, pos, 2, month) || !expect(s, pos, '-') ||
      !read_digits(s, pos, 2, day)) {
    return false;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return false;

  if (pos >= s.size() || (s[pos] != 'T' && s[pos] != 't' && s[pos] != ' ')) return false;
  ++pos;

  if (!read_digits(s, pos, 2, hour) || !expect(s, pos, ':') || !read_digits(s, pos, 2, minute) ||
      !expect(s, pos, ':') || !read_digits(s, pos, 2, second)) {
    return false;
  }
  if (hour > 23 || minute > 59 || second > 60) return false;

  if (pos < s.size() && s[pos] == '.') {
    ++pos;
    size_t start = pos;
    while (pos < s.size() && is_digit(s[pos])) ++pos;
    if (pos == start) return false;
  }

  if (pos >= s.size()) return false;
  char z = s[pos++];
  if (z == 'Z' || z == 'z') return pos == s.size();
  if (z != '+' && z != '-') return false;
  int off_hour, off_minute;
  if (!read_digits(s, pos, 2, off_hour) || !expect(s, pos, ':') || !read_digits(s, pos, 2, off_minute)) return false;
  if (off_hour > 23 || off_minute > 59) return false;
  return pos == s.size();
}

std::string format_utc_seconds(int64_t seconds) {
  return format_date_time(seconds) + "Z";
}

std::string format_utc_nanos(int64_t seconds, uint32_t nanos) {
  return fmt::format("{}.{:09}Z", format_date_time(seconds), nanos);
}

}  // namespace zm::text
