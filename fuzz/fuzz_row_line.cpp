// libFuzzer harness for row-map lines: the fast path and the strict decoder agree on every line (a line the fast path
// takes is taken by the strict decoder with the same record; a line in the fast path's compact forms, parent_id absent,
// null or a string, is never left to the strict decoder).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "manifest/schema/codec.h"
#include "manifest/verify/row_line.h"

namespace {

bool fast_form_string(std::string_view s) {
  for (unsigned char c : s) {
    if (c < 0x20 || c > 0x7e || c == '"' || c == '\\') return false;
  }
  return true;
}

// The compact text the fast path is documented to accept for `row`; with `absent`, the form without a parent_id key
// (only for a row without a parent).
std::string fast_form(const zm::JsonlRow& row, bool absent = false) {
  std::string out = "{\"row_id\":" + std::to_string(row.row_id) + ",\"db_id\":\"" + row.db_id + "\"";
  if (absent) return out + "}";
  out += ",\"parent_id\":";
  out += row.parent_id ? "\"" + *row.parent_id + "\"}" : "null}";
  return out;
}

// Returns whether the line decodes strictly.
bool check_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  zm::RowLineView fast;
  const bool fast_ok = zm::decode_row_line_fast(line, fast);
  auto strict = zm::decode_jsonl_row(line);
  if (fast_ok) {
    if (!strict || strict->row_id != fast.row_id || strict->db_id != fast.db_id ||
        strict->parent_id.has_value() != fast.has_parent || (fast.has_parent && *strict->parent_id != fast.parent_id))
      std::abort();
  } else if (strict && fast_form_string(strict->db_id) &&
             (!strict->parent_id || fast_form_string(*strict->parent_id)) &&
             (fast_form(*strict) == line || (!strict->parent_id && fast_form(*strict, true) == line))) {
    std::abort();  // the documented fast form was declined
  }
  if (!strict && strict.error().find(" at line 1 column ") == std::string::npos) std::abort();
  return strict.has_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  for (size_t start = 0; start <= text.size();) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    check_line(text.substr(start, end - start));
    if (nl == std::string_view::npos) break;
    start = end + 1;
  }
  return 0;
}
