// The path policy of every file a manifest names. Each resolution appends at most one
// issue and touches the file system only through realpath (base, then candidate) and,
// for the accepted entry, a walk of its canonical path that follows no symbolic link.
#include "manifest/verify/path_policy.h"

#include <fmt/format.h>

#include "io/path.h"
#include "text/utf8.h"

namespace zm {

bool escapes_lexically(std::string_view path) {
  if (!path.empty() && path[0] == '/') return true;  // a root component
  uint64_t depth = 0;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t sep = path.find('/', pos);
    if (sep == std::string_view::npos) sep = path.size();
    std::string_view comp = path.substr(pos, sep - pos);
    pos = sep + 1;
    if (comp.empty() || comp == ".") continue;  // repeated separators and "." add nothing
    if (comp == "..") {
      if (depth == 0) return true;
      --depth;
    } else {
      ++depth;
    }
  }
  return false;
}

std::optional<ResolvedPath> resolve_existing_entry(std::string_view path, const std::string& base_dir,
                                                   bool allow_absolute_paths, bool allow_path_escape,
                                                   std::string_view label, std::vector<ReportIssue>& issues) {
  auto issue = [&](std::string_view suffix, std::string message) {
    issues.push_back({fmt::format("{}_{}", label, suffix), std::move(message)});
  };
  const bool absolute = io::is_absolute(path);
  if (absolute && !allow_absolute_paths) {
    issue("absolute_path_rejected", fmt::format("absolute path {} is rejected by default", text::lossy_utf8(path)));
    return std::nullopt;
  }
  auto base = io::canonicalize(base_dir);
  if (!base) {
    issue("base_dir_unavailable",
          fmt::format("failed to canonicalize base_dir {}: {}", text::lossy_utf8(base_dir), base.error().display()));
    return std::nullopt;
  }
  if (!absolute && !allow_path_escape && escapes_lexically(path)) {
    issue("path_escape_rejected", fmt::format("relative path {} escapes the manifest base", text::lossy_utf8(path)));
    return std::nullopt;
  }
  // Textual join: base, "/", path; an empty path is the base directory itself.
  std::string candidate = absolute ? std::string(path) : io::join_path(base_dir, path);
  auto canonical = io::canonicalize(candidate);
  if (!canonical) {
    issue("path_unavailable",
          fmt::format("failed to canonicalize {}: {}", text::lossy_utf8(candidate), canonical.error().display()));
    return std::nullopt;
  }
  if (!allow_path_escape && !io::path_within(*canonical, *base)) {
    issue("path_escape_rejected", fmt::format("canonical path {} is outside manifest base {}",
                                              text::lossy_utf8(*canonical), text::lossy_utf8(*base)));
    return std::nullopt;
  }
  // Pin the entry now found at the canonical path; every later open is checked against it.
  auto identity = io::identify_canonical(*canonical);
  if (!identity) {
    issue("path_unavailable",
          fmt::format("failed to canonicalize {}: {}", text::lossy_utf8(candidate), identity.error().display()));
    return std::nullopt;
  }
  return ResolvedPath{std::move(candidate), std::move(*canonical), *identity};
}

std::optional<std::string> resolve_existing_path(std::string_view path, const std::string& base_dir,
                                                 bool allow_absolute_paths, bool allow_path_escape,
                                                 std::string_view label, std::vector<ReportIssue>& issues) {
  auto resolved = resolve_existing_entry(path, base_dir, allow_absolute_paths, allow_path_escape, label, issues);
  if (!resolved) return std::nullopt;
  return std::move(resolved->canonical);
}

Result<io::File> open_resolved(const ResolvedPath& resolved, std::string_view label, std::vector<ReportIssue>& issues) {
  auto file = io::open_identified(resolved.canonical, resolved.identity);
  if (!file && io::is_file_changed(file.error())) {
    issues.push_back(
        {fmt::format("{}_path_unavailable", label),
         fmt::format("failed to canonicalize {}: {}", text::lossy_utf8(resolved.candidate), file.error().display())});
  }
  return file;
}

}  // namespace zm
