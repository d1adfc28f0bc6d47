// The artifact: declaration rules (phase 3, no file access) and the file checks (phase 8:
// resolve, hash, probe, compare). The file is opened twice by its canonical path, once
// to hash and once to probe, each open confirmed to be the entry the path policy
// resolved; nothing else is carried between the two opens.
#include <fmt/format.h>

#include <variant>

#include "index_format/format.h"
#include "index_format/rank_io.h"
#include "io/open_checked.h"
#include "io/sha256.h"
#include "manifest/schema/index_kind.h"
#include "manifest/verify/path_policy.h"
#include "manifest/verify/phases.h"
#include "text/digest.h"
#include "text/trim.h"
#include "text/utf8.h"

namespace zm {

namespace {

namespace fmtx = index_format;

uint64_t declared_row_count(const RowIdentity& identity) {
  return std::visit([](const auto& v) { return v.row_count; }, identity);
}

// The params variant each manifest kind requires (same order as ManifestIndexKind).
bool params_belong_to(ManifestIndexKind kind, const ManifestIndexParams& params) {
  return params.index() == static_cast<size_t>(kind);
}

// The manifest kind by its variant name, as the probed kind is shown.
std::string_view declared_kind_name(ManifestIndexKind kind) {
  return fmtx::index_kind_name(static_cast<fmtx::IndexKind>(static_cast<uint8_t>(kind)));
}

// Declared params in the probed params' debug form ("RankQuant { bits: 4 }"), shown with
// the declared width (a manifest's n_top is u64).
std::string declared_params_debug(const ManifestIndexParams& params) {
  return std::visit(
      [](const auto& p) -> std::string {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, ParamsRank>) {
          return "Rank";
        } else if constexpr (std::is_same_v<P, ParamsRankQuant>) {
          return fmt::format("RankQuant {{ bits: {} }}", p.bits);
        } else if constexpr (std::is_same_v<P, ParamsBitmap>) {
          return fmt::format("Bitmap {{ n_top: {} }}", p.n_top);
        } else {
          return "SignBitmap";
        }
      },
      params);
}

bool params_match(const fmtx::IndexParams& probed, const ManifestIndexParams& declared) {
  if (probed.index() != declared.index()) return false;
  if (auto* q = std::get_if<fmtx::RankQuantParams>(&probed)) return q->bits == std::get<ParamsRankQuant>(declared).bits;
  if (auto* b = std::get_if<fmtx::BitmapParams>(&probed)) return b->n_top == std::get<ParamsBitmap>(declared).n_top;
  return true;
}

// Hashes the artifact through `file`, the checked open of its canonical path (or that
// open's error, reported as a hash failure).
void hash_artifact(VerifyContext& ctx, Result<io::File>& file) {
  const Artifact& a = ctx.manifest().artifact;
  VerificationReport& r = ctx.report;
  auto digest = file ? io::sha256_stream(*file) : Result<io::FileDigest>(std::unexpected(file.error()));
  if (!digest) {
    r.error("artifact_hash_failed", fmt::format("failed to hash artifact: {}", digest.error().display()));
    return;
  }
  r.artifact.sha256 = digest->sha256;
  r.artifact.size_bytes = digest->size_bytes;
  if (digest->sha256 != a.sha256) {
    r.error("artifact_sha256_mismatch",
            fmt::format("artifact SHA-256 was {}, manifest declares {}", digest->sha256, a.sha256));
  }
  if (digest->size_bytes != a.file_size_bytes) {
    r.error("artifact_file_size_mismatch",
            fmt::format("artifact size was {}, manifest declares {}", digest->size_bytes, a.file_size_bytes));
  }
}

// The second, separate open: probe the header of the entry resolved.
Result<fmtx::IndexMetadata> probe_resolved(VerifyContext& ctx, const ResolvedPath& resolved) {
  auto file = open_resolved(resolved, "artifact", ctx.report.errors);
  if (!file) return fail(file.error());
  auto st = file->stat();
  if (!st) return fail(st.error());
  const uint64_t size = st->st_size > 0 ? static_cast<uint64_t>(st->st_size) : 0;
  return fmtx::probe_index_open_file(*file, size);
}

void compare_metadata(VerifyContext& ctx, const fmtx::IndexMetadata& meta) {
  const Artifact& a = ctx.manifest().artifact;
  VerificationReport& r = ctx.report;

  // Coverage, then kind: only metadata a version 1 manifest can hold is recorded.
  auto kind = try_from_core(meta.kind);
  auto params = try_params_from_core(meta.params);
  if (!kind) {
    r.error("artifact_manifest_coverage_unsupported", kind.error().message());
  } else {
    if (params) {
      r.artifact.metadata = MetadataReport{*kind,   meta.format_version, meta.dim, meta.n_vectors, meta.bytes_per_vec,
                                           *params, meta.file_size_bytes};
    }
    if (*kind != a.kind) {
      r.error("artifact_kind_mismatch", fmt::format("artifact kind was {}, manifest declares {}",
                                                    fmtx::index_kind_name(meta.kind), declared_kind_name(a.kind)));
    }
  }

  if (std::holds_alternative<fmtx::RankQuantFastscanParams>(meta.params)) {
    r.error("artifact_params_unsupported", fmtx::UnsupportedCoreMetadata::params_not_supported(meta.params).message());
  } else if (!params_match(meta.params, a.params)) {
    r.error("artifact_params_mismatch",
            fmt::format("artifact params were {}, manifest declares {}", fmtx::params_debug_text(meta.params),
                        declared_params_debug(a.params)));
  }

  if (meta.format_version != a.format_version) {
    r.error("artifact_format_version_mismatch",
            fmt::format("artifact format_version was {}, manifest declares {}", meta.format_version, a.format_version));
  }
  if (meta.dim != a.dim) {
    r.error("artifact_dim_mismatch", fmt::format("artifact dim was {}, manifest declares {}", meta.dim, a.dim));
  }
  if (meta.n_vectors != a.vector_count) {
    r.error("artifact_vector_count_mismatch",
            fmt::format("artifact vector_count was {}, manifest declares {}", meta.n_vectors, a.vector_count));
  }
  if (meta.bytes_per_vec != a.bytes_per_vec) {
    r.error("artifact_bytes_per_vec_mismatch",
            fmt::format("artifact bytes_per_vec was {}, manifest declares {}", meta.bytes_per_vec, a.bytes_per_vec));
  }
  if (meta.file_size_bytes != a.file_size_bytes) {
    r.error("artifact_metadata_file_size_mismatch",
            fmt::format("artifact metadata file_size_bytes was {}, manifest declares {}", meta.file_size_bytes,
                        a.file_size_bytes));
  }
}

}  // namespace

