#include "io/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "base/interrupt.h"
#include "io/open_checked.h"

namespace zm::io {

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

namespace {

// open(2), retried on EINTR unless the Interrupt says stop. A stopped scope opens nothing:
// an open may wait without end (a FIFO without a writer).
int open_interruptible(const char* path, int flags, mode_t mode) {
  for (;;) {
    if (interrupt::stopped()) {
      errno = EINTR;
      return -1;
    }
    const int fd = ::open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
    if (interrupt::after_eintr()) {
      errno = EINTR;
      return -1;
    }
  }
}

}  // namespace

Result<File> File::open_with(const std::string& path, int flags) {
  // Where a wait in open() could not be interrupted, the open itself never waits (an
  // O_NONBLOCK open of a FIFO returns at once) and only a regular file is accepted.
  const bool regular_only =
      (flags & O_PATH) == 0 && (flags & O_ACCMODE) == O_RDONLY && interrupt::regular_opens_only();
  const int fd = open_interruptible(path.c_str(), regular_only ? flags | O_NONBLOCK : flags, 0);
  if (fd < 0) return fail(ManifestError::io_errno(errno));
  File file(fd);
  if (regular_only) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(ManifestError::io_errno(errno));
    if (!S_ISREG(st.st_mode)) return fail(ManifestError::io_custom(std::string(kFileChangedText)));
    const int status = ::fcntl(fd, F_GETFL);
    if (status < 0 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != 0) return fail(ManifestError::io_errno(errno));
  }
  return file;
}

Result<File> File::open_read(const std::string& path) {
  return open_with(path, O_RDONLY | O_CLOEXEC);
}

Result<File> File::open_path_only(const std::string& path) {
  return open_with(path, O_PATH | O_CLOEXEC);
}

Result<File> File::reopen_read() const {
  return open_with("/proc/self/fd/" + std::to_string(fd_), O_RDONLY | O_CLOEXEC);
}

Result<File> File::open_unnamed_in(const std::string& dir) {
  const int fd = open_interruptible(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  if (fd < 0) return fail(ManifestError::io_errno(errno));
  return File(fd);
}

Result<void> File::link_as(const std::string& path) const {
  // Through /proc/self/fd: linkat with AT_EMPTY_PATH would need CAP_DAC_READ_SEARCH.
  const std::string self = "/proc/self/fd/" + std::to_string(fd_);
  if (::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0) {
    return fail(ManifestError::io_errno(errno));
  }
  return {};
}

Result<File> File::open_write(const std::string& path, bool exclusive) {
  const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (exclusive ? O_EXCL : O_TRUNC);
  const int fd = open_interruptible(path.c_str(), flags, 0666);
  if (fd < 0) return fail(ManifestError::io_errno(errno));
  return File(fd);
}

Result<File> File::open_write_existing(const std::string& path) {
  return open_with(path, O_WRONLY | O_CLOEXEC);
}

Result<size_t> File::read_some(void* buf, size_t n) {
  for (;;) {
    const ssize_t got = ::read(fd_, buf, n);
    if (got >= 0) {
      if (interrupt::poll()) return fail(ManifestError::io_errno(EINTR));
      return static_cast<size_t>(got);
    }
    const int err = errno;
    if (err != EINTR || interrupt::after_eintr()) return fail(ManifestError::io_errno(err));
  }
}

Result<size_t> File::read_full(void* buf, size_t n) {
  size_t total = 0;
  auto* p = static_cast<char*>(buf);
  while (total < n) {
    auto got = read_some(p + total, n - total);
    if (!got) return fail(got.error());
    if (*got == 0) break;
    total += *got;
  }
  return total;
}

Result<void> File::write_all(const void* buf, size_t n) {
  const auto* p = static_cast<const char*>(buf);
  while (n > 0) {
    ssize_t put = ::write(fd_, p, n);
    if (put < 0) {
      const int err = errno;
      if (err == EINTR && !interrupt::after_eintr()) continue;
      return fail(ManifestError::io_errno(err));
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return {};
}

Result<struct stat> File::stat() const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail(ManifestError::io_errno(errno));
  return st;
}

Result<uint64_t> File::position() const {
  off_t pos = ::lseek(fd_, 0, SEEK_CUR);
  if (pos < 0) return fail(ManifestError::io_errno(errno));
  return static_cast<uint64_t>(pos);
}

Result<void> File::sync() {
  if (::fsync(fd_) != 0) return fail(ManifestError::io_errno(errno));
  return {};
}

Result<void> File::close_checked() {
  int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return fail(ManifestError::io_errno(errno));
  return {};
}

void File::close() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

}  // namespace zm::io
