// Field rules shared by the profile phases: the optional "sha256:" digest rule, the
// MetricSpec rule and the encoder-identity comparison. Each appends at most one issue
// per rule to report.errors with a plain append and never stops the caller.
#pragma once

#include <string_view>

#include "manifest/report.h"
#include "manifest/schema/manifest.h"

namespace zm {

// Appends (code, message) when `value` is present and is not "sha256:" followed by 64
// lowercase hexadecimal digits. An absent value passes.
void validate_optional_sha256_uri(std::string_view code, std::string_view message, const OptString& value,
                                  VerificationReport& report);

// Three rules in order, codes and messages formed from `prefix`:
//   "{prefix}_name_empty"     "{prefix}.name must be non-empty"
//   "{prefix}_version_empty"  "{prefix}.version must be non-empty when present"
//   "{prefix}_digest_invalid" "{prefix}.digest must be sha256:<lowercase-hex> when present"
void validate_metric_spec(std::string_view prefix, const MetricSpec& metric, VerificationReport& report);

// Both absent, or both present and byte-for-byte equal, match. Otherwise appends `code`
// with "{context} {field} does not match embedding.{field}".
void compare_optional_encoder_identity(std::string_view code, std::string_view context, std::string_view field,
                                       const OptString& left, const OptString& right, VerificationReport& report);

}  // namespace zm
