// Auxiliary files on create: each request becomes an AuxiliaryArtifact record with a
// trimmed unique name, a manifest-relative path and the digest of its bounded read.
// The count is checked before any file is opened; per request the name checks come
// before hashing, and hashing before the path is expressed.
#include <fmt/format.h>

#include <string>
#include <unordered_set>
#include <vector>

#include "io/bounded_read.h"
#include "manifest/create/create.h"
#include "text/quoted.h"
#include "text/trim.h"

namespace zm {

Result<io::FileDigest> hash_auxiliary_file(const CreateAuxiliaryArtifact& request, const ResourceLimits& limits) {
  return io::sha256_file_bounded(request.path, limits.max_auxiliary_artifact_bytes, "auxiliary_artifact_file_too_large",
                                 "auxiliary artifact");
}

Result<std::vector<AuxiliaryArtifact>> create_auxiliary_artifacts(const std::vector<CreateAuxiliaryArtifact>& requests,
                                                                  const std::string& manifest_dir,
                                                                  const CreateManifestOptions& options,
                                                                  std::span<AuxiliaryDigest> hashed_ahead) {
  const ResourceLimits& limits = options.limits;
  if (requests.size() > limits.max_auxiliary_artifacts) {
    return fail(
        ManifestError::reason("auxiliary_artifact_count_limit_exceeded",
                              fmt::format("auxiliary_artifacts has {} entries, exceeding max_auxiliary_artifacts={}",
                                          requests.size(), limits.max_auxiliary_artifacts)));
  }
  std::vector<AuxiliaryArtifact> records;
  if (requests.empty()) return records;
  records.reserve(requests.size());

  std::unordered_set<std::string> names;
  for (size_t i = 0; i < requests.size(); ++i) {
    const CreateAuxiliaryArtifact& request = requests[i];
    std::string name(text::trim_ws(request.name));
    if (name.empty()) return fail(ManifestError::message("auxiliary artifact name must be non-empty"));
    if (!names.insert(name).second) {
      return fail(ManifestError::message(fmt::format("auxiliary artifact name {} is duplicated", text::quoted(name))));
    }
    auto digest = i < hashed_ahead.size() && hashed_ahead[i] ? std::move(*hashed_ahead[i])
                                                              : hash_auxiliary_file(request, limits);
    if (!digest) return fail(digest.error());
    auto stored = manifest_path_for_create(request.path, manifest_dir, options.allow_absolute_paths,
                                           options.allow_path_escape, "auxiliary artifact");
    if (!stored) return fail(stored.error());
    records.push_back(AuxiliaryArtifact{
        .name = std::move(name),
        .path = std::move(*stored),
        .sha256 = std::move(digest->sha256),
        .file_size_bytes = digest->size_bytes,
        .required = request.required,
    });
  }
  return records;
}

}  // namespace zm
