#include <fmt/format.h>

#include "manifest/issue_log.h"
#include "manifest/report.h"

namespace zm {

namespace {
std::string limit_message(uint64_t max) {
  return fmt::format("verification report issue count exceeded max_report_issues={}", max);
}
size_t keep_before_limit_issue(uint64_t max) {
  return max == 0 ? 0 : static_cast<size_t>(max - 1);
}
}  // namespace

void push_report_issue_bounded(std::vector<ReportIssue>& issues, uint64_t max_report_issues, std::string_view code,
                               std::string message) {
  if (issues.size() < max_report_issues) {
    issues.push_back({std::string(code), std::move(message)});
    return;
  }
  for (const auto& issue : issues) {
    if (issue.code == kIssueLimitCode) return;
  }
  size_t keep = keep_before_limit_issue(max_report_issues);
  if (issues.size() > keep) issues.resize(keep);
  issues.push_back({kIssueLimitCode, limit_message(max_report_issues)});
}

void cap_report_issues(std::vector<ReportIssue>& issues, uint64_t max_report_issues) {
  if (issues.size() <= max_report_issues) return;
  std::erase_if(issues, [](const ReportIssue& i) { return i.code == kIssueLimitCode; });
  size_t keep = keep_before_limit_issue(max_report_issues);
  if (issues.size() > keep) issues.resize(keep);
  issues.push_back({kIssueLimitCode, limit_message(max_report_issues)});
}


// ---------------------------------------------------------------- IssueLog

namespace {
bool holds_code(const std::vector<ReportIssue>& issues, std::string_view code) {
  for (const auto& issue : issues) {
    if (issue.code == code) return true;
  }
  return false;
}

// Applies bounded appends to one list, skipping the scan for the limit issue once the list
// has settled: a bounded append that found the list full leaves it at max_report_issues
// or more issues with the limit issue among them, and no later append removes either.
class BoundedTarget {
 public:
  BoundedTarget(std::vector<ReportIssue>& list, uint64_t max) : list_(list), max_(max) {}
  void push(std::string_view code, std::string message) {
    if (settled_) return;
    const bool full = list_.size() >= max_;
    push_report_issue_bounded(list_, max_, code, std::move(message));
    if (full) settled_ = true;
  }
  bool settled() const { return settled_; }

 private:
  std::vector<ReportIssue>& list_;
  uint64_t max_;
  bool settled_ = false;
};
}  // namespace

void IssueLog::record(Op op, std::string_view code, std::string message) {
  marks_.emplace_back(list_.size(), op);
  list_.push_back({std::string(code), std::move(message)});
}

void IssueLog::add(std::string_view code, std::string message) {
  list_.push_back({std::string(code), std::move(message)});
}

void IssueLog::add_bounded(std::string_view code, std::string message) {
  if (settled_) return;
  if (mode_ == Mode::Recording) {
    record(Op::Bounded, code, std::move(message));
    // Replayed, each of the first max bounded appends either adds an issue or finds the
    // list full; one more always finds it full: after that every bounded append is void.
    if (++bounded_recorded_ > max_) settled_ = true;
    return;
  }
  const bool full = list_.size() >= max_;
  push_report_issue_bounded(list_, max_, code, std::move(message));
  if (full) settled_ = true;
}

void IssueLog::add_if_absent(std::string_view code, std::string message) {
  if (mode_ == Mode::Recording) {
    record(Op::PlainIfAbsent, code, std::move(message));
  } else if (!holds_code(list_, code)) {
    add(code, std::move(message));
  }
}

void IssueLog::add_bounded_if_absent(std::string_view code, std::string message) {
  if (settled_) return;
  if (mode_ == Mode::Recording) {
    // Not counted towards settling: it may be skipped when replayed.
    record(Op::BoundedIfAbsent, code, std::move(message));
  } else if (!holds_code(list_, code)) {
    add_bounded(code, std::move(message));
  }
}

void IssueLog::replay_onto(std::vector<ReportIssue>& target) {
  BoundedTarget bounded(target, max_);
  size_t next_mark = 0;
  for (size_t i = 0; i < list_.size(); ++i) {
    Op op = Op::Plain;
    if (next_mark < marks_.size() && marks_[next_mark].first == i) op = marks_[next_mark++].second;
    ReportIssue& issue = list_[i];
    switch (op) {
      case Op::Plain:
        target.push_back(std::move(issue));
        break;
      case Op::Bounded:
        bounded.push(issue.code, std::move(issue.message));
        break;
      case Op::PlainIfAbsent:
        if (!holds_code(target, issue.code)) target.push_back(std::move(issue));
        break;
      case Op::BoundedIfAbsent:
        if (!bounded.settled() && !holds_code(target, issue.code)) bounded.push(issue.code, std::move(issue.message));
        break;
    }
  }
  list_.clear();
  marks_.clear();
  bounded_recorded_ = 0;
  settled_ = false;
}

}  // namespace zm
