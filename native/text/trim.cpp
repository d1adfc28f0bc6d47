#include "text/trim.h"

#include <array>

namespace zm::text {

namespace {

// UTF-8 encodings of the White_Space characters above U+007F.
constexpr std::array<std::string_view, 17> kWideSpaces = {
    "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82",
    "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
    "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE2\x80\xAF",
};
constexpr std::string_view kMediumMathSpace = "\xE2\x81\x9F";
constexpr std::string_view kIdeographicSpace = "\xE3\x80\x80";

bool is_ascii_space(char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Length of the White_Space character that starts (front) or ends (back) `s`; 0 if none.
// Each encoding is a complete UTF-8 sequence (its lead byte fixes its length), so a
// match at either end is a whole character.
size_t leading_space(std::string_view s) {
  if (s.empty()) return 0;
  if (is_ascii_space(s.front())) return 1;
  for (std::string_view w : kWideSpaces) {
    if (s.starts_with(w)) return w.size();
  }
  if (s.starts_with(kMediumMathSpace) || s.starts_with(kIdeographicSpace)) return 3;
  return 0;
}

size_t trailing_space(std::string_view s) {
  if (s.empty()) return 0;
  if (is_ascii_space(s.back())) return 1;
  for (std::string_view w : kWideSpaces) {
    if (s.ends_with(w)) return w.size();
  }
  if (s.ends_with(kMediumMathSpace) || s.ends_with(kIdeographicSpace)) return 3;
  return 0;
}

}  // namespace

std::string_view trim_ws(std::string_view s) {
  while (size_t n = leading_space(s)) s.remove_prefix(n);
  while (size_t n = trailing_space(s)) s.remove_suffix(n);
  return s;
}

bool is_blank(std::string_view s) {
  return trim_ws(s).empty();
}

}  // namespace zm::text
