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
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.h"
#include "base/task_group.h"
#include "index_format/format.h"
#include "index_format/rank_io.h"
#include "io/clock.h"
#include "io/file.h"
#include "io/path.h"
#include "io/random_uuid.h"
#include "io/sha256.h"
#include "manifest/create/write_file.h"
#include "manifest/schema/codec.h"
#include "manifest/schema/index_kind.h"
#include "manifest/verify/row_identity.h"
#include "text/quoted.h"
#include "text/trim.h"

namespace zm {

namespace {

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
  auto digest = io::sha256_stream(file, probed_size);
  if (!digest) return fail(digest.error());
  if (digest->size_bytes != probed_size) {
    return fail(ManifestError::io_custom("index file changed while it was being read"));
  }
  return std::move(digest->sha256);
}

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

  // Hashing the index, validating the row map and hashing the auxiliary files are
  // independent: they run at once on a small pool, and their outcomes are then judged in
  // step order (hash, kinds, artifact path, row map, auxiliary files), so the failure
  // returned is the first in that order. A failed hash or row map stops the work after it.
  auto kind = try_from_core(meta.kind);
  auto params = try_params_from_core(meta.params);
  auto artifact_path = manifest_path_for_create(request.index, manifest_dir, options.allow_absolute_paths,
                                                options.allow_path_escape, "artifact");
  const bool with_rows = request.row_map && kind && params && artifact_path;
  const std::vector<CreateAuxiliaryArtifact>& aux_requests = request.auxiliary_artifacts;
  std::vector<AuxiliaryDigest> aux_ahead(
      aux_requests.size() <= options.limits.max_auxiliary_artifacts ? aux_requests.size() : 0);

  base::TaskGroup group;
  std::optional<Result<std::string>> index_sha256;
  std::optional<Result<RowIdentity>> jsonl;
  std::vector<base::TaskGroup::Task> tasks;
  // A task's result is kept only when it was not cut short by the group's stop: work a
  // stop ended is redone in its turn below, so the failure judged is never that stop.
  tasks.push_back({[&] {
    auto hashed = hash_probed_index(*index_file, meta.file_size_bytes);
    if (!hashed && interrupt::stopped()) return;
    index_sha256 = std::move(hashed);
    if (!*index_sha256) group.request_stop();
  }});
  if (with_rows) {
    tasks.push_back({[&] {
                       auto rows = jsonl_row_identity(*request.row_map, manifest_dir, options, meta.n_vectors);
                       if (!rows && interrupt::stopped()) return;
                       jsonl = std::move(rows);
                       if (!*jsonl) group.request_stop();
                     },
                     !io::names_regular_file(*request.row_map)});
  }
  for (size_t i = 0; i < aux_ahead.size(); ++i) {
    // Only regular files are read ahead of their turn: a FIFO or a device is opened in
    // turn, on the calling thread, where a signal reaches it.
    if (!io::names_regular_file(aux_requests[i].path)) continue;
    tasks.push_back({[&, i] {
      auto digest = hash_auxiliary_file(aux_requests[i], options.limits);
      if (!digest && interrupt::stopped()) return;
      aux_ahead[i] = std::move(digest);
    }});
  }
  group.run(tasks, base::TaskGroup::threads_for(tasks.size()));

  // Work skipped by a stop is done now, in its turn (a stop never skips the failure that
  // caused it, and anything after that failure is never judged).
  if (!index_sha256) index_sha256 = hash_probed_index(*index_file, meta.file_size_bytes);
  if (!*index_sha256) return fail(index_sha256->error());
  if (!kind) return fail(ManifestError::message(kind.error().message()));
  if (!params) return fail(ManifestError::message(params.error().message()));
  if (!artifact_path) return fail(artifact_path.error());
  RowIdentity row_identity = RowIdIdentity{.row_count = meta.n_vectors};
  if (with_rows) {
    if (!jsonl) jsonl = jsonl_row_identity(*request.row_map, manifest_dir, options, meta.n_vectors);
    if (!*jsonl) return fail(jsonl->error());
    row_identity = std::move(**jsonl);
  }

  auto auxiliary = create_auxiliary_artifacts(aux_requests, manifest_dir, options, aux_ahead);
  if (!auxiliary) return fail(auxiliary.error());

  // The build invocation id is drawn before the manifest id.
  std::string invocation_id = "urn:uuid:" + io::new_uuid_v4();
  std::string manifest_id = "urn:uuid:" + io::new_uuid_v4();

  IndexManifest manifest;
  manifest.schema_version = kSchemaVersion;
  manifest.manifest_id = std::move(manifest_id);
  manifest.created_at = io::utc_now_seconds();
  manifest.artifact = Artifact{
      .path = std::move(*artifact_path),
      .sha256 = std::move(**index_sha256),
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