void check_artifact_declaration(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  const Artifact& a = m.artifact;
  VerificationReport& r = ctx.report;
  if (text::is_blank(a.path)) r.error("artifact_path_empty", "artifact.path must be non-empty");
  if (!text::is_hex_digest(a.sha256)) {
    r.error("artifact_sha256_invalid", "artifact.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (a.bytes_per_vec == 0) r.error("artifact_bytes_per_vec_zero", "artifact.bytes_per_vec must be greater than zero");
  if (a.dim != m.embedding.dim) {
    r.error("artifact_embedding_dim_mismatch",
            fmt::format("artifact.dim {} does not match embedding.dim {}", a.dim, m.embedding.dim));
  }
  if (!params_belong_to(a.kind, a.params)) {
    r.error("artifact_params_kind_mismatch", "artifact.params discriminator does not match artifact.kind");
  }
  uint64_t rows = declared_row_count(m.row_identity);
  if (a.vector_count != rows) {
    r.error("artifact_row_count_mismatch",
            fmt::format("artifact.vector_count {} does not match row_identity.row_count {}", a.vector_count, rows));
  }
}

void check_artifact_file(VerifyContext& ctx) {
  const Artifact& a = ctx.manifest().artifact;
  const VerifyOptions& opt = ctx.options;
  ArtifactReport& out = ctx.report.artifact;
  const std::string& observed = opt.index ? *opt.index : a.path;
  out.manifest_path = a.path;
  out.observed_path = text::lossy_utf8(observed);

  auto resolved = resolve_existing_entry(observed, ctx.doc.base_dir, opt.allow_absolute_paths, opt.allow_path_escape,
                                         "artifact", ctx.report.errors);
  if (!resolved) return;
  // Both opens are checked against the entry resolved: a file swapped in after the path
  // was checked is reported unavailable, never hashed or probed in its place.
  {
    auto file = open_resolved(*resolved, "artifact", ctx.report.errors);
    if (!file && io::is_file_changed(file.error())) return;
    out.canonical_path = text::lossy_utf8(resolved->canonical);
    ctx.capture.artifact_path = resolved->canonical;
    // A failed hash does not prevent the probe; a failed probe keeps the hash results.
    hash_artifact(ctx, file);
  }
  auto meta = probe_resolved(ctx, *resolved);
  if (!meta) {
    if (io::is_file_changed(meta.error())) return;  // the path-unavailable issue is appended
    ctx.report.error("artifact_probe_failed",
                     fmt::format("failed to probe artifact metadata: {}", meta.error().display()));
    return;
  }
  compare_metadata(ctx, *meta);
}

}  // namespace zm
