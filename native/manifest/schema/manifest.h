// The manifest records. Plain value types that own all their data; field order here is
// declaration order, which is also the order every writer emits. The JSON codec for
// these records is driven by one field table per record (schema/codec).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "json/value.h"

namespace zm {

inline constexpr const char* kSchemaVersion = "zarnik.index_manifest.v1";
inline constexpr const char* kCalibrationSchemaVersion = "zarnik.calibration.v1";
inline constexpr const char* kEncoderDistortionSchemaVersion = "zarnik.encoder_distortion.v1";

using OptString = std::optional<std::string>;

// ---- core records -------------------------------------------------------------------

enum class ManifestIndexKind { Rank, RankQuant, Bitmap, SignBitmap };

struct ParamsRank {};
struct ParamsRankQuant {
  uint8_t bits = 0;
};
struct ParamsBitmap {
  uint64_t n_top = 0;
};
struct ParamsSignBitmap {};
// Tagged by "kind": "rank", "rank_quant", "bitmap", "sign_bitmap" (variant order).
using ManifestIndexParams = std::variant<ParamsRank, ParamsRankQuant, ParamsBitmap, ParamsSignBitmap>;

struct Artifact {
  std::string path;
  std::string sha256;
  ManifestIndexKind kind = ManifestIndexKind::Rank;
  uint8_t format_version = 0;
  uint64_t dim = 0;
  uint64_t vector_count = 0;
  uint64_t bytes_per_vec = 0;
  ManifestIndexParams params;
  uint64_t file_size_bytes = 0;
};

struct AuxiliaryArtifact {
  std::string name;
  std::string path;
  std::string sha256;
  uint64_t file_size_bytes = 0;
  bool required = true;  // default true; written only when false
};

struct Embedding {
  std::string model;
  uint64_t dim = 0;
  OptString model_revision;
  OptString tokenizer_revision;
  OptString pooling;
  OptString corpus_digest;
  OptString embedding_matrix_digest;
  OptString normalization;
};

struct MetricSpec {
  std::string name;
  OptString version;
  OptString digest;
};

struct EncoderSpec {
  std::string model;
  uint64_t dim = 0;
  OptString model_revision;
  OptString normalization;
};

struct BuildInfo {
  std::string invocation_id;
  OptString builder_id;
  OptString source_repo;
  OptString source_commit;
  OptString ci_provider;
  OptString ci_run_id;
};

struct RowIdentityDb {
  OptString path;
  OptString table;
  OptString id_column;
};

struct RowIdIdentity {
  uint64_t row_count = 0;
};
struct RowIdentityJsonl {
  std::string path;
  std::string sha256;
  uint64_t row_count = 0;
  std::string id_kind;
  std::optional<RowIdentityDb> db;
};
// Tagged by "kind": "row_id_identity", "jsonl".
using RowIdentity = std::variant<RowIdIdentity, RowIdentityJsonl>;

// ---- calibration --------------------------------------------------------------------

struct OrdTopK {
  uint64_t dim = 0;
  uint64_t k = 0;
};
struct OrdBucket {
  uint64_t dim = 0;
  uint8_t bits = 0;
};
struct OrdSign {
  uint64_t dim = 0;
};
struct OrdRankPosition {
  uint64_t dim = 0;
};
struct OrdCallerDefined {
  uint64_t dim = 0;
  std::string name;
};
// Tagged by "kind": "top_k", "bucket", "sign", "rank_position", "caller_defined".
using CalibrationOrdinalization = std::variant<OrdTopK, OrdBucket, OrdSign, OrdRankPosition, OrdCallerDefined>;

enum class ProfileParameterization {
  MarginalTopKFrequency,
  BucketFrequency,
  SignFrequency,
  RankPositionFrequency,
  EmpiricalTailTable,
};

struct NullUniformHypergeometric {};
struct NullWeightedMarginalProfile {
  ProfileParameterization parameterization = ProfileParameterization::MarginalTopKFrequency;
};
struct NullEmpiricalTailTable {
  std::string statistic;
};
struct NullCallerDefined {
  std::string name;
  OptString parameterization;
};
// Tagged by "kind": "uniform_hypergeometric", "weighted_marginal_profile",
// "empirical_tail_table", "caller_defined".
using NullModelSpec =
    std::variant<NullUniformHypergeometric, NullWeightedMarginalProfile, NullEmpiricalTailTable, NullCallerDefined>;

struct ProfileArtifactRef {
  std::string path;
  std::string sha256;
  uint64_t file_size_bytes = 0;
  uint64_t dim = 0;
  uint64_t sample_count = 0;
  ProfileParameterization parameterization = ProfileParameterization::MarginalTopKFrequency;
  std::string format;
  std::vector<uint64_t> shape;  // default empty; left out on write when empty
  OptString source_digest;
};

struct CalibrationProfileRef {
  std::string schema_version;
  std::string profile_id;
  OptString created_at;
  EncoderSpec calibrated_for;
  CalibrationOrdinalization ordinalization;
  std::optional<ProfileArtifactRef> profile;
  NullModelSpec null_model;
};

// ---- encoder distortion -------------------------------------------------------------

struct DistortionBounds {
  std::optional<double> declared_lower_bound;
  std::optional<double> declared_upper_bound;
  std::optional<double> estimated_distortion;
  std::optional<double> violation_rate;
  std::optional<double> max_observed_violation;
  std::optional<double> quantile_observed_violation;
};

struct DistortionScope {
  OptString corpus_digest;
  OptString query_set_digest;
  OptString pair_sample_digest;
  OptString domain;
  std::optional<uint64_t> sample_size;
  std::optional<double> confidence;
  std::optional<double> coverage;
  OptString estimator_version;
};

enum class DistortionEvidenceKind { Certified, EmpiricalSample, BenchmarkEstimate, TeacherEstimate, CallerAsserted };

struct DistortionEvidence {
  DistortionEvidenceKind kind = DistortionEvidenceKind::Certified;
  OptString estimator_id;
  OptString estimator_hash;
};

struct DistortionProfileArtifactRef {
  std::string path;
  std::string sha256;
  uint64_t file_size_bytes = 0;
  std::string format;
  OptString source_digest;
};

struct EncoderDistortionProfileRef {
  std::string schema_version;
  std::string profile_id;
  OptString created_at;
  EncoderSpec encoder;
  OptString tokenizer_revision;
  OptString pooling;
  MetricSpec source_metric;
  MetricSpec embedding_metric;
  DistortionBounds bounds;
  DistortionScope scope;
  DistortionEvidence evidence;
  std::optional<DistortionProfileArtifactRef> profile;
  OptString calibration_profile_id;
};

// ---- the document -------------------------------------------------------------------

struct IndexManifest {
  std::string schema_version;
  std::string manifest_id;
  std::string created_at;
  Artifact artifact;
  std::vector<AuxiliaryArtifact> auxiliary_artifacts;  // default empty; left out when empty
  Embedding embedding;
  std::optional<EncoderDistortionProfileRef> encoder_distortion;
  std::optional<CalibrationProfileRef> calibration;
  RowIdentity row_identity;
  std::optional<BuildInfo> build;
  json::ArrayText attestations;  // default empty; left out when empty
  json::ObjectText extensions;   // default empty; keys sorted; left out when empty
};

// One row-map line (JSON-lines row identity file).
struct JsonlRow {
  uint64_t row_id = 0;
  std::string db_id;
  OptString parent_id;
};

}  // namespace zm
