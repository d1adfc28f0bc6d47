// Phase 12: the calibration block. Every rule appends at most one issue and the next
// rule still runs, except where the profile's presence ends the phase (step 17 of the
// check order) and where an unresolved profile path leaves nothing to hash.
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "manifest/verify/phases.h"
#include "manifest/verify/profile_file.h"
#include "manifest/verify/rules.h"
#include "text/digest.h"
#include "text/quoted.h"
#include "text/rfc3339.h"
#include "text/trim.h"

namespace zm {
namespace {

template <class... Fs>
struct Overloaded : Fs... {
  using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

const char* ordinalization_name(const CalibrationOrdinalization& ord) {
  return std::visit(Overloaded{
                        [](const OrdTopK&) { return "top_k"; },
                        [](const OrdBucket&) { return "bucket"; },
                        [](const OrdSign&) { return "sign"; },
                        [](const OrdRankPosition&) { return "rank_position"; },
                        [](const OrdCallerDefined&) { return "caller_defined"; },
                    },
                    ord);
}

uint64_t ordinalization_dim(const CalibrationOrdinalization& ord) {
  return std::visit([](const auto& o) -> uint64_t { return o.dim; }, ord);
}

const char* null_model_name(const NullModelSpec& null_model) {
  return std::visit(Overloaded{
                        [](const NullUniformHypergeometric&) { return "uniform_hypergeometric"; },
                        [](const NullWeightedMarginalProfile&) { return "weighted_marginal_profile"; },
                        [](const NullEmpiricalTailTable&) { return "empirical_tail_table"; },
                        [](const NullCallerDefined&) { return "caller_defined"; },
                    },
                    null_model);
}

// Parameterizations appear in messages by their variant names.
const char* parameterization_variant_name(ProfileParameterization p) {
  switch (p) {
    case ProfileParameterization::MarginalTopKFrequency:
      return "MarginalTopKFrequency";
    case ProfileParameterization::BucketFrequency:
      return "BucketFrequency";
    case ProfileParameterization::SignFrequency:
      return "SignFrequency";
    case ProfileParameterization::RankPositionFrequency:
      return "RankPositionFrequency";
    case ProfileParameterization::EmpiricalTailTable:
      return "EmpiricalTailTable";
  }
  return "";
}

bool bits_supported(uint8_t bits) {
  return bits == 1 || bits == 2 || bits == 4;
}

// The ordinalization parameter rule, under the artifact-mismatch code. Empty when the
// parameters are acceptable.
std::optional<const char*> ordinalization_parameter_problem(const CalibrationOrdinalization& ord) {
  return std::visit(Overloaded{
                        [](const OrdTopK& o) -> std::optional<const char*> {
                          if (o.k == 0) return "calibration top_k.k must be greater than zero";
                          return std::nullopt;
                        },
                        [](const OrdBucket& o) -> std::optional<const char*> {
                          if (!bits_supported(o.bits)) return "calibration bucket.bits must be 1, 2, or 4";
                          return std::nullopt;
                        },
                        [](const OrdSign&) -> std::optional<const char*> { return std::nullopt; },
                        [](const OrdRankPosition&) -> std::optional<const char*> { return std::nullopt; },
                        [](const OrdCallerDefined& o) -> std::optional<const char*> {
                          if (text::is_blank(o.name)) return "calibration caller_defined.name must be non-empty";
                          return std::nullopt;
                        },
                    },
                    ord);
}

// Whether the ordinalization suits the artifact. A params variant that disagrees with
// artifact.kind suits nothing.
bool ordinalization_suits_artifact(const Artifact& artifact, const CalibrationOrdinalization& ord) {
  switch (artifact.kind) {
    case ManifestIndexKind::Rank:
      return std::holds_alternative<ParamsRank>(artifact.params) &&
             (std::holds_alternative<OrdRankPosition>(ord) || std::holds_alternative<OrdCallerDefined>(ord));
    case ManifestIndexKind::RankQuant: {
      const auto* params = std::get_if<ParamsRankQuant>(&artifact.params);
      const auto* bucket = std::get_if<OrdBucket>(&ord);
      return params != nullptr && bucket != nullptr && bucket->bits == params->bits;
    }
    case ManifestIndexKind::Bitmap: {
      const auto* params = std::get_if<ParamsBitmap>(&artifact.params);
      const auto* top_k = std::get_if<OrdTopK>(&ord);
      return params != nullptr && top_k != nullptr && top_k->k == params->n_top;
    }
    case ManifestIndexKind::SignBitmap:
      return std::holds_alternative<ParamsSignBitmap>(artifact.params) && std::holds_alternative<OrdSign>(ord);
  }
  return false;
}

// Null model against the profile's parameterization; empty when they agree.
std::optional<std::string> null_parameterization_problem(const NullModelSpec& null_model,
                                                         ProfileParameterization profile) {
  return std::visit(
      Overloaded{
          [](const NullUniformHypergeometric&) -> std::optional<std::string> { return std::nullopt; },
          [&](const NullWeightedMarginalProfile& n) -> std::optional<std::string> {
            if (n.parameterization == profile) return std::nullopt;
            return fmt::format("null_model parameterization {} does not match profile parameterization {}",
                               parameterization_variant_name(n.parameterization),
                               parameterization_variant_name(profile));
          },
          [&](const NullEmpiricalTailTable&) -> std::optional<std::string> {
            if (profile == ProfileParameterization::EmpiricalTailTable) return std::nullopt;
            return "empirical_tail_table null_model requires empirical_tail_table profile parameterization";
          },
          [](const NullCallerDefined&) -> std::optional<std::string> { return std::nullopt; },
      },
      null_model);
}

bool parameterization_suits_ordinalization(ProfileParameterization p, const CalibrationOrdinalization& ord) {
  if (std::holds_alternative<OrdCallerDefined>(ord)) return true;
  switch (p) {
    case ProfileParameterization::MarginalTopKFrequency:
      return std::holds_alternative<OrdTopK>(ord);
    case ProfileParameterization::BucketFrequency:
      return std::holds_alternative<OrdBucket>(ord);
    case ProfileParameterization::SignFrequency:
      return std::holds_alternative<OrdSign>(ord);
    case ProfileParameterization::RankPositionFrequency:
      return std::holds_alternative<OrdRankPosition>(ord);
    case ProfileParameterization::EmpiricalTailTable:
      return true;
  }
  return false;
}

// The shape a profile of this parameterization must have, or nothing when no shape is
// fixed (empirical tables, and bucket frequencies without a usable bucket width).
std::optional<std::vector<uint64_t>> expected_shape(ProfileParameterization p, const CalibrationOrdinalization& ord) {
  const uint64_t d = ordinalization_dim(ord);
  switch (p) {
    case ProfileParameterization::MarginalTopKFrequency:
    case ProfileParameterization::SignFrequency:
      return std::vector<uint64_t>{d};
    case ProfileParameterization::RankPositionFrequency:
      return std::vector<uint64_t>{d, d};
    case ProfileParameterization::BucketFrequency: {
      const auto* bucket = std::get_if<OrdBucket>(&ord);
      if (bucket == nullptr || !bits_supported(bucket->bits)) return std::nullopt;
      return std::vector<uint64_t>{d, uint64_t{1} << bucket->bits};
    }
    case ProfileParameterization::EmpiricalTailTable:
      return std::nullopt;
  }
  return std::nullopt;
}

// Bytes per stored element for the formats whose size follows from the shape.
std::optional<uint64_t> element_size(const std::string& format) {
  if (format == "raw_f32_le") return 4;
  if (format == "raw_f64_le") return 8;
  return std::nullopt;
}

std::string shape_text(const std::vector<uint64_t>& shape) {
  return fmt::format("[{}]", fmt::join(shape, ", "));
}

void check_shape_size(VerificationReport& r, const ProfileArtifactRef& p) {
  const std::optional<uint64_t> elem = element_size(p.format);
  if (!elem) return;
  // A zero extent makes the element count zero whatever the other extents are, so it
  // is not an overflow even when the extents before it overflow on their own.
  uint64_t count = 1;
  bool has_zero = false;
  for (uint64_t extent : p.shape) has_zero = has_zero || extent == 0;
  if (has_zero) {
    count = 0;
  } else {
    for (uint64_t extent : p.shape) {
      if (__builtin_mul_overflow(count, extent, &count)) {
        r.error("calibration_profile_shape_mismatch", "calibration.profile.shape product overflows u64");
        return;
      }
    }
  }
  uint64_t bytes = 0;
  if (__builtin_mul_overflow(count, *elem, &bytes)) {
    r.error("calibration_profile_shape_mismatch", "calibration.profile.shape byte size overflows u64");
    return;
  }
  if (bytes != p.file_size_bytes) {
    r.error("calibration_profile_file_size_mismatch",
            fmt::format("calibration profile size {} does not match shape/format size {}", p.file_size_bytes, bytes));
  }
}

void check_block_fields(VerifyContext& ctx, const CalibrationProfileRef& cal) {
  VerificationReport& r = ctx.report;
  const EncoderSpec& enc = cal.calibrated_for;

  if (cal.schema_version != kCalibrationSchemaVersion) {
    r.error("calibration_schema_version_unsupported", fmt::format("calibration.schema_version must be {}, got {}",
                                                                  kCalibrationSchemaVersion, cal.schema_version));
  }
  if (text::is_blank(cal.profile_id)) {
    r.error("calibration_profile_id_empty", "calibration.profile_id must be non-empty");
  }
  if (cal.created_at && !text::is_rfc3339(*cal.created_at)) {
    r.error("calibration_created_at_invalid", "calibration.created_at must parse as RFC3339 when present");
  }
  if (text::is_blank(enc.model)) {
    r.error("calibration_encoder_model_empty", "calibration.calibrated_for.model must be non-empty");
  }
  if (enc.dim == 0) {
    r.error("calibration_encoder_dim_zero", "calibration.calibrated_for.dim must be greater than zero");
  }
  if (enc.model_revision && text::is_blank(*enc.model_revision)) {
    r.error("calibration_encoder_model_revision_empty",
            "calibration.calibrated_for.model_revision must be non-empty when present");
  }
  if (enc.normalization && text::is_blank(*enc.normalization)) {
    r.error("calibration_encoder_normalization_empty",
            "calibration.calibrated_for.normalization must be non-empty when present");
  }
  if (ordinalization_dim(cal.ordinalization) == 0) {
    r.error("calibration_ordinalization_dim_zero", "calibration.ordinalization.dim must be greater than zero");
  }
  if (std::optional<const char*> problem = ordinalization_parameter_problem(cal.ordinalization)) {
    r.error("calibration_ordinalization_artifact_mismatch", *problem);
  }
  if (const auto* n = std::get_if<NullCallerDefined>(&cal.null_model)) {
    if (text::is_blank(n->name)) {
      r.error("calibration_null_name_empty", "calibration.null_model.name must be non-empty");
    }
    if (n->parameterization && text::is_blank(*n->parameterization)) {
      r.error("calibration_null_parameterization_empty",
              "calibration.null_model.parameterization must be non-empty when present");
    }
  } else if (const auto* t = std::get_if<NullEmpiricalTailTable>(&cal.null_model)) {
    if (text::is_blank(t->statistic)) {
      r.error("calibration_null_statistic_empty", "calibration.null_model.statistic must be non-empty");
    }
  }
}

void check_agreement(VerifyContext& ctx, const CalibrationProfileRef& cal) {
  VerificationReport& r = ctx.report;
  const Embedding& emb = ctx.manifest().embedding;
  const Artifact& artifact = ctx.manifest().artifact;
  const EncoderSpec& enc = cal.calibrated_for;

  if (enc.model != emb.model) {
    r.error("calibration_encoder_model_mismatch", fmt::format("calibration model {} does not match embedding.model {}",
                                                              text::quoted(enc.model), text::quoted(emb.model)));
  }
  if (enc.dim != emb.dim) {
    r.error("calibration_encoder_dim_mismatch",
            fmt::format("calibration dim {} does not match embedding.dim {}", enc.dim, emb.dim));
  }
  compare_optional_encoder_identity("calibration_encoder_model_revision_mismatch", "calibration encoder",
                                    "model_revision", enc.model_revision, emb.model_revision, r);
  compare_optional_encoder_identity("calibration_encoder_normalization_mismatch", "calibration encoder",
                                    "normalization", enc.normalization, emb.normalization, r);
  const uint64_t ord_dim = ordinalization_dim(cal.ordinalization);
  if (ord_dim != artifact.dim) {
    r.error("calibration_ordinalization_dim_mismatch",
            fmt::format("calibration ordinalization dim {} does not match artifact.dim {}", ord_dim, artifact.dim));
  }
  if (!ordinalization_suits_artifact(artifact, cal.ordinalization)) {
    r.error("calibration_ordinalization_artifact_mismatch",
            "calibration.ordinalization is incompatible with artifact.kind/artifact.params");
  }
  if (std::holds_alternative<NullUniformHypergeometric>(cal.null_model) &&
      !std::holds_alternative<OrdTopK>(cal.ordinalization)) {
    r.error("calibration_null_model_ordinalization_mismatch",
            "uniform_hypergeometric calibration requires top_k ordinalization");
  }
}

void check_profile(VerifyContext& ctx, const CalibrationProfileRef& cal, const ProfileArtifactRef& p) {
  VerificationReport& r = ctx.report;
  const Artifact& artifact = ctx.manifest().artifact;
  r.calibration.profile_manifest_path = p.path;

  const bool path_empty = text::is_blank(p.path);
  if (path_empty) {
    r.error("calibration_profile_path_empty", "calibration.profile.path must be non-empty");
  }
  if (!text::is_hex_digest(p.sha256)) {
    r.error("calibration_profile_sha256_invalid",
            "calibration.profile.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (p.file_size_bytes == 0) {
    r.error("calibration_profile_file_size_zero", "calibration.profile.file_size_bytes must be greater than zero");
  }
  if (p.dim != artifact.dim) {
    r.error("calibration_profile_dim_mismatch",
            fmt::format("calibration profile dim {} does not match artifact.dim {}", p.dim, artifact.dim));
  }
  if (p.sample_count == 0) {
    r.error("calibration_profile_sample_count_zero", "calibration.profile.sample_count must be greater than zero");
  }
  if (p.source_digest && !text::is_digest_uri(*p.source_digest)) {
    r.error("calibration_profile_source_digest_invalid",
            "calibration.profile.source_digest must be sha256:<lowercase-hex>");
  }
  if (std::optional<std::string> problem = null_parameterization_problem(cal.null_model, p.parameterization)) {
    r.error("calibration_null_parameterization_mismatch", std::move(*problem));
  }
  if (!parameterization_suits_ordinalization(p.parameterization, cal.ordinalization)) {
    r.error("calibration_profile_parameterization_ordinalization_mismatch",
            "calibration profile parameterization is incompatible with calibration ordinalization");
  }
  if (text::is_blank(p.format)) {
    r.error("calibration_profile_format_empty", "calibration.profile.format must be non-empty");
  }
  if (!p.shape.empty()) {
    std::optional<std::vector<uint64_t>> expected = expected_shape(p.parameterization, cal.ordinalization);
    if (expected && *expected != p.shape) {
      r.error("calibration_profile_shape_mismatch",
              fmt::format("calibration profile shape {} does not match expected {}", shape_text(p.shape),
                          shape_text(*expected)));
    }
    check_shape_size(r, p);
  }
  if (path_empty) return;
  CalibrationReport& section = r.calibration;
  check_profile_file(ctx, {"calibration_profile", "calibration profile", ctx.limits().max_calibration_profile_bytes},
                     p.path, p.sha256, p.file_size_bytes,
                     {section.profile_canonical_path, section.profile_sha256, section.profile_size_bytes});
}

}  // namespace

void check_calibration(VerifyContext& ctx) {
  if (!ctx.manifest().calibration) return;
  const CalibrationProfileRef& cal = *ctx.manifest().calibration;

  CalibrationReport& section = ctx.report.calibration;
  section.present = true;
  section.schema_version = cal.schema_version;
  section.profile_id = cal.profile_id;
  section.calibrated_for_model = cal.calibrated_for.model;
  section.ordinalization = ordinalization_name(cal.ordinalization);
  section.null_model = null_model_name(cal.null_model);

  check_block_fields(ctx, cal);
  check_agreement(ctx, cal);

  // A uniform null model takes no profile: one that is declared anyway is reported and
  // never opened. Every other null model needs one.
  const bool uniform = std::holds_alternative<NullUniformHypergeometric>(cal.null_model);
  if (uniform) {
    if (cal.profile) {
      ctx.report.error("calibration_profile_unexpected",
                       "uniform_hypergeometric calibration must not include a profile artifact");
    }
    return;
  }
  if (!cal.profile) {
    ctx.report.error("calibration_profile_required", "non-uniform calibration requires a profile artifact");
    return;
  }
  check_profile(ctx, cal, *cal.profile);
}

}  // namespace zm
