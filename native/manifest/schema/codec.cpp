#include "manifest/schema/codec.h"

#include <array>

#include <fmt/format.h>

#include "json/codec.h"
#include "json/reader.h"

// Field tables of every manifest record, in declaration order. A table is declared
// before any table that uses its record.
namespace zm::json {

// ---- enumerations -------------------------------------------------------------------

template <>
struct Enum<ManifestIndexKind> {
  static constexpr std::array<std::string_view, 4> names = {"rank", "rank_quant", "bitmap", "sign_bitmap"};
};

template <>
struct Enum<ProfileParameterization> {
  static constexpr std::array<std::string_view, 5> names = {"marginal_topk_frequency", "bucket_frequency",
                                                            "sign_frequency", "rank_position_frequency",
                                                            "empirical_tail_table"};
};

template <>
struct Enum<DistortionEvidenceKind> {
  static constexpr std::array<std::string_view, 5> names = {"certified", "empirical_sample", "benchmark_estimate",
                                                            "teacher_estimate", "caller_asserted"};
};

// ---- index params -------------------------------------------------------------------

template <>
struct Record<ParamsRank> {
  static constexpr std::string_view name = "ParamsRank";
  static constexpr std::array<Field<ParamsRank>, 0> fields = {};
};
template <>
struct Record<ParamsRankQuant> {
  static constexpr std::string_view name = "ParamsRankQuant";
  static constexpr std::array fields = {required<&ParamsRankQuant::bits>("bits")};
};
template <>
struct Record<ParamsBitmap> {
  static constexpr std::string_view name = "ParamsBitmap";
  static constexpr std::array fields = {required<&ParamsBitmap::n_top>("n_top")};
};
template <>
struct Record<ParamsSignBitmap> {
  static constexpr std::string_view name = "ParamsSignBitmap";
  static constexpr std::array<Field<ParamsSignBitmap>, 0> fields = {};
};
template <>
struct Union<ManifestIndexParams> {
  static constexpr std::string_view name = "ManifestIndexParams";
  static constexpr std::array<std::string_view, 4> tags = {"rank", "rank_quant", "bitmap", "sign_bitmap"};
};

// ---- core records -------------------------------------------------------------------

template <>
struct Record<Artifact> {
  static constexpr std::string_view name = "Artifact";
  static constexpr std::array fields = {
      required<&Artifact::path>("path"),
      required<&Artifact::sha256>("sha256"),
      required<&Artifact::kind>("kind"),
      required<&Artifact::format_version>("format_version"),
      required<&Artifact::dim>("dim"),
      required<&Artifact::vector_count>("vector_count"),
      required<&Artifact::bytes_per_vec>("bytes_per_vec"),
      required<&Artifact::params>("params"),
      required<&Artifact::file_size_bytes>("file_size_bytes"),
  };
};

template <>
struct Record<AuxiliaryArtifact> {
  static constexpr std::string_view name = "AuxiliaryArtifact";
  static constexpr std::array fields = {
      required<&AuxiliaryArtifact::name>("name"),
      required<&AuxiliaryArtifact::path>("path"),
      required<&AuxiliaryArtifact::sha256>("sha256"),
      required<&AuxiliaryArtifact::file_size_bytes>("file_size_bytes"),
      default_true<&AuxiliaryArtifact::required>("required"),
  };
};

template <>
struct Record<Embedding> {
  static constexpr std::string_view name = "Embedding";
  static constexpr std::array fields = {
      required<&Embedding::model>("model"),
      required<&Embedding::dim>("dim"),
      optional<&Embedding::model_revision>("model_revision"),
      optional<&Embedding::tokenizer_revision>("tokenizer_revision"),
      optional<&Embedding::pooling>("pooling"),
      optional<&Embedding::corpus_digest>("corpus_digest"),
      optional<&Embedding::embedding_matrix_digest>("embedding_matrix_digest"),
      optional<&Embedding::normalization>("normalization"),
  };
};

template <>
struct Record<MetricSpec> {
  static constexpr std::string_view name = "MetricSpec";
  static constexpr std::array fields = {
      required<&MetricSpec::name>("name"),
      optional<&MetricSpec::version>("version"),
      optional<&MetricSpec::digest>("digest"),
  };
};

template <>
struct Record<EncoderSpec> {
  static constexpr std::string_view name = "EncoderSpec";
  static constexpr std::array fields = {
      required<&EncoderSpec::model>("model"),
      required<&EncoderSpec::dim>("dim"),
      optional<&EncoderSpec::model_revision>("model_revision"),
      optional<&EncoderSpec::normalization>("normalization"),
  };
};

template <>
struct Record<BuildInfo> {
  static constexpr std::string_view name = "BuildInfo";
  static constexpr std::array fields = {
      required<&BuildInfo::invocation_id>("invocation_id"), optional<&BuildInfo::builder_id>("builder_id"),
      optional<&BuildInfo::source_repo>("source_repo"),     optional<&BuildInfo::source_commit>("source_commit"),
      optional<&BuildInfo::ci_provider>("ci_provider"),     optional<&BuildInfo::ci_run_id>("ci_run_id"),
  };
};

// ---- row identity -------------------------------------------------------------------

template <>
struct Record<RowIdentityDb> {
  static constexpr std::string_view name = "RowIdentityDb";
  static constexpr std::array fields = {
      optional<&RowIdentityDb::path>("path"),
      optional<&RowIdentityDb::table>("table"),
      optional<&RowIdentityDb::id_column>("id_column"),
  };
};

template <>
struct Record<RowIdIdentity> {
  static constexpr std::string_view name = "RowIdIdentity";
  static constexpr std::array fields = {required<&RowIdIdentity::row_count>("row_count")};
};

template <>
struct Record<RowIdentityJsonl> {
  static constexpr std::string_view name = "Jsonl";
  static constexpr std::array fields = {
      required<&RowIdentityJsonl::path>("path"),
      required<&RowIdentityJsonl::sha256>("sha256"),
      required<&RowIdentityJsonl::row_count>("row_count"),
      required<&RowIdentityJsonl::id_kind>("id_kind"),
      optional<&RowIdentityJsonl::db>("db"),
  };
};

template <>
struct Union<RowIdentity> {
  static constexpr std::string_view name = "RowIdentity";
  static constexpr std::array<std::string_view, 2> tags = {"row_id_identity", "jsonl"};
};

template <>
struct Record<JsonlRow> {
  static constexpr std::string_view name = "JsonlRow";
  static constexpr std::array fields = {
      required<&JsonlRow::row_id>("row_id"),
      required<&JsonlRow::db_id>("db_id"),
      optional<&JsonlRow::parent_id>("parent_id"),
  };
};

// ---- calibration --------------------------------------------------------------------

template <>
struct Record<OrdTopK> {
  static constexpr std::string_view name = "TopK";
  static constexpr std::array fields = {required<&OrdTopK::dim>("dim"), required<&OrdTopK::k>("k")};
};
template <>
struct Record<OrdBucket> {
  static constexpr std::string_view name = "Bucket";
  static constexpr std::array fields = {required<&OrdBucket::dim>("dim"), required<&OrdBucket::bits>("bits")};
};
template <>
struct Record<OrdSign> {
  static constexpr std::string_view name = "Sign";
  static constexpr std::array fields = {required<&OrdSign::dim>("dim")};
};
template <>
struct Record<OrdRankPosition> {
  static constexpr std::string_view name = "RankPosition";
  static constexpr std::array fields = {required<&OrdRankPosition::dim>("dim")};
};
template <>
struct Record<OrdCallerDefined> {
  static constexpr std::string_view name = "CallerDefined";
  static constexpr std::array fields = {required<&OrdCallerDefined::dim>("dim"),
                                        required<&OrdCallerDefined::name>("name")};
};
template <>
struct Union<CalibrationOrdinalization> {
  static constexpr std::string_view name = "CalibrationOrdinalization";
  static constexpr std::array<std::string_view, 5> tags = {"top_k", "bucket", "sign", "rank_position",
                                                           "caller_defined"};
};

template <>
struct Record<NullUniformHypergeometric> {
  static constexpr std::string_view name = "UniformHypergeometric";
  static constexpr std::array<Field<NullUniformHypergeometric>, 0> fields = {};
};
template <>
struct Record<NullWeightedMarginalProfile> {
  static constexpr std::string_view name = "WeightedMarginalProfile";
  static constexpr std::array fields = {required<&NullWeightedMarginalProfile::parameterization>("parameterization")};
};
template <>
struct Record<NullEmpiricalTailTable> {
  static constexpr std::string_view name = "EmpiricalTailTable";
  static constexpr std::array fields = {required<&NullEmpiricalTailTable::statistic>("statistic")};
};
template <>
struct Record<NullCallerDefined> {
  static constexpr std::string_view name = "CallerDefined";
  static constexpr std::array fields = {required<&NullCallerDefined::name>("name"),
                                        optional<&NullCallerDefined::parameterization>("parameterization")};
};
template <>
struct Union<NullModelSpec> {
  static constexpr std::string_view name = "NullModelSpec";
  static constexpr std::array<std::string_view, 4> tags = {"uniform_hypergeometric", "weighted_marginal_profile",
                                                           "empirical_tail_table", "caller_defined"};
};

template <>
struct Record<ProfileArtifactRef> {
  static constexpr std::string_view name = "ProfileArtifactRef";
  static constexpr std::array fields = {
      required<&ProfileArtifactRef::path>("path"),
      required<&ProfileArtifactRef::sha256>("sha256"),
      required<&ProfileArtifactRef::file_size_bytes>("file_size_bytes"),
      required<&ProfileArtifactRef::dim>("dim"),
      required<&ProfileArtifactRef::sample_count>("sample_count"),
      required<&ProfileArtifactRef::parameterization>("parameterization"),
      required<&ProfileArtifactRef::format>("format"),
      defaulted<&ProfileArtifactRef::shape>("shape"),
      optional<&ProfileArtifactRef::source_digest>("source_digest"),
  };
};

template <>
struct Record<CalibrationProfileRef> {
  static constexpr std::string_view name = "CalibrationProfileRef";
  static constexpr std::array fields = {
      required<&CalibrationProfileRef::schema_version>("schema_version"),
      required<&CalibrationProfileRef::profile_id>("profile_id"),
      optional<&CalibrationProfileRef::created_at>("created_at"),
      required<&CalibrationProfileRef::calibrated_for>("calibrated_for"),
      required<&CalibrationProfileRef::ordinalization>("ordinalization"),
      optional<&CalibrationProfileRef::profile>("profile"),
      required<&CalibrationProfileRef::null_model>("null_model"),
  };
};

// ---- encoder distortion -------------------------------------------------------------

template <>
struct Record<DistortionBounds> {
  static constexpr std::string_view name = "DistortionBounds";
  static constexpr std::array fields = {
      optional<&DistortionBounds::declared_lower_bound>("declared_lower_bound"),
      optional<&DistortionBounds::declared_upper_bound>("declared_upper_bound"),
      optional<&DistortionBounds::estimated_distortion>("estimated_distortion"),
      optional<&DistortionBounds::violation_rate>("violation_rate"),
      optional<&DistortionBounds::max_observed_violation>("max_observed_violation"),
      optional<&DistortionBounds::quantile_observed_violation>("quantile_observed_violation"),
  };
};

template <>
struct Record<DistortionScope> {
  static constexpr std::string_view name = "DistortionScope";
  static constexpr std::array fields = {
      optional<&DistortionScope::corpus_digest>("corpus_digest"),
      optional<&DistortionScope::query_set_digest>("query_set_digest"),
      optional<&DistortionScope::pair_sample_digest>("pair_sample_digest"),
      optional<&DistortionScope::domain>("domain"),
      optional<&DistortionScope::sample_size>("sample_size"),
      optional<&DistortionScope::confidence>("confidence"),
      optional<&DistortionScope::coverage>("coverage"),
      optional<&DistortionScope::estimator_version>("estimator_version"),
  };
};

template <>
struct Record<DistortionEvidence> {
  static constexpr std::string_view name = "DistortionEvidence";
  static constexpr std::array fields = {
      required<&DistortionEvidence::kind>("kind"),
      optional<&DistortionEvidence::estimator_id>("estimator_id"),
      optional<&DistortionEvidence::estimator_hash>("estimator_hash"),
  };
};

template <>
struct Record<DistortionProfileArtifactRef> {
  static constexpr std::string_view name = "DistortionProfileArtifactRef";
  static constexpr std::array fields = {
      required<&DistortionProfileArtifactRef::path>("path"),
      required<&DistortionProfileArtifactRef::sha256>("sha256"),
      required<&DistortionProfileArtifactRef::file_size_bytes>("file_size_bytes"),
      required<&DistortionProfileArtifactRef::format>("format"),
      optional<&DistortionProfileArtifactRef::source_digest>("source_digest"),
  };
};

template <>
struct Record<EncoderDistortionProfileRef> {
  static constexpr std::string_view name = "EncoderDistortionProfileRef";
  static constexpr std::array fields = {
      required<&EncoderDistortionProfileRef::schema_version>("schema_version"),
      required<&EncoderDistortionProfileRef::profile_id>("profile_id"),
      optional<&EncoderDistortionProfileRef::created_at>("created_at"),
      required<&EncoderDistortionProfileRef::encoder>("encoder"),
      optional<&EncoderDistortionProfileRef::tokenizer_revision>("tokenizer_revision"),
      optional<&EncoderDistortionProfileRef::pooling>("pooling"),
      required<&EncoderDistortionProfileRef::source_metric>("source_metric"),
      required<&EncoderDistortionProfileRef::embedding_metric>("embedding_metric"),
      required<&EncoderDistortionProfileRef::bounds>("bounds"),
      required<&EncoderDistortionProfileRef::scope>("scope"),
      required<&EncoderDistortionProfileRef::evidence>("evidence"),
      optional<&EncoderDistortionProfileRef::profile>("profile"),
      optional<&EncoderDistortionProfileRef::calibration_profile_id>("calibration_profile_id"),
  };
};

// ---- the manifest -------------------------------------------------------------------

template <>
struct Record<IndexManifest> {
  static constexpr std::string_view name = "IndexManifest";
  static constexpr std::array fields = {
      required<&IndexManifest::schema_version>("schema_version"),
      required<&IndexManifest::manifest_id>("manifest_id"),
      required<&IndexManifest::created_at>("created_at"),
      required<&IndexManifest::artifact>("artifact"),
      defaulted<&IndexManifest::auxiliary_artifacts>("auxiliary_artifacts"),
      required<&IndexManifest::embedding>("embedding"),
      optional<&IndexManifest::encoder_distortion>("encoder_distortion"),
      optional<&IndexManifest::calibration>("calibration"),
      required<&IndexManifest::row_identity>("row_identity"),
      optional<&IndexManifest::build>("build"),
      defaulted<&IndexManifest::attestations>("attestations"),
      defaulted<&IndexManifest::extensions>("extensions"),
  };
};

}  // namespace zm::json

