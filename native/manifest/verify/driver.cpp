// The fixed phase order of one verification. Each phase runs whatever earlier phases
// found; skips happen only inside a phase.
//
// The file phases (artifact, auxiliary files, row map, the two profiles) read only the
// manifest and their own files, and write only their own report section and capture
// fields, so they run at once on a small pool. Each appends to its own recording; the
// recordings are replayed onto the report in phase order, which yields the very list the
// phases would have built one after another (bounded appends included: see IssueLog).
#include <array>
#include <optional>
#include <variant>

#include "base/task_group.h"
#include "io/clock.h"
#include "io/path.h"
#include "manifest/verify/phases.h"

namespace zm {

namespace {

// A file phase, with how its results join the run's.
struct FilePhase {
  void (*check)(VerifyContext&);
  void (*merge)(VerifyContext& from, VerifyContext& into);
};

constexpr FilePhase kArtifact{check_artifact_file, [](VerifyContext& from, VerifyContext& into) {
                                into.report.artifact = std::move(from.report.artifact);
                                into.capture.artifact_path = std::move(from.capture.artifact_path);
                              }};
constexpr FilePhase kAuxiliary{check_auxiliary_files, [](VerifyContext& from, VerifyContext& into) {
                                 into.report.auxiliary_artifacts = std::move(from.report.auxiliary_artifacts);
                                 into.capture.auxiliary_artifact_paths =
                                     std::move(from.capture.auxiliary_artifact_paths);
                               }};
constexpr FilePhase kRowIdentity{check_row_identity_file, [](VerifyContext& from, VerifyContext& into) {
                                   into.report.row_identity = std::move(from.report.row_identity);
                                   into.capture.row_identity_path = std::move(from.capture.row_identity_path);
                                 }};
constexpr FilePhase kEncoderDistortion{check_encoder_distortion, [](VerifyContext& from, VerifyContext& into) {
                                         into.report.encoder_distortion = std::move(from.report.encoder_distortion);
                                       }};
constexpr FilePhase kCalibration{check_calibration, [](VerifyContext& from, VerifyContext& into) {
                                   into.report.calibration = std::move(from.report.calibration);
                                 }};

// True when `path`, as the manifest declares it, names a regular file now. Anything else
// (a FIFO, a device, a missing entry) keeps its phase on the calling thread, where a
// blocking open or read can be interrupted by a signal.
bool names_regular_file(const std::string& path, const std::string& base_dir) {
  return !path.empty() && io::names_regular_file(io::is_absolute(path) ? path : io::join_path(base_dir, path));
}

bool phase_files_are_regular(const FilePhase& phase, const VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  const std::string& base = ctx.doc.base_dir;
  if (phase.check == kArtifact.check) {
    return names_regular_file(ctx.options.index ? *ctx.options.index : m.artifact.path, base);
  }
  if (phase.check == kAuxiliary.check) {
    if (m.auxiliary_artifacts.size() > ctx.limits().max_auxiliary_artifacts) return true;  // opens nothing
    for (const auto& entry : m.auxiliary_artifacts) {
      if (!names_regular_file(entry.path, base)) return false;
    }
    return true;
  }
  if (phase.check == kRowIdentity.check) {
    const auto* jsonl = std::get_if<RowIdentityJsonl>(&m.row_identity);
    return jsonl == nullptr || names_regular_file(jsonl->path, base);
  }
  if (phase.check == kEncoderDistortion.check) {
    const auto& profile = m.encoder_distortion->profile;
    return !profile || names_regular_file(profile->path, base);
  }
  const auto& profile = m.calibration->profile;
  return !profile || names_regular_file(profile->path, base);
}

void run_file_phases(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  std::array<const FilePhase*, 5> phases{};
  size_t count = 0;
  phases[count++] = &kArtifact;
  phases[count++] = &kAuxiliary;
  phases[count++] = &kRowIdentity;
  if (m.encoder_distortion) phases[count++] = &kEncoderDistortion;
  if (m.calibration) phases[count++] = &kCalibration;

  std::array<std::optional<VerifyContext>, 5> own;
  std::array<base::TaskGroup::Task, 5> tasks;
  for (size_t i = 0; i < count; ++i) {
    // Tasks start in list order: the row map (usually the longest work) right after the
    // artifact, so the pool does not end on it.
    const size_t t = i == 1 ? 2 : i == 2 ? 1 : i;
    VerifyContext& sub = own[i].emplace(ctx.doc, ctx.options, IssueLog::Mode::Recording);
    tasks[t].run = [&sub, check = phases[i]->check] { check(sub); };
    tasks[t].on_caller = !phase_files_are_regular(*phases[i], ctx);
  }
  // One thread beyond the cores: the artifact and row-map phases each keep a reader thread
  // of their own, and the auxiliary phase (one thread) would otherwise wait for a free
  // pool thread and run alone at the end (measured: 0.63 s -> 0.58 s on two cores).
  base::TaskGroup group;
  group.run(std::span(tasks.data(), count), base::TaskGroup::threads_for(count, /*extra=*/1));
  for (size_t i = 0; i < count; ++i) {
    phases[i]->merge(*own[i], ctx);
    own[i]->issues.replay_onto(ctx.report.errors);
  }
}

}  // namespace

VerifyOutcome verify_manifest_with_path_capture(const ManifestDocument& doc, const VerifyOptions& options) {
  VerifyContext ctx(doc, options, IssueLog::Mode::Direct);
  ctx.report.checked_at = io::utc_now_nanos();
  ctx.report.manifest_id = doc.manifest.manifest_id;

  check_core_fields(ctx);
  check_artifact_declaration(ctx);
  check_row_identity_declaration(ctx);
  check_auxiliary_declarations(ctx);
  check_optional_fields(ctx);
  check_extension_keys(ctx);
  // Artifact file, auxiliary files, row-identity file, encoder-distortion profile (with
  // an encoder_distortion block), calibration profile (with a calibration block).
  run_file_phases(ctx);
  check_attestations(ctx);

  cap_report_issues(ctx.report.errors, options.limits.max_report_issues);
  ctx.report.ok = ctx.report.errors.empty();
  return {std::move(ctx.report), std::move(ctx.capture)};
}

}  // namespace zm
