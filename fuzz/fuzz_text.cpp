// libFuzzer harness for the text rules: UUID forms, RFC 3339 date-times and digest syntax, each against a plain
// reference written here from the rules' statements.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "text/digest.h"
#include "text/rfc3339.h"
#include "text/uuid.h"

namespace {

bool hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool digit(char c) {
  return c >= '0' && c <= '9';
}

bool hyphenated(std::string_view s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < 36; ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !hex(s[i])) return false;
  }
  return true;
}

bool ref_uuid(std::string_view s) {
  if (s.size() == 32) {
    for (char c : s)
      if (!hex(c)) return false;
    return true;
  }
  if (s.size() == 38) return s.front() == '{' && s.back() == '}' && hyphenated(s.substr(1, 36));
  if (s.size() == 45) return s.substr(0, 9) == "urn:uuid:" && hyphenated(s.substr(9));
  return hyphenated(s);
}

// Reads exactly n digits at s[pos..]; advances pos.
bool number(std::string_view s, size_t& pos, size_t n, int& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (size_t i = 0; i < n; ++i) {
    if (!digit(s[pos + i])) return false;
    out = out * 10 + (s[pos + i] - '0');
  }
  pos += n;
  return true;
}

bool lit(std::string_view s, size_t& pos, char c) {
  if (pos >= s.size() || s[pos] != c) return false;
  ++pos;
  return true;
}

bool ref_rfc3339(std::string_view s) {
  size_t p = 0;
  int y, mo, d, h, mi, se;
  if (!number(s, p, 4, y) || !lit(s, p, '-') || !number(s, p, 2, mo) || !lit(s, p, '-') || !number(s, p, 2, d))
    return false;
  if (p >= s.size() || (s[p] != 'T' && s[p] != 't' && s[p] != ' ')) return false;
  ++p;
  if (!number(s, p, 2, h) || !lit(s, p, ':') || !number(s, p, 2, mi) || !lit(s, p, ':') || !number(s, p, 2, se))
    return false;
  if (p < s.size() && s[p] == '.') {
    ++p;
    const size_t start = p;
    while (p < s.size() && digit(s[p])) ++p;
    if (p == start) return false;
  }
  if (p >= s.size()) return false;
  if (s[p] == 'Z' || s[p] == 'z') {
    ++p;
  } else if (s[p] == '+' || s[p] == '-') {
    ++p;
    int oh, om;
    if (!number(s, p, 2, oh) || !lit(s, p, ':') || !number(s, p, 2, om) || oh > 23 || om > 59) return false;
  } else {
    return false;
  }
  if (p != s.size()) return false;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (mo < 1 || mo > 12) return false;
  const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
  const int days = kDays[mo - 1] + (mo == 2 && leap ? 1 : 0);
  return d >= 1 && d <= days && h <= 23 && mi <= 59 && se <= 60;
}

bool ref_hex_digest(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s)
    if (!digit(c) && !(c >= 'a' && c <= 'f')) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  if (zm::text::is_uuid_text(s) != ref_uuid(s)) std::abort();
  if (zm::text::is_rfc3339(s) != ref_rfc3339(s)) std::abort();
  if (zm::text::is_hex_digest(s) != ref_hex_digest(s)) std::abort();
  const bool uri = s.size() == 71 && s.substr(0, 7) == "sha256:" && ref_hex_digest(s.substr(7));
  if (zm::text::is_digest_uri(s) != uri) std::abort();
  return 0;
}
