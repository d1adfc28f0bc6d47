// libFuzzer harness for the streaming row-map validator. The first bytes of the input choose the limits, the duplicate
// policy, issues already in the report and how the rest is cut into chunks; the rest is the row map. The streaming
// validator (chunk-boundary carry-over, decode-ahead, fast path, id set, saturating issue sink) must produce exactly
// what a plain line-by-line reference built from the strict decoder produces: the same issues in the same order, the
// same line and row counts, the same stop. Each chunk is copied into a buffer of its own exact size, so reading past a
// chunk trips ASan; the digest must be of the bytes handed out, asked only after the end. The cap is also judged on its
// own, without the bounded append the reference shares. One input in 64 (repeated past 20 KiB) also goes through a real
// file and the reading thread, whose digest must cover every byte.
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <fmt/format.h>

#include "io/chunk_source.h"
#include "io/sha256.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/row_identity.h"
#include "manifest/verify/row_line.h"

namespace {

constexpr size_t kHeader = 8;

struct Setup {
  bool allow_duplicates = false;
  bool through_file = false;
  unsigned chunk_shift = 0;  // chunks of 1 .. 2^chunk_shift bytes
  uint32_t chunk_seed = 0;
  uint64_t prefilled = 0;  // issues already in the report
  zm::ResourceLimits limits;
  uint64_t expected_rows = 0;
};

Setup read_setup(const uint8_t* h, size_t text_size) {
  Setup s;
  s.allow_duplicates = (h[0] & 1) != 0;
  s.through_file = (h[0] >> 1) % 64 == 63;
  s.chunk_shift = h[1] % 14;
  s.chunk_seed = h[2] | 1u;
  s.limits.max_row_map_line_bytes = h[3] == 0 ? text_size + 1 : h[3] - 1u;  // 0 acts as 1
  s.limits.max_report_issues = h[4] % 24;
  s.prefilled = (h[4] / 24) % 4;
  s.expected_rows = h[5] == 255 ? 5000 : h[5];                // 5000: more than any input has lines
  s.limits.max_row_map_rows = h[6] == 255 ? 10000000 : h[6];  // the default
  s.limits.max_row_map_tracked_id_bytes = h[7] == 255 ? 67108864 : uint64_t{h[7]} * 4;
  return s;
}

// Hands out the text in pseudo-random chunk sizes, each in a fresh exact-size buffer.
class SplitSource final : public zm::io::ChunkSource {
 public:
  SplitSource(std::string_view text, const Setup& s)
      : text_(text), rng_(s.chunk_seed), max_(size_t{1} << s.chunk_shift) {}

  zm::Result<std::string_view> next() override {
    if (pos_ == text_.size()) {
      ended_ = true;
      return std::string_view();
    }
    rng_ ^= rng_ << 13;
    rng_ ^= rng_ >> 17;
    rng_ ^= rng_ << 5;
    const size_t n = std::min(text_.size() - pos_, 1 + rng_ % max_);
    chunk_.reset(new char[n]);
    std::copy_n(text_.data() + pos_, n, chunk_.get());
    pos_ += n;
    sha_.update(chunk_.get(), n);
    return std::string_view(chunk_.get(), n);
  }
  // The digest of what was handed out; asking before the end was handed out is a fault.
  std::string hex_digest() override {
    if (!ended_) std::abort();
    return sha_.hex_digest();
  }

