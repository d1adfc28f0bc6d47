#include "text/digest.h"

namespace zm::text {

bool is_hex_digest(std::string_view s) {
  if (s.size() != 64) return false;
  for (char c : s) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool is_digest_uri(std::string_view s) {
  constexpr std::string_view kPrefix = "sha256:";
  return s.starts_with(kPrefix) && is_hex_digest(s.substr(kPrefix.size()));
}

}  // namespace zm::text
