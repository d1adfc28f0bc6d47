// Reads a file from its current offset to its end while the caller consumes it: a second
// thread copies the next few buffers out of the kernel as the caller works on the current
// one, in constant memory (kBuffers x kBufferBytes). Nothing is mapped into memory, so a
// file truncated by another process is only read shorter, never a fault.
//
// Only a regular file whose first read fills a whole buffer gets the thread: a small file,
// a pipe or a device is read on the calling thread, where a signal interrupts a blocking
// read as it would without the reader. Every read goes through one call site, which
// never asks for more than `max_bytes` in total: a bounded caller's limit holds for the
// reader thread too.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include "base/error.h"
#include "io/file.h"

namespace zm::io {

class ReadAhead {
 public:
  static constexpr size_t kBufferBytes = size_t{256} << 10;
  static constexpr size_t kBuffers = 4;

  // `file` must outlive the reader. At most `max_bytes` are read from it in total.
  explicit ReadAhead(File& file, uint64_t max_bytes = UINT64_MAX);
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // The next bytes in file order, valid until the following call; empty at the end of
  // the file. A read error ends the stream with that error, after every byte read before it.
  // While the reader thread runs, the calling thread's Interrupt is polled here as
  // File::read_some polls it; a stop ends the stream with EINTR.
  Result<std::span<const char>> next();

 private:
  Result<size_t> read_into(size_t slot);  // the one read call site
  void produce();
  void stop();

  File& file_;
  uint64_t left_;  // bytes the reads may still ask for; only the reading thread touches it
  std::unique_ptr<char[]> buffers_;
  size_t sizes_[kBuffers] = {};
  std::optional<ManifestError> error_;  // written by the producer before it publishes the end
  std::atomic<uint64_t> produced_{0};   // chunks filled
  std::atomic<uint64_t> consumed_{0};   // chunks handed back
  std::atomic<bool> stopping_{false};
  uint64_t next_ = 0;  // consumer: chunk to hand out next
  bool started_ = false;
  bool ended_ = false;
  std::thread worker_;
};

}  // namespace zm::io
