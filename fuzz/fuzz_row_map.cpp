// libFuzzer harness for the streaming row-map validator: over an in-memory file it must
// count the same lines and validated rows as the strict decoder on each line alone
// (lines split at every line feed, a final line without one counted, one trailing
// carriage return removed), hash every byte, and keep the report within its bound.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "io/sha256.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/row_identity.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  uint64_t lines = 0;
  uint64_t strict_rows = 0;
  for (size_t start = 0; start < text.size();) {
    size_t nl = text.find('\n', start);
    size_t end = nl == std::string_view::npos ? text.size() : nl;
    ++lines;
    std::string_view line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    strict_rows += zm::decode_jsonl_row(line).has_value();
    start = end + 1;
  }

  int fd = memfd_create("zm_fuzz_rows", MFD_CLOEXEC);
  if (fd < 0) return 0;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    ::close(fd);
    return 0;
  }
  zm::ResourceLimits limits;
  limits.max_row_map_line_bytes = size + 1;  // no line is too long
  limits.max_report_issues = 8;
  std::vector<zm::ReportIssue> issues;
  auto result = zm::validate_jsonl_rows("/proc/self/fd/" + std::to_string(fd), /*allow_duplicate_db_ids=*/true, limits,
                                        lines, issues);
  ::close(fd);
  if (!result || !result->completed) std::abort();
  if (result->line_count != lines || result->validated_rows != strict_rows) std::abort();
  if (result->sha256 != zm::io::sha256_hex(text)) std::abort();
  if (issues.size() > limits.max_report_issues) std::abort();
  return 0;
}
