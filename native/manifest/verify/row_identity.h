// Streaming validation of a JSON-lines row map; shared by verification and creation.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "io/chunk_source.h"
#include "manifest/error.h"
#include "manifest/issue_log.h"
#include "manifest/limits.h"
#include "manifest/report.h"

namespace zm {

struct RowValidation {
  bool completed = false;   // read to the end of the file; false: stopped by a limit
  uint64_t line_count = 0;  // lines seen, the stopping line included
  uint64_t validated_rows = 0;
  std::optional<std::string> sha256;  // whole-file digest, only when completed
};

// Appends every issue it finds to `issues` through the bounded append. Returns the
// outcome, or the I/O error when the file cannot be opened or read.
Result<RowValidation> validate_jsonl_rows(const std::string& path, bool allow_duplicate_db_ids,
                                          const ResourceLimits& limits, uint64_t expected_row_count,
                                          std::vector<ReportIssue>& issues);

// The same over bytes from any chunk source; the digest is the source's.
Result<RowValidation> validate_jsonl_chunks(io::ChunkSource& chunks, bool allow_duplicate_db_ids,
                                            const ResourceLimits& limits, uint64_t expected_row_count,
                                            std::vector<ReportIssue>& issues);
// The same, appending through `issues` (direct or recording).
Result<RowValidation> validate_jsonl_chunks(io::ChunkSource& chunks, bool allow_duplicate_db_ids,
                                            const ResourceLimits& limits, uint64_t expected_row_count,
                                            IssueLog& issues);

}  // namespace zm
