// A small pool for a call's independent pieces of file work: a fixed number of threads
// (the cores, at most kMaxThreads, the calling thread among them), never one per task.
// Tasks start in list order; the call returns when every task has returned. The worker
// threads block every signal, so a signal meant for the caller interrupts the caller's
// own system calls, as before.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <span>

namespace zm::base {

class TaskGroup {
 public:
  static constexpr unsigned kMaxThreads = 4;

  // Threads for `tasks` tasks on this machine: min(cores, kMaxThreads, tasks), at least 1.
  static unsigned threads_for(size_t tasks);

  // Set by request_stop(): long-running tasks check it and return early. Once set, tasks
  // not yet started are not started.
  bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }
  void request_stop() { stop_.store(true, std::memory_order_relaxed); }
  const std::atomic<bool>& stop_flag() const { return stop_; }

  struct Task {
    std::function<void()> run;
    // Runs on the calling thread: work that may block in a system call (a FIFO, a
    // device) stays where a signal can interrupt it.
    bool on_caller = false;
  };

  // Runs every task on at most `threads` threads (1: all inline, in list order). The
  // calling thread runs its own tasks first, then helps with the rest. While it has no
  // task to run it waits for the others and, when `poll` is given, calls it at least every
  // `poll_every`; `poll` returning false requests a stop. An exception thrown by a task
  // requests a stop and is rethrown here once all tasks have returned (the first one).
  void run(std::span<const Task> tasks, unsigned threads,
           const std::function<bool()>& poll = nullptr,
           std::chrono::milliseconds poll_every = std::chrono::milliseconds(50));

 private:
  std::atomic<bool> stop_{false};
};

}  // namespace zm::base
