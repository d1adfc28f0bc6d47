// The state one verification run threads through its phases.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manifest/limits.h"
#include "manifest/load.h"
#include "manifest/report.h"

namespace zm {

// Canonical paths established while verifying, used by the load plan instead of
// resolving any path a second time.
struct VerificationPathCapture {
  std::vector<std::optional<std::string>> auxiliary_artifact_paths;  // report order
  std::optional<std::string> artifact_path;
  std::optional<std::string> row_identity_path;
};

struct VerifyContext {
  const ManifestDocument& doc;
  const VerifyOptions& options;
  VerificationReport report;
  VerificationPathCapture capture;

  const IndexManifest& manifest() const { return doc.manifest; }
  const ResourceLimits& limits() const { return options.limits; }
};

struct VerifyOutcome {
  VerificationReport report;
  VerificationPathCapture capture;
};

// The single verifier: never fails, never stops early; every problem is an issue.
VerifyOutcome verify_manifest_with_path_capture(const ManifestDocument& doc, const VerifyOptions& options);

}  // namespace zm
