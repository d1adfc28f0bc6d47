// The manifest's index kind and params of probed index metadata: which of the format
// registry's kinds a version 1 manifest can hold, and how they are written there.
#pragma once

#include <expected>

#include "index_format/format.h"
#include "manifest/schema/manifest.h"

namespace zm {

// The manifest kind of a probed kind: kinds 0 to 3 whose entry has no coverage note map
// to the manifest kind of the same index; any other kind is refused (not covered when
// its entry carries a coverage note).
std::expected<ManifestIndexKind, index_format::UnsupportedCoreMetadata> try_from_core(index_format::IndexKind kind);

// The manifest params of probed params; the FastScan form is refused as params not
// supported.
std::expected<ManifestIndexParams, index_format::UnsupportedCoreMetadata> try_params_from_core(
    const index_format::IndexParams& params);

}  // namespace zm
