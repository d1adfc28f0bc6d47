// The verification report: output only. Every key is always written (absent values as
// null, lists as []), compact, in the field order declared here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/schema/manifest.h"

namespace zm {

using OptU64 = std::optional<uint64_t>;

struct ReportIssue {
  std::string code;
  std::string message;
};

inline constexpr const char* kIssueLimitCode = "verification_report_issue_limit_exceeded";

struct MetadataReport {
  ManifestIndexKind kind = ManifestIndexKind::Rank;
  uint8_t format_version = 0;
  uint64_t dim = 0;
  uint64_t vector_count = 0;
  uint64_t bytes_per_vec = 0;
  ManifestIndexParams params;
  uint64_t file_size_bytes = 0;
};

struct ArtifactReport {
  OptString manifest_path;
  OptString observed_path;
  OptString canonical_path;
  OptString sha256;
  OptU64 size_bytes;
  std::optional<MetadataReport> metadata;
};

enum class AuxiliaryArtifactState { Verified, OptionalAbsent, MissingRequired, Failed };

struct AuxiliaryArtifactReport {
  std::string name;
  std::string manifest_path;
  OptString resolved_path;
  OptString canonical_path;
  OptString expected_sha256;
  OptU64 expected_size_bytes;
  bool required = true;
  AuxiliaryArtifactState state = AuxiliaryArtifactState::Failed;
  OptString reason_code;
  OptString sha256;
  OptU64 size_bytes;
};

struct RowIdentityReport {
  OptString kind;
  OptString manifest_path;
  OptString canonical_path;
  OptString sha256;
  OptU64 row_count;
  OptU64 validated_rows;
};

struct EncoderDistortionReport {
  bool present = false;
  OptString schema_version;
  OptString profile_id;
  OptString evidence_kind;
  OptString source_metric;
  OptString embedding_metric;
  OptString profile_manifest_path;
  OptString profile_canonical_path;
  OptString profile_sha256;
  OptU64 profile_size_bytes;
};

struct CalibrationReport {
  bool present = false;
  OptString schema_version;
  OptString profile_id;
  OptString calibrated_for_model;
  OptString ordinalization;
  OptString null_model;
  OptString profile_manifest_path;
  OptString profile_canonical_path;
  OptString profile_sha256;
  OptU64 profile_size_bytes;
};

struct AttestationShapeCheck {
  OptString predicate_type;
  OptString builder_id;
  bool subject_sha256_matched = false;
};

struct VerificationReport {
  bool ok = false;
  std::string checked_at;
  OptString manifest_id;
  ArtifactReport artifact;
  std::vector<AuxiliaryArtifactReport> auxiliary_artifacts;
  RowIdentityReport row_identity;
  EncoderDistortionReport encoder_distortion;
  CalibrationReport calibration;
  std::vector<AttestationShapeCheck> attestation_shape_checks;
  std::vector<ReportIssue> errors;
  std::vector<ReportIssue> warnings;
  std::vector<std::string> skipped_checks;

  // Plain append to errors, without bound.
  void error(std::string_view code, std::string message) { errors.push_back({std::string(code), std::move(message)}); }
};

// Bounded append: keeps at most max_report_issues issues, collapsing the excess into one
// "verification_report_issue_limit_exceeded" issue.
void push_report_issue_bounded(std::vector<ReportIssue>& issues, uint64_t max_report_issues, std::string_view code,
                               std::string message);
// The final cap run after all phases.
void cap_report_issues(std::vector<ReportIssue>& issues, uint64_t max_report_issues);

// Compact report JSON, every key present.
std::string write_report_json(const VerificationReport& report);
std::string write_metadata_report_json(const MetadataReport& metadata);
// Writes the report object into an existing writer buffer (for the load plan).
namespace json {
class Writer;
}
void write_report(json::Writer& w, const VerificationReport& report);
void write_metadata_report(json::Writer& w, const MetadataReport& metadata);

const char* auxiliary_state_name(AuxiliaryArtifactState state);

}  // namespace zm
