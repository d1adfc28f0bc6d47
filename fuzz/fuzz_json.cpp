// libFuzzer harness for the JSON layer. Each input is read as:
//   - a manifest: one that decodes writes compact and pretty text that decode again to the same compact text; errors
//     carry a position inside the input (row-map lines are fuzzed by fuzz_row_line).
//   - a generic value: accepted, and then written compactly it reads back equal and equals the straight canonical
//     reading; or rejected with an error index inside the input, and checking only and reading to canonical text stop
//     with the same error at the same place.
//   - against nlohmann/json (a second strict RFC 8259 parser, used only here): both accept or reject alike and, when
//     both accept, yield the same value. Known differences, skipped or normalised below:
//       - nesting: this reader stops at 128 levels; nlohmann has no depth limit.
//       - byte-order mark: nlohmann skips a leading UTF-8 BOM; this reader rejects it.
//       - NUL byte: nlohmann takes a NUL outside a string as the end of the input (so "1\0garbage" is accepted); this
//         reader rejects it as a trailing character. Inputs holding a NUL are skipped (inside a string both reject).
//       - "-0": this reader keeps the double -0.0; nlohmann reads the integer 0 (numbers compare by value).
//       - duplicate keys: both keep the last value (compared, not skipped).
//       - number range: both reject a double that overflows (1e400); integers beyond 64 bits become doubles in both.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "json/reader.h"
#include "json/writer.h"
#include "manifest/schema/codec.h"

namespace {

using nlohmann::json;

void check_manifest(std::string_view text) {
  auto m = zm::parse_manifest(text);
  if (!m) {
    const auto& e = m.error();
    if (e.line() == 0 || e.line() > text.size() + 1 || e.column() > text.size()) std::abort();
    return;
  }
  std::string compact = zm::write_manifest_compact(*m);
  auto again = zm::parse_manifest(compact);
  auto from_pretty = zm::parse_manifest(zm::write_manifest_pretty(*m));
  if (!again || !from_pretty) std::abort();
  if (zm::write_manifest_compact(*again) != compact || zm::write_manifest_compact(*from_pretty) != compact) std::abort();
}

// Returns whether the reader accepted the input, with the value read in `value`.
bool check_value(std::string_view text, zm::json::Value& value) {
  zm::json::Reader reader(text);
  if (!(reader.read_value(&value) && reader.finish())) {
    if (!reader.has_error() || reader.error_index() > text.size() || reader.error_message().empty()) std::abort();
    zm::json::Position pos = zm::json::position_of(text, reader.error_index());
    if (pos.line == 0 || pos.column > text.size()) std::abort();
    zm::json::Reader check(text), canon(text);
    std::string canonical;
    if ((check.read_value(nullptr) && check.finish()) || (canon.read_canonical(canonical) && canon.finish()))
      std::abort();
    for (const auto* other : {&check, &canon}) {
      if (other->error_index() != reader.error_index() || other->error_message() != reader.error_message())
        std::abort();
    }
    return false;
  }
  zm::json::Writer writer;
  writer.value(value);
  const std::string& compact = writer.buffer();
  zm::json::Reader canon(text), again(compact);
  std::string canonical;
  if (!canon.read_canonical(canonical) || !canon.finish() || canonical != compact) std::abort();
  zm::json::Value back;
  if (!again.read_value(&back) || !again.finish() || !(back == value)) std::abort();
  return true;
}

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
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      max = std::max(max, ++depth);
    } else if (c == ']' || c == '}') {
      --depth;
    }
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
  check_manifest(text);
  zm::json::Value ours;
  const bool ours_ok = check_value(text, ours);
  if (text.substr(0, 3) == "\xEF\xBB\xBF" || max_depth(text) > zm::json::kMaxDepth ||
      text.find('\0') != std::string_view::npos)
    return 0;  // the BOM, nesting and NUL classes
  json theirs = json::parse(text.begin(), text.end(), nullptr, /*allow_exceptions=*/false);
  if (ours_ok == theirs.is_discarded() || (ours_ok && !same(ours, theirs))) std::abort();
  return 0;
}
