#include "text/uuid.h"

#include <array>
#include <cstdint>

namespace zm::text {

namespace {

// 1 for the bytes 0-9, a-f, A-F.
constexpr auto kHexTable = [] {
  std::array<uint8_t, 256> t{};
  for (int c = '0'; c <= '9'; ++c) t[c] = 1;
  for (int c = 'a'; c <= 'f'; ++c) t[c] = 1;
  for (int c = 'A'; c <= 'F'; ++c) t[c] = 1;
  return t;
}();

// Branch-free over the digits: row maps check millions of ids.
bool all_hex(std::string_view s) {
  unsigned ok = 1;
  for (char c : s) ok &= kHexTable[static_cast<unsigned char>(c)];
  return ok != 0;
}

// 8-4-4-4-12 hex digits joined by hyphens.
bool is_hyphenated(std::string_view s) {
  if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-') return false;
  unsigned ok = 1;
  for (size_t i : {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 12, 14, 15, 16, 17, 19, 20, 21, 22}) {
    ok &= kHexTable[static_cast<unsigned char>(s[i])];
  }
  for (size_t i = 24; i < 36; ++i) ok &= kHexTable[static_cast<unsigned char>(s[i])];
  return ok != 0;
}

}  // namespace

bool is_uuid_text(std::string_view s) {
  switch (s.size()) {
    case 32:
      return all_hex(s);
    case 36:
      return is_hyphenated(s);
    case 38:
      return s.front() == '{' && s.back() == '}' && is_hyphenated(s.substr(1, 36));
    case 45:
      return s.starts_with("urn:uuid:") && is_hyphenated(s.substr(9));
    default:
      return false;
  }
}

std::string uuid_v4_text(std::array<uint8_t, 16> bytes) {
  bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3F) | 0x80);
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(36);
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out += '-';
    out += kHex[bytes[i] >> 4];
    out += kHex[bytes[i] & 0x0F];
  }
  return out;
}

}  // namespace zm::text
