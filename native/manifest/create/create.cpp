// create_manifest: the system's writer. Steps run in a fixed order and the first
// failure ends the call; nothing is written before the last step, an output that is one
// of the inputs is refused, and the last step replaces a regular output file atomically
// (a failed write leaves an existing file intact).
#include "manifest/create/create.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <future>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/interrupt.h"
#include "index_format/format.h"
#include "index_format/rank_io.h"
#include "io/file.h"
#include "io/path.h"
#include "io/sha256.h"
#include "manifest/create/write_file.h"
#include "manifest/schema/codec.h"
#include "manifest/verify/row_identity.h"
#include "text/quoted.h"
#include "text/rfc3339.h"
#include "text/trim.h"
#include "text/uuid.h"

namespace zm {

namespace {

constexpr size_t kHashChunk = 65536;

// Issue codes that mean a limit stopped row-map validation; create reports the first of
// them as itself rather than folding it into the generic invalid-row-map message.
constexpr std::array<std::string_view, 6> kLimitCodes = {
    "row_identity_line_too_large",
    "row_identity_row_count_limit_exceeded",
    "row_identity_duplicate_tracking_limit_exceeded",
    "verification_report_issue_limit_exceeded",
    "calibration_profile_too_large",
    "encoder_distortion_profile_too_large",
};

bool is_limit_code(std::string_view code) {
  for (std::string_view c : kLimitCodes) {
    if (c == code) return true;
  }
  return false;
}

// Creates `dir` and its missing ancestors (mode 0777 before the umask). A directory
// that can already be examined is left alone.
Result<void> ensure_directory(const std::string& dir, int depth = 0) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return {};
  if (::mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return {};
  if (errno != ENOENT || depth > 4096) return fail(ManifestError::io_errno(errno));
  std::string parent = io::parent_dir(dir);
  if (parent == dir) return fail(ManifestError::io_errno(ENOENT));
  if (auto made = ensure_directory(parent, depth + 1); !made) return made;
  if (::mkdir(dir.c_str(), 0777) == 0 || errno == EEXIST) return {};
  return fail(ManifestError::io_errno(errno));
}

// Hashes an index from its start through the descriptor the probe used, so the digest and
// the metadata describe the same bytes. A file whose length changed since the probe is
// refused rather than described inconsistently.
Result<std::string> hash_probed_index(io::File& file, uint64_t probed_size) {
  if (::lseek(file.fd(), 0, SEEK_SET) != 0) return fail(ManifestError::io_errno(errno));
  io::Sha256 hasher;
  std::vector<char> buf(kHashChunk);
  uint64_t hashed = 0;
  for (;;) {
    auto got = file.read_some(buf.data(), buf.size());
    if (!got) return fail(got.error());
    if (*got == 0) break;
    hasher.update(buf.data(), *got);
    hashed += *got;
  }
  if (hashed != probed_size) return fail(ManifestError::io_custom("index file changed while it was being read"));
  return hasher.hex_digest();
}

// Runs hash_probed_index on a second thread, so the row map can be validated meanwhile;
// inline when no thread can be started. Waiting for the result runs the calling thread's
// Interrupt checks; when they stop the call, the hash is stopped too (its thread polls
// the stop flag as it reads) and its result is the EINTR error.
class BackgroundIndexHash {
 public:
  BackgroundIndexHash(io::File& file, uint64_t probed_size) : file_(file), size_(probed_size) {
    std::packaged_task<Result<std::string>()> task([this] {
      interrupt::block_signals_on_helper_thread();
      InterruptScope scope(stop_);
      return hash_probed_index(file_, size_);
    });
    pending_ = task.get_future();
    try {
      worker_ = std::thread(std::move(task));
    } catch (const std::system_error&) {
      result_ = hash_probed_index(file_, size_);
    }
  }
  ~BackgroundIndexHash() {
    stop_.request();
    if (worker_.joinable()) worker_.join();
  }
  Result<std::string>& result() {
    if (worker_.joinable()) {
      while (pending_.wait_for(interrupt::kPollInterval) != std::future_status::ready) {
        if (interrupt::poll()) stop_.request();
      }
      result_ = pending_.get();
      worker_.join();
    }
    return *result_;
  }

