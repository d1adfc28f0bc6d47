// The report writer. Each report record declares its fields once, in write order, in a
// field table of the record codec; the tables drive the output under the WriteNull
// policy, so every key is always written, absent values as null and lists as [].
#include <array>
#include <string_view>
#include <variant>

#include "json/codec.h"
#include "json/writer.h"
#include "manifest/report.h"
#include "manifest/schema/codec.h"

namespace zm {
namespace {

// A write-only field whose value is produced by `write` (reports are never decoded).
template <class R>
constexpr json::Field<R> written(std::string_view name, void (*write)(json::Writer&, const R&)) {
  return json::Field<R>{
      name, json::Presence::Required, [](json::Reader&, R&) { return false; }, write, [](const R&) { return false; },
  };
}

}  // namespace
}  // namespace zm

namespace zm::json {

template <>
struct Enum<AuxiliaryArtifactState> {
  static constexpr std::array<std::string_view, 4> names = {"verified", "optional_absent", "missing_required",
                                                            "failed"};
};

template <>
struct Record<ReportIssue> {
  static constexpr std::string_view name = "ReportIssue";
  static constexpr std::array fields = {
      required<&ReportIssue::code>("code"),
      required<&ReportIssue::message>("message"),
  };
};

template <>
struct Record<MetadataReport> {
  static constexpr std::string_view name = "MetadataReport";
  static constexpr std::array fields = {
      written<MetadataReport>("kind",
                              [](Writer& w, const MetadataReport& m) { w.string(manifest_index_kind_name(m.kind)); }),
      required<&MetadataReport::format_version>("format_version"),
      required<&MetadataReport::dim>("dim"),
      required<&MetadataReport::vector_count>("vector_count"),
      required<&MetadataReport::bytes_per_vec>("bytes_per_vec"),
      written<MetadataReport>("params",
                              [](Writer& w, const MetadataReport& m) { write_manifest_index_params(w, m.params); }),
      required<&MetadataReport::file_size_bytes>("file_size_bytes"),
  };
};

template <>
struct Record<ArtifactReport> {
  static constexpr std::string_view name = "ArtifactReport";
  static constexpr std::array fields = {
      optional<&ArtifactReport::manifest_path>("manifest_path"),
      optional<&ArtifactReport::observed_path>("observed_path"),
      optional<&ArtifactReport::canonical_path>("canonical_path"),
      optional<&ArtifactReport::sha256>("sha256"),
      optional<&ArtifactReport::size_bytes>("size_bytes"),
      optional<&ArtifactReport::metadata>("metadata"),
  };
};

template <>
struct Record<AuxiliaryArtifactReport> {
  static constexpr std::string_view name = "AuxiliaryArtifactReport";
  static constexpr std::array fields = {
      required<&AuxiliaryArtifactReport::name>("name"),
      required<&AuxiliaryArtifactReport::manifest_path>("manifest_path"),
      optional<&AuxiliaryArtifactReport::resolved_path>("resolved_path"),
      optional<&AuxiliaryArtifactReport::canonical_path>("canonical_path"),
      optional<&AuxiliaryArtifactReport::expected_sha256>("expected_sha256"),
      optional<&AuxiliaryArtifactReport::expected_size_bytes>("expected_size_bytes"),
      required<&AuxiliaryArtifactReport::required>("required"),
      required<&AuxiliaryArtifactReport::state>("state"),
      optional<&AuxiliaryArtifactReport::reason_code>("reason_code"),
      optional<&AuxiliaryArtifactReport::sha256>("sha256"),
      optional<&AuxiliaryArtifactReport::size_bytes>("size_bytes"),
  };
};

template <>
struct Record<RowIdentityReport> {
  static constexpr std::string_view name = "RowIdentityReport";
  static constexpr std::array fields = {
      optional<&RowIdentityReport::kind>("kind"),
      optional<&RowIdentityReport::manifest_path>("manifest_path"),
      optional<&RowIdentityReport::canonical_path>("canonical_path"),
      optional<&RowIdentityReport::sha256>("sha256"),
      optional<&RowIdentityReport::row_count>("row_count"),
      optional<&RowIdentityReport::validated_rows>("validated_rows"),
  };
};

template <>
struct Record<EncoderDistortionReport> {
  static constexpr std::string_view name = "EncoderDistortionReport";
  static constexpr std::array fields = {
      required<&EncoderDistortionReport::present>("present"),
      optional<&EncoderDistortionReport::schema_version>("schema_version"),
      optional<&EncoderDistortionReport::profile_id>("profile_id"),
      optional<&EncoderDistortionReport::evidence_kind>("evidence_kind"),
      optional<&EncoderDistortionReport::source_metric>("source_metric"),
      optional<&EncoderDistortionReport::embedding_metric>("embedding_metric"),
      optional<&EncoderDistortionReport::profile_manifest_path>("profile_manifest_path"),
      optional<&EncoderDistortionReport::profile_canonical_path>("profile_canonical_path"),
      optional<&EncoderDistortionReport::profile_sha256>("profile_sha256"),
      optional<&EncoderDistortionReport::profile_size_bytes>("profile_size_bytes"),
  };
};

template <>
struct Record<CalibrationReport> {
  static constexpr std::string_view name = "CalibrationReport";
  static constexpr std::array fields = {
      required<&CalibrationReport::present>("present"),
      optional<&CalibrationReport::schema_version>("schema_version"),
      optional<&CalibrationReport::profile_id>("profile_id"),
      optional<&CalibrationReport::calibrated_for_model>("calibrated_for_model"),
      optional<&CalibrationReport::ordinalization>("ordinalization"),
      optional<&CalibrationReport::null_model>("null_model"),
      optional<&CalibrationReport::profile_manifest_path>("profile_manifest_path"),
      optional<&CalibrationReport::profile_canonical_path>("profile_canonical_path"),
      optional<&CalibrationReport::profile_sha256>("profile_sha256"),
      optional<&CalibrationReport::profile_size_bytes>("profile_size_bytes"),
  };
};

template <>
struct Record<AttestationShapeCheck> {
  static constexpr std::string_view name = "AttestationShapeCheck";
  static constexpr std::array fields = {
      optional<&AttestationShapeCheck::predicate_type>("predicate_type"),
      optional<&AttestationShapeCheck::builder_id>("builder_id"),
      required<&AttestationShapeCheck::subject_sha256_matched>("subject_sha256_matched"),
  };
};

template <>
struct Record<VerificationReport> {
  static constexpr std::string_view name = "VerificationReport";
  static constexpr std::array fields = {
      required<&VerificationReport::ok>("ok"),
      required<&VerificationReport::checked_at>("checked_at"),
      optional<&VerificationReport::manifest_id>("manifest_id"),
      required<&VerificationReport::artifact>("artifact"),
      required<&VerificationReport::auxiliary_artifacts>("auxiliary_artifacts"),
      required<&VerificationReport::row_identity>("row_identity"),
      required<&VerificationReport::encoder_distortion>("encoder_distortion"),
      required<&VerificationReport::calibration>("calibration"),
      required<&VerificationReport::attestation_shape_checks>("attestation_shape_checks"),
      required<&VerificationReport::errors>("errors"),
      required<&VerificationReport::warnings>("warnings"),
      required<&VerificationReport::skipped_checks>("skipped_checks"),
  };
};

}  // namespace zm::json

namespace zm {

// The writer's absent policy decides null versus omission; report output always uses
// WriteNull (the two *_json functions below), and callers embedding a report should too.
void write_report(json::Writer& w, const VerificationReport& report) {
  json::Codec<VerificationReport>::write(w, report);
}

void write_metadata_report(json::Writer& w, const MetadataReport& metadata) {
  json::Codec<MetadataReport>::write(w, metadata);
}

std::string write_report_json(const VerificationReport& report) {
  json::Writer w(json::Style::Compact, json::Absent::WriteNull, 1024);
  write_report(w, report);
  return w.take();
}

std::string write_metadata_report_json(const MetadataReport& metadata) {
  json::Writer w(json::Style::Compact, json::Absent::WriteNull, 256);
  write_metadata_report(w, metadata);
  return w.take();
}

const char* auxiliary_state_name(AuxiliaryArtifactState state) {
  return json::Enum<AuxiliaryArtifactState>::names[static_cast<size_t>(state)].data();
}

}  // namespace zm
