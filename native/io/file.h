// File: the one RAII file-descriptor type of the core. Every open is closed on every
// path; reads report errno values, never throw.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <string>

#include "base/error.h"

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
  // files. Every open here, and every read and write below, is interruptible: on EINTR
  // the calling thread's Interrupt (base/interrupt.h) is asked, and the call is retried
  // unless it answers "stop", which returns the EINTR error. Once it has answered "stop",
  // no open begins.
  static Result<File> open_read(const std::string& path);
  // A descriptor that only names the entry at `path` (O_PATH): opening it never blocks
  // and reads nothing. reopen_read() makes a readable file of that same entry.
  static Result<File> open_path_only(const std::string& path);
  // Open for writing with O_CREAT|O_TRUNC (or O_EXCL when `exclusive`), mode 0666 & ~umask.
  static Result<File> open_write(const std::string& path, bool exclusive);
  // A new file without a name in directory `dir` (O_TMPFILE, mode 0666 & ~umask): if the
  // process ends before link_as() names it, nothing is left behind. EOPNOTSUPP (or
  // EISDIR from older kernels) where the file system cannot make one.
  static Result<File> open_unnamed_in(const std::string& dir);
  // Gives the unnamed file from open_unnamed_in() the new name `path` (EEXIST when taken).
  Result<void> link_as(const std::string& path) const;
  // Open an existing entry for writing, creating and truncating nothing (for a FIFO or a
  // device, which is written as a stream). Blocks as a plain open does.
  static Result<File> open_write_existing(const std::string& path);

  bool is_open() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // One read(2) of at most n bytes. Returns the byte count (0 at end of file) or the
  // errno. Each read also lets the Interrupt poll, so a loop of reads of any length can
  // be stopped.
  Result<size_t> read_some(void* buf, size_t n);
  // Reads until n bytes or end of file. Returns bytes read.
  Result<size_t> read_full(void* buf, size_t n);
  // Writes all n bytes (short writes continued).
  Result<void> write_all(const void* buf, size_t n);
  Result<struct stat> stat() const;
  // Current file offset (lseek(fd, 0, SEEK_CUR)).
  Result<uint64_t> position() const;
  Result<void> sync();
  // Opens the entry this descriptor names for reading, as open_read does, through
  // /proc/self/fd: the same inode whatever its path denotes by now. ENOENT without /proc.
  Result<File> reopen_read() const;
  // Closes now; reports the close error (used after writing).
  Result<void> close_checked();
  void close();

 private:
  explicit File(int fd) : fd_(fd) {}
  static Result<File> open_with(const std::string& path, int flags);
  int fd_ = -1;
};

}  // namespace zm::io
