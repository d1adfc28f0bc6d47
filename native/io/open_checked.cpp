#include "io/open_checked.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>

#include <fmt/format.h>

#include "io/path.h"
#include "text/utf8.h"

namespace zm::io {

namespace {

constexpr size_t kStreamBuffer = 65536;
constexpr uint64_t kFirstRead = 8192;

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

Result<FileDigest> sha256_stream_open_file(File& file) {
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buf(new char[kStreamBuffer]);
  Sha256 h;
  uint64_t total = 0;
  for (;;) {
    auto got = file.read_some(buf.get(), kStreamBuffer);
    if (!got) return fail(got.error());
    if (*got == 0) break;
    h.update(buf.get(), *got);
    total += *got;
  }
  return FileDigest{h.hex_digest(), total};
}

Result<std::string> read_bounded_open_file(File& file, const std::string& path, uint64_t limit,
                                           std::string_view reason_code, std::string_view label) {
  if (limit == std::numeric_limits<uint64_t>::max()) {
    return fail(ManifestError::reason(
        std::string(reason_code), fmt::format("{} byte limit {} is too large to enforce while reading {}", label, limit,
                                              text::lossy_utf8(path))));
  }
  // The buffer never holds more than `limit` bytes: the byte after them is read alone,
  // only to learn that the file is too large, so memory stays near the limit even when
  // the limit is a power of two (no last doubling for one byte).
  std::string data;
  uint64_t used = 0;
  for (;;) {
    if (used == limit) {
      char extra;
      auto got = file.read_some(&extra, 1);
      if (!got) return fail(got.error());
      if (*got == 0) break;
      return fail(ManifestError::reason(std::string(reason_code), fmt::format("{} exceeds {} bytes while reading {}",
                                                                              label, limit, text::lossy_utf8(path))));
    }
    if (used == data.size()) {
      // Grow from a small first read by doubling, never past the limit.
      uint64_t want = data.empty() ? kFirstRead : static_cast<uint64_t>(data.size()) * 2;
      want = std::min(want, limit);
      if (want > std::numeric_limits<size_t>::max() / 2) want = std::numeric_limits<size_t>::max() / 2;
      data.resize(static_cast<size_t>(want));
    }
    const size_t room = data.size() - static_cast<size_t>(used);
    auto got = file.read_some(data.data() + used, room);
    if (!got) return fail(got.error());
    if (*got == 0) break;
    used += *got;
  }
  data.resize(static_cast<size_t>(used));
  return data;
}

Result<FileDigest> sha256_open_file_bounded(File& file, const std::string& path, uint64_t limit,
                                            std::string_view reason_code, std::string_view label) {
  auto data = read_bounded_open_file(file, path, limit, reason_code, label);
  if (!data) return fail(data.error());
  return FileDigest{sha256_hex(*data), data->size()};
}

}  // namespace zm::io
