// Syntax of SHA-256 digest texts in manifests.
#pragma once

#include <string_view>

namespace zm::text {

// Exactly 64 characters, each 0-9 or a-f (uppercase fails).
bool is_hex_digest(std::string_view s);

// "sha256:" followed by a hex digest: exactly 71 characters.
bool is_digest_uri(std::string_view s);

}  // namespace zm::text