namespace zm {

namespace {

template <class V>
std::string_view tag_of(const V& v) {
  return json::Union<V>::tags[v.index()];
}

}  // namespace

Result<IndexManifest> parse_manifest(std::string_view text) {
  json::Reader reader(text);
  IndexManifest manifest;
  if (!json::decode_document(reader, manifest)) {
    json::Position pos = json::position_of(text, reader.error_index());
    return fail(ManifestError::json(reader.error_message(), pos.line, pos.column));
  }
  return manifest;
}

void write_manifest(json::Writer& writer, const IndexManifest& manifest) {
  json::Codec<IndexManifest>::write(writer, manifest);
}

void write_manifest_index_params(json::Writer& writer, const ManifestIndexParams& params) {
  json::Codec<ManifestIndexParams>::write(writer, params);
}

std::string write_manifest_compact(const IndexManifest& manifest) {
  // The open-ended parts are copied as they are and dominate large manifests: one
  // allocation holds the whole text.
  json::Writer w(json::Style::Compact, json::Absent::Omit,
                 manifest.attestations.text.size() + manifest.extensions.text.size() + 4096);
  write_manifest(w, manifest);
  return w.take();
}

std::string write_manifest_pretty(const IndexManifest& manifest) {
  return json::encode(manifest, json::Style::Pretty);
}

std::expected<JsonlRow, std::string> decode_jsonl_row(std::string_view line) {
  json::Reader reader(line);
  JsonlRow row;
  if (!json::decode_document(reader, row)) {
    json::Position pos = json::position_of(line, reader.error_index());
    return std::unexpected(fmt::format("{} at line {} column {}", reader.error_message(), pos.line, pos.column));
  }
  return row;
}

std::string_view manifest_index_kind_name(ManifestIndexKind kind) {
  return json::Enum<ManifestIndexKind>::names[static_cast<size_t>(kind)];
}
std::string_view profile_parameterization_name(ProfileParameterization p) {
  return json::Enum<ProfileParameterization>::names[static_cast<size_t>(p)];
}
std::string_view distortion_evidence_kind_name(DistortionEvidenceKind kind) {
  return json::Enum<DistortionEvidenceKind>::names[static_cast<size_t>(kind)];
}
std::string_view index_params_kind_name(const ManifestIndexParams& params) {
  return tag_of(params);
}
std::string_view row_identity_kind_name(const RowIdentity& identity) {
  return tag_of(identity);
}
std::string_view ordinalization_kind_name(const CalibrationOrdinalization& ord) {
  return tag_of(ord);
}
std::string_view null_model_kind_name(const NullModelSpec& model) {
  return tag_of(model);
}

}  // namespace zm
