#include "io/open_checked.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <memory>

#include "io/path.h"

namespace zm::io {

namespace {

// A directory descriptor of the walk, closed on every path.
class WalkFd {
 public:
  explicit WalkFd(int fd) : fd_(fd) {}
  WalkFd(const WalkFd&) = delete;
  WalkFd& operator=(const WalkFd&) = delete;
  ~WalkFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  void reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

int openat_retry(int dirfd, const char* name, int flags) {
  int fd;
  do {
    fd = ::openat(dirfd, name, flags);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

ManifestError file_changed() {
  return ManifestError::io_custom(std::string(kFileChangedText));
}

FileIdentity identity_of(const struct stat& st) {
  return FileIdentity{st.st_dev, st.st_ino};
}

}  // namespace

bool is_file_changed(const ManifestError& error) {
  return error.kind() == ManifestError::Kind::Io && error.os_error() == 0 && error.text() == kFileChangedText;
}

Result<FileIdentity> identify_canonical(const std::string& path) {
  if (!is_absolute(path)) return fail(ManifestError::io_errno(EINVAL));
  WalkFd dir(openat_retry(AT_FDCWD, "/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return fail(ManifestError::io_errno(errno));
  std::string_view rest(path);
  std::string name;
  for (;;) {
    const size_t start = rest.find_first_not_of('/');
    if (start == std::string_view::npos) {
      // Only the root (or nothing after the last separator): the directory reached.
      struct stat st {};
      if (::fstat(dir.get(), &st) != 0) return fail(ManifestError::io_errno(errno));
      return identity_of(st);
    }
    rest.remove_prefix(start);
    const size_t end = std::min(rest.find('/'), rest.size());
    name.assign(rest.substr(0, end));
    rest.remove_prefix(end);
    const bool last = rest.find_first_not_of('/') == std::string_view::npos;
    struct stat st {};
    if (last) {
      if (::fstatat(dir.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        return fail(ManifestError::io_errno(errno));
      }
      if (S_ISLNK(st.st_mode)) return fail(file_changed());
      return identity_of(st);
    }
    // O_PATH | O_NOFOLLOW yields a descriptor of a symbolic link itself, never its target.
    const int next = openat_retry(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return fail(ManifestError::io_errno(errno));
    dir.reset(next);
    if (::fstat(dir.get(), &st) != 0) return fail(ManifestError::io_errno(errno));
    if (S_ISLNK(st.st_mode)) return fail(file_changed());
    if (!S_ISDIR(st.st_mode)) return fail(ManifestError::io_errno(ENOTDIR));
  }
}

Result<File> open_identified(const std::string& path, const FileIdentity& expected) {
  // The entry is named first (an O_PATH open never blocks, so a FIFO swapped in cannot
  // stall here) and checked; only the entry checked is then opened for reading.
  auto entry = File::open_path_only(path);
  if (!entry) return fail(entry.error());
  auto st = entry->stat();
  if (!st) return fail(st.error());
  if (identity_of(*st) != expected) return fail(file_changed());  // `entry` closes here
  auto file = entry->reopen_read();
  if (file || file.error().os_error() != ENOENT) return file;
  // No /proc to reopen through: open by name and check the identity again.
  file = File::open_read(path);
  if (!file) return fail(file.error());
  st = file->stat();
  if (!st) return fail(st.error());
  if (identity_of(*st) != expected) return fail(file_changed());
  return file;
}

}  // namespace zm::io
