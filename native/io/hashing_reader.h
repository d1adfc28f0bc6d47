// Reads a file in 32 KiB chunks, in order, while SHA-256 is computed over every byte read.
// Reading and hashing run on a second thread a bounded distance (kSlots chunks) ahead of
// the consumer, so a consumer that parses each chunk overlaps its work with the hash.
// When no thread (or, for a pipe, no wake-up descriptor) can be had, the same work runs
// inline.
//
// Stopping: the consumer may stop reading at any chunk (a verdict already known). The
// reading thread is then released at once, even from a pipe whose writer has stalled: on
// anything but a regular file or block device it waits for data with poll() on the file
// and on a wake-up descriptor that stop() signals, and reads only when data is there.
// The consumer's own waits for the next chunk run the thread's Interrupt checks.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "base/error.h"
#include "io/chunk_source.h"
#include "io/file.h"
#include "io/sha256.h"

namespace zm::io {

class HashingChunkReader final : public ChunkSource {
 public:
  static constexpr size_t kChunkBytes = 32768;
  static constexpr size_t kSlots = 16;
  static constexpr size_t kReleaseBatch = 4;

  // `file` must outlive the reader.
  explicit HashingChunkReader(File& file);
  ~HashingChunkReader() override;
  HashingChunkReader(const HashingChunkReader&) = delete;
  HashingChunkReader& operator=(const HashingChunkReader&) = delete;

  // The next chunk in file order, valid until the following call; an empty chunk at the
  // end of the file. A read error ends the stream with that error; so does the calling
  // thread's Interrupt answering "stop" (the EINTR error).
  Result<std::string_view> next() override;
  // After next() returned the empty chunk: the digest of every byte of the file.
  std::string hex_digest() override;

 private:
  struct Slot {
    std::array<char, kChunkBytes> data;
    size_t size = 0;  // 0 marks the end of the stream
  };

  // Reads and hashes chunk number `index` into its slot; false at the end of the stream.
  // `nonblocking`: the reading thread on a descriptor set O_NONBLOCK, which waits in
  // wait_readable() whenever a read finds nothing.
  bool fill(uint64_t index, bool nonblocking);
  // Reading thread, when the file may stall: waits until it has data (or its end, or an
  // error) or stop() was called; false when stopped.
  bool wait_readable();
  void run();
  void stop();
  // Consumer: waits until chunk `index` is published; false when the Interrupt stops it.
  bool wait_produced(uint64_t index);
  Result<std::string_view> end_of_stream() const;

  File& file_;
  std::unique_ptr<Slot[]> slots_;
  Sha256 sha_;
  std::optional<ManifestError> error_;  // written before the end is published
  std::atomic<uint64_t> produced_{0};
  std::atomic<uint64_t> consumed_{0};
  std::atomic<bool> stopping_{false};
  // The consumer's wait: it sets consumer_waiting_ before its last look at produced_, and
  // the producer, after publishing, notifies only when it sees the flag.
  std::atomic<bool> consumer_waiting_{false};
  std::mutex wait_mutex_;
  std::condition_variable ready_;
  int wake_fd_ = -1;  // eventfd signalled by stop(); pipes only
  uint64_t next_ = 0;  // consumer: index of the chunk to hand out next
  bool holding_ = false;
  bool ended_ = false;
  bool threaded_ = false;
  std::thread worker_;
};

}  // namespace zm::io
