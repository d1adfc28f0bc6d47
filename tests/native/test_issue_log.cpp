// Issue recording: a phase recorded on its own and replayed onto the report must leave exactly the list that appending
// directly would have left, whatever the list held before (the bounded append depends on it); the task pool runs each
// task once and hands back a task's exception.
#include <algorithm>
#include <random>
#include <stdexcept>
#include <thread>

#include "base/task_group.h"
#include "check.h"
#include "manifest/issue_log.h"

using namespace zm;

namespace {

enum Kind { Bounded, Plain, PlainOnList, PlainIfAbsent, BoundedIfAbsent };

// Random appends, mostly bounded as a row map makes them; each message is unique.
void apply_random(std::mt19937_64 rng, size_t n, uint64_t serial, IssueLog& log, std::vector<ReportIssue>& list) {
  static const Kind kKinds[10] = {Bounded, Bounded, Bounded,     Bounded,       Bounded,
                                  Bounded, Plain,   PlainOnList, PlainIfAbsent, BoundedIfAbsent};
  for (size_t i = 0; i < n; ++i) {
    const Kind kind = kKinds[rng() % 10];
    const std::string code(1, static_cast<char>('a' + rng() % 3)), message = std::to_string(serial++);
    if (kind == Bounded) log.add_bounded(code, message);
    if (kind == Plain) log.add(code, message);
    if (kind == PlainOnList) list.push_back({code, message});  // as VerificationReport::error does, past the log
    if (kind == PlainIfAbsent) log.add_if_absent(code, message);
    if (kind == BoundedIfAbsent) log.add_bounded_if_absent(code, message);
  }
}

}  // namespace

TEST(replayed_recordings_equal_direct_appends) {
  std::mt19937_64 rng(20240501);
  uint64_t serial = 0;
  int mismatches = 0;
  for (int trial = 0; trial < 20000; ++trial) {
    const uint64_t max = rng() % 7;
    // The list before the phases: any state direct appends can reach, over the limit too.
    std::vector<ReportIssue> direct;
    {
      IssueLog log(direct, max, IssueLog::Mode::Direct);
      apply_random(std::mt19937_64(rng()), rng() % 14, serial += 100, log, direct);
    }
    std::vector<ReportIssue> replayed = direct;
    // Up to three phases, each recorded on its own, replayed in order.
    for (int p = 0, phases = 1 + static_cast<int>(rng() % 3); p < phases; ++p) {
      const uint64_t seed = rng(), n = rng() % 24;
      serial += 100;
      IssueLog direct_log(direct, max, IssueLog::Mode::Direct);
      apply_random(std::mt19937_64(seed), n, serial, direct_log, direct);
      std::vector<ReportIssue> recording;
      IssueLog recorder(recording, max, IssueLog::Mode::Recording);
      apply_random(std::mt19937_64(seed), n, serial, recorder, recording);
      recorder.replay_onto(replayed);
    }
    const auto same = [](const ReportIssue& a, const ReportIssue& b) {
      return a.code == b.code && a.message == b.message;
    };
    if (!std::equal(direct.begin(), direct.end(), replayed.begin(), replayed.end(), same)) ++mismatches;
  }
  CHECK_EQ(mismatches, 0);
}

TEST(recording_keeps_max_plus_one_bounded_appends) {
  std::vector<ReportIssue> recording;
  IssueLog recorder(recording, 3, IssueLog::Mode::Recording);
  for (int i = 0; i < 100000; ++i) recorder.add_bounded("row", std::to_string(i));
  CHECK_EQ(recording.size(), size_t{4});
  CHECK(recorder.bounded_settled());
  std::vector<ReportIssue> target{{"x", "1"}, {"y", "2"}};
  recorder.replay_onto(target);
  CHECK(target.size() == 3 && target[1].code == "y" && target[2].code == kIssueLimitCode);
}

TEST(task_group_runs_each_task_once_and_rethrows) {
  for (unsigned threads : {1u, 2u, 4u}) {
    std::vector<int> runs(9, 0);
    std::thread::id caller_task_thread;
    std::vector<base::TaskGroup::Task> tasks;
    for (size_t i = 0; i < runs.size(); ++i) tasks.push_back({[&runs, i] { ++runs[i]; }});
    tasks[4] = {[&] {
                  ++runs[4];
                  caller_task_thread = std::this_thread::get_id();
                },
                true};
    base::TaskGroup group;
    group.run(tasks, threads);
    CHECK(runs == std::vector<int>(9, 1) && caller_task_thread == std::this_thread::get_id());
    tasks[2] = {[] { throw std::runtime_error("task failed"); }};
    base::TaskGroup failing;
    bool thrown = false;
    try {
      failing.run(tasks, threads);
    } catch (const std::runtime_error&) {
      thrown = true;
    }
    CHECK(thrown && failing.stop_requested());
  }
}
