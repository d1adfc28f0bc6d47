#include "io/hashing_reader.h"

#include <system_error>

namespace zm::io {

HashingChunkReader::HashingChunkReader(File& file) : file_(file), slots_(new Slot[kSlots]) {
  try {
    worker_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // no thread to be had: read and hash inline
  }
}

HashingChunkReader::~HashingChunkReader() {
  stop();
}

void HashingChunkReader::stop() {
  if (!threaded_) return;
  stopping_.store(true, std::memory_order_release);
  consumed_.fetch_add(kSlots, std::memory_order_acq_rel);  // frees the producer from any wait
  consumed_.notify_all();
  if (worker_.joinable()) worker_.join();
  threaded_ = false;
}

bool HashingChunkReader::fill(uint64_t index) {
  Slot& slot = slots_[index % kSlots];
  auto got = file_.read_some(slot.data.data(), kChunkBytes, /*retry_eintr=*/true);
  if (!got) {
    error_ = got.error();
    slot.size = 0;
    return false;
  }
  slot.size = *got;
  if (slot.size == 0) return false;
  sha_.update(slot.data.data(), slot.size);
  return true;
}

void HashingChunkReader::run() {
  for (uint64_t i = 0;; ++i) {
    // Wait for the slot of chunk i to be released by the consumer.
    for (uint64_t c = consumed_.load(std::memory_order_acquire); i - c >= kSlots;
         c = consumed_.load(std::memory_order_acquire)) {
      if (stopping_.load(std::memory_order_acquire)) return;
      consumed_.wait(c, std::memory_order_acquire);
    }
    if (stopping_.load(std::memory_order_acquire)) return;
    const bool more = fill(i);
    produced_.store(i + 1, std::memory_order_release);
    produced_.notify_one();
    if (!more) return;
  }
}

Result<std::string_view> HashingChunkReader::next() {
  if (holding_) {
    holding_ = false;
    // Slots go back in batches, so a producer that waits for room is woken once per
    // batch rather than once per chunk.
    if (next_ % kReleaseBatch == 0) {
      consumed_.store(next_, std::memory_order_release);
      consumed_.notify_one();
    }
  }
  if (ended_) return end_of_stream();
  const uint64_t index = next_;
  if (threaded_) {
    for (uint64_t p = produced_.load(std::memory_order_acquire); p <= index;
         p = produced_.load(std::memory_order_acquire)) {
      produced_.wait(p, std::memory_order_acquire);
    }
  } else {
    fill(index);
  }
  const Slot& slot = slots_[index % kSlots];
  if (slot.size == 0) {
    ended_ = true;
    return end_of_stream();
  }
  ++next_;
  holding_ = true;
  return std::string_view(slot.data.data(), slot.size);
}

Result<std::string_view> HashingChunkReader::end_of_stream() const {
  if (error_) return fail(*error_);
  return std::string_view();
}

std::string HashingChunkReader::hex_digest() {
  if (threaded_ && worker_.joinable()) worker_.join();
  threaded_ = false;
  return sha_.hex_digest();
}

}  // namespace zm::io
