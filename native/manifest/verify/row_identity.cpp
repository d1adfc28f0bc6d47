// Row identity: the JSON-lines declaration rules (phase 4), the row-map file phase
// (phase 10), and the one-pass streaming validator shared with manifest creation.
#include "manifest/verify/row_identity.h"

#include <algorithm>
#include <cstring>
#include <variant>

#include <fmt/format.h>

#include "io/file.h"
#include "io/hashing_reader.h"
#include "io/open_checked.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/id_set.h"
#include "manifest/verify/path_policy.h"
#include "manifest/verify/phases.h"
#include "manifest/verify/row_line.h"
#include "text/digest.h"
#include "text/trim.h"
#include "text/utf8.h"

namespace zm {

namespace {

constexpr std::string_view kRowCountMismatch = "row_identity_row_count_mismatch";

// Bounded append that stops formatting messages once the list has collapsed into the
// limit issue: nothing appended after that point can survive, and a hostile file may
// hold millions of bad lines.
class IssueSink {
 public:
  IssueSink(std::vector<ReportIssue>& issues, uint64_t max) : issues_(issues), max_(max) {}

  // Once the list is full, every bounded append either inserts the limit issue or is
  // discarded because it is there; after that, nothing more can change the list.
  template <class MakeMessage>
  void push(std::string_view code, MakeMessage&& make_message) {
    if (saturated_) return;
    const bool full = issues_.size() >= max_;
    push_report_issue_bounded(issues_, max_, code, make_message());
    if (full) saturated_ = true;
  }

  // The string rules of one db_id / parent_id value, as validate_row_id_string.
  void check_id_string(std::string_view key, std::string_view value, uint64_t line_index) {
    RowIdFault fault = row_id_string_fault(value);
    if (fault == RowIdFault::None || saturated_) return;
    push(row_id_fault_code(fault, key), [&] { return row_id_fault_message(fault, key, line_index); });
  }

 private:
  std::vector<ReportIssue>& issues_;
  uint64_t max_;
  bool saturated_ = false;
};

// Per-line rules over the lines of one file, in order.
class RowValidator {
 public:
  RowValidator(bool allow_duplicates, const ResourceLimits& limits, uint64_t expected_rows,
               std::vector<ReportIssue>& issues)
      : allow_duplicates_(allow_duplicates),
        limits_(limits),
        expected_rows_(expected_rows),
        sink_(issues, limits.max_report_issues) {}

  // A new line begins. False (after its issue) when the row limit or the expected row
  // count is exceeded by it.
  bool begin_line() {
    const uint64_t n = ++lines_;
    if (n > limits_.max_row_map_rows) {
      sink_.push("row_identity_row_count_limit_exceeded", [&] {
        return fmt::format("row identity file has more than max_row_identity_rows={} rows", limits_.max_row_map_rows);
      });
      return false;
    }
    if (n > expected_rows_) {
      sink_.push(kRowCountMismatch,
                 [&] { return fmt::format("row identity file has more than declared row_count={}", expected_rows_); });
      return false;
    }
    return true;
  }

  void line_too_long() {
    sink_.push("row_identity_line_too_large", [&] {
      return fmt::format("line {} exceeds max_row_identity_jsonl_line_bytes={}", lines_ - 1,
                         limits_.max_row_map_line_bytes);
    });
  }

  // What the fast path makes of one complete line, computed ahead of the in-order
  // checks so the id's index slot can be fetched while earlier lines are checked.
  struct Decoded {
    const char* at = nullptr;  // the line this was computed for
    bool fast = false;
    RowLineView row;
    uint64_t hash = 0;
  };

  Decoded decode(std::string_view line) const {
    Decoded d;
    d.at = line.data();
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    d.fast = decode_row_line_fast(line, d.row);
    if (d.fast && !allow_duplicates_) {
      d.hash = IdSet::hash(d.row.db_id);
      ids_.prefetch(d.hash);
    }
    return d;
  }

  // The complete current line without its line feed, with its decode() when one was
  // made ahead. False when validation must stop.
  bool finish_line(std::string_view line, const Decoded* ahead = nullptr) {
    Decoded d = ahead != nullptr && ahead->at == line.data() ? *ahead : decode(line);
    const uint64_t index = lines_ - 1;
    if (d.fast)
      return check_row(index, d.row.row_id, d.row.db_id, d.row.has_parent ? &d.row.parent_id : nullptr, d.hash);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto row = decode_jsonl_row(line);
    if (!row) {
      sink_.push("row_identity_jsonl_invalid_json",
                 [&] { return fmt::format("line {} is not a strict row object: {}", index, row.error()); });
      return true;
    }
    std::string_view parent;
    if (row->parent_id) parent = *row->parent_id;
    const uint64_t id_hash = allow_duplicates_ ? 0 : IdSet::hash(row->db_id);
    return check_row(index, row->row_id, row->db_id, row->parent_id ? &parent : nullptr, id_hash);
  }

