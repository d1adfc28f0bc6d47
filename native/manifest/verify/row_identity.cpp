// Row identity: the JSON-lines declaration rules (phase 4), the row-map file phase
// (phase 10), and the one-pass streaming validator shared with manifest creation.
#include "manifest/verify/row_identity.h"

#include <algorithm>
#include <array>
#include <expected>
#include <memory>
#include <cstring>
#include <variant>

#include <sys/stat.h>

#include <fmt/format.h>

#include "io/file.h"
#include "io/hashing_reader.h"
#include "io/open_checked.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/id_set.h"
#include "manifest/verify/path_policy.h"
#include "manifest/verify/row_batch.h"
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
  // `id_capacity`: how many ids to make room for before the first (0: none).
  RowValidator(bool allow_duplicates, const ResourceLimits& limits, uint64_t expected_rows, uint64_t id_capacity,
               IssueLog& issues)
      : allow_duplicates_(allow_duplicates), limits_(limits), expected_rows_(expected_rows), sink_(issues) {
    if (!allow_duplicates_) ids_.reserve(id_capacity);
  }

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

  // The line that crossed chunks, decoded on its own.
  struct Decoded {
    bool fast = false;
    RowLineView row;                                          // when fast
    std::expected<JsonlRow, std::string> strict{JsonlRow{}};  // when not fast
  };

  // A line that crossed chunks, already begun with begin_line(), now complete.
  bool finish_now(std::string_view line) {
    const uint64_t index = lines_ - 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    Decoded& d = single_;
    d.fast = decode_row_line_fast(line, d.row);
    if (d.fast) {
      const IdSet::Key key = allow_duplicates_ ? IdSet::Key{} : IdSet::key(d.row.db_id);
      return check_row(index, d.row.row_id, d.row.db_id, d.row.has_parent ? &d.row.parent_id : nullptr, key);
    }
    d.strict = decode_jsonl_row(line);
    return check_strict(index, d.strict,
                        allow_duplicates_ || !d.strict ? IdSet::Key{} : IdSet::key(d.strict->db_id));
  }

  // Checks the prepared lines of `batch` (offsets into `base`) in order. Keys the
  // preparation left out are made here a group of lines ahead, and each group's index
  // entries are then fetched back to back, so that their cache and TLB misses overlap
  // with each other and with the checks of the lines before them.
  bool check_batch(const char* base, LineBatch& batch) {
    const size_t n = batch.count;
    size_t ready = 0;
    for (size_t j = 0; j < n; ++j) {
      while (ready < n && ready + kGroup <= j + kAhead) {
        const size_t end = std::min(n, ready + kGroup);
        for (size_t r = ready; r < end; ++r) make_ready(base, batch.lines[r], strict_[r % kAhead]);
        if (!allow_duplicates_) {
          for (size_t r = ready; r < end; ++r) {
            if (batch.lines[r].keyed) ids_.prefetch(batch.lines[r].tag);
          }
        }
        ready = end;
      }
      if (!check_prepared(base, batch.lines[j], strict_[j % kAhead])) return false;
    }
    return true;
  }

  uint64_t lines() const { return lines_; }
  uint64_t validated() const { return validated_; }

 private:
  // Lines made ready ahead of their checks, at most; and how many at once.
  static constexpr size_t kAhead = 16;
  static constexpr size_t kGroup = 8;

  // Everything a line needs before its turn: the strict decoding when the fast one failed
  // (into `strict`), and the id's key.
  void make_ready(const char* base, PreparedLine& line, std::expected<JsonlRow, std::string>& strict) const {
    if (line.kind == PreparedLine::Kind::TooLong || line.keyed) return;
    std::string_view db_id;
    if (line.kind == PreparedLine::Kind::Strict) {
      strict = decode_jsonl_row(line.text(base));
      if (!strict) return;
      db_id = strict->db_id;
    } else {
      db_id = line.db_id(base);
    }
    if (allow_duplicates_) return;
    const IdSet::Key key = IdSet::key(db_id);
    line.tag = key.tag;
    std::memcpy(line.uuid, key.uuid, sizeof line.uuid);
    line.keyed = true;
  }

  // The key of a ready line whose id text is `db_id` (empty when duplicates are allowed).
  IdSet::Key key_of(const PreparedLine& line, std::string_view db_id) const {
    IdSet::Key key;
    if (allow_duplicates_) return key;
    key.text = db_id;
    key.tag = line.tag;
    std::memcpy(key.uuid, line.uuid, sizeof key.uuid);
    return key;
  }

  bool check_prepared(const char* base, const PreparedLine& line, const std::expected<JsonlRow, std::string>& strict) {
    if (!begin_line()) return false;
    const uint64_t index = lines_ - 1;
    switch (line.kind) {
      case PreparedLine::Kind::TooLong:
        line_too_long();
        return false;
      case PreparedLine::Kind::Fast: {
        const std::string_view db_id = line.db_id(base);
        const std::string_view parent = line.has_parent ? line.parent_id(base) : std::string_view();
        return check_row(index, line.row_id, db_id, line.has_parent ? &parent : nullptr, key_of(line, db_id));
      }
      case PreparedLine::Kind::Strict:
        break;
    }
    return check_strict(index, strict, strict ? key_of(line, strict->db_id) : IdSet::Key{});
  }

  bool check_strict(uint64_t index, const std::expected<JsonlRow, std::string>& strict, const IdSet::Key& key) {
    if (!strict) {
      sink_.push("row_identity_jsonl_invalid_json",
                 [&] { return fmt::format("line {} is not a strict row object: {}", index, strict.error()); });
      return true;
    }
    std::string_view parent;
    if (strict->parent_id) parent = *strict->parent_id;
    return check_row(index, strict->row_id, strict->db_id, strict->parent_id ? &parent : nullptr, key);
  }

  // `key`: the db_id's key unless duplicates are allowed.
  bool check_row(uint64_t index, uint64_t row_id, std::string_view db_id, const std::string_view* parent_id,
                 const IdSet::Key& key) {
    if (row_id != index) {
      sink_.push("row_identity_row_id_mismatch", [&] { return fmt::format("line {} has row_id {}", index, row_id); });
    }
    // An id the set stores as UUID bytes is a UUID: no string rule can fail for it.
    if (allow_duplicates_ ? !IdSet::stores_as_uuid(db_id) : key.form() == 0) {
      sink_.check_id_string("db_id", db_id, index);
    }
    if (parent_id != nullptr && !IdSet::stores_as_uuid(*parent_id)) sink_.check_id_string("parent_id", *parent_id, index);
    ++validated_;
    if (allow_duplicates_) return true;
    switch (ids_.insert(key, limits_.max_row_map_tracked_id_bytes)) {
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
  std::array<std::expected<JsonlRow, std::string>, kAhead> strict_;  // line r decodes into r % kAhead
  Decoded single_;
};

// The one-pass validation; `id_capacity` ids are made room for at the start. `prepare`
// splits and decodes the lines of each chunk: the source runs it ahead on its reading
// thread when it can (prepared_slot()), otherwise it runs here in slot 0.
Result<RowValidation> validate_chunks(io::ChunkSource& chunks, RowPreparer& prepare, bool allow_duplicate_db_ids,
                                      const ResourceLimits& limits, uint64_t expected_row_count,
                                      uint64_t id_capacity, IssueLog& issues) {
  // A line's length counts its line feed; a limit of 0 acts as 1.
  const uint64_t line_limit = limits.max_row_map_line_bytes == 0 ? 1 : limits.max_row_map_line_bytes;
  auto rows = std::make_unique<RowValidator>(allow_duplicate_db_ids, limits, expected_row_count, id_capacity, issues);
  auto stopped = [&] { return RowValidation{false, rows->lines(), rows->validated(), std::nullopt}; };
  std::unique_ptr<LineBatch> rest;  // lines of a chunk beyond what one batch holds

  std::string pending;   // the start of a line that crosses a chunk boundary, at most line_limit bytes
  bool in_line = false;  // pending holds a line already begun
  while (true) {
    auto chunk = chunks.next();
    if (!chunk) return fail(chunk.error());
    const char* buf = chunk->data();
    const size_t n = chunk->size();
    if (n == 0) break;
    LineBatch* batch;
    if (auto slot = chunks.prepared_slot()) {
      batch = &prepare.batch(*slot);
    } else {
      // Nothing to balance against on one thread: the keys are made with the lines.
      prepare.prepare(0, *chunk, RowPreparer::kKeyBacklog);
      batch = &prepare.batch(0);
    }
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
    }
    // The complete lines that begin in this chunk, checked in order.
    while (true) {
      if (!rows->check_batch(buf, *batch)) return stopped();
      pos = batch->end;
      if (!batch->more) break;
      if (!rest) rest = std::make_unique<LineBatch>();
      prepare.prepare_lines(*chunk, pos, /*keys=*/false, *rest);
      batch = rest.get();
    }
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

// The shortest line that adds an id, its line feed included: {"row_id":0,"db_id":""}.
constexpr uint64_t kMinIdLineBytes = 24;

// validate_jsonl_rows over a row map already open. A regular file of honest declared size
// gets its id set sized once for the declared rows; never for more than its bytes could
// hold, so a declared count alone never costs memory.
Result<RowValidation> validate_open_rows(io::File& file, bool allow_duplicate_db_ids, const ResourceLimits& limits,
                                         uint64_t expected_row_count, IssueLog& issues) {
  uint64_t id_capacity = 0;
  if (auto st = file.stat(); st && S_ISREG(st->st_mode) && st->st_size > 0) {
    const uint64_t fits = static_cast<uint64_t>(st->st_size) / kMinIdLineBytes + 1;
    id_capacity = std::min({expected_row_count, limits.max_row_map_rows, fits});
  }
  // The preparer outlives the reader, whose thread may still be preparing when validation stops.
  RowPreparer prepare(limits.max_row_map_line_bytes, !allow_duplicate_db_ids, io::HashingChunkReader::kSlots);
  io::HashingChunkReader chunks(file, &prepare);
  return validate_chunks(chunks, prepare, allow_duplicate_db_ids, limits, expected_row_count, id_capacity, issues);
}

}  // namespace

Result<RowValidation> validate_jsonl_chunks(io::ChunkSource& chunks, bool allow_duplicate_db_ids,
                                            const ResourceLimits& limits, uint64_t expected_row_count,
                                            IssueLog& issues) {
  RowPreparer prepare(limits.max_row_map_line_bytes, !allow_duplicate_db_ids, 1);
  return validate_chunks(chunks, prepare, allow_duplicate_db_ids, limits, expected_row_count, 0, issues);
}

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
