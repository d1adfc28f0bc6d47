// Phase 11: the encoder_distortion block. Every rule appends at most one issue and the
// next rule still runs; only the file checks depend on a resolved path.
#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "manifest/verify/phases.h"
#include "manifest/verify/profile_file.h"
#include "manifest/verify/rules.h"
#include "text/digest.h"
#include "text/number.h"
#include "text/quoted.h"
#include "text/rfc3339.h"
#include "text/trim.h"

namespace zm {
namespace {

const char* evidence_kind_name(DistortionEvidenceKind kind) {
  switch (kind) {
    case DistortionEvidenceKind::Certified:
      return "certified";
    case DistortionEvidenceKind::EmpiricalSample:
      return "empirical_sample";
    case DistortionEvidenceKind::BenchmarkEstimate:
      return "benchmark_estimate";
    case DistortionEvidenceKind::TeacherEstimate:
      return "teacher_estimate";
    case DistortionEvidenceKind::CallerAsserted:
      return "caller_asserted";
  }
  return "";
}

// "Greater than zero" excludes both zeros and admits positive subnormals.
bool finite_positive(double v) {
  return std::isfinite(v) && v > 0.0;
}
// "Non-negative" admits both zeros.
bool finite_non_negative(double v) {
  return std::isfinite(v) && v >= 0.0;
}
bool finite_fraction(double v) {
  return std::isfinite(v) && v >= 0.0 && v <= 1.0;
}

void check_header_and_encoder(VerifyContext& ctx, const EncoderDistortionProfileRef& ed) {
  VerificationReport& r = ctx.report;
  const Embedding& emb = ctx.manifest().embedding;

  if (ed.schema_version != kEncoderDistortionSchemaVersion) {
    r.error("encoder_distortion_schema_version_unsupported",
            fmt::format("encoder_distortion.schema_version must be {}, got {}", kEncoderDistortionSchemaVersion,
                        ed.schema_version));
  }
  if (text::is_blank(ed.profile_id)) {
    r.error("encoder_distortion_profile_id_empty", "encoder_distortion.profile_id must be non-empty");
  }
  if (ed.created_at && !text::is_rfc3339(*ed.created_at)) {
    r.error("encoder_distortion_created_at_invalid",
            "encoder_distortion.created_at must parse as RFC3339 when present");
  }
  if (text::is_blank(ed.encoder.model)) {
    r.error("encoder_distortion_encoder_model_empty", "encoder_distortion.encoder.model must be non-empty");
  }
  if (ed.encoder.dim == 0) {
    r.error("encoder_distortion_encoder_dim_zero", "encoder_distortion.encoder.dim must be greater than zero");
  }
  if (ed.encoder.model_revision && text::is_blank(*ed.encoder.model_revision)) {
    r.error("encoder_distortion_encoder_model_revision_empty",
            "encoder_distortion.encoder.model_revision must be non-empty when present");
  }
  if (ed.encoder.normalization && text::is_blank(*ed.encoder.normalization)) {
    r.error("encoder_distortion_encoder_normalization_empty",
            "encoder_distortion.encoder.normalization must be non-empty when present");
  }
  if (ed.tokenizer_revision && text::is_blank(*ed.tokenizer_revision)) {
    r.error("encoder_distortion_tokenizer_revision_empty",
            "encoder_distortion.tokenizer_revision must be non-empty when present");
  }
  if (ed.pooling && text::is_blank(*ed.pooling)) {
    r.error("encoder_distortion_pooling_empty", "encoder_distortion.pooling must be non-empty when present");
  }
  if (ed.encoder.model != emb.model) {
    r.error("encoder_distortion_encoder_model_mismatch",
            fmt::format("encoder_distortion model {} does not match embedding.model {}", text::quoted(ed.encoder.model),
                        text::quoted(emb.model)));
  }
  if (ed.encoder.dim != emb.dim) {
    r.error("encoder_distortion_encoder_dim_mismatch",
            fmt::format("encoder_distortion dim {} does not match embedding.dim {}", ed.encoder.dim, emb.dim));
  }
  compare_optional_encoder_identity("encoder_distortion_encoder_model_revision_mismatch", "encoder_distortion encoder",
                                    "model_revision", ed.encoder.model_revision, emb.model_revision, r);
  compare_optional_encoder_identity("encoder_distortion_encoder_normalization_mismatch", "encoder_distortion encoder",
                                    "normalization", ed.encoder.normalization, emb.normalization, r);
  compare_optional_encoder_identity("encoder_distortion_tokenizer_revision_mismatch", "encoder_distortion",
                                    "tokenizer_revision", ed.tokenizer_revision, emb.tokenizer_revision, r);
  compare_optional_encoder_identity("encoder_distortion_pooling_mismatch", "encoder_distortion", "pooling", ed.pooling,
                                    emb.pooling, r);
  validate_metric_spec("encoder_distortion_source_metric", ed.source_metric, r);
  validate_metric_spec("encoder_distortion_embedding_metric", ed.embedding_metric, r);
}

void check_bounds(VerificationReport& r, const DistortionBounds& b) {
  if (!b.declared_lower_bound && !b.declared_upper_bound && !b.estimated_distortion && !b.violation_rate &&
      !b.max_observed_violation && !b.quantile_observed_violation) {
    r.error("encoder_distortion_bounds_empty",
            "encoder_distortion.bounds must declare at least one bound or observed violation statistic");
    return;
  }
  if (b.declared_lower_bound && !finite_positive(*b.declared_lower_bound)) {
    r.error("encoder_distortion_lower_bound_invalid",
            "encoder_distortion.bounds.declared_lower_bound must be finite and greater than zero");
  }
  if (b.declared_upper_bound && !finite_positive(*b.declared_upper_bound)) {
    r.error("encoder_distortion_upper_bound_invalid",
            "encoder_distortion.bounds.declared_upper_bound must be finite and greater than zero");
  }
  if (b.estimated_distortion && !finite_positive(*b.estimated_distortion)) {
    r.error("encoder_distortion_estimated_distortion_invalid",
            "encoder_distortion.bounds.estimated_distortion must be finite and greater than zero");
  }
  if (b.violation_rate && !finite_fraction(*b.violation_rate)) {
    r.error("encoder_distortion_violation_rate_invalid",
            "encoder_distortion.bounds.violation_rate must be finite and within [0, 1]");
  }
  if (b.max_observed_violation && !finite_non_negative(*b.max_observed_violation)) {
    r.error("encoder_distortion_max_observed_violation_invalid",
            "encoder_distortion.bounds.max_observed_violation must be finite and non-negative");
  }
  if (b.quantile_observed_violation && !finite_non_negative(*b.quantile_observed_violation)) {
    r.error("encoder_distortion_quantile_observed_violation_invalid",
            "encoder_distortion.bounds.quantile_observed_violation must be finite and non-negative");
  }

  // Order, then consistency: both need the two declared bounds and a finite lower one.
  if (!b.declared_lower_bound || !b.declared_upper_bound || !std::isfinite(*b.declared_lower_bound)) return;
  const double lower = *b.declared_lower_bound;
  const double upper = *b.declared_upper_bound;
  if (std::isfinite(upper) && lower > upper) {
    r.error("encoder_distortion_bounds_order_invalid",
            "encoder_distortion.bounds.declared_lower_bound must be less than or equal to declared_upper_bound");
  }
  if (!(lower > 0.0) || !finite_positive(upper) || !b.estimated_distortion) return;
  const double ratio = upper / lower;  // may overflow: a positive subnormal lower bound
  if (!std::isfinite(ratio)) {
    r.error("encoder_distortion_distortion_mismatch",
            "encoder_distortion.bounds.declared_upper_bound / declared_lower_bound must be finite");
    return;
  }
  const double estimate = *b.estimated_distortion;
  if (std::isfinite(estimate) && std::fabs(estimate - ratio) > std::max(ratio * 1e-9, 1e-9)) {
    r.error("encoder_distortion_distortion_mismatch",
            fmt::format("encoder_distortion.bounds.estimated_distortion {} does not match "
                        "declared_upper_bound / declared_lower_bound {}",
                        text::plain_number(estimate), text::plain_number(ratio)));
  }
}

void check_scope_and_evidence(VerificationReport& r, const EncoderDistortionProfileRef& ed) {
  const DistortionScope& s = ed.scope;
  validate_optional_sha256_uri("encoder_distortion_scope_corpus_digest_invalid",
                               "encoder_distortion.scope.corpus_digest must be sha256:<lowercase-hex> when present",
                               s.corpus_digest, r);
  validate_optional_sha256_uri("encoder_distortion_scope_query_set_digest_invalid",
                               "encoder_distortion.scope.query_set_digest must be sha256:<lowercase-hex> when present",
                               s.query_set_digest, r);
  validate_optional_sha256_uri(
      "encoder_distortion_scope_pair_sample_digest_invalid",
      "encoder_distortion.scope.pair_sample_digest must be sha256:<lowercase-hex> when present", s.pair_sample_digest,
      r);
  if (s.domain && text::is_blank(*s.domain)) {
    r.error("encoder_distortion_scope_domain_empty", "encoder_distortion.scope.domain must be non-empty when present");
  }
  if (s.estimator_version && text::is_blank(*s.estimator_version)) {
    r.error("encoder_distortion_scope_estimator_version_empty",
            "encoder_distortion.scope.estimator_version must be non-empty when present");
  }
  if (s.sample_size && *s.sample_size == 0) {
    r.error("encoder_distortion_scope_sample_size_zero",
            "encoder_distortion.scope.sample_size must be greater than zero when present");
  }
  if (s.confidence && !finite_fraction(*s.confidence)) {
    r.error("encoder_distortion_scope_confidence_invalid",
            "encoder_distortion.scope.confidence must be finite and within [0, 1]");
  }
  if (s.coverage && !finite_fraction(*s.coverage)) {
    r.error("encoder_distortion_scope_coverage_invalid",
            "encoder_distortion.scope.coverage must be finite and within [0, 1]");
  }

  const DistortionEvidence& ev = ed.evidence;
  if (ev.estimator_id && text::is_blank(*ev.estimator_id)) {
    r.error("encoder_distortion_evidence_estimator_id_empty",
            "encoder_distortion.evidence.estimator_id must be non-empty when present");
  }
  validate_optional_sha256_uri("encoder_distortion_evidence_estimator_hash_invalid",
                               "encoder_distortion.evidence.estimator_hash must be sha256:<lowercase-hex> when present",
                               ev.estimator_hash, r);
}

void check_profile(VerifyContext& ctx, const EncoderDistortionProfileRef& ed) {
  VerificationReport& r = ctx.report;
  if (!ed.profile) {
    if (ed.evidence.kind != DistortionEvidenceKind::CallerAsserted) {
      r.error("encoder_distortion_profile_required",
              "non-caller-asserted encoder distortion evidence requires a profile artifact");
    }
    return;
  }
  const DistortionProfileArtifactRef& p = *ed.profile;
  r.encoder_distortion.profile_manifest_path = p.path;
  const bool path_empty = text::is_blank(p.path);
  if (path_empty) {
    r.error("encoder_distortion_profile_path_empty", "encoder_distortion.profile.path must be non-empty");
  }
  if (!text::is_hex_digest(p.sha256)) {
    r.error("encoder_distortion_profile_sha256_invalid",
            "encoder_distortion.profile.sha256 must be a lowercase 64-character hex SHA-256 digest");
  }
  if (p.file_size_bytes == 0) {
    r.error("encoder_distortion_profile_file_size_zero",
            "encoder_distortion.profile.file_size_bytes must be greater than zero");
  }
  if (text::is_blank(p.format)) {
    r.error("encoder_distortion_profile_format_empty", "encoder_distortion.profile.format must be non-empty");
  }
  validate_optional_sha256_uri("encoder_distortion_profile_source_digest_invalid",
                               "encoder_distortion.profile.source_digest must be sha256:<lowercase-hex> when present",
                               p.source_digest, r);
  if (path_empty) return;
  EncoderDistortionReport& section = r.encoder_distortion;
  check_profile_file(
      ctx,
      {"encoder_distortion_profile", "encoder distortion profile", ctx.limits().max_encoder_distortion_profile_bytes},
      p.path, p.sha256, p.file_size_bytes,
      {section.profile_canonical_path, section.profile_sha256, section.profile_size_bytes});
}

void check_calibration_link(VerifyContext& ctx, const EncoderDistortionProfileRef& ed) {
  if (!ed.calibration_profile_id) return;
  VerificationReport& r = ctx.report;
  const std::string& id = *ed.calibration_profile_id;
  if (text::is_blank(id)) {
    r.error("encoder_distortion_calibration_profile_id_empty",
            "encoder_distortion.calibration_profile_id must be non-empty when present");
  } else if (text::trim_ws(id).size() != id.size()) {
    r.error("encoder_distortion_calibration_profile_id_whitespace",
            "encoder_distortion.calibration_profile_id must not contain leading or trailing whitespace");
  } else if (!ctx.manifest().calibration) {
    r.error("encoder_distortion_calibration_missing",
            "encoder_distortion.calibration_profile_id requires a calibration block");
  } else if (id != ctx.manifest().calibration->profile_id) {
    r.error("encoder_distortion_calibration_profile_mismatch",
            fmt::format("encoder_distortion.calibration_profile_id {} does not match calibration.profile_id {}",
                        text::quoted(id), text::quoted(ctx.manifest().calibration->profile_id)));
  }
}

}  // namespace

void check_encoder_distortion(VerifyContext& ctx) {
  if (!ctx.manifest().encoder_distortion) return;
  const EncoderDistortionProfileRef& ed = *ctx.manifest().encoder_distortion;

  EncoderDistortionReport& section = ctx.report.encoder_distortion;
  section.present = true;
  section.schema_version = ed.schema_version;
  section.profile_id = ed.profile_id;
  section.evidence_kind = evidence_kind_name(ed.evidence.kind);
  section.source_metric = ed.source_metric.name;
  section.embedding_metric = ed.embedding_metric.name;

  check_header_and_encoder(ctx, ed);
  check_bounds(ctx.report, ed.bounds);
  check_scope_and_evidence(ctx.report, ed);
  check_profile(ctx, ed);
  check_calibration_link(ctx, ed);
}

}  // namespace zm
