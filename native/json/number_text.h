// Text of a double as JSON writes it and as JSON error messages show it: the shortest
// digits that read back to the same value, laid out so that the text is always read
// back as a floating-point number (never as an integer).
#pragma once

#include <string>

namespace zm::json {

// Appends the text of a finite `v`:
//   decimal exponent (of the first significant digit) from -5 to 15: plain decimal,
//     integral values with ".0" ("100.0", "1.5", "0.00001");
//   otherwise "d.ddd" + "e" + exponent, no "+" and no leading zeros ("1e16",
//   "1.8446744073709552e19", "1e-7").
// Negative values carry a leading "-" ("-0.0" for negative zero). Callers handle
// non-finite values themselves (the writer emits null for them).
void append_float_text(std::string& out, double v);
std::string float_text(double v);

}  // namespace zm::json
