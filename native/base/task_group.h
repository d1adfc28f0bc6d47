// A small pool for a call's independent pieces of file work: a fixed number of threads
// (the cores, at most kMaxThreads, the calling thread among them), never one per task.
// Tasks start in list order; run() returns when every task has returned.
//
// Interruption: the worker threads block every signal (signals stay with the caller,
// whose waits run its Interrupt's checks) and run their tasks under the group's stop flag
// as their Interrupt (base/interrupt.h), so a stop ends their file work as an interrupted
// read would. The group stops when the caller's Interrupt says stop (asked at least every
// kPollInterval while the caller waits) or when request_stop() is called, e.g. by a task
// whose failure makes the others' work useless; tasks not started by then never start.
#pragma once

#include <cstddef>
#include <functional>
#include <span>

#include "base/interrupt.h"

namespace zm::base {

class TaskGroup {
 public:
  static constexpr unsigned kMaxThreads = 4;

  struct Task {
    std::function<void()> run;
    // Runs on the calling thread: work that may block in a system call (a FIFO, a
    // device) stays where a signal can interrupt it.
    bool on_caller = false;
  };

  // Threads for `tasks` tasks on this machine: min(cores + extra, kMaxThreads, tasks), at
  // least 1, and 1 on a single core. `extra` lets tasks whose own helper threads leave a
  // core idle at times (waiting on each other) keep every core busy.
  static unsigned threads_for(size_t tasks, unsigned extra = 0);

  void request_stop() { stop_.request(); }
  bool stop_requested() const { return stop_.check(); }

  // Runs every task on at most `threads` threads (1: all inline, in list order). The
  // calling thread runs its own tasks first, then helps with the rest. An exception thrown
  // by a task stops the group and is rethrown here once all tasks have returned (the first).
  void run(std::span<const Task> tasks, unsigned threads);

 private:
  mutable StopFlag stop_;
};

}  // namespace zm::base
