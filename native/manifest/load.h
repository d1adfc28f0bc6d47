// Loading one manifest file: bounded read, strict parse into IndexManifest, and the
// base directory against which the manifest's relative paths resolve.
#pragma once

#include <cstdint>
#include <string>

#include "manifest/error.h"
#include "manifest/schema/manifest.h"

namespace zm {

struct ManifestDocument {
  IndexManifest manifest;
  std::string base_dir;       // lexical parent of the manifest path, never empty
  std::string manifest_path;  // exactly as the caller gave it
};

Result<ManifestDocument> load_manifest_file_with_options(const std::string& path, uint64_t max_manifest_bytes);

}  // namespace zm