 private:
  io::File& file_;
  uint64_t size_;
  StopFlag stop_;
  std::future<Result<std::string>> pending_;
  std::optional<Result<std::string>> result_;
  std::thread worker_;
};

Result<RowIdentity> jsonl_row_identity(const std::string& row_map, const std::string& manifest_dir,
                                       const CreateManifestOptions& options, uint64_t vector_count) {
  std::vector<ReportIssue> issues;
  auto validation =
      validate_jsonl_rows(row_map, /*allow_duplicate_db_ids=*/false, options.limits, vector_count, issues);
  if (!validation) return fail(validation.error());
  if (!issues.empty()) {
    for (const ReportIssue& issue : issues) {
      if (is_limit_code(issue.code)) return fail(ManifestError::reason(issue.code, issue.message));
    }
    std::string codes;
    for (const ReportIssue& issue : issues) {
      if (!codes.empty()) codes.append(", ");
      codes.append(issue.code);
    }
    return fail(ManifestError::message(fmt::format("row map is invalid: {}", codes)));
  }
  if (validation->line_count != vector_count) {
    return fail(ManifestError::message(
        fmt::format("row map has {} rows but index has {} vectors", validation->line_count, vector_count)));
  }
  if (!validation->sha256) return fail(ManifestError::message("row map hash unavailable after bounded validation"));
  auto stored = manifest_path_for_create(row_map, manifest_dir, options.allow_absolute_paths, options.allow_path_escape,
                                         "row identity");
  if (!stored) return fail(stored.error());
  return RowIdentity(RowIdentityJsonl{
      .path = std::move(*stored),
      .sha256 = std::move(*validation->sha256),
      .row_count = validation->line_count,
      .id_kind = "uuid",
      .db = std::nullopt,
  });
}

// Every file the call reads, for the check that the output is none of them. Auxiliary
// files are listed only when their count is within the limit (otherwise the call fails
// on the count before reading any of them).
std::vector<CreateInput> inputs_of(const CreateManifestRequest& request) {
  std::vector<CreateInput> inputs;
  inputs.push_back({"index", &request.index});
  if (request.row_map) inputs.push_back({"row_map", &*request.row_map});
  if (request.auxiliary_artifacts.size() <= request.options.limits.max_auxiliary_artifacts) {
    for (const CreateAuxiliaryArtifact& aux : request.auxiliary_artifacts) {
      inputs.push_back({fmt::format("auxiliary artifact {}", text::quoted(text::trim_ws(aux.name))), &aux.path});
    }
  }
  return inputs;
}

}  // namespace

Result<IndexManifest> create_manifest(const CreateManifestRequest& request) {
  const CreateManifestOptions& options = request.options;
  // An output that is one of the inputs would destroy it: refused before anything is
  // made, and checked again just before the write (the names may have moved meanwhile).
  const std::vector<CreateInput> inputs = inputs_of(request);
  if (auto distinct = refuse_output_over_inputs(request.out, inputs); !distinct) return fail(distinct.error());
  const std::string manifest_dir = io::parent_dir(request.out);
  if (auto made = ensure_directory(manifest_dir); !made) return fail(made.error());

  auto index_file = io::File::open_read(request.index);
  if (!index_file) return fail(index_file.error());
  auto st = index_file->stat();
  if (!st) return fail(st.error());
  auto probed =
      index_format::probe_index_open_file(*index_file, st->st_size > 0 ? static_cast<uint64_t>(st->st_size) : 0);
  if (!probed) return fail(probed.error());
  const index_format::IndexMetadata& meta = *probed;

  // Hashing the index and validating the row map are independent: they run at once, and
  // their outcomes are then judged in step order (hash, kinds, artifact path, row map).
  BackgroundIndexHash index_hash(*index_file, meta.file_size_bytes);
  auto kind = index_format::try_from_core(meta.kind);
  auto params = index_format::try_params_from_core(meta.params);
  auto artifact_path = manifest_path_for_create(request.index, manifest_dir, options.allow_absolute_paths,
                                                options.allow_path_escape, "artifact");
  std::optional<Result<RowIdentity>> jsonl;
  if (request.row_map && kind && params && artifact_path) {
    jsonl = jsonl_row_identity(*request.row_map, manifest_dir, options, meta.n_vectors);
  }

  Result<std::string>& index_sha256 = index_hash.result();
  if (!index_sha256) return fail(index_sha256.error());
  if (!kind) return fail(ManifestError::message(kind.error().message()));
  if (!params) return fail(ManifestError::message(params.error().message()));
  if (!artifact_path) return fail(artifact_path.error());
  RowIdentity row_identity = RowIdIdentity{.row_count = meta.n_vectors};
  if (jsonl) {
    if (!*jsonl) return fail(jsonl->error());
    row_identity = std::move(**jsonl);
  }

  auto auxiliary = create_auxiliary_artifacts(request.auxiliary_artifacts, manifest_dir, options);
  if (!auxiliary) return fail(auxiliary.error());

  // The build invocation id is drawn before the manifest id.
  std::string invocation_id = "urn:uuid:" + text::new_uuid_v4();
  std::string manifest_id = "urn:uuid:" + text::new_uuid_v4();

  IndexManifest manifest;
  manifest.schema_version = kSchemaVersion;
  manifest.manifest_id = std::move(manifest_id);
  manifest.created_at = text::utc_now_seconds();
  manifest.artifact = Artifact{
      .path = std::move(*artifact_path),
      .sha256 = std::move(*index_sha256),
      .kind = *kind,
      .format_version = meta.format_version,
      .dim = meta.dim,
      .vector_count = meta.n_vectors,
      .bytes_per_vec = meta.bytes_per_vec,
      .params = *params,
      .file_size_bytes = meta.file_size_bytes,
  };
  manifest.auxiliary_artifacts = std::move(*auxiliary);
  manifest.embedding.model = request.embedding_model;
  manifest.embedding.dim = meta.dim;
  manifest.row_identity = std::move(row_identity);
  BuildInfo build;
  build.invocation_id = std::move(invocation_id);
  build.builder_id = "zarnik-manifest";
  manifest.build = std::move(build);

  if (auto distinct = refuse_output_over_inputs(request.out, inputs); !distinct) return fail(distinct.error());
  if (auto written = write_output_file(request.out, write_manifest_pretty(manifest)); !written) {
    return fail(written.error());
  }
  return manifest;
}

}  // namespace zm
