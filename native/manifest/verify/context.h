// The state one verification run threads through its phases.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "manifest/issue_log.h"
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

// `issues` appends to report.errors: directly for the whole run, or as a recording when
// one file phase runs on its own (its report and capture then hold only that phase's
// results, merged into the run's in phase order).
struct VerifyContext {
  VerifyContext(const ManifestDocument& d, const VerifyOptions& o, IssueLog::Mode mode)
      : doc(d), options(o), issues(report.errors, o.limits.max_report_issues, mode) {}
  VerifyContext(const VerifyContext&) = delete;
  VerifyContext& operator=(const VerifyContext&) = delete;

  const ManifestDocument& doc;
  const VerifyOptions& options;
  VerificationReport report;
  VerificationPathCapture capture;
  IssueLog issues;

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
