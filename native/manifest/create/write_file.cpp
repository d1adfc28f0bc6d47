#include "manifest/create/write_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <string>

#include "io/file.h"
#include "io/path.h"
#include "text/uuid.h"

namespace zm {

namespace {

constexpr int kMaxLinkHops = 40;
constexpr int kMaxTempAttempts = 16;

// The last component of `path` (trailing separators ignored), for the temporary name.
std::string_view base_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  size_t sep = path.rfind('/');
  return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

// A fresh name beside `target`: ".<name>.<12 random hex digits>.tmp".
std::string temp_name_for(const std::string& target) {
  std::string random = text::new_uuid_v4();
  std::string hex;
  for (char c : random) {
    if (c != '-') hex.push_back(c);
  }
  std::string name = ".";
  name.append(base_name(target));
  name.append(".");
  name.append(hex.substr(hex.size() - 12));
  name.append(".tmp");
  return io::join_path(io::parent_dir(target), name);
}

// Makes the rename durable where the file system allows it; failure is not an error
// (the data itself has already been synced).
void sync_directory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

ManifestError write_error(const ManifestError& os) {
  return ManifestError::json(os.text(), 0, 0);
}

}  // namespace

std::string resolve_write_target(const std::string& path) {
  std::string current = path;
  for (int hop = 0; hop < kMaxLinkHops; ++hop) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current;
    std::string link(PATH_MAX, '\0');
    ssize_t n = ::readlink(current.c_str(), link.data(), link.size());
    if (n < 0 || static_cast<size_t>(n) >= link.size()) return current;
    link.resize(static_cast<size_t>(n));
    current = io::is_absolute(link) ? link : io::join_path(io::parent_dir(current), link);
  }
  // A longer chain stops here: its last link read is replaced rather than followed.
  return current;
}

Result<void> replace_file_atomically(const std::string& path, std::string_view contents) {
  const std::string target = resolve_write_target(path);

  std::string temp;
  Result<io::File> file = fail(ManifestError::io_errno(EEXIST));
  for (int attempt = 0; attempt < kMaxTempAttempts; ++attempt) {
    temp = temp_name_for(target);
    file = io::File::open_write(temp, /*exclusive=*/true);
    if (file || file.error().os_error() != EEXIST) break;
  }
  if (!file) return fail(file.error());

  auto discard = [&](ManifestError error) -> Result<void> {
    file->close();
    ::unlink(temp.c_str());
    return fail(std::move(error));
  };
  if (auto w = file->write_all(contents.data(), contents.size()); !w) return discard(write_error(w.error()));
  if (auto s = file->sync(); !s) return discard(write_error(s.error()));
  if (auto c = file->close_checked(); !c) return discard(write_error(c.error()));
  if (::rename(temp.c_str(), target.c_str()) != 0) return discard(ManifestError::io_errno(errno));
  sync_directory(io::parent_dir(target));
  return {};
}

}  // namespace zm
