// SignalCheck: the binding's Interrupt, which runs the interpreter's signal handlers.
#include <unistd.h>

#include "python/py.h"

namespace zm::py {

// The interpreter handles signals on its main thread, the process's first thread (the
// thread whose id is the process id). Elsewhere PyErr_CheckSignals does nothing, so
// taking the lock there would only slow the work.
SignalCheck::SignalCheck() : main_thread_(::gettid() == ::getpid()) {}

bool SignalCheck::check() {
  if (raised_) return true;
  if (!main_thread_) return false;
  PyEval_RestoreThread(state_);
  raised_ = PyErr_CheckSignals() < 0;
  state_ = PyEval_SaveThread();
  return raised_;
}

}  // namespace zm::py
