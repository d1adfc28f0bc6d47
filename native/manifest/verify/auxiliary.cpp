// Auxiliary artifacts: the declaration rules (phase 5, no file access) and the file
// phase (phase 9: ordering, path policy with artifact-specific codes, bounded hashing,
// report entries and the auxiliary part of the path capture).
#include <algorithm>
#include <cerrno>
#include <string_view>
#include <unordered_set>

#include <fmt/format.h>

#include "io/bounded_read.h"
#include "io/open_checked.h"
#include "io/path.h"
#include "manifest/verify/path_policy.h"
#include "manifest/verify/phases.h"
#include "text/digest.h"
#include "text/quoted.h"
#include "text/trim.h"
#include "text/utf8.h"

namespace zm {

namespace {

constexpr std::string_view kCountLimitCode = "auxiliary_artifact_count_limit_exceeded";

// The count limit shared by both phases, reported once across them. True when the
// entries may be examined.
bool within_count_limit(VerifyContext& ctx) {
  const auto& entries = ctx.manifest().auxiliary_artifacts;
  const uint64_t limit = ctx.limits().max_auxiliary_artifacts;
  if (entries.size() <= limit) return true;
  ctx.issues.add_bounded_if_absent(
      kCountLimitCode,
      fmt::format("auxiliary_artifacts has {} entries, exceeding max_auxiliary_artifacts={}", entries.size(), limit));
  return false;
}

AuxiliaryArtifactReport auxiliary_artifact_report_entry(const AuxiliaryArtifact& entry, const std::string& base_dir) {
  AuxiliaryArtifactReport r;
  r.name = entry.name;
  r.manifest_path = entry.path;
  if (!text::is_blank(entry.path)) {
    r.resolved_path = text::lossy_utf8(io::is_absolute(entry.path) ? entry.path : io::join_path(base_dir, entry.path));
  }
  r.expected_sha256 = entry.sha256;
  r.expected_size_bytes = entry.file_size_bytes;
  r.required = entry.required;
  r.state = AuxiliaryArtifactState::Failed;
  return r;
}

// Decides one entry whose base directory is usable (`base` absent only when escapes
// are allowed). Returns the canonical path when the entry's path was accepted.
std::optional<std::string> decide_entry(VerifyContext& ctx, const AuxiliaryArtifact& entry,
                                        const std::optional<std::string>& base, AuxiliaryArtifactReport& r) {
  const VerifyOptions& opt = ctx.options;
  const std::string name = text::quoted(entry.name);
  auto fail_with = [&](std::string_view code, std::string message) {
    ctx.report.error(code, std::move(message));
    r.reason_code = std::string(code);
  };
  if (text::is_blank(entry.path)) {
    r.reason_code = "auxiliary_artifact_path_empty";  // reported by the declaration phase
    return std::nullopt;
  }
  const bool absolute = io::is_absolute(entry.path);
  const std::string shown_path = text::lossy_utf8(entry.path);
  if (absolute && !opt.allow_absolute_paths) {
    fail_with("auxiliary_artifact_absolute_path_rejected",
              fmt::format("absolute auxiliary artifact path {} for {} is rejected by default", shown_path, name));
    return std::nullopt;
  }
  if (!absolute && !opt.allow_path_escape && escapes_lexically(entry.path)) {
    fail_with("auxiliary_artifact_path_escape_rejected",
              fmt::format("relative auxiliary artifact path {} for {} escapes the manifest base", shown_path, name));
    return std::nullopt;
  }
  const std::string candidate = absolute ? entry.path : io::join_path(ctx.doc.base_dir, entry.path);
  // A candidate that cannot be resolved: absent (optional or required) or unavailable.
  auto unresolvable = [&](const ManifestError& e) {
    if (e.os_error() == ENOENT && !entry.required) {
      r.state = AuxiliaryArtifactState::OptionalAbsent;
      r.reason_code = "auxiliary_artifact_optional_absent";
    } else if (e.os_error() == ENOENT) {
      fail_with("auxiliary_artifact_missing_required",
                fmt::format("required auxiliary artifact {} is missing at {}", name, text::lossy_utf8(candidate)));
      r.state = AuxiliaryArtifactState::MissingRequired;
    } else {
      fail_with("auxiliary_artifact_path_unavailable",
                fmt::format("failed to canonicalize auxiliary artifact {} at {}: {}", name, text::lossy_utf8(candidate),
                            e.display()));
    }
    return std::nullopt;
  };
  auto canonical = io::canonicalize(candidate);
  if (!canonical) return unresolvable(canonical.error());
  if (base && !io::path_within(*canonical, *base)) {
    fail_with("auxiliary_artifact_path_escape_rejected",
              fmt::format("canonical auxiliary artifact path {} for {} is outside manifest base {}",
                          text::lossy_utf8(*canonical), name, text::lossy_utf8(*base)));
    return std::nullopt;
  }

  // Pin the entry found at the canonical path and read only that entry: a file swapped
  // in after the checks above is unavailable, never hashed in its place.
  auto identity = io::identify_canonical(*canonical);
  if (!identity) return unresolvable(identity.error());
  auto file = io::open_identified(*canonical, *identity);
  if (!file && io::is_file_changed(file.error())) return unresolvable(file.error());

  r.canonical_path = text::lossy_utf8(*canonical);
  auto digest = file ? io::sha256_open_file_bounded(*file, *canonical, ctx.limits().max_auxiliary_artifact_bytes,
                                                    "auxiliary_artifact_file_too_large", "auxiliary artifact")
                     : Result<io::FileDigest>(std::unexpected(file.error()));
  if (!digest) {
    const ManifestError& e = digest.error();
    if (e.kind() == ManifestError::Kind::Reason) {
      fail_with(e.code(), e.display());
    } else {
      fail_with("auxiliary_artifact_hash_failed",
                fmt::format("failed to hash auxiliary artifact {}: {}", name, e.display()));
    }
    return std::move(*canonical);
  }
  r.sha256 = digest->sha256;
  r.size_bytes = digest->size_bytes;
  bool matched = true;
  if (digest->sha256 != entry.sha256) {
    fail_with(
        "auxiliary_artifact_sha256_mismatch",
        fmt::format("auxiliary artifact {} SHA-256 was {}, manifest declares {}", name, digest->sha256, entry.sha256));
    matched = false;
  }
  if (digest->size_bytes != entry.file_size_bytes) {
    ctx.report.error("auxiliary_artifact_file_size_mismatch",
                     fmt::format("auxiliary artifact {} size was {}, manifest declares {}", name, digest->size_bytes,
                                 entry.file_size_bytes));
    if (!r.reason_code) r.reason_code = "auxiliary_artifact_file_size_mismatch";
    matched = false;
  }
  if (matched) r.state = AuxiliaryArtifactState::Verified;
  return std::move(*canonical);
}

}  // namespace

void check_auxiliary_declarations(VerifyContext& ctx) {
  if (!within_count_limit(ctx)) return;
  std::unordered_set<std::string_view> names;
  for (const AuxiliaryArtifact& entry : ctx.manifest().auxiliary_artifacts) {
    const std::string_view trimmed = text::trim_ws(entry.name);
    const std::string shown = text::quoted(trimmed);
    if (trimmed.empty()) {
      ctx.report.error("auxiliary_artifact_name_empty", "auxiliary artifact name must be non-empty");
    } else if (trimmed.size() != entry.name.size()) {
      ctx.report.error("auxiliary_artifact_name_not_trimmed",
                       fmt::format("auxiliary artifact name {} must not have leading or trailing whitespace", shown));
    } else if (!names.insert(trimmed).second) {
      ctx.report.error("auxiliary_artifact_name_duplicate",
                       fmt::format("auxiliary artifact name {} is duplicated", shown));
    }
    if (text::is_blank(entry.path)) {
      ctx.report.error("auxiliary_artifact_path_empty",
                       fmt::format("auxiliary artifact {} path must be non-empty", shown));
    }
    if (!text::is_hex_digest(entry.sha256)) {
      ctx.report.error(
          "auxiliary_artifact_sha256_invalid",
          fmt::format("auxiliary artifact {} sha256 must be a lowercase 64-character hex SHA-256 digest", shown));
    }
  }
}

void check_auxiliary_files(VerifyContext& ctx) {
  if (!within_count_limit(ctx)) return;
  const auto& entries = ctx.manifest().auxiliary_artifacts;
  if (entries.empty()) return;

  // Visit order: (name, path, required) ascending, bytes compared unsigned, stable.
  std::vector<const AuxiliaryArtifact*> order;
  order.reserve(entries.size());
  for (const auto& e : entries) order.push_back(&e);
  std::stable_sort(order.begin(), order.end(), [](const AuxiliaryArtifact* a, const AuxiliaryArtifact* b) {
    if (int c = a->name.compare(b->name); c != 0) return c < 0;
    if (int c = a->path.compare(b->path); c != 0) return c < 0;
    return !a->required && b->required;
  });

  const std::string& base_dir = ctx.doc.base_dir;
  std::optional<std::string> base;
  if (!ctx.options.allow_path_escape) {
    auto canonical_base = io::canonicalize(base_dir);
    if (!canonical_base) {
      const std::string error_text = canonical_base.error().display();
      for (const AuxiliaryArtifact* entry : order) {
        AuxiliaryArtifactReport r = auxiliary_artifact_report_entry(*entry, base_dir);
        if (text::is_blank(entry->path)) {
          r.reason_code = "auxiliary_artifact_path_empty";
        } else {
          ctx.report.error("auxiliary_artifact_base_dir_unavailable",
                           fmt::format("failed to canonicalize base_dir {} for auxiliary artifact {}: {}",
                                       text::lossy_utf8(base_dir), text::quoted(entry->name), error_text));
          r.reason_code = "auxiliary_artifact_base_dir_unavailable";
        }
        ctx.report.auxiliary_artifacts.push_back(std::move(r));
      }
      return;
    }
    base = std::move(*canonical_base);
  }

  ctx.capture.auxiliary_artifact_paths.reserve(order.size());
  for (const AuxiliaryArtifact* entry : order) {
    AuxiliaryArtifactReport r = auxiliary_artifact_report_entry(*entry, base_dir);
    ctx.capture.auxiliary_artifact_paths.push_back(decide_entry(ctx, *entry, base, r));
    ctx.report.auxiliary_artifacts.push_back(std::move(r));
  }
}

}  // namespace zm
