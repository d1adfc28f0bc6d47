#include "manifest/verify/rules.h"

#include <fmt/format.h>

#include "text/digest.h"
#include "text/trim.h"

namespace zm {

void validate_optional_sha256_uri(std::string_view code, std::string_view message, const OptString& value,
                                  VerificationReport& report) {
  if (value && !text::is_digest_uri(*value)) report.error(code, std::string(message));
}

void validate_metric_spec(std::string_view prefix, const MetricSpec& metric, VerificationReport& report) {
  if (text::is_blank(metric.name)) {
    report.error(fmt::format("{}_name_empty", prefix), fmt::format("{}.name must be non-empty", prefix));
  }
  if (metric.version && text::is_blank(*metric.version)) {
    report.error(fmt::format("{}_version_empty", prefix),
                 fmt::format("{}.version must be non-empty when present", prefix));
  }
  validate_optional_sha256_uri(fmt::format("{}_digest_invalid", prefix),
                               fmt::format("{}.digest must be sha256:<lowercase-hex> when present", prefix),
                               metric.digest, report);
}

void compare_optional_encoder_identity(std::string_view code, std::string_view context, std::string_view field,
                                       const OptString& left, const OptString& right, VerificationReport& report) {
  if (left == right) return;  // both absent, or both present and equal byte for byte
  report.error(code, fmt::format("{} {} does not match embedding.{}", context, field, field));
}

}  // namespace zm
