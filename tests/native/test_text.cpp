// Text helpers used by messages and field rules: trim, quoted form, plain numbers, RFC 3339, UUID text and generation,
// digest syntax.
#include <cmath>
#include <limits>
#include <tuple>

#include "check.h"
#include "text/digest.h"
#include "text/number.h"
#include "text/quoted.h"
#include "text/rfc3339.h"
#include "text/trim.h"
#include "text/uuid.h"

using namespace zm::text;

namespace {

template <class F>
void check_predicate(const char* what, F pred, const std::vector<std::string>& inputs, bool expected) {
  for (const auto& s : inputs) CHECK_CTX(pred(s) == expected, what << "(\"" << s << "\")");
}

}  // namespace

TEST(trim_each_white_space_code_point) {
  std::vector<std::string> white = {"\t",       "\n",     "\v",     "\f",     "\r",     " ",      "\xC2\x85",
                                    "\xC2\xA0", "\u1680", "\u2028", "\u2029", "\u202F", "\u205F", "\u3000"};
  for (char c = '\x80'; c != '\x8B'; ++c) white.push_back(std::string("\xE2\x80") + c);  // U+2000..U+200A
  for (const auto& w : white) {
    const std::string around = w + "a" + w, doubled = w + w + "a b" + w + w, inner = "x" + w + "y";
    CHECK_CTX(is_blank(w) && trim_ws(around) == "a" && trim_ws(doubled) == "a b" && trim_ws(inner) == inner, w);
  }
  // Characters that look blank but lack the White_Space property stay.
  for (std::string w : {"\x1C", "\x1F", "\u180E", "\u200B", "\u200C", "\u2060", "\uFEFF", "\u00AD", "\u3164"}) {
    CHECK_CTX(!is_blank(w) && trim_ws(" " + w + " ") == w, w);
  }
  CHECK(is_blank("") && is_blank(" \t\r\n") && !is_blank(std::string("\0", 1)));
  // Invalid UTF-8 and partial sequences are not white space.
  for (std::string_view kept : {"\xC2", "\xE2\x80", "\x80\x85"}) CHECK_EQ(trim_ws(" " + std::string(kept) + " "), kept);
}

TEST(quoted_form_and_printable_boundaries) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "\"\""}, {"say \"hi\"", "\"say \\\"hi\\\"\""}, {"a\\b", "\"a\\\\b\""}, {"\t\r\n", "\"\\t\\r\\n\""},
      {std::string("a\0b", 3), "\"a\\0b\""}, {"\x01\x1b\x1f\x7f", "\"\\u{1}\\u{1b}\\u{1f}\\u{7f}\""},
      {"\xC2\x85", "\"\\u{85}\""}, {"\u200B", "\"\\u{200b}\""}, {"\U0010FFFF", "\"\\u{10ffff}\""},
      // Printable non-ASCII stays as it is.
      {"e\u0301\U0001F600", "\"e\u0301\U0001F600\""},
      // Invalid UTF-8: each maximal invalid subpart becomes U+FFFD, shown as is.
      {"a\xFF"
       "b",
       "\"a\xEF\xBF\xBD"
       "b\""},
      {"\xE2\x80", "\"\xEF\xBF\xBD\""}, {"\xC0\x80\"", "\"\xEF\xBF\xBD\xEF\xBF\xBD\\\"\""},
      {"\xED\xA0\x80", "\"\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\""},
  };
  for (const auto& [in, out] : cases) CHECK_EQ(quoted(in), out);
  const std::pair<char32_t, bool> printables[] = {
      {0x0, false}, {0x1F, false}, {0x20, true}, {0x7E, true}, {0x7F, false}, {0x9F, false}, {0xA0, false},
      {0xA1, true}, {0xAC, true}, {0xAD, false}, {0xAE, true}, {0x377, true}, {0x378, false}, {0x1680, false},
      {0x2027, true}, {0x202A, false}, {0xD800, false}, {0xDFFF, false}, {0xE000, false}, {0xF8FF, false},
      {0xF900, true}, {0xFFFC, true}, {0xFFFE, false}, {0x1F600, true}, {0x10FFFF, false},
  };
  for (const auto& [cp, printable] : printables)
    CHECK_CTX(is_printable(cp) == printable, "U+" << std::hex << static_cast<uint32_t>(cp) << std::dec);
}

