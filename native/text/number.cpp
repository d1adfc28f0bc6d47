#include "text/number.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zm::text {

std::string plain_number(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";

  // Shortest round-trip digits in scientific form: d[.ddd]e±X.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));

  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  size_t e_pos = sci.find('e');
  std::string_view mantissa = sci.substr(0, e_pos);
  int exponent = 0;
  std::string_view exp_text = sci.substr(e_pos + 1);
  if (exp_text.front() == '+') exp_text.remove_prefix(1);
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

  std::string digits;
  for (char c : mantissa) {
    if (c != '.') digits += c;
  }
  // The value is 0.d1d2...dn * 10^(exponent + 1).
  const long point = static_cast<long>(exponent) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

}  // namespace zm::text
