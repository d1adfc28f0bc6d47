// The load plan: a clean report and the verifier's captured canonical paths turned into
// what a loader opens, with every consistency check a plan needs, in a fixed order.
#include "manifest/load_plan.h"

#include <fmt/format.h>

#include "json/writer.h"
#include "text/quoted.h"

namespace zm {

namespace {

using PlanResult = std::expected<VerifiedLoadPlan, VerifiedLoadPlanError>;

std::unexpected<VerifiedLoadPlanError> plan_error(VerifiedLoadPlanError::Kind kind, std::string message,
                                                  VerificationReport&& report) {
  return std::unexpected(VerifiedLoadPlanError{kind, std::move(message), std::move(report)});
}

// "manifest verification failed", then ": " and the first three issue codes, then ", ..."
// when more issues follow.
std::string verification_failed_text(const std::vector<ReportIssue>& errors) {
  std::string text = "manifest verification failed";
  for (size_t i = 0; i < errors.size() && i < 3; ++i) {
    text += i == 0 ? ": " : ", ";
    text += errors[i].code;
  }
  if (errors.size() > 3) text += ", ...";
  return text;
}

void write_opt_string(json::Writer& w, const std::optional<std::string>& s) {
  if (s) {
    w.string(*s);
  } else {
    w.null();
  }
}

void write_opt_u64(json::Writer& w, const OptU64& v) {
  if (v) {
    w.u64(*v);
  } else {
    w.null();
  }
}

}  // namespace

PlanResult build_verified_load_plan(const ManifestDocument& doc, VerifyOutcome outcome) {
  using Kind = VerifiedLoadPlanError::Kind;
  VerificationReport& report = outcome.report;
  VerificationPathCapture& capture = outcome.capture;
  if (!report.ok) {
    std::string text = verification_failed_text(report.errors);
    return plan_error(Kind::VerificationFailed, std::move(text), std::move(report));
  }
  if (!capture.artifact_path) {
    return plan_error(Kind::InvalidReport, "verified report is missing the captured artifact path", std::move(report));
  }
  if (!report.artifact.metadata) {
    return plan_error(Kind::InvalidReport, "verified report is missing probed artifact metadata", std::move(report));
  }
  if (!report.row_identity.kind) {
    return plan_error(Kind::InvalidReport, "verified report is missing row identity kind", std::move(report));
  }
  if (!report.row_identity.row_count) {
    return plan_error(Kind::InvalidReport, "verified report is missing row identity row count", std::move(report));
  }

  VerifiedLoadPlan plan;
  plan.manifest_path = doc.manifest_path;
  plan.artifact_path = std::move(*capture.artifact_path);
  plan.metadata = *report.artifact.metadata;

  const RowIdentityReport& rows = report.row_identity;
  plan.row_identity.kind = *rows.kind;
  if (*rows.kind == "jsonl") {
    if (!capture.row_identity_path) {
      return plan_error(Kind::InvalidReport, "verified report is missing the captured row identity path",
                        std::move(report));
    }
    plan.row_identity.path = std::move(*capture.row_identity_path);
  } else if (*rows.kind != "row_id_identity") {
    std::string message = fmt::format("verified report has unsupported row identity kind {}", text::quoted(*rows.kind));
    return plan_error(Kind::InvalidReport, std::move(message), std::move(report));
  }
  plan.row_identity.row_count = *rows.row_count;
  plan.row_identity.validated_rows = rows.validated_rows;
  plan.row_identity.sha256 = rows.sha256;

  plan.auxiliary_artifacts.reserve(report.auxiliary_artifacts.size());
  for (size_t i = 0; i < report.auxiliary_artifacts.size(); ++i) {
    const AuxiliaryArtifactReport& entry = report.auxiliary_artifacts[i];
    VerifiedAuxiliaryArtifactPlan aux;
    switch (entry.state) {
      case AuxiliaryArtifactState::MissingRequired:
      case AuxiliaryArtifactState::Failed: {
        std::string message =
            fmt::format("verified report contains non-loadable auxiliary artifact {}", text::quoted(entry.name));
        return plan_error(Kind::InvalidReport, std::move(message), std::move(report));
      }
      case AuxiliaryArtifactState::Verified: {
        // A position beyond the capture's list counts as no captured path.
        if (i >= capture.auxiliary_artifact_paths.size() || !capture.auxiliary_artifact_paths[i]) {
          std::string message =
              fmt::format("verified auxiliary artifact {} is missing its captured path", text::quoted(entry.name));
          return plan_error(Kind::InvalidReport, std::move(message), std::move(report));
        }
        aux.path = std::move(*capture.auxiliary_artifact_paths[i]);
        break;
      }
      case AuxiliaryArtifactState::OptionalAbsent:
        break;
    }
    aux.name = entry.name;
    aux.required = entry.required;
    aux.state = entry.state;
    aux.reason_code = entry.reason_code;
    aux.sha256 = entry.sha256;
    aux.size_bytes = entry.size_bytes;
    plan.auxiliary_artifacts.push_back(std::move(aux));
  }
  plan.report = std::move(report);
  return plan;
}

std::string write_load_plan_json(const VerifiedLoadPlan& plan) {
  json::Writer w(json::Style::Compact, json::Absent::WriteNull, 128);
  w.begin_object();
  w.key("manifest_path");
  write_opt_string(w, plan.manifest_path);
  w.key("artifact_path");
  w.string(plan.artifact_path);
  w.key("metadata");
  write_metadata_report(w, plan.metadata);
  w.key("row_identity");
  w.begin_object();
  w.key("kind");
  w.string(plan.row_identity.kind);
  w.key("path");
  write_opt_string(w, plan.row_identity.path);
  w.key("row_count");
  w.u64(plan.row_identity.row_count);
  w.key("validated_rows");
  write_opt_u64(w, plan.row_identity.validated_rows);
  w.key("sha256");
  write_opt_string(w, plan.row_identity.sha256);
  w.end_object();
  w.key("auxiliary_artifacts");
  w.begin_array();
  for (const auto& aux : plan.auxiliary_artifacts) {
    w.begin_object();
    w.key("name");
    w.string(aux.name);
    w.key("path");
    write_opt_string(w, aux.path);
    w.key("required");
    w.boolean(aux.required);
    w.key("state");
    w.string(auxiliary_state_name(aux.state));
    w.key("reason_code");
    write_opt_string(w, aux.reason_code);
    w.key("sha256");
    write_opt_string(w, aux.sha256);
    w.key("size_bytes");
    write_opt_u64(w, aux.size_bytes);
    w.end_object();
  }
  w.end_array();
  w.key("report");
  write_report(w, plan.report);
  w.end_object();
  return w.take();
}

}  // namespace zm
