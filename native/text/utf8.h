// UTF-8 helpers: validation and lossy decoding for display (invalid sequences become
// U+FFFD, one per maximal invalid subpart, as Python's "replace" and Rust's lossy do).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace zm::text {

// Length of the valid UTF-8 sequence starting at s[i], or 0 when none starts there.
size_t utf8_sequence_length(std::string_view s, size_t i);
bool is_valid_utf8(std::string_view s);
std::string lossy_utf8(std::string_view s);

}  // namespace zm::text
