#include "io/bounded_read.h"

#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <utility>

#include <fmt/format.h>

#include "text/utf8.h"

namespace zm::io {

namespace {

constexpr size_t kFirstRead = 8192;
constexpr size_t kHashBuffer = 65536;

// Grows from a small first read by doubling, never past what the reader still allows,
// so the buffer never exceeds `limit` and follows the bytes actually read.
class BytesSink final : public BoundedSink {
 public:
  std::span<char> room(size_t want) override {
    const size_t used = data_.size();
    if (used == data_.capacity()) data_.reserve(used + std::min(used == 0 ? kFirstRead : used, want));
    return {data_.data() + used, data_.capacity() - used};
  }
  void filled(size_t n) override { data_.set_size(data_.size() + n); }
  Bytes take() { return std::move(data_); }

 private:
  Bytes data_;
};

class HashSink final : public BoundedSink {
 public:
  HashSink() : buf_(new char[kHashBuffer]) {}
  std::span<char> room(size_t want) override { return {buf_.get(), std::min(want, kHashBuffer)}; }
  void filled(size_t n) override { sha_.update(buf_.get(), n); }
  std::string hex_digest() { return sha_.hex_digest(); }

 private:
  std::unique_ptr<char[]> buf_;
  Sha256 sha_;
};

}  // namespace

Result<uint64_t> read_bounded(File& file, const std::string& path, uint64_t limit, std::string_view reason_code,
                              std::string_view label, BoundedSink& sink) {
  if (limit == std::numeric_limits<uint64_t>::max()) {
    return fail(ManifestError::reason(
        std::string(reason_code), fmt::format("{} byte limit {} is too large to enforce while reading {}", label, limit,
                                              text::lossy_utf8(path))));
  }
  uint64_t used = 0;
  for (;;) {
    if (used == limit) {
      // Only the question "is there more?" is left: one byte, read alone, answers it.
      char extra;
      auto got = file.read_some(&extra, 1);
      if (!got) return fail(got.error());
      if (*got == 0) return used;
      return fail(ManifestError::reason(std::string(reason_code), fmt::format("{} exceeds {} bytes while reading {}",
                                                                              label, limit, text::lossy_utf8(path))));
    }
    const size_t want = static_cast<size_t>(std::min<uint64_t>(limit - used, std::numeric_limits<size_t>::max() / 2));
    std::span<char> room = sink.room(want);
    auto got = file.read_some(room.data(), std::min(room.size(), want));
    if (!got) return fail(got.error());
    if (*got == 0) return used;
    sink.filled(*got);
    used += *got;
  }
}

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
  BytesSink sink;
  auto read = read_bounded(*file, path, limit, reason_code, label, sink);
  if (!read) return fail(read.error());
  return sink.take();
}

Result<FileDigest> sha256_open_file_bounded(File& file, const std::string& path, uint64_t limit,
                                            std::string_view reason_code, std::string_view label) {
  ::posix_fadvise(file.fd(), 0, 0, POSIX_FADV_SEQUENTIAL);
  HashSink sink;
  auto read = read_bounded(file, path, limit, reason_code, label, sink);
  if (!read) return fail(read.error());
  return FileDigest{sink.hex_digest(), *read};
}

Result<FileDigest> sha256_file_bounded(const std::string& path, uint64_t limit, std::string_view reason_code,
                                       std::string_view label) {
  auto file = File::open_read(path);
  if (!file) return fail(file.error());
  return sha256_open_file_bounded(*file, path, limit, reason_code, label);
}

}  // namespace zm::io
