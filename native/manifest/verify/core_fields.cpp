// Document-level field rules: the core fields (phase 2) and the optional embedding and
// build fields (phase 6). Each failed rule appends one issue; no rule depends on another.
#include <fmt/format.h>

#include "manifest/verify/phases.h"
#include "text/digest.h"
#include "text/rfc3339.h"
#include "text/trim.h"

namespace zm {

namespace {

// Present and blank after trimming Unicode white space.
bool present_blank(const OptString& value) {
  return value && text::is_blank(*value);
}

}  // namespace

void check_core_fields(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  VerificationReport& r = ctx.report;
  if (m.schema_version != kSchemaVersion) {
    r.error("schema_version_unsupported",
            fmt::format("schema_version must be {}, got {}", kSchemaVersion, m.schema_version));
  }
  if (text::is_blank(m.manifest_id)) r.error("manifest_id_empty", "manifest_id must be non-empty");
  if (!text::is_rfc3339(m.created_at)) r.error("created_at_invalid", "created_at must parse as RFC3339");
  if (text::is_blank(m.embedding.model)) r.error("embedding_model_empty", "embedding.model must be non-empty");
  if (m.embedding.dim == 0) r.error("embedding_dim_zero", "embedding.dim must be greater than zero");
}

void check_optional_fields(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  const Embedding& e = m.embedding;
  VerificationReport& r = ctx.report;
  if (present_blank(e.model_revision)) {
    r.error("embedding_model_revision_empty", "embedding.model_revision must be non-empty when present");
  }
  if (present_blank(e.tokenizer_revision)) {
    r.error("embedding_tokenizer_revision_empty", "embedding.tokenizer_revision must be non-empty when present");
  }
  if (present_blank(e.pooling)) r.error("embedding_pooling_empty", "embedding.pooling must be non-empty when present");
  if (e.corpus_digest && !text::is_hex_digest(*e.corpus_digest)) {
    r.error("embedding_corpus_digest_invalid",
            "embedding.corpus_digest must be a lowercase 64-character hex SHA-256 digest");
  }
  if (e.embedding_matrix_digest && !text::is_hex_digest(*e.embedding_matrix_digest)) {
    r.error("embedding_matrix_digest_invalid",
            "embedding.embedding_matrix_digest must be a lowercase 64-character hex SHA-256 digest");
  }
  if (present_blank(e.normalization)) {
    r.error("embedding_normalization_empty", "embedding.normalization must be non-empty when present");
  }

  if (!m.build) return;
  const BuildInfo& b = *m.build;
  if (text::is_blank(b.invocation_id)) r.error("build_invocation_id_empty", "build.invocation_id must be non-empty");
  // An absent builder_id is not an issue, although the message has no "when present".
  if (present_blank(b.builder_id)) r.error("build_builder_id_empty", "build.builder_id must be non-empty");
  if (present_blank(b.source_repo))
    r.error("build_source_repo_empty", "build.source_repo must be non-empty when present");
  if (present_blank(b.source_commit)) {
    r.error("build_source_commit_empty", "build.source_commit must be non-empty when present");
  }
  if (present_blank(b.ci_provider))
    r.error("build_ci_provider_empty", "build.ci_provider must be non-empty when present");
  if (present_blank(b.ci_run_id)) r.error("build_ci_run_id_empty", "build.ci_run_id must be non-empty when present");
}

}  // namespace zm
