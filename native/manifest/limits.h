// Per-call resource limits and the options records the entry points fill.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zm {

struct ResourceLimits {
  uint64_t max_manifest_bytes = 1048576;
  uint64_t max_row_map_line_bytes = 65536;
  uint64_t max_row_map_rows = 10000000;
  uint64_t max_row_map_tracked_id_bytes = 67108864;
  uint64_t max_auxiliary_artifacts = 1024;
  uint64_t max_auxiliary_artifact_bytes = 67108864;
  uint64_t max_calibration_profile_bytes = 67108864;
  uint64_t max_encoder_distortion_profile_bytes = 67108864;
  uint64_t max_report_issues = 1024;
  uint64_t max_cached_report_bytes = 4194304;  // carried and published; consulted by nothing
};

// The limit fields in keyword order, for binding and for default_resource_limits().
struct LimitField {
  const char* keyword;
  uint64_t ResourceLimits::*member;
};
inline constexpr LimitField kLimitFields[] = {
    {"max_manifest_bytes", &ResourceLimits::max_manifest_bytes},
    {"max_row_map_line_bytes", &ResourceLimits::max_row_map_line_bytes},
    {"max_row_map_rows", &ResourceLimits::max_row_map_rows},
    {"max_row_map_tracked_id_bytes", &ResourceLimits::max_row_map_tracked_id_bytes},
    {"max_auxiliary_artifacts", &ResourceLimits::max_auxiliary_artifacts},
    {"max_auxiliary_artifact_bytes", &ResourceLimits::max_auxiliary_artifact_bytes},
    {"max_calibration_profile_bytes", &ResourceLimits::max_calibration_profile_bytes},
    {"max_encoder_distortion_profile_bytes", &ResourceLimits::max_encoder_distortion_profile_bytes},
    {"max_report_issues", &ResourceLimits::max_report_issues},
    {"max_cached_report_bytes", &ResourceLimits::max_cached_report_bytes},
};

struct VerifyOptions {
  std::optional<std::string> index;  // overrides artifact.path when present
  ResourceLimits limits;
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
  bool allow_duplicate_db_ids = false;
};

struct CreateAuxiliaryArtifact {
  std::string name;
  std::string path;
  bool required = true;
};

struct CreateManifestOptions {
  bool allow_absolute_paths = false;
  bool allow_path_escape = false;
  ResourceLimits limits;
};

struct CreateManifestRequest {
  std::string index;
  std::string out;
  std::string embedding_model;
  std::optional<std::string> row_map;  // absent: identity rows
  std::vector<CreateAuxiliaryArtifact> auxiliary_artifacts;
  CreateManifestOptions options;
};

// The limits as compact JSON in keyword order (default_resource_limits()).
std::string limits_json(const ResourceLimits& limits);

}  // namespace zm
