#include "manifest/verify/profile_file.h"

#include <fmt/format.h>

#include "io/bounded_read.h"
#include "manifest/verify/path_policy.h"

namespace zm {

void check_profile_file(VerifyContext& ctx, const ProfileFileKind& kind, std::string_view path,
                        std::string_view declared_sha256, uint64_t declared_size, ProfileFileRecord record) {
  std::optional<std::string> canonical =
      resolve_existing_path(path, ctx.doc.base_dir, ctx.options.allow_absolute_paths, ctx.options.allow_path_escape,
                            kind.label, ctx.report.errors);
  if (!canonical) return;  // the path policy has explained why
  record.canonical_path = *canonical;

  const std::string too_large_code = fmt::format("{}_too_large", kind.label);
  Result<io::FileDigest> digest = io::sha256_file_bounded(*canonical, kind.limit, too_large_code, kind.display_label);
  if (!digest) {
    const ManifestError& e = digest.error();
    if (e.kind() == ManifestError::Kind::Reason) {
      ctx.report.error(e.code(), e.text());
    } else {
      ctx.report.error(fmt::format("{}_hash_failed", kind.label),
                       fmt::format("failed to hash {}: {}", kind.display_label, e.display()));
    }
    return;
  }

  record.sha256 = digest->sha256;
  record.size_bytes = digest->size_bytes;
  if (digest->sha256 != declared_sha256) {
    ctx.report.error(
        fmt::format("{}_sha256_mismatch", kind.label),
        fmt::format("{} SHA-256 was {}, manifest declares {}", kind.display_label, digest->sha256, declared_sha256));
  }
  if (digest->size_bytes != declared_size) {
    ctx.report.error(
        fmt::format("{}_file_size_mismatch", kind.label),
        fmt::format("{} size was {}, manifest declares {}", kind.display_label, digest->size_bytes, declared_size));
  }
}

}  // namespace zm
