// The load plan: a clean report turned into the canonical paths and facts a loader
// needs, using the paths the verifier itself established.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "manifest/report.h"
#include "manifest/verify/context.h"

namespace zm {

struct VerifiedRowIdentityPlan {
  std::string kind;
  std::optional<std::string> path;
  uint64_t row_count = 0;
  OptU64 validated_rows;
  OptString sha256;
};

struct VerifiedAuxiliaryArtifactPlan {
  std::string name;
  std::optional<std::string> path;
  bool required = true;
  AuxiliaryArtifactState state = AuxiliaryArtifactState::Verified;
  OptString reason_code;
  OptString sha256;
  OptU64 size_bytes;
};

struct VerifiedLoadPlan {
  std::optional<std::string> manifest_path;
  std::string artifact_path;
  MetadataReport metadata;
  VerifiedRowIdentityPlan row_identity;
  std::vector<VerifiedAuxiliaryArtifactPlan> auxiliary_artifacts;
  VerificationReport report;
};

struct VerifiedLoadPlanError {
  enum class Kind { VerificationFailed, InvalidReport };
  Kind kind = Kind::VerificationFailed;
  std::string message;  // the display text
  VerificationReport report;
};

std::expected<VerifiedLoadPlan, VerifiedLoadPlanError> build_verified_load_plan(const ManifestDocument& doc,
                                                                                VerifyOutcome outcome);

// Compact JSON of the plan, paths written as they are held (the binding turns them into
// display text first).
std::string write_load_plan_json(const VerifiedLoadPlan& plan);

}  // namespace zm
