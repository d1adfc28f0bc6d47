#include "json/number_text.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace zm::json {

void append_float_text(std::string& out, double v) {
  // Shortest round-trip digits in scientific layout: "-d.ddde+XX".
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific);
  const char* p = sci;
  const char* end = res.ptr;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[24] = {'0'};
  int ndigits = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[ndigits++] = *p;
  }
  int exp = 0;
  if (p < end) {  // 'e', then sign and at least two digits
    ++p;
    bool neg = *p == '-';
    ++p;
    for (; p < end; ++p) exp = exp * 10 + (*p - '0');
    if (neg) exp = -exp;
  }
  // kk: the number of digits before the decimal point in plain notation.
  int kk = exp + 1;
  if (ndigits <= kk && kk <= 16) {
    out.append(digits, ndigits);
    out.append(static_cast<size_t>(kk - ndigits), '0');
    out.append(".0");
  } else if (0 < kk && kk <= 16) {
    out.append(digits, kk);
    out.push_back('.');
    out.append(digits + kk, ndigits - kk);
  } else if (-5 < kk && kk <= 0) {
    out.append("0.");
    out.append(static_cast<size_t>(-kk), '0');
    out.append(digits, ndigits);
  } else {
    out.push_back(digits[0]);
    if (ndigits > 1) {
      out.push_back('.');
      out.append(digits + 1, ndigits - 1);
    }
    out.push_back('e');
    char ebuf[8];
    auto er = std::to_chars(ebuf, ebuf + sizeof ebuf, kk - 1);
    out.append(ebuf, er.ptr);
  }
}

std::string float_text(double v) {
  std::string out;
  append_float_text(out, v);
  return out;
}

}  // namespace zm::json
