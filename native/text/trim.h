// Trimming of Unicode white space over UTF-8 text, as field rules use it ("non-empty"
// means non-empty after trimming).
#pragma once

#include <string_view>

namespace zm::text {

// `s` without its leading and trailing characters of the Unicode White_Space property:
// U+0009-U+000D, U+0020, U+0085, U+00A0, U+1680, U+2000-U+200A, U+2028, U+2029,
// U+202F, U+205F, U+3000. Bytes that are not valid UTF-8 are never trimmed.
std::string_view trim_ws(std::string_view s);

// True when nothing is left after trim_ws.
bool is_blank(std::string_view s);

}  // namespace zm::text
