#include "manifest/verify/profile_file.h"

#include <fmt/format.h>

#include "io/bounded_read.h"
#include "io/open_checked.h"
#include "manifest/verify/path_policy.h"
#include "text/utf8.h"

namespace zm {

void check_profile_file(VerifyContext& ctx, const ProfileFileKind& kind, std::string_view path,
                        std::string_view declared_sha256, uint64_t declared_size, ProfileFileRecord record) {
  std::optional<ResolvedPath> resolved =
      resolve_existing_entry(path, ctx.doc.base_dir, ctx.options.allow_absolute_paths, ctx.options.allow_path_escape,
                             kind.label, ctx.report.errors);
  if (!resolved) return;  // the path policy has explained why
  // Read only the entry resolved: a file swapped in since is reported unavailable.
  Result<io::File> file = open_resolved(*resolved, kind.label, ctx.report.errors);
  if (!file && io::is_file_changed(file.error())) return;
  record.canonical_path = text::lossy_utf8(resolved->canonical);  // display text, like every report path

  const std::string too_large_code = fmt::format("{}_too_large", kind.label);
  Result<io::FileDigest> digest =
      file ? io::sha256_open_file_bounded(*file, resolved->canonical, kind.limit, too_large_code, kind.display_label)
           : Result<io::FileDigest>(std::unexpected(file.error()));
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
