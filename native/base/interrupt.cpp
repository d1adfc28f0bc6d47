#include "base/interrupt.h"

#include <pthread.h>
#include <signal.h>

namespace zm {

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadState {
  Interrupt* source = nullptr;
  bool stopped = false;
  Clock::time_point last{};
};

thread_local ThreadState t_state;
thread_local bool t_regular_opens_only = false;

bool ask(ThreadState& state) {
  // check() may run arbitrary code that installs and removes scopes of its own; they
  // restore this thread's state before it returns.
  const bool stop = state.source->check();
  state.stopped = state.stopped || stop;
  state.last = Clock::now();
  return state.stopped;
}

}  // namespace

InterruptScope::InterruptScope(Interrupt& source)
    : source_(t_state.source), stopped_(t_state.stopped), last_(t_state.last) {
  t_state = ThreadState{&source, false, Clock::now()};
}

InterruptScope::~InterruptScope() {
  t_state = ThreadState{source_, stopped_, last_};
}

namespace interrupt {

bool after_eintr() {
  ThreadState& state = t_state;
  if (state.source == nullptr) return false;
  if (state.stopped) return true;
  return ask(state);
}

bool poll() {
  ThreadState& state = t_state;
  if (state.source == nullptr) return false;
  if (state.stopped) return true;
  if (Clock::now() - state.last < kPollInterval) return false;
  return ask(state);
}

bool stopped() {
  return t_state.stopped;
}

void block_signals_on_helper_thread() {
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

RegularOpensOnly::RegularOpensOnly() : previous_(t_regular_opens_only) {
  t_regular_opens_only = true;
}

RegularOpensOnly::~RegularOpensOnly() {
  t_regular_opens_only = previous_;
}

bool regular_opens_only() {
  return t_regular_opens_only;
}

}  // namespace interrupt

}  // namespace zm
