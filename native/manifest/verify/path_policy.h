// The one path policy for every file a manifest names: relative to the manifest's base
// directory, absolute paths and escapes refused unless allowed, containment checked on
// canonical paths component by component.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "manifest/report.h"

namespace zm {

// Returns the canonical path, or appends exactly one issue ("<label>_absolute_path_rejected",
// "<label>_base_dir_unavailable", "<label>_path_escape_rejected", "<label>_path_unavailable")
// and returns nothing.
std::optional<std::string> resolve_existing_path(std::string_view path, const std::string& base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view label, std::vector<ReportIssue>& issues);

// The lexical escape walk for a relative path: "." skipped, a name adds one level, ".."
// at level 0 escapes. True when the path escapes.
bool escapes_lexically(std::string_view path);

}  // namespace zm