 private:
  std::string_view text_;
  uint32_t rng_;
  size_t max_;
  size_t pos_ = 0;
  bool ended_ = false;
  std::unique_ptr<char[]> chunk_;
  zm::io::Sha256 sha_;
};

// Line by line with the strict decoder and an ordinary set: the rules in their plainest form.
zm::RowValidation reference(std::string_view text, const Setup& s, std::vector<zm::ReportIssue>& issues) {
  const zm::ResourceLimits& lim = s.limits;
  const uint64_t line_limit = lim.max_row_map_line_bytes == 0 ? 1 : lim.max_row_map_line_bytes;
  auto push = [&](std::string_view code, std::string message) {
    zm::push_report_issue_bounded(issues, lim.max_report_issues, code, std::move(message));
  };
  std::set<std::string, std::less<>> ids;
  uint64_t tracked = 0;
  zm::RowValidation out;
  for (size_t start = 0; start < text.size();) {
    const size_t nl = text.find('\n', start);
    const size_t end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    const uint64_t index = out.line_count++;
    if (out.line_count > lim.max_row_map_rows) {
      push("row_identity_row_count_limit_exceeded",
           fmt::format("row identity file has more than max_row_identity_rows={} rows", lim.max_row_map_rows));
      return out;
    }
    if (out.line_count > s.expected_rows) {
      push("row_identity_row_count_mismatch",
           fmt::format("row identity file has more than declared row_count={}", s.expected_rows));
      return out;
    }
    if (line.size() + (nl != std::string_view::npos) > line_limit) {
      push("row_identity_line_too_large",
           fmt::format("line {} exceeds max_row_identity_jsonl_line_bytes={}", index, lim.max_row_map_line_bytes));
      return out;
    }
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    auto row = zm::decode_jsonl_row(line);
    if (!row) {
      push("row_identity_jsonl_invalid_json",
           fmt::format("line {} is not a strict row object: {}", index, row.error()));
      continue;
    }
    if (row->row_id != index)
      push("row_identity_row_id_mismatch", fmt::format("line {} has row_id {}", index, row->row_id));
    zm::validate_row_id_string("db_id", row->db_id, index, lim.max_report_issues, issues);
    if (row->parent_id) zm::validate_row_id_string("parent_id", *row->parent_id, index, lim.max_report_issues, issues);
    ++out.validated_rows;
    if (s.allow_duplicates) continue;
    if (ids.contains(row->db_id)) {
      push("row_identity_duplicate_db_id", fmt::format("line {} repeats db_id", index));
    } else if (tracked + row->db_id.size() > lim.max_row_map_tracked_id_bytes) {
      push("row_identity_duplicate_tracking_limit_exceeded",
           fmt::format("tracked db_id bytes exceed max_row_identity_tracked_db_id_bytes={}",
                       lim.max_row_map_tracked_id_bytes));
      return out;
    } else {
      tracked += row->db_id.size();
      ids.insert(row->db_id);
    }
  }
  out.completed = true;
  out.sha256 = zm::io::sha256_hex(text);
  return out;
}

std::vector<zm::ReportIssue> prefilled(const Setup& s) {
  std::vector<zm::ReportIssue> issues;
  for (uint64_t i = 0; i < s.prefilled; ++i) {
    zm::push_report_issue_bounded(issues, s.limits.max_report_issues, "earlier_phase", fmt::format("issue {}", i));
  }
  return issues;
}

bool same_issue(const zm::ReportIssue& a, const zm::ReportIssue& b) {
  return a.code == b.code && a.message == b.message;
}

bool same(const zm::RowValidation& a, const std::vector<zm::ReportIssue>& ai, const zm::RowValidation& b,
          const std::vector<zm::ReportIssue>& bi) {
  return a.completed == b.completed && a.line_count == b.line_count && a.validated_rows == b.validated_rows &&
         a.sha256 == b.sha256 && std::equal(ai.begin(), ai.end(), bi.begin(), bi.end(), same_issue);
}

constexpr std::string_view kLimitCode = "verification_report_issue_limit_exceeded";

// The cap judged without the bounded append: when everything fits, the report is the earlier issues followed by every
// issue found; otherwise it is a prefix of that list, within the limit (at least one), ending in the single limit
// issue.
void check_cap(const Setup& s, std::string_view text, const std::vector<zm::ReportIssue>& got) {
  const std::vector<zm::ReportIssue> before = prefilled(s);
  for (const auto& i : before) {
    if (i.code == kLimitCode) return;  // already collapsed by the earlier phase
  }
  Setup open = s;
  open.limits.max_report_issues = UINT64_MAX;
  std::vector<zm::ReportIssue> all = before;
  reference(text, open, all);
  const uint64_t max = s.limits.max_report_issues;
  if (all.size() <= max) {
    if (!std::equal(got.begin(), got.end(), all.begin(), all.end(), same_issue)) std::abort();
    return;
  }
  if (got.empty() || got.size() > std::max<uint64_t>(max, 1) || got.back().code != kLimitCode) std::abort();
  if (!std::equal(got.begin(), got.end() - 1, all.begin(), same_issue)) std::abort();
}

// Runs the validator over `text` from chunks and (when asked) from a real file, against the reference; any difference
// aborts.
void check(std::string_view text, const Setup& s, bool through_file) {
  std::vector<zm::ReportIssue> want_issues = prefilled(s);
  const zm::RowValidation want = reference(text, s, want_issues);

  std::vector<zm::ReportIssue> got_issues = prefilled(s);
  SplitSource chunks(text, s);
  auto got = zm::validate_jsonl_chunks(chunks, s.allow_duplicates, s.limits, s.expected_rows, got_issues);
  if (!got || !same(*got, got_issues, want, want_issues)) std::abort();
  check_cap(s, text, got_issues);
  if (!through_file) return;

  int fd = memfd_create("zm_fuzz_rows", MFD_CLOEXEC);
  if (fd < 0) return;
  if (::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    ::close(fd);
    return;
  }
  std::vector<zm::ReportIssue> file_issues = prefilled(s);
  auto from_file = zm::validate_jsonl_rows("/proc/self/fd/" + std::to_string(fd), s.allow_duplicates, s.limits,
                                           s.expected_rows, file_issues);
  ::close(fd);
  if (!from_file || !same(*from_file, file_issues, want, want_issues)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < kHeader) return 0;
  std::string_view text(reinterpret_cast<const char*>(data) + kHeader, size - kHeader);
  const Setup s = read_setup(data, text.size());
  if (!s.through_file) {
    check(text, s, false);
    return 0;
  }
  // The file reader's chunks are 8 KiB: repeat the text past 20 KiB so lines cross them.
  std::string big(text);
  while (!text.empty() && big.size() < 20480) big.append(text);
  check(big, read_setup(data, big.size()), true);
  return 0;
}
