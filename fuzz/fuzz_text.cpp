// libFuzzer harness for the text rules: UUID forms, RFC 3339 date-times and digest syntax, each against a plain
// reference written here from the rules' statements (the syntax as a regular expression, the ranges on its numbers).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <string_view>

#include "text/digest.h"
#include "text/rfc3339.h"
#include "text/uuid.h"

namespace {

using Match = std::match_results<std::string_view::const_iterator>;

bool matches(std::string_view s, const std::regex& re, Match* m = nullptr) {
  Match unused;
  return std::regex_match(s.begin(), s.end(), m ? *m : unused, re);
}

const std::string kHex = "[0-9a-fA-F]";
const std::string kHyphenated = kHex + "{8}-" + kHex + "{4}-" + kHex + "{4}-" + kHex + "{4}-" + kHex + "{12}";
const std::regex kUuid(kHex + "{32}|" + kHyphenated + "|\\{" + kHyphenated + "\\}|urn:uuid:" + kHyphenated);
const std::regex kHexDigest("[0-9a-f]{64}");
const std::regex kRfc3339("([0-9]{4})-([0-9]{2})-([0-9]{2})[Tt ]([0-9]{2}):([0-9]{2}):([0-9]{2})(\\.[0-9]+)?"
                          "([Zz]|[+-]([0-9]{2}):([0-9]{2}))");

bool ref_rfc3339(std::string_view s) {
  Match m;
  if (!matches(s, kRfc3339, &m)) return false;
  auto n = [&](int i) { return m[i].matched ? std::stoi(m[i].str()) : 0; };
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const int y = n(1), mo = n(2), d = n(3);
  if (mo < 1 || mo > 12) return false;
  const bool leap = y % 4 == 0 && (y % 100 != 0 || y % 400 == 0);
  return d >= 1 && d <= kDays[mo - 1] + (mo == 2 && leap) && n(4) <= 23 && n(5) <= 59 && n(6) <= 60 && n(9) <= 23 &&
         n(10) <= 59;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view s(reinterpret_cast<const char*>(data), size);
  if (zm::text::is_uuid_text(s) != matches(s, kUuid)) std::abort();
  if (zm::text::is_rfc3339(s) != ref_rfc3339(s)) std::abort();
  if (zm::text::is_hex_digest(s) != matches(s, kHexDigest)) std::abort();
  const bool uri = s.size() == 71 && s.substr(0, 7) == "sha256:" && matches(s.substr(7), kHexDigest);
  if (zm::text::is_digest_uri(s) != uri) std::abort();
  return 0;
}
