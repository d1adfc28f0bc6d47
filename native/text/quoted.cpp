#include "text/quoted.h"

#include <algorithm>
#include <cstdint>
#include <iterator>

#include <fmt/format.h>

#include "text/utf8.h"

namespace zm::text {

namespace {

struct Range {
  uint32_t first;
  uint32_t last;
};

// Sorted, disjoint, inclusive ranges of non-printable code points.
constexpr Range kNonPrintable[] = {
#include "text/printable_table.inc"
};

// Decodes the valid UTF-8 sequence of length n at p.
char32_t decode(const unsigned char* p, size_t n) {
  switch (n) {
    case 1:
      return p[0];
    case 2:
      return static_cast<char32_t>((p[0] & 0x1F) << 6 | (p[1] & 0x3F));
    case 3:
      return static_cast<char32_t>((p[0] & 0x0F) << 12 | (p[1] & 0x3F) << 6 | (p[2] & 0x3F));
    default:
      return static_cast<char32_t>((p[0] & 0x07) << 18 | (p[1] & 0x3F) << 12 | (p[2] & 0x3F) << 6 | (p[3] & 0x3F));
  }
}

void append_quoted_valid(std::string& out, std::string_view s) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s.data());
  size_t i = 0;
  while (i < s.size()) {
    size_t n = utf8_sequence_length(s, i);
    if (n == 0) n = 1;  // unreachable for valid input; keeps the loop moving
    char32_t cp = decode(bytes + i, n);
    switch (cp) {
      case U'"':
        out += "\\\"";
        break;
      case U'\\':
        out += "\\\\";
        break;
      case U'\t':
        out += "\\t";
        break;
      case U'\r':
        out += "\\r";
        break;
      case U'\n':
        out += "\\n";
        break;
      case U'\0':
        out += "\\0";
        break;
      default:
        if (is_printable(cp)) {
          out.append(s.data() + i, n);
        } else {
          fmt::format_to(std::back_inserter(out), "\\u{{{:x}}}", static_cast<uint32_t>(cp));
        }
    }
    i += n;
  }
}

}  // namespace

bool is_printable(char32_t cp) {
  const auto* end = std::end(kNonPrintable);
  // The first range whose last code point is not below cp.
  const auto* it = std::lower_bound(std::begin(kNonPrintable), end, static_cast<uint32_t>(cp),
                                    [](const Range& r, uint32_t v) { return r.last < v; });
  return it == end || static_cast<uint32_t>(cp) < it->first;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  if (is_valid_utf8(text)) {
    append_quoted_valid(out, text);
  } else {
    append_quoted_valid(out, lossy_utf8(text));
  }
  out += '"';
  return out;
}

}  // namespace zm::text
