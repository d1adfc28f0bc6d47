#include "io/path.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace zm::io {

namespace {
// Drops trailing empty and "." components (and their separators) from a path body.
void trim_back(std::string_view& body) {
  while (!body.empty()) {
    size_t sep = body.rfind('/');
    std::string_view comp = sep == std::string_view::npos ? body : body.substr(sep + 1);
    if (!comp.empty() && comp != ".") return;
    body.remove_suffix(comp.size() + (sep == std::string_view::npos ? 0 : 1));
  }
}
}  // namespace

std::string parent_dir(std::string_view path) {
  // A leading root, or a leading "." component, stays in front of the body.
  size_t before = 0;
  bool root = !path.empty() && path[0] == '/';
  if (root || (!path.empty() && path[0] == '.' && (path.size() == 1 || path[1] == '/'))) before = 1;
  std::string_view body = path.substr(before);
  trim_back(body);
  if (body.empty()) return ".";  // the root, ".", or empty: no usable parent
  size_t sep = body.rfind('/');
  body = sep == std::string_view::npos ? std::string_view() : body.substr(0, sep);
  trim_back(body);
  std::string parent(path.substr(0, before + body.size()));
  if (parent.empty()) return ".";
  return parent;
}

std::string join_path(std::string_view base, std::string_view path) {
  if (path.empty()) return std::string(base);
  std::string out(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(path);
  return out;
}

bool is_absolute(std::string_view path) {
  return !path.empty() && path[0] == '/';
}

bool contains_nul(std::string_view path) {
  return path.find('\0') != std::string_view::npos;
}

Result<std::string> canonicalize(const std::string& path) {
  if (path.empty()) return fail(ManifestError::io_errno(ENOENT));
  if (contains_nul(path)) return fail(ManifestError::io_custom(std::string(kNulInPathText)));
  std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return fail(ManifestError::io_errno(errno));
  return std::string(resolved.get());
}

bool path_within(std::string_view path, std::string_view base) {
  if (base == "/") return !path.empty() && path[0] == '/';
  if (path.size() < base.size() || path.substr(0, base.size()) != base) return false;
  return path.size() == base.size() || path[base.size()] == '/';
}

bool names_regular_file(const std::string& path) {
  struct stat st {};
  return path.find('\0') == std::string::npos && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace zm::io
