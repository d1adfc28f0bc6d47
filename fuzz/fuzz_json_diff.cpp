// Differential harness: the strict JSON reader against nlohmann/json (a second strict RFC 8259 parser, used only here).
// Both must accept or reject each input alike and, when both accept, yield the same value. Known differences, skipped
// or normalised below:
//   - nesting: this reader stops at 128 levels; nlohmann has no depth limit.
//   - byte-order mark: nlohmann skips a leading UTF-8 BOM; this reader rejects it.
//   - NUL byte: nlohmann takes a NUL outside a string as the end of the input (so "1\0garbage" is accepted); this
//     reader rejects it as a trailing character. Inputs holding a NUL are skipped (inside a string both reject it).
//   - "-0": this reader keeps the double -0.0; nlohmann reads the integer 0 (numbers compare by value across classes).
//   - duplicate keys: both keep the last value (compared, not skipped).
//   - number range: both reject a double that overflows (1e400); integers beyond 64 bits become doubles in both.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json/reader.h"

namespace {

using nlohmann::json;

// Containers opened before the first byte that closes nothing: the nesting depth bound.
int max_depth(std::string_view s) {
  int depth = 0, max = 0;
  bool in_string = false, escaped = false;
  for (char c : s) {
    if (in_string) {
      if (escaped)
        escaped = false;
      else if (c == '\\')
        escaped = true;
      else if (c == '"')
        in_string = false;
      continue;
    }
    if (c == '"')
      in_string = true;
    else if (c == '[' || c == '{')
      max = std::max(max, ++depth);
    else if (c == ']' || c == '}')
      --depth;
  }
  return max;
}

bool as_double(const json& j, double& out) {
  if (j.is_number_unsigned())
    out = static_cast<double>(j.get<uint64_t>());
  else if (j.is_number_integer())
    out = static_cast<double>(j.get<int64_t>());
  else if (j.is_number_float())
    out = j.get<double>();
  else
    return false;
  return true;
}

bool same(const zm::json::Value& a, const json& b) {
  using zm::json::Array;
  using zm::json::Object;
  return std::visit(
      [&](const auto& v) -> bool {
        using T = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<T, std::nullptr_t>) {
          return b.is_null();
        } else if constexpr (std::is_same_v<T, bool>) {
          return b.is_boolean() && b.get<bool>() == v;
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          return b.is_number_unsigned() && b.get<uint64_t>() == v;
        } else if constexpr (std::is_same_v<T, int64_t>) {
          return b.is_number_integer() && !b.is_number_unsigned() && b.get<int64_t>() == v;
        } else if constexpr (std::is_same_v<T, double>) {
          double d;
          return as_double(b, d) && d == v;  // -0.0 == 0 by value
        } else if constexpr (std::is_same_v<T, std::string>) {
          return b.is_string() && b.get_ref<const std::string&>() == v;
        } else if constexpr (std::is_same_v<T, Array>) {
          if (!b.is_array() || b.size() != v.size()) return false;
          for (size_t i = 0; i < v.size(); ++i)
            if (!same(v[i], b[i])) return false;
          return true;
        } else {
          if (!b.is_object() || b.size() != v.size()) return false;
          for (const auto& [k, member] : v) {
            auto it = b.find(k);
            if (it == b.end() || !same(member, *it)) return false;
          }
          return true;
        }
      },
      a.v);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return 0;        // BOM class
  if (max_depth(text) > zm::json::kMaxDepth) return 0;      // nesting class
  if (text.find('\0') != std::string_view::npos) return 0;  // NUL class
  zm::json::Reader reader(text);
  zm::json::Value ours;
  const bool ours_ok = reader.read_value(&ours) && reader.finish();
  json theirs = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  const bool theirs_ok = !theirs.is_discarded();
  if (ours_ok != theirs_ok) std::abort();
  if (ours_ok && !same(ours, theirs)) std::abort();
  return 0;
}