  uint64_t lines() const { return lines_; }
  uint64_t validated() const { return validated_; }

 private:
  bool check_row(uint64_t index, uint64_t row_id, std::string_view db_id, const std::string_view* parent_id,
                 uint64_t id_hash) {
    if (row_id != index) {
      sink_.push("row_identity_row_id_mismatch", [&] { return fmt::format("line {} has row_id {}", index, row_id); });
    }
    sink_.check_id_string("db_id", db_id, index);
    if (parent_id != nullptr) sink_.check_id_string("parent_id", *parent_id, index);
    ++validated_;
    if (allow_duplicates_) return true;
    switch (ids_.insert_hashed(db_id, id_hash, limits_.max_row_map_tracked_id_bytes)) {
      case IdSet::Insert::Added:
        return true;
      case IdSet::Insert::Duplicate:
        sink_.push("row_identity_duplicate_db_id", [&] { return fmt::format("line {} repeats db_id", index); });
        return true;
      case IdSet::Insert::OverBudget:
        sink_.push("row_identity_duplicate_tracking_limit_exceeded", [&] {
          return fmt::format("tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes={}",
                             limits_.max_row_map_tracked_id_bytes);
        });
        return false;
    }
    return true;
  }

  bool allow_duplicates_;
  const ResourceLimits& limits_;
  uint64_t expected_rows_;
  IssueSink sink_;
  IdSet ids_;
  uint64_t lines_ = 0;
  uint64_t validated_ = 0;
};

// Index just past the first line feed at or after `from`, or `n` when there is none.
size_t skip_line(const char* buf, size_t from, size_t n) {
  const void* nl = std::memchr(buf + from, '\n', n - from);
  return nl == nullptr ? n : static_cast<size_t>(static_cast<const char*>(nl) - buf) + 1;
}

}  // namespace

Result<RowValidation> validate_jsonl_chunks(io::ChunkSource& chunks, bool allow_duplicate_db_ids,
                                            const ResourceLimits& limits, uint64_t expected_row_count,
                                            std::vector<ReportIssue>& issues) {
  // A line's length counts its line feed; a limit of 0 acts as 1.
  const uint64_t line_limit = limits.max_row_map_line_bytes == 0 ? 1 : limits.max_row_map_line_bytes;
  RowValidator rows(allow_duplicate_db_ids, limits, expected_row_count, issues);
  auto stopped = [&] { return RowValidation{false, rows.lines(), rows.validated(), std::nullopt}; };

  std::string pending;  // the start of a line that crosses a chunk boundary, at most line_limit bytes
  bool in_line = false;
  std::vector<RowValidator::Decoded> ahead;
  ahead.reserve(256);
  while (true) {
    auto chunk = chunks.next();
    if (!chunk) return fail(chunk.error());
    const char* buf = chunk->data();
    const size_t n = chunk->size();
    if (n == 0) break;
    // Decode the chunk's complete lines ahead of the in-order checks (see decode()).
    ahead.clear();
    for (size_t q = in_line ? skip_line(buf, 0, n) : 0; q < n;) {
      const char* nl = static_cast<const char*>(std::memchr(buf + q, '\n', n - q));
      if (nl == nullptr) break;
      const size_t len = static_cast<size_t>(nl - buf) - q;
      if (len + 1 <= line_limit) ahead.push_back(rows.decode(std::string_view(buf + q, len)));
      q += len + 1;
    }
    size_t next_ahead = 0;
    size_t pos = 0;
    while (pos < n) {
      if (!in_line) {
        in_line = true;
        if (!rows.begin_line()) return stopped();
      }
      const char* nl = static_cast<const char*>(std::memchr(buf + pos, '\n', n - pos));
      const size_t end = nl ? static_cast<size_t>(nl - buf) : n;
      const size_t seg = end - pos;
      if (nl == nullptr) {
        if (pending.size() + seg > line_limit) {
          rows.line_too_long();
          return stopped();
        }
        pending.append(buf + pos, seg);
        break;
      }
      if (pending.size() + seg + 1 > line_limit) {
        rows.line_too_long();
        return stopped();
      }
      bool go_on;
      if (pending.empty()) {
        // In place, no copy.
        const auto* d = next_ahead < ahead.size() && ahead[next_ahead].at == buf + pos ? &ahead[next_ahead++] : nullptr;
        go_on = rows.finish_line(std::string_view(buf + pos, seg), d);
      } else {
        pending.append(buf + pos, seg);
        go_on = rows.finish_line(pending);
        pending.clear();
      }
      if (!go_on) return stopped();
      in_line = false;
      pos = end + 1;
    }
  }
  // A final line without a line feed still counts.
  if (in_line && !rows.finish_line(pending)) return stopped();
  return RowValidation{true, rows.lines(), rows.validated(), chunks.hex_digest()};
}

namespace {

// validate_jsonl_rows over a row map already open.
Result<RowValidation> validate_open_rows(io::File& file, bool allow_duplicate_db_ids, const ResourceLimits& limits,
                                         uint64_t expected_row_count, std::vector<ReportIssue>& issues) {
  io::HashingChunkReader chunks(file);
  return validate_jsonl_chunks(chunks, allow_duplicate_db_ids, limits, expected_row_count, issues);
}

}  // namespace

Result<RowValidation> validate_jsonl_rows(const std::string& path, bool allow_duplicate_db_ids,
                                          const ResourceLimits& limits, uint64_t expected_row_count,
                                          std::vector<ReportIssue>& issues) {
  auto file = io::File::open_read(path);
  if (!file) return fail(file.error());
  return validate_open_rows(*file, allow_duplicate_db_ids, limits, expected_row_count, issues);
}

void check_row_identity_declaration(VerifyContext& ctx) {
  const auto* jsonl = std::get_if<RowIdentityJsonl>(&ctx.manifest().row_identity);
  if (jsonl == nullptr) return;
  if (text::is_blank(jsonl->path)) ctx.report.error("row_identity_path_empty", "row_identity.path must be non-empty");
  if (!text::is_hex_digest(jsonl->sha256)) {
    ctx.report.error("row_identity_sha256_invalid",
                     "row_identity.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (jsonl->id_kind != "uuid") {
    ctx.report.error("row_identity_id_kind_unsupported", "row_identity.id_kind must be uuid in v1");
  }
  if (jsonl->db) {
    ctx.report.error("row_identity_db_unsupported",
                     "row_identity.db is reserved for a future schema and is not verified in v1");
  }
}

void check_row_identity_file(VerifyContext& ctx) {
  const RowIdentity& identity = ctx.manifest().row_identity;
  RowIdentityReport& out = ctx.report.row_identity;
  out.kind = std::string(row_identity_kind_name(identity));
  if (const auto* plain = std::get_if<RowIdIdentity>(&identity)) {
    out.row_count = plain->row_count;
    return;
  }
  const auto& jsonl = std::get<RowIdentityJsonl>(identity);
  const ResourceLimits& limits = ctx.limits();
  out.row_count = jsonl.row_count;
  out.manifest_path = jsonl.path;
  if (jsonl.row_count > limits.max_row_map_rows) {
    ctx.report.error("row_identity_row_count_limit_exceeded",
                     fmt::format("row_identity.row_count {} exceeds max_row_identity_rows={}", jsonl.row_count,
                                 limits.max_row_map_rows));
    return;
  }
  auto resolved = resolve_existing_entry(jsonl.path, ctx.doc.base_dir, ctx.options.allow_absolute_paths,
                                         ctx.options.allow_path_escape, "row_identity", ctx.report.errors);
  if (!resolved) return;
  // Read only the entry resolved: a file swapped in since is reported unavailable.
  auto file = open_resolved(*resolved, "row_identity", ctx.report.errors);
  if (!file && io::is_file_changed(file.error())) return;
  out.canonical_path = text::lossy_utf8(resolved->canonical);
  ctx.capture.row_identity_path = resolved->canonical;

  auto result =
      file ? validate_open_rows(*file, ctx.options.allow_duplicate_db_ids, limits, jsonl.row_count, ctx.report.errors)
           : Result<RowValidation>(std::unexpected(file.error()));
  if (!result) {
    ctx.report.error("row_identity_read_failed",
                     fmt::format("failed to read row identity file: {}", result.error().display()));
    return;
  }
  out.validated_rows = result->validated_rows;
  if (result->completed) {
    out.sha256 = result->sha256;
    if (*result->sha256 != jsonl.sha256) {
      ctx.report.error("row_identity_sha256_mismatch",
                       fmt::format("row_identity SHA-256 was {}, manifest declares {}", *result->sha256, jsonl.sha256));
    }
  }
  if (result->line_count != jsonl.row_count) {
    for (const auto& issue : ctx.report.errors) {
      if (issue.code == kRowCountMismatch) return;
    }
    std::string observed =
        result->completed ? fmt::format("{}", result->line_count) : fmt::format("at least {}", result->line_count);
    ctx.report.error(kRowCountMismatch,
                     fmt::format("row identity file has {} rows, manifest declares {}", observed, jsonl.row_count));
  }
}

}  // namespace zm
