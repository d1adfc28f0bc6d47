// UUID text: recognition of the four usual forms, and the version 4 form of 16 bytes.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace zm::text {

// True for exactly one of: 32 hex digits; 8-4-4-4-12 hex digits joined by "-" (36);
// that form in braces (38); "urn:uuid:" followed by that form (45). Hex digits in
// either case; any version and variant. The "urn:uuid:" prefix is matched as written.
bool is_uuid_text(std::string_view s);

// Lowercase hyphenated form of 16 bytes with the version set to 4 and the variant to
// RFC 4122 (bytes 6 and 8 adjusted).
std::string uuid_v4_text(std::array<uint8_t, 16> bytes);

}  // namespace zm::text