TEST(plain_number_and_utc_time_text) {
  const std::vector<std::pair<double, std::string>> cases = {
      {3.0, "3"}, {0.0000001, "0.0000001"}, {1e20, "100000000000000000000"}, {0.0, "0"}, {-0.0, "-0"},
      {0.30000000000000004, "0.30000000000000004"}, {1e16, "10000000000000000"}, {1.5e-5, "0.000015"},
      {9007199254740992.0, "9007199254740992"}, {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& [v, text] : cases) CHECK_EQ(plain_number(v), text);

  // The extremes in full: 309 digits, and 323 zeros before the last digit.
  const std::string max = plain_number(std::numeric_limits<double>::max());
  CHECK(max.size() == 309 && max.starts_with("179769313486231570") && max.find_first_not_of('0', 17) == max.npos);
  const std::string tiny = plain_number(std::numeric_limits<double>::denorm_min());
  CHECK(tiny.size() == 326 && tiny.starts_with("0.") && tiny.back() == '5' && tiny.find_first_not_of('0', 2) == 325);
  const std::pair<int64_t, std::string> times[] = {
      {0, "1970-01-01T00:00:00Z"}, {-1, "1969-12-31T23:59:59Z"}, {951782400, "2000-02-29T00:00:00Z"},
      {1709251199, "2024-02-29T23:59:59Z"}, {1714564800, "2024-05-01T12:00:00Z"},
      {253402300799, "9999-12-31T23:59:59Z"},
  };
  for (const auto& [seconds, text] : times) CHECK_EQ(format_utc_seconds(seconds), text);
  const std::tuple<int64_t, uint32_t, std::string> nanos[] = {{1714564800, 0, "2024-05-01T12:00:00.000000000Z"},
                                                              {0, 5, "1970-01-01T00:00:00.000000005Z"},
                                                              {0, 999999999, "1970-01-01T00:00:00.999999999Z"}};
  for (const auto& [seconds, ns, text] : nanos) CHECK_EQ(format_utc_nanos(seconds, ns), text);
}

TEST(rfc3339_acceptance) {
  check_predicate("is_rfc3339", is_rfc3339,
                  {"2024-01-01T00:00:00Z", "2024-01-01T00:00:00+02:00", "2024-01-01t00:00:00z", "2024-01-01 00:00:00Z",
                   "2024-02-29T12:00:00Z", "0000-02-29T00:00:00Z", "2024-12-31T23:59:60Z", "2024-01-01T00:00:00.1Z",
                   "2024-01-01T00:00:00.123456789012+05:30", "9999-12-31T23:59:59-23:59"},
                  true);
  check_predicate("is_rfc3339", is_rfc3339,
                  {"",
                   " 2024-01-01T00:00:00Z", "2024-01-01T00:00:00Z ", "2024-01-01T00:00:00", "2023-02-29T00:00:00Z",
                   "1900-02-29T00:00:00Z", "2024-04-31T00:00:00Z", "2024-13-01T00:00:00Z", "2024-01-00T00:00:00Z",
                   "2024-01-32T00:00:00Z", "2024-01-01T24:00:00Z", "2024-01-01T00:60:00Z", "2024-01-01T00:00:61Z",
                   "2024-01-01T00:00:00+24:00", "2024-01-01T00:00:00.Z", "2024-01-01T00:00:00,5Z",
                   "2024-01-01T00:00:00+0200", "2024-1-01T00:00:00Z", "2024-01-01X00:00:00Z",
                   "2024-01-01T00:00:00\xE2\x80\x8A",
                   "\xEF\xBC\x92\xEF\xBC\x90\xEF\xBC\x92\xEF\xBC\x94-01-01T00:00:00Z"},
                  false);
}

TEST(uuid_text_forms_and_generation) {
  const std::string hy = "67e55044-10b1-426f-9247-bb680e5fe0c8";
  const std::string simple = "67e5504410b1426f9247bb680e5fe0c8";
  check_predicate(
      "is_uuid_text", is_uuid_text,
      {simple, "67E5504410B1426F9247BB680E5FE0C8", hy, "67E55044-10B1-426F-9247-BB680E5FE0C8", "{" + hy + "}",
       "urn:uuid:" + hy, "urn:uuid:67E55044-10b1-426F-9247-bb680e5fe0c8", "00000000-0000-0000-0000-000000000000",
       "ffffffff-ffff-ffff-ffff-ffffffffffff", "67e55044-10b1-f26f-0247-bb680e5fe0c8" /* any version / variant */},
      true);
  check_predicate("is_uuid_text", is_uuid_text,
                  {"", simple.substr(1), simple + "0", hy.substr(1), hy + "0", "67e55044-10b1-426f-9247-bb680e5fe0cg",
                   "67e55044-10b1-426f-9247_bb680e5fe0c8", "(" + hy + ")", "{" + simple + "}", "urn:uuid:" + simple,
                   "URN:UUID:" + hy, " " + hy, "67e55044-10b1-426f-9247-bb680e5fe0c\xC3\xA9"},
                  false);
  CHECK_EQ(uuid_v4_text({}), "00000000-0000-4000-8000-000000000000");
  std::array<uint8_t, 16> ones;
  ones.fill(0xFF);
  CHECK_EQ(uuid_v4_text(ones), "ffffffff-ffff-4fff-bfff-ffffffffffff");
  CHECK_EQ(uuid_v4_text({1, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 1, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef}),
           "01234567-89ab-4def-8123-456789abcdef");
}

TEST(digest_syntax) {
  const std::string hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
  CHECK(is_hex_digest(hex) && is_hex_digest(std::string(64, 'f')) && is_digest_uri("sha256:" + hex));
  check_predicate("is_hex_digest", is_hex_digest,
                  {"", hex.substr(1), "A" + hex.substr(1), hex.substr(0, 63) + "g", "sha256:" + hex,
                   hex.substr(0, 63) + std::string("\0", 1)},
                  false);
  check_predicate(
      "is_digest_uri", is_digest_uri,
      {hex, "sha256:" + hex.substr(1), "SHA256:" + hex, "sha256:" + hex.substr(0, 63) + "F", "sha512:" + hex}, false);
}
