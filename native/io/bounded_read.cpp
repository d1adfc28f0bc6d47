#include "io/bounded_read.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <new>
#include <utility>

#include <fmt/format.h>

#include "io/read_ahead.h"
#include "text/utf8.h"

namespace zm::io {

namespace {

constexpr size_t kFirstRead = 8192;

ManifestError too_large_to_enforce(const std::string& path, uint64_t limit, std::string_view reason_code,
                                   std::string_view label) {
  return ManifestError::reason(
      std::string(reason_code),
      fmt::format("{} byte limit {} is too large to enforce while reading {}", label, limit, text::lossy_utf8(path)));
}

ManifestError exceeds(const std::string& path, uint64_t limit, std::string_view reason_code, std::string_view label) {
  return ManifestError::reason(
      std::string(reason_code),
      fmt::format("{} exceeds {} bytes while reading {}", label, limit, text::lossy_utf8(path)));
}

}  // namespace

Bytes::Bytes(Bytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)),
      size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0)) {}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  if (this != &other) {
    std::free(data_);
    data_ = std::exchange(other.data_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
  }
  return *this;
}

Bytes::~Bytes() {
  std::free(data_);
}

void Bytes::reserve(size_t capacity) {
  if (capacity <= capacity_) return;
  void* grown = std::realloc(data_, capacity);
  if (grown == nullptr) throw std::bad_alloc();
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
}

Result<Bytes> read_bounded_file(const std::string& path, uint64_t limit, std::string_view reason_code,
                                std::string_view label) {
  auto file = File::open_read(path);
  if (!file) return fail(file.error());
  if (limit == std::numeric_limits<uint64_t>::max()) return fail(too_large_to_enforce(path, limit, reason_code, label));
  Bytes data;
  uint64_t used = 0;
  for (;;) {
    if (used == limit) {
      // Only the question "is there more?" is left: one byte, read alone, answers it.
      char extra;
      auto got = file->read_some(&extra, 1);
      if (!got) return fail(got.error());
      if (*got != 0) return fail(exceeds(path, limit, reason_code, label));
      return data;
    }
    // The buffer grows by doubling from a small first read, never past what the limit
    // still allows, so it follows the bytes actually read; its new room is not filled
    // first, only read into.
    if (used == data.capacity()) {
      const uint64_t grow = used == 0 ? kFirstRead : used;
      data.reserve(static_cast<size_t>(used + std::min(grow, limit - used)));
    }
    auto got = file->read_some(data.data() + used, data.capacity() - static_cast<size_t>(used));
    if (!got) return fail(got.error());
    if (*got == 0) return data;
    used += *got;
    data.set_size(static_cast<size_t>(used));
  }
}

Result<FileDigest> sha256_open_file_bounded(File& file, const std::string& path, uint64_t limit,
                                            std::string_view reason_code, std::string_view label) {
  if (limit == std::numeric_limits<uint64_t>::max()) return fail(too_large_to_enforce(path, limit, reason_code, label));
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  // A large regular file is copied out of the kernel by the read-ahead thread while this
  // thread hashes; a small file or a pipe is read here.
  ReadAhead reader(file, limit + 1);
  Sha256 sha;
  uint64_t used = 0;
  for (;;) {
    auto chunk = reader.next();
    if (!chunk) return fail(chunk.error());
    if (chunk->empty()) return FileDigest{sha.hex_digest(), used};
    if (chunk->size() > limit - used) return fail(exceeds(path, limit, reason_code, label));
    sha.update(chunk->data(), chunk->size());
    used += chunk->size();
  }
}

Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label) {
  auto file = File::open_read(path);
  if (!file) return fail(file.error());
  return sha256_open_file_bounded(*file, path, limit, reason_code, label);
}

}  // namespace zm::io
