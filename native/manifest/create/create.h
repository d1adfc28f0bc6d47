// Manifest creation: probe and hash an index, validate its row map, hash auxiliary
// files, express every path relative to the manifest, and write the manifest file.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "io/sha256.h"
#include "manifest/error.h"
#include "manifest/limits.h"
#include "manifest/schema/manifest.h"

namespace zm {

// Writes request.out and returns the manifest written.
Result<IndexManifest> create_manifest(const CreateManifestRequest& request);

// The path to store for `target`, relative to `manifest_dir` where possible.
Result<std::string> manifest_path_for_create(const std::string& target, const std::string& manifest_dir,
                                             bool allow_absolute_paths, bool allow_path_escape, std::string_view label);
std::string path_to_manifest_string(const std::string& path);

// The digest of one request's file under the auxiliary byte limit.
Result<io::FileDigest> hash_auxiliary_file(const CreateAuxiliaryArtifact& request, const ResourceLimits& limits);

// A request's digest computed ahead of its turn, or nothing (then it is computed in turn).
using AuxiliaryDigest = std::optional<Result<io::FileDigest>>;

// `hashed_ahead[i]`, when set, stands for hashing request i: the checks and their order
// are unchanged, only where the hashing ran differs.
Result<std::vector<AuxiliaryArtifact>> create_auxiliary_artifacts(const std::vector<CreateAuxiliaryArtifact>& requests,
                                                                  const std::string& manifest_dir,
                                                                  const CreateManifestOptions& options,
                                                                  std::span<AuxiliaryDigest> hashed_ahead = {});

}  // namespace zm
