// Row identity: the JSON-lines declaration rules (phase 4), the row-map file phase
// (phase 10), and the one-pass streaming validator shared with manifest creation.
#include "manifest/verify/row_identity.h"

#include <algorithm>
#include <array>
#include <expected>
#include <memory>
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

// Bounded append that stops formatting messages once the list has settled: nothing
// appended after that point can survive, and a hostile file may hold millions of bad lines.
class IssueSink {
 public:
  explicit IssueSink(IssueLog& issues) : issues_(issues) {}

  template <class MakeMessage>
  void push(std::string_view code, MakeMessage&& make_message) {
    if (issues_.bounded_settled()) return;
    issues_.add_bounded(code, make_message());
  }

  // The string rules of one db_id / parent_id value, as validate_row_id_string.
  void check_id_string(std::string_view key, std::string_view value, uint64_t line_index) {
    RowIdFault fault = row_id_string_fault(value);
    if (fault == RowIdFault::None || issues_.bounded_settled()) return;
    push(row_id_fault_code(fault, key), [&] { return row_id_fault_message(fault, key, line_index); });
  }

 private:
  IssueLog& issues_;
};

// Per-line rules over the lines of one file, in order.
class RowValidator {
 public:
  RowValidator(bool allow_duplicates, const ResourceLimits& limits, uint64_t expected_rows, IssueLog& issues)
      : allow_duplicates_(allow_duplicates), limits_(limits), expected_rows_(expected_rows), sink_(issues) {}

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

  // What one complete line decodes to, computed a few lines ahead of the in-order
  // checks so the id's index entry can be fetched while earlier lines are checked. An
  // object is reused in place and never moved: `key.text` may point into `strict`.
  struct Decoded {
    bool too_long = false;
    bool fast = false;
    RowLineView row;                                       // when fast
    std::expected<JsonlRow, std::string> strict{JsonlRow{}};  // when not fast
    IdSet::Key key;                                        // unless duplicates are allowed or decoding failed
  };

  // Decodes `line` (without its line feed) into `d`. Pure apart from the prefetch.
  void decode(std::string_view line, Decoded& d) const {
    d.too_long = false;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    d.fast = decode_row_line_fast(line, d.row);
    std::string_view db_id = d.row.db_id;
    if (!d.fast) {
      d.strict = decode_jsonl_row(line);
      if (!d.strict) return;
      db_id = d.strict->db_id;
    }
    if (!allow_duplicates_) {
      d.key = IdSet::key(db_id);
      ids_.prefetch(d.key);
    }
  }

  // Runs every check of the decoded current line. False when validation must stop.
  bool finish(const Decoded& d) {
    const uint64_t index = lines_ - 1;
    if (d.fast) return check_row(index, d.row.row_id, d.row.db_id, d.row.has_parent ? &d.row.parent_id : nullptr, d);
    if (!d.strict) {
      sink_.push("row_identity_jsonl_invalid_json",
                 [&] { return fmt::format("line {} is not a strict row object: {}", index, d.strict.error()); });
      return true;
    }
    std::string_view parent;
    if (d.strict->parent_id) parent = *d.strict->parent_id;
    return check_row(index, d.strict->row_id, d.strict->db_id, d.strict->parent_id ? &parent : nullptr, d);
  }

  // A complete line within the current chunk (`too_long`: over the line limit). Lines
  // are checked in order, up to kAhead lines after they were handed in; flush() checks
  // the rest before the chunk's bytes go away. False when validation must stop.
  bool push(std::string_view line, bool too_long) {
    Decoded& d = ring_[(first_ + queued_) % kAhead];
    if (too_long) {
      d.too_long = true;
    } else {
      decode(line, d);
    }
    if (++queued_ < kAhead) return true;
    return check_oldest();
  }

  bool flush() {
    while (queued_ > 0) {
      if (!check_oldest()) return false;
    }
    return true;
  }

  // A line that crossed chunks, already begun with begin_line(), now complete.
  bool finish_now(std::string_view line) {
    decode(line, single_);
    return finish(single_);
  }

  uint64_t lines() const { return lines_; }
  uint64_t validated() const { return validated_; }

 private:
  static constexpr size_t kAhead = 16;

  bool check_oldest() {
    const Decoded& d = ring_[first_];
    first_ = (first_ + 1) % kAhead;
    --queued_;
    if (!begin_line()) return false;
    if (d.too_long) {
      line_too_long();
      return false;
    }
    return finish(d);
  }

