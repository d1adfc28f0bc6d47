// Attestations (phase 13): the shape of each statement and whether any names the
// artifact's digest among its subjects. The statements are not interpreted further.
#include <fmt/format.h>

#include <initializer_list>

#include "manifest/verify/phases.h"

namespace zm {

namespace {

// The value a JSON pointer of member names selects ("/a/b" as {"a", "b"}); nullptr when
// nothing is selected. None of the pointers used here has an array-index token.
const json::Value* at_pointer(const json::Value& root, std::initializer_list<std::string_view> tokens) {
  const json::Value* v = &root;
  for (std::string_view t : tokens) {
    v = v->member(t);
    if (!v) return nullptr;
  }
  return v;
}

OptString string_of(const json::Value* v) {
  if (v == nullptr) return std::nullopt;
  if (const std::string* s = v->as_string()) return *s;
  return std::nullopt;
}

// "predicateType" decides when present (a string is the type, anything else none);
// otherwise "predicate_type" in the same way.
OptString predicate_type(const json::Value& a) {
  if (const json::Value* v = a.member("predicateType")) return string_of(v);
  return string_of(a.member("predicate_type"));
}

// The first pointer decides whenever it selects anything; the second only gives a string.
OptString builder_id(const json::Value& a) {
  if (const json::Value* v = at_pointer(a, {"predicate", "builder", "id"})) return string_of(v);
  return string_of(at_pointer(a, {"predicate", "runDetails", "builder", "id"}));
}

bool subject_matches(const json::Value& a, std::string_view digest) {
  const json::Value* subject = a.member("subject");
  const json::Array* list = subject ? subject->as_array() : nullptr;
  if (!list) return false;
  for (const json::Value& s : *list) {
    OptString d = string_of(at_pointer(s, {"digest", "sha256"}));
    if (d && *d == digest) return true;
  }
  return false;
}

}  // namespace

void check_attestations(VerifyContext& ctx) {
  const IndexManifest& m = ctx.manifest();
  VerificationReport& r = ctx.report;
  const json::Array attestations = m.attestations.tree();
  if (attestations.empty()) {
    r.skipped_checks.emplace_back("attestations_absent");
    return;
  }
  // The digest computed in phase 8 when there is one, else the declared one.
  const std::string& digest = r.artifact.sha256 ? *r.artifact.sha256 : m.artifact.sha256;
  bool any_matched = false;
  for (size_t i = 0; i < attestations.size(); ++i) {
    const json::Value& a = attestations[i];
    AttestationShapeCheck check;
    check.predicate_type = predicate_type(a);
    if (!check.predicate_type) {
      r.error("attestation_predicate_type_missing", fmt::format("attestation {} has no predicateType", i));
    }
    check.builder_id = builder_id(a);
    check.subject_sha256_matched = subject_matches(a, digest);
    any_matched = any_matched || check.subject_sha256_matched;
    r.attestation_shape_checks.push_back(std::move(check));
  }
  if (!any_matched) {
    r.error("attestation_subject_sha256_mismatch",
            "no supplied attestation subject digest matches the artifact SHA-256");
  }
}

}  // namespace zm
