#include "manifest/load.h"

#include <utility>

#include "io/bounded_read.h"
#include "io/path.h"
#include "manifest/schema/codec.h"

namespace zm {

Result<ManifestDocument> load_manifest_file_with_options(const std::string& path, uint64_t max_manifest_bytes) {
  auto bytes = io::read_bounded_file(path, max_manifest_bytes, "manifest_file_too_large", "manifest file");
  if (!bytes) return fail(std::move(bytes.error()));
  auto manifest = parse_manifest(bytes->view());
  if (!manifest) return fail(std::move(manifest.error()));
  // The text is released here; only the typed record is kept.
  return ManifestDocument{std::move(*manifest), io::parent_dir(path), path};
}

}  // namespace zm
