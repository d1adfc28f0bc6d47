#include "io/read_ahead.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include <system_error>

#include "base/interrupt.h"

namespace zm::io {

ReadAhead::ReadAhead(File& file, uint64_t max_bytes)
    : file_(file), left_(max_bytes), buffers_(new char[kBuffers * kBufferBytes]) {}

ReadAhead::~ReadAhead() {
  stop();
}

void ReadAhead::stop() {
  if (!worker_.joinable()) return;
  stopping_.store(true, std::memory_order_release);
  consumed_.fetch_add(kBuffers, std::memory_order_acq_rel);  // frees the producer from any wait
  consumed_.notify_all();
  worker_.join();
}

Result<size_t> ReadAhead::read_into(size_t slot) {
  if (left_ == 0) return size_t{0};
  auto got = file_.read_some(buffers_.get() + slot * kBufferBytes, std::min<uint64_t>(kBufferBytes, left_));
  if (got) left_ -= *got;
  return got;
}

void ReadAhead::produce() {
  for (uint64_t i = 1;; ++i) {
    // Wait until buffer i % kBuffers is handed back (chunk i - kBuffers consumed).
    for (uint64_t c = consumed_.load(std::memory_order_acquire); i >= c + kBuffers;
         c = consumed_.load(std::memory_order_acquire)) {
      if (stopping_.load(std::memory_order_acquire)) return;
      consumed_.wait(c, std::memory_order_acquire);
    }
    if (stopping_.load(std::memory_order_acquire)) return;
    const size_t slot = i % kBuffers;
    auto got = read_into(slot);
    if (!got) error_ = got.error();
    sizes_[slot] = got ? *got : 0;
    produced_.store(i + 1, std::memory_order_release);
    produced_.notify_one();
    if (sizes_[slot] == 0) return;
  }
}

Result<std::span<const char>> ReadAhead::next() {
  if (ended_) return error_ ? Result<std::span<const char>>(fail(*error_)) : std::span<const char>();
  const uint64_t index = next_++;
  const size_t slot = index % kBuffers;
  if (index == 0) {
    // The first read decides: a short one (a small file, a pipe) keeps everything here.
    auto got = read_into(0);
    if (!got) {
      ended_ = true;
      error_ = got.error();
      return fail(*error_);
    }
    sizes_[0] = *got;
    struct stat st {};
    if (*got == kBufferBytes && ::fstat(file_.fd(), &st) == 0 && S_ISREG(st.st_mode)) {
      produced_.store(1, std::memory_order_relaxed);
      try {
        worker_ = std::thread([this] {
          interrupt::block_signals_on_helper_thread();  // signals stay with the caller
          produce();
        });
        started_ = true;
      } catch (const std::system_error&) {
        started_ = false;  // no thread to be had: read inline
      }
    }
  } else if (started_) {
    consumed_.store(index, std::memory_order_release);  // chunk index - 1 is done with
    consumed_.notify_one();
    if (interrupt::poll()) {
      ended_ = true;
      stop();  // joins the reader first: error_ is then this thread's alone
      error_ = ManifestError::io_errno(EINTR);
      return fail(*error_);
    }
    for (uint64_t p = produced_.load(std::memory_order_acquire); p <= index;
         p = produced_.load(std::memory_order_acquire)) {
      produced_.wait(p, std::memory_order_acquire);
    }
  } else {
    auto got = read_into(slot);
    if (!got) error_ = got.error();
    sizes_[slot] = got ? *got : 0;
  }
  if (sizes_[slot] == 0) {
    ended_ = true;
    stop();
    if (error_) return fail(*error_);
    return std::span<const char>();
  }
  return std::span<const char>(buffers_.get() + slot * kBufferBytes, sizes_[slot]);
}

}  // namespace zm::io
