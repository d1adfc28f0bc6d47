// Plain number text for messages (not JSON).
#pragma once

#include <string>

namespace zm::text {

// The shortest decimal that reads back to `v`, laid out without exponent: integral
// values without a fraction ("3", "100000000000000000000"), others with the digits
// they need ("3.1", "0.0000001"). Negative zero is "-0"; non-finite values are "NaN",
// "inf" and "-inf".
std::string plain_number(double v);

}  // namespace zm::text
