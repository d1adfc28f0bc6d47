// Row-map line decoding: the allocation-free fast path for the usual compact line, and
// the per-value rules shared by both decoding paths.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/report.h"

namespace zm {

// One row decoded in place; the views point into the line given to the decoder.
struct RowLineView {
  uint64_t row_id = 0;
  std::string_view db_id;
  bool has_parent = false;  // false: "parent_id" null or absent
  std::string_view parent_id;
};

// Accepts exactly the records {"row_id":N,"db_id":"S"}, {"row_id":N,"db_id":"S","parent_id":null}
// and {"row_id":N,"db_id":"S","parent_id":"S"}: that key order, spaces or tabs allowed
// around every token, N a u64 in canonical decimal, each S printable ASCII without '"'
// or '\'. Anything else returns false and must go to the strict decoder. Whenever this
// returns true, the strict decoder accepts the same line and yields the same record, so
// the two never disagree.
bool decode_row_line_fast(std::string_view line, RowLineView& out);

// The first string rule a db_id / parent_id value breaks, in rule order.
enum class RowIdFault { None, Empty, ContainsNul, InvalidUuid };
RowIdFault row_id_string_fault(std::string_view value);
// The reason code and message of `fault` (not None) for `key` on line `line_index`.
std::string row_id_fault_code(RowIdFault fault, std::string_view key);
std::string row_id_fault_message(RowIdFault fault, std::string_view key, uint64_t line_index);

// The string rules for `db_id` / `parent_id` (key), first failure only: empty, NUL,
// not a UUID. Appends at most one issue through the bounded append.
void validate_row_id_string(std::string_view key, std::string_view value, uint64_t line_index,
                            uint64_t max_report_issues, std::vector<ReportIssue>& issues);

}  // namespace zm
