// The fixed phase order of one verification. Each phase runs whatever earlier phases
// found; skips happen only inside a phase.
#include "manifest/verify/phases.h"
#include "text/rfc3339.h"

namespace zm {

VerifyOutcome verify_manifest_with_path_capture(const ManifestDocument& doc, const VerifyOptions& options) {
  VerifyContext ctx{doc, options, {}, {}};
  ctx.report.checked_at = text::utc_now_nanos();
  ctx.report.manifest_id = doc.manifest.manifest_id;

  check_core_fields(ctx);
  check_artifact_declaration(ctx);
  check_row_identity_declaration(ctx);
  check_auxiliary_declarations(ctx);
  check_optional_fields(ctx);
  check_extension_keys(ctx);
  check_artifact_file(ctx);
  check_auxiliary_files(ctx);
  check_row_identity_file(ctx);
  if (doc.manifest.encoder_distortion) check_encoder_distortion(ctx);
  if (doc.manifest.calibration) check_calibration(ctx);
  check_attestations(ctx);

  cap_report_issues(ctx.report.errors, options.limits.max_report_issues);
  ctx.report.ok = ctx.report.errors.empty();
  return {std::move(ctx.report), std::move(ctx.capture)};
}

}  // namespace zm
