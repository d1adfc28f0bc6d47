// Manifest-relative paths on create: every file a manifest names is stored relative to
// the manifest's directory, after both sides are canonicalised (so symbolic links are
// judged by where they lead). Escaping the directory and absolute fallbacks are refused
// unless the caller allows them.
#include <fmt/format.h>

#include <string>
#include <string_view>
#include <vector>

#include "io/path.h"
#include "manifest/create/create.h"
#include "text/utf8.h"

namespace zm {

namespace {

// Components of a canonical (absolute) path: "/" for the root, then each name. Empty
// pieces (repeated separators) are dropped.
std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  if (!path.empty() && path.front() == '/') out.push_back("/");
  size_t i = 0;
  while (i < path.size()) {
    size_t sep = path.find('/', i);
    if (sep == std::string_view::npos) sep = path.size();
    if (sep > i) out.push_back(path.substr(i, sep - i));
    i = sep + 1;
  }
  return out;
}

std::string join_components(const std::vector<std::string_view>& parts) {
  std::string out;
  for (std::string_view p : parts) {
    if (!out.empty()) out.push_back('/');
    out.append(p);
  }
  return out;
}

// A manifest holds text: a stored path with bytes that are not UTF-8 would be written
// with U+FFFD and then name no file, so it is refused instead of stored.
Result<std::string> storable(const std::string& raw, std::string_view label, const std::string& canonical_target) {
  if (!text::is_valid_utf8(raw)) {
    return fail(ManifestError::message(fmt::format("{} path {} is not valid UTF-8 and cannot be stored in a manifest",
                                                   label, text::lossy_utf8(canonical_target))));
  }
  return path_to_manifest_string(raw);
}

}  // namespace

std::string path_to_manifest_string(const std::string& path) {
  if (io::is_absolute(path)) {
    std::string text = text::lossy_utf8(path);
    for (char& c : text) {
      if (c == '\\') c = '/';
    }
    return text;
  }
  // A relative path: its non-empty pieces joined by "/" (so repeated and trailing
  // separators vanish); "." and ".." are kept as written, names are shown lossily.
  std::string out;
  size_t i = 0;
  while (i < path.size()) {
    size_t sep = path.find('/', i);
    if (sep == std::string::npos) sep = path.size();
    if (sep > i) {
      if (!out.empty()) out.push_back('/');
      out.append(text::lossy_utf8(std::string_view(path).substr(i, sep - i)));
    }
    i = sep + 1;
  }
  return out.empty() ? std::string(".") : out;
}

Result<std::string> manifest_path_for_create(const std::string& target, const std::string& manifest_dir,
                                             bool allow_absolute_paths, bool allow_path_escape,
                                             std::string_view label) {
  auto canonical_target = io::canonicalize(target);
  if (!canonical_target) return fail(canonical_target.error());
  auto canonical_dir = io::canonicalize(manifest_dir);
  if (!canonical_dir) return fail(canonical_dir.error());
  const std::string& t = *canonical_target;
  const std::string& d = *canonical_dir;

  if (io::path_within(t, d)) {
    std::string_view rest = std::string_view(t).substr(d.size());
    while (!rest.empty() && rest.front() == '/') rest.remove_prefix(1);
    if (rest.empty()) return std::string(".");
    return storable(std::string(rest), label, t);
  }

  if (!allow_path_escape) {
    return fail(ManifestError::message(
        fmt::format("{} path {} is outside manifest directory {}; use --allow-path-escape to create a manifest "
                    "that requires non-default verification policy",
                    label, text::lossy_utf8(t), text::lossy_utf8(d))));
  }

  // Climb out of the directory: one ".." per directory component past the shared run,
  // then the target's own remaining components. Canonical paths hold no "." or "..".
  auto tc = components(t);
  auto dc = components(d);
  size_t shared = 0;
  while (shared < tc.size() && shared < dc.size() && tc[shared] == dc[shared]) ++shared;
  bool relative_form = shared > 0;
  std::vector<std::string_view> rel;
  if (relative_form) {
    for (size_t i = shared; i < dc.size(); ++i) {
      if (dc[i] != "/" && dc[i] != ".") rel.push_back("..");
    }
    for (size_t i = shared; i < tc.size() && relative_form; ++i) {
      if (tc[i] == "/")
        relative_form = false;
      else if (tc[i] != ".")
        rel.push_back(tc[i]);
    }
  }
  if (relative_form) return storable(join_components(rel), label, t);

  if (allow_absolute_paths) return storable(t, label, t);
  return fail(ManifestError::message(
      fmt::format("{} path {} cannot be expressed relative to manifest directory {}; use --allow-absolute-paths "
                  "with --allow-path-escape",
                  label, text::lossy_utf8(t), text::lossy_utf8(d))));
}

}  // namespace zm
