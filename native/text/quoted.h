// The quoted form in which messages show names, keys, identifiers and model names.
#pragma once

#include <string>
#include <string_view>

namespace zm::text {

// "\"" + text + "\"": \" \\ \t \r \n \0 escaped with a backslash; every other character
// that Python's str.isprintable() calls non-printable as \u{hex} (lowercase, no
// padding); everything else unchanged. Invalid UTF-8 is first replaced as lossy_utf8
// does, so each invalid subpart shows as U+FFFD.
std::string quoted(std::string_view text);

// True for the code points that str.isprintable() calls printable (U+0020 included).
bool is_printable(char32_t cp);

}  // namespace zm::text
