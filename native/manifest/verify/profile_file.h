// The file half of a profile check, shared by the calibration and encoder-distortion
// phases: resolve the declared path under the path policy, hash the file within the
// phase's byte limit, and compare digest and size with the declaration.
#pragma once

#include <cstdint>
#include <string_view>

#include "manifest/report.h"
#include "manifest/verify/context.h"

namespace zm {

// Which profile is checked. `label` is the path-policy label and the prefix of every
// reason code ("calibration_profile"); `display_label` names the file in messages
// ("calibration profile"); `limit` bounds the read.
struct ProfileFileKind {
  std::string_view label;
  std::string_view display_label;
  uint64_t limit;
};

// Where the outcome is recorded in the phase's report section.
struct ProfileFileRecord {
  OptString& canonical_path;
  OptString& sha256;
  OptU64& size_bytes;
};

// Resolves `path` (one path-policy issue and nothing else on failure), records the
// canonical path, then reads at most limit + 1 bytes of it. Appends, in this order and
// with plain appends:
//   "{label}_too_large"         the read's own message (limit exceeded or unenforceable)
//   "{label}_hash_failed"       "failed to hash {display_label}: {error}"
//   "{label}_sha256_mismatch"   "{display_label} SHA-256 was {read}, manifest declares {declared}"
//   "{label}_file_size_mismatch" "{display_label} size was {read}, manifest declares {declared}"
// The last two are independent of each other; digest and size are recorded only after
// a complete read.
void check_profile_file(VerifyContext& ctx, const ProfileFileKind& kind, std::string_view path,
                        std::string_view declared_sha256, uint64_t declared_size, ProfileFileRecord record);

}  // namespace zm