  bool check_row(uint64_t index, uint64_t row_id, std::string_view db_id, const std::string_view* parent_id,
                 const Decoded& d) {
    if (row_id != index) {
      sink_.push("row_identity_row_id_mismatch", [&] { return fmt::format("line {} has row_id {}", index, row_id); });
    }
    // An id the set stores as UUID bytes is a UUID: no string rule can fail for it.
    if (allow_duplicates_ ? !IdSet::stores_as_uuid(db_id) : d.key.form() == 0) {
      sink_.check_id_string("db_id", db_id, index);
    }
    if (parent_id != nullptr && !IdSet::stores_as_uuid(*parent_id)) sink_.check_id_string("parent_id", *parent_id, index);
    ++validated_;
    if (allow_duplicates_) return true;
    switch (ids_.insert(d.key, limits_.max_row_map_tracked_id_bytes)) {
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
  std::array<Decoded, kAhead> ring_;
  size_t first_ = 0;   // the oldest line not yet checked
  size_t queued_ = 0;  // lines handed in and not yet checked
  Decoded single_;
};

}  // namespace

Result<RowValidation> validate_jsonl_chunks(io::ChunkSource& chunks, bool allow_duplicate_db_ids,
                                            const ResourceLimits& limits, uint64_t expected_row_count,
                                            IssueLog& issues) {
  // A line's length counts its line feed; a limit of 0 acts as 1.
  const uint64_t line_limit = limits.max_row_map_line_bytes == 0 ? 1 : limits.max_row_map_line_bytes;
  auto rows = std::make_unique<RowValidator>(allow_duplicate_db_ids, limits, expected_row_count, issues);
  auto stopped = [&] { return RowValidation{false, rows->lines(), rows->validated(), std::nullopt}; };

  std::string pending;   // the start of a line that crosses a chunk boundary, at most line_limit bytes
  bool in_line = false;  // pending holds a line already begun
  while (true) {
    auto chunk = chunks.next();
    if (!chunk) return fail(chunk.error());
    const char* buf = chunk->data();
    const size_t n = chunk->size();
    if (n == 0) break;
    size_t pos = 0;
    if (in_line) {
      const char* nl = static_cast<const char*>(std::memchr(buf, '\n', n));
      const size_t seg = nl != nullptr ? static_cast<size_t>(nl - buf) : n;
      if (pending.size() + seg + (nl != nullptr ? 1 : 0) > line_limit) {
        rows->line_too_long();
        return stopped();
      }
      pending.append(buf, seg);
      if (nl == nullptr) continue;
      if (!rows->finish_now(pending)) return stopped();
      pending.clear();
      in_line = false;
      pos = seg + 1;
    }
    // One pass: each complete line is decoded as it is found and checked in order a few
    // lines later.
    while (pos < n) {
      const char* nl = static_cast<const char*>(std::memchr(buf + pos, '\n', n - pos));
      if (nl == nullptr) break;
      const size_t len = static_cast<size_t>(nl - buf) - pos;
      if (!rows->push(std::string_view(buf + pos, len), len + 1 > line_limit)) return stopped();
      pos += len + 1;
    }
    if (!rows->flush()) return stopped();
    if (pos < n) {
      in_line = true;
      if (!rows->begin_line()) return stopped();
      if (n - pos > line_limit) {
        rows->line_too_long();
        return stopped();
      }
      pending.assign(buf + pos, n - pos);
    }
  }
  // A final line without a line feed still counts.
  if (in_line && !rows->finish_now(pending)) return stopped();
  return RowValidation{true, rows->lines(), rows->validated(), chunks.hex_digest()};
}

namespace {

// validate_jsonl_rows over a row map already open.
Result<RowValidation> validate_open_rows(io::File& file, bool allow_duplicate_db_ids, const ResourceLimits& limits,
                                         uint64_t expected_row_count, IssueLog& issues) {
  io::HashingChunkReader chunks(file);
  return validate_jsonl_chunks(chunks, allow_duplicate_db_ids, limits, expected_row_count, issues);
}

}  // namespace

Result<RowValidation> validate_jsonl_rows(const std::string& path, bool allow_duplicate_db_ids,
                                          const ResourceLimits& limits, uint64_t expected_row_count,
                                          std::vector<ReportIssue>& issues) {
  auto file = io::File::open_read(path);
  if (!file) return fail(file.error());
  IssueLog log(issues, limits.max_report_issues, IssueLog::Mode::Direct);
  return validate_open_rows(*file, allow_duplicate_db_ids, limits, expected_row_count, log);
}

Result<RowValidation> validate_jsonl_chunks(io::ChunkSource& chunks, bool allow_duplicate_db_ids,
                                            const ResourceLimits& limits, uint64_t expected_row_count,
                                            std::vector<ReportIssue>& issues) {
  IssueLog log(issues, limits.max_report_issues, IssueLog::Mode::Direct);
  return validate_jsonl_chunks(chunks, allow_duplicate_db_ids, limits, expected_row_count, log);
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
      file ? validate_open_rows(*file, ctx.options.allow_duplicate_db_ids, limits, jsonl.row_count, ctx.issues)
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
    std::string observed =
        result->completed ? fmt::format("{}", result->line_count) : fmt::format("at least {}", result->line_count);
    ctx.issues.add_if_absent(kRowCountMismatch, fmt::format("row identity file has {} rows, manifest declares {}",
                                                            observed, jsonl.row_count));
  }
}

}  // namespace zm
