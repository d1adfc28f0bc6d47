#include "manifest/limits.h"

#include <fmt/format.h>

namespace zm {

std::string limits_json(const ResourceLimits& limits) {
  std::string out = "{";
  bool first = true;
  for (const auto& f : kLimitFields) {
    if (!first) out.push_back(',');
    first = false;
    out += fmt::format("\"{}\":{}", f.keyword, limits.*f.member);
  }
  out.push_back('}');
  return out;
}

}  // namespace zm
