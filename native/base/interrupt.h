// Stopping long file work from outside. The core never knows who asks it to stop: the
// owner of a call installs an Interrupt for its thread (InterruptScope), and the file
// layer asks it after every system call that a signal interrupted (EINTR) and, while work
// goes on, whenever kPollInterval has passed since it last asked. An answer of "stop"
// ends the work: the operation returns its EINTR error, every file is closed on the way
// out, and from then on the scope answers "stop" at once, so no new wait or open begins.
// A thread without a scope (helper threads, native tests) simply retries on EINTR.
#pragma once

#include <atomic>
#include <chrono>

namespace zm {

class Interrupt {
 public:
  virtual ~Interrupt() = default;
  // True when the work must stop now. Called only on the thread that installed it.
  virtual bool check() = 0;
};

// Carries a stop request from the thread that owns a call to a helper thread it runs:
// the helper installs the flag as its Interrupt, the owner calls request().
class StopFlag final : public Interrupt {
 public:
  void request() { stop_.store(true, std::memory_order_release); }
  bool check() override { return stop_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> stop_{false};
};

// Installs `source` for the calling thread while the scope lives. Scopes nest (an
// Interrupt may itself start work that installs its own); the outer one is restored.
class InterruptScope {
 public:
  explicit InterruptScope(Interrupt& source);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  Interrupt* source_;
  bool stopped_;
  std::chrono::steady_clock::time_point last_;
};

namespace interrupt {

inline constexpr std::chrono::milliseconds kPollInterval{50};

// After a system call failed with EINTR: asks the installed Interrupt now. True: stop.
bool after_eintr();
// As work goes on (cheap: a clock read): asks the installed Interrupt when kPollInterval
// has passed since it was last asked. True: stop.
bool poll();
// True once the installed Interrupt has answered "stop"; asks nothing.
bool stopped();

// Blocks every asynchronous signal on the calling helper thread, so that signals reach
// the thread that owns the call, whose waits run the checks above.
void block_signals_on_helper_thread();

// A helper thread that opens files (a pool worker) cannot be interrupted by a signal, so
// it must never wait in open(): while this scope lives, a read-only open of anything but
// a regular file fails at once with the file-changed error instead of waiting on a FIFO.
// Callers give such threads only files that were regular when checked, so another kind
// found at the open means the entry was swapped in between.
class RegularOpensOnly {
 public:
  RegularOpensOnly();
  ~RegularOpensOnly();
  RegularOpensOnly(const RegularOpensOnly&) = delete;
  RegularOpensOnly& operator=(const RegularOpensOnly&) = delete;

 private:
  bool previous_;
};

// True inside a RegularOpensOnly scope on this thread.
bool regular_opens_only();

}  // namespace interrupt

}  // namespace zm
