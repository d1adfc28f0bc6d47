// The one path policy for every file a manifest names: relative to the manifest's base
// directory, absolute paths and escapes refused unless allowed, containment checked on
// canonical paths component by component.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "io/file.h"
#include "io/open_checked.h"
#include "manifest/error.h"
#include "manifest/report.h"

namespace zm {

// A path the policy accepted, with the identity of the entry found at its canonical path.
struct ResolvedPath {
  std::string candidate;  // the path as formed from the base directory, as messages show it
  std::string canonical;
  io::FileIdentity identity;
};

// Returns the canonical path, or appends exactly one issue ("<label>_absolute_path_rejected",
// "<label>_base_dir_unavailable", "<label>_path_escape_rejected", "<label>_path_unavailable")
// and returns nothing.
std::optional<std::string> resolve_existing_path(std::string_view path, const std::string& base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view label, std::vector<ReportIssue>& issues);

// resolve_existing_path, keeping what the open needs: the entry at the canonical path is
// identified without following any symbolic link. When that fails (the entry vanished,
// or a link was swapped in after canonicalization) it appends "<label>_path_unavailable"
// with "failed to canonicalize {candidate}: {error}".
std::optional<ResolvedPath> resolve_existing_entry(std::string_view path, const std::string& base_dir,
                                                   bool allow_absolute_paths, bool allow_path_escape,
                                                   std::string_view label, std::vector<ReportIssue>& issues);

// Opens a resolved path for reading and confirms the file opened is the entry resolved,
// so a name re-pointed in between is never read in its place. When another file stands
// there now, appends "<label>_path_unavailable" with "failed to canonicalize {candidate}:
// file changed while it was being opened" and returns the file-changed error
// (io::is_file_changed); any other open failure is returned with no issue appended.
Result<io::File> open_resolved(const ResolvedPath& resolved, std::string_view label, std::vector<ReportIssue>& issues);

// The lexical escape walk for a relative path: "." skipped, a name adds one level, ".."
// at level 0 escapes. True when the path escapes.
bool escapes_lexically(std::string_view path);

}  // namespace zm
