// Issue recording: a phase recorded on its own and replayed onto the report must leave
// exactly the list that appending directly would have left, whatever the list held before
// (the bounded append depends on it); the task pool runs each task once and hands back
// a task's exception.
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "base/task_group.h"
#include "check.h"
#include "manifest/issue_log.h"

using namespace zm;

namespace {

enum class Kind { Plain, PlainOnList, Bounded, PlainIfAbsent, BoundedIfAbsent };
struct Op {
  Kind kind;
  std::string code;
  std::string message;
};

std::vector<Op> random_ops(std::mt19937_64& rng, size_t n, uint64_t& serial) {
  static const char* kCodes[] = {"a", "b", "c"};
  std::vector<Op> ops;
  for (size_t i = 0; i < n; ++i) {
    // Mostly bounded appends, as a row map makes them.
    const uint64_t r = rng() % 10;
    const Kind kind = r < 5 ? Kind::Bounded
                      : r < 7 ? (rng() % 2 ? Kind::Plain : Kind::PlainOnList)
                      : r < 8 ? Kind::PlainIfAbsent
                      : r < 9 ? Kind::BoundedIfAbsent
                              : Kind::Bounded;
    ops.push_back({kind, kCodes[rng() % 3], std::to_string(serial++)});
  }
  return ops;
}

void apply(IssueLog& log, std::vector<ReportIssue>& list, const std::vector<Op>& ops) {
  for (const Op& op : ops) {
    switch (op.kind) {
      case Kind::Plain:
        log.add(op.code, op.message);
        break;
      case Kind::PlainOnList:  // as VerificationReport::error does, past the log
        list.push_back({op.code, op.message});
        break;
      case Kind::Bounded:
        log.add_bounded(op.code, op.message);
        break;
      case Kind::PlainIfAbsent:
        log.add_if_absent(op.code, op.message);
        break;
      case Kind::BoundedIfAbsent:
        log.add_bounded_if_absent(op.code, op.message);
        break;
    }
  }
}

bool same(const std::vector<ReportIssue>& a, const std::vector<ReportIssue>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].code != b[i].code || a[i].message != b[i].message) return false;
  }
  return true;
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
      apply(log, direct, random_ops(rng, rng() % 14, serial));
    }
    std::vector<ReportIssue> replayed = direct;
    // Up to three phases, each recorded on its own, replayed in order.
    const int phases = 1 + static_cast<int>(rng() % 3);
    for (int p = 0; p < phases; ++p) {
      const std::vector<Op> ops = random_ops(rng, rng() % 24, serial);
      IssueLog direct_log(direct, max, IssueLog::Mode::Direct);
      apply(direct_log, direct, ops);
      std::vector<ReportIssue> recording;
      IssueLog recorder(recording, max, IssueLog::Mode::Recording);
      apply(recorder, recording, ops);
      recorder.replay_onto(replayed);
    }
    if (!same(direct, replayed)) ++mismatches;
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
  CHECK_EQ(target.size(), size_t{3});
  CHECK_EQ(target[1].code, std::string("y"));
  CHECK_EQ(target[2].code, std::string(kIssueLimitCode));
}

TEST(task_group_runs_each_task_once_and_rethrows) {
  const unsigned threads[] = {1, 2, 4};
  for (unsigned t : threads) {
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
    group.run(tasks, t);
    CHECK(runs == std::vector<int>(9, 1));
    CHECK(caller_task_thread == std::this_thread::get_id());

    tasks[2] = {[] { throw std::runtime_error("task failed"); }};
    base::TaskGroup failing;
    bool thrown = false;
    try {
      failing.run(tasks, t);
    } catch (const std::runtime_error&) {
      thrown = true;
    }
    CHECK(thrown);
    CHECK(failing.stop_requested());
  }
}
