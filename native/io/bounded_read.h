// Size-bounded reads: at most limit + 1 bytes are ever read, the file's size is never
// asked. One loop (read_bounded) enforces the bound for every caller; what the bytes
// become is up to its sink: a whole-file buffer that grows with the bytes read (the
// manifest), or SHA-256 through one fixed buffer (auxiliary files and profiles, whose
// memory stays flat whatever their size).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "io/file.h"
#include "io/sha256.h"
#include "manifest/error.h"

namespace zm::io {

// Where a bounded read puts the bytes it reads.
class BoundedSink {
 public:
  virtual ~BoundedSink() = default;
  // Writable room for at most `want` (> 0) further bytes; never empty.
  virtual std::span<char> room(size_t want) = 0;
  // The first `n` (> 0) bytes of the room last handed out now hold the next bytes read.
  virtual void filled(size_t n) = 0;
};

// Reads `file` to its end into `sink`, never asking for more than limit + 1 bytes in
// total; the byte after `limit` is read on its own and never reaches the sink. Returns
// the byte count (at most `limit`); Reason(reason_code, "{label} exceeds {limit} bytes
// while reading {path}") when there is more; Reason(reason_code, "... too large to
// enforce ...") when `limit` is 2^64 - 1; Io for a read error (EINTR: see io/file.h).
// `path` only names the file in messages (display text, U+FFFD for invalid UTF-8).
Result<uint64_t> read_bounded(File& file, const std::string& path, uint64_t limit, std::string_view reason_code,
                              std::string_view label, BoundedSink& sink);

// A whole file's bytes in one block of memory that grows in place where the allocator
// can extend it (realloc: no copy of what was read, no fresh pages for it).
class Bytes {
 public:
  Bytes() = default;
  Bytes(Bytes&& other) noexcept;
  Bytes& operator=(Bytes&& other) noexcept;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes();

  std::string_view view() const { return {data_, size_}; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  bool operator==(std::string_view other) const { return view() == other; }

  // Makes room for `capacity` bytes in all, keeping the first size() (std::bad_alloc
  // when memory runs out). The room past size() is for appending through data().
  void reserve(size_t capacity);
  char* data() { return data_; }
  size_t capacity() const { return capacity_; }
  void set_size(size_t n) { size_ = n; }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

// The file's bytes (opened by path; an open failure is Io and comes before any limit
// check). Memory follows the bytes read: a small first read, then doubling, never more
// than `limit` held.
Result<Bytes> read_bounded_file(const std::string& path, uint64_t limit, std::string_view reason_code,
                                std::string_view label);

// SHA-256 and byte count of what read_bounded reads, streamed through one 64 KiB buffer;
// the same outcomes as hashing read_bounded_file's result.
Result<FileDigest> sha256_open_file_bounded(File& file, const std::string& path, uint64_t limit,
                                            std::string_view reason_code, std::string_view label);
Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label);

}  // namespace zm::io
