// Size-bounded reads: at most limit + 1 bytes are ever read, the file's size is never
// asked. A whole file (the manifest) lands in a buffer that grows with the bytes read;
// auxiliary files and profiles are hashed as they stream through a read-ahead ring under
// the same bound, so their memory stays flat whatever their size. Both give the same
// outcomes for the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "base/error.h"
#include "io/file.h"
#include "io/sha256.h"

namespace zm::io {

// A whole file's bytes in one block of memory that grows in place where the allocator
// can extend it (realloc): what was read is neither copied nor touched again.
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
// than `limit` held. Reason(reason_code, "{label} exceeds {limit} bytes while reading
// {path}") when there is more; Reason(reason_code, "... too large to enforce ...") when
// `limit` is 2^64 - 1; Io for a read error (EINTR: see io/file.h). `path` only names the
// file in messages (display text, U+FFFD for invalid UTF-8).
Result<Bytes> read_bounded_file(const std::string& path, uint64_t limit, std::string_view reason_code,
                                std::string_view label);

// SHA-256 and byte count of the same bytes, streamed through io::ReadAhead (whose reads
// stop at limit + 1 bytes); the same outcomes as hashing read_bounded_file's result.
Result<FileDigest> sha256_open_file_bounded(File& file, const std::string& path, uint64_t limit,
                                            std::string_view reason_code, std::string_view label);
Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label);

}  // namespace zm::io
