#include "base/task_group.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace zm::base {

unsigned TaskGroup::threads_for(size_t tasks, unsigned extra) {
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  const size_t n = std::min<size_t>({cores == 1 ? 1 : cores + extra, kMaxThreads, tasks});
  return n == 0 ? 1 : static_cast<unsigned>(n);
}

void TaskGroup::run(std::span<const Task> tasks, unsigned threads) {
  const size_t n = tasks.size();
  const auto on_caller = [](const Task& t) { return t.on_caller; };
  if (threads <= 1 || n <= 1 || std::all_of(tasks.begin(), tasks.end(), on_caller)) {
    for (const auto& task : tasks) {
      if (stop_requested()) break;
      try {
        task.run();
      } catch (...) {
        request_stop();
        throw;
      }
      if (interrupt::stopped()) request_stop();
    }
    return;
  }

  std::atomic<size_t> next{0};
  std::mutex mutex;
  std::condition_variable finished;
  size_t done = 0;
  std::exception_ptr error;
  auto run_one = [&](const Task& task) {
    if (!stop_requested()) {
      try {
        task.run();
      } catch (...) {
        request_stop();
        std::lock_guard lock(mutex);
        if (!error) error = std::current_exception();
      }
    }
    {
      std::lock_guard lock(mutex);
      ++done;
    }
    finished.notify_all();
  };
  // Shared tasks go to whichever thread is free, in list order.
  auto work = [&] {
    for (size_t i = next.fetch_add(1); i < n; i = next.fetch_add(1)) {
      if (!tasks[i].on_caller) run_one(tasks[i]);
    }
  };

  // Workers start with every signal blocked (a new thread inherits the mask), so they
  // never take a signal the caller's system calls should see.
  std::vector<std::thread> workers;
  workers.reserve(threads - 1);
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  for (unsigned k = 1; k < threads; ++k) {
    try {
      workers.emplace_back([&] {
        InterruptScope scope(stop_);
        interrupt::RegularOpensOnly regular_only;  // no signal could end a wait in open()
        work();
      });
    } catch (const std::system_error&) {
      break;  // fewer threads: the caller takes the rest
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);

  // The caller's own Interrupt is asked after each of its tasks and while it waits.
  for (const auto& task : tasks) {
    if (!task.on_caller) continue;
    run_one(task);
    if (interrupt::stopped()) request_stop();
  }
  work();
  if (interrupt::stopped()) request_stop();
  {
    std::unique_lock lock(mutex);
    while (done < n) {
      finished.wait_for(lock, interrupt::kPollInterval);
      if (done == n || stop_requested()) continue;
      lock.unlock();
      const bool stop = interrupt::poll();
      lock.lock();
      if (stop) request_stop();
    }
  }
  for (auto& w : workers) w.join();
  if (error) std::rethrow_exception(error);
}

}  // namespace zm::base
