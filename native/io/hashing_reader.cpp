#include "io/hashing_reader.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "base/interrupt.h"

namespace zm::io {

HashingChunkReader::HashingChunkReader(File& file, ChunkPreparer* preparer)
    : file_(file), preparer_(preparer), slots_(new Slot[kSlots]) {
  // A regular file or block device always has its next bytes at hand (poll() would say
  // "readable" regardless): those are read plainly. Anything else may stall its reader.
  auto st = file_.stat();
  const bool may_stall = st && !S_ISREG(st->st_mode) && !S_ISBLK(st->st_mode);
  if (may_stall) {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) return;  // no way to release a stalled reading thread: read inline
  }
  // The reading thread's reads of a descriptor that may stall never block: poll() saying
  // "readable" does not guarantee that the bytes are still there when read() runs (another
  // reader of the same FIFO may take them), and a read blocked past a stop could never be
  // woken. The descriptor is this reader's own open, shared with no one else.
  int status = -1;
  if (may_stall) {
    status = ::fcntl(file_.fd(), F_GETFL);
    if (status < 0 || ::fcntl(file_.fd(), F_SETFL, status | O_NONBLOCK) != 0) return;  // read inline
  }
  try {
    worker_ = std::thread([this] { run(); });
    threaded_ = true;
  } catch (const std::system_error&) {
    threaded_ = false;  // no thread to be had: read and hash inline, with blocking reads
    if (may_stall) ::fcntl(file_.fd(), F_SETFL, status);
  }
}

HashingChunkReader::~HashingChunkReader() {
  stop();
  if (wake_fd_ >= 0) ::close(wake_fd_);
}

void HashingChunkReader::stop() {
  if (!threaded_) return;
  stopping_.store(true, std::memory_order_release);
  consumed_.fetch_add(kSlots, std::memory_order_acq_rel);  // frees the producer from any wait
  consumed_.notify_all();
  if (wake_fd_ >= 0) {
    const uint64_t one = 1;
    ssize_t put;
    do {
      put = ::write(wake_fd_, &one, sizeof one);
    } while (put < 0 && errno == EINTR);
  }
  if (worker_.joinable()) worker_.join();
  threaded_ = false;
}

bool HashingChunkReader::wait_readable() {
  pollfd fds[2] = {{file_.fd(), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  for (;;) {
    const int ready = ::poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return true;  // let the read itself report the descriptor's trouble
    }
    if (fds[1].revents != 0) return false;
    if (fds[0].revents != 0) return true;  // data, end of file (POLLHUP) or an error
  }
}

bool HashingChunkReader::fill(uint64_t index, bool nonblocking, size_t backlog) {
  Slot& slot = slots_[index % kSlots];
  auto got = file_.read_some(slot.data.data(), kChunkBytes);
  // Non-blocking reads (threaded, on a descriptor that may stall): nothing there after
  // all, so wait again; a stop while waiting ends the stream where it stands.
  while (!got && nonblocking && got.error().os_error() == EAGAIN) {
    if (!wait_readable()) {
      slot.size = 0;
      return false;
    }
    got = file_.read_some(slot.data.data(), kChunkBytes);
  }
  if (!got) {
    error_ = got.error();
    slot.size = 0;
    return false;
  }
  slot.size = *got;
  if (slot.size == 0) return false;
  sha_.update(slot.data.data(), slot.size);
  if (preparer_ != nullptr) preparer_->prepare(index % kSlots, std::string_view(slot.data.data(), slot.size), backlog);
  return true;
}

void HashingChunkReader::run() {
  interrupt::block_signals_on_helper_thread();
  for (uint64_t i = 0;; ++i) {
    // Wait for the slot of chunk i to be released by the consumer.
    uint64_t c = consumed_.load(std::memory_order_acquire);
    for (; i - c >= kSlots; c = consumed_.load(std::memory_order_acquire)) {
      if (stopping_.load(std::memory_order_acquire)) return;
      consumed_.wait(c, std::memory_order_acquire);
    }
    if (stopping_.load(std::memory_order_acquire)) return;
    // Stopped while the pipe had nothing: the consumer is gone and asks for nothing more.
    if (wake_fd_ >= 0 && !wait_readable()) return;
    const bool more = fill(i, /*nonblocking=*/wake_fd_ >= 0, static_cast<size_t>(i - c));
    produced_.store(i + 1, std::memory_order_seq_cst);
    if (i + 1 >= wake_at_.load(std::memory_order_seq_cst) || !more) {
      std::lock_guard<std::mutex> lock(wait_mutex_);
      ready_.notify_one();
    }
    if (!more) return;
  }
}

bool HashingChunkReader::wait_produced(uint64_t index) {
  // A pipe's data is taken as it comes: its writer may wait for nothing but our reading.
  const uint64_t wake_at = wake_fd_ >= 0 ? index + 1 : index + kWakeBatch;
  std::unique_lock<std::mutex> lock(wait_mutex_);
  for (;;) {
    wake_at_.store(wake_at, std::memory_order_seq_cst);
    if (produced_.load(std::memory_order_seq_cst) > index) break;
    // Bounded, so that the Interrupt is asked while the reading thread waits on a pipe.
    ready_.wait_for(lock, interrupt::kPollInterval);
    if (produced_.load(std::memory_order_acquire) > index) break;
    wake_at_.store(kNotWaiting, std::memory_order_relaxed);
    lock.unlock();  // the check may run for a while; the producer must not wait on it
    const bool stop = interrupt::poll();
    lock.lock();
    if (stop) return false;
  }
  wake_at_.store(kNotWaiting, std::memory_order_relaxed);
  return true;
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
    // The consumer's parsing is long work of its own: it may be stopped between chunks.
    if (interrupt::poll() ||
        (produced_.load(std::memory_order_acquire) <= index && !wait_produced(index))) {
      return fail(ManifestError::io_errno(EINTR));
    }
  } else {
    fill(index, /*nonblocking=*/false, 0);
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

std::optional<size_t> HashingChunkReader::prepared_slot() const {
  if (preparer_ == nullptr || next_ == 0) return std::nullopt;
  return static_cast<size_t>((next_ - 1) % kSlots);
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
