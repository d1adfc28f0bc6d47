// Extension keys (phase 7): every key must be namespaced. Values are not examined.
#include <fmt/format.h>

#include "manifest/verify/phases.h"
#include "text/quoted.h"

namespace zm {

namespace {

bool is_ascii_alnum(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// A dotted segment: non-empty, only ASCII letters, digits, '-' and '_', and at least one
// letter or digit.
bool is_segment(std::string_view s) {
  bool alnum = false;
  for (char c : s) {
    if (is_ascii_alnum(c)) {
      alnum = true;
    } else if (c != '-' && c != '_') {
      return false;
    }
  }
  return alnum;
}

bool is_dotted_name(std::string_view key) {
  size_t segments = 0;
  size_t pos = 0;
  for (;;) {
    size_t dot = key.find('.', pos);
    std::string_view seg = key.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
    if (!is_segment(seg)) return false;
    ++segments;
    if (dot == std::string_view::npos) break;
    pos = dot + 1;
  }
  return segments >= 2;
}

bool is_namespaced(std::string_view key) {
  return key.find("://") != std::string_view::npos || key.starts_with("urn:") || is_dotted_name(key);
}

}  // namespace

void check_extension_keys(VerifyContext& ctx) {
  // The object's keys are held in ascending byte order, the order issues are reported in.
  for (const auto& [key, value] : ctx.manifest().extensions.tree()) {
    if (!is_namespaced(key)) {
      ctx.report.error("extension_key_not_namespaced",
                       fmt::format("extension key {} must be namespaced", text::quoted(key)));
    }
  }
}

}  // namespace zm
