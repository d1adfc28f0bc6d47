// File: the one RAII file-descriptor type of the core. Every open is closed on every
// path; reads report errno values, never throw.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "manifest/error.h"

namespace zm::io {

class File {
 public:
  File() = default;
  File(File&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File() { close(); }

  // Plain blocking open for reading (no size query, no O_NONBLOCK): pipes are read like
  // files. EINTR on open is retried. With `nonblocking` the open itself cannot wait (for
  // a FIFO's writer, say); set_blocking() restores the usual reads afterwards.
  static Result<File> open_read(const std::string& path, bool nonblocking = false);
  // Open for writing with O_CREAT|O_TRUNC (or O_EXCL when `exclusive`), mode 0666 & ~umask.
  static Result<File> open_write(const std::string& path, bool exclusive);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // One read(2) of at most n bytes. Returns the byte count (0 at end of file) or the
  // errno. With retry_eintr, EINTR is retried; otherwise it is returned as an error.
  Result<size_t> read_some(void* buf, size_t n, bool retry_eintr);
  // Reads until n bytes or end of file; EINTR retried. Returns bytes read.
  Result<size_t> read_full(void* buf, size_t n);
  // Writes all n bytes (EINTR retried, short writes continued).
  Result<void> write_all(const void* buf, size_t n);
  Result<struct stat> stat() const;
  // Current file offset (lseek(fd, 0, SEEK_CUR)).
  Result<uint64_t> position() const;
  Result<void> sync();
  // Clears O_NONBLOCK.
  Result<void> set_blocking();
  // Closes now; reports the close error (used after writing).
  Result<void> close_checked();
  void close();

 private:
  explicit File(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace zm::io
