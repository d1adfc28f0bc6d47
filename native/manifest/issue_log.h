// Where a verification step appends its issues. The result never depends on where a step
// ran: a step that appends straight to the report's list and the same step recorded on its
// own and replayed onto that list later, with any issues already in it, leave the same list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "manifest/report.h"

namespace zm {

class IssueLog {
 public:
  enum class Mode {
    Direct,     // every append applies to the list at once
    Recording,  // the list holds this log's issues only, to be replayed elsewhere
  };

  // `list` must outlive the log. In Recording mode it starts empty, and plain appends
  // may also be made to it directly (VerificationReport::error); nothing else may change it.
  IssueLog(std::vector<ReportIssue>& list, uint64_t max_report_issues, Mode mode)
      : list_(list), max_(max_report_issues), mode_(mode) {}
  IssueLog(const IssueLog&) = delete;
  IssueLog& operator=(const IssueLog&) = delete;

  uint64_t max_report_issues() const { return max_; }

  // Plain append, without bound.
  void add(std::string_view code, std::string message);
  // push_report_issue_bounded.
  void add_bounded(std::string_view code, std::string message);
  // These two do nothing when the list holds an issue with `code` at the time they apply.
  void add_if_absent(std::string_view code, std::string message);
  void add_bounded_if_absent(std::string_view code, std::string message);

  // True once no further bounded append can change the list: a caller may stop composing
  // bounded messages. (In Recording mode, after max_report_issues + 1 bounded appends:
  // by then the list they are replayed onto has collapsed into the limit issue whatever
  // it held before, so the rest are not recorded, which keeps the recording bounded.)
  bool bounded_settled() const { return settled_; }

  // Recording mode: appends this log's issues to `target` exactly as the same appends
  // made directly on `target` would have. Leaves the recording empty.
  void replay_onto(std::vector<ReportIssue>& target);

 private:
  enum class Op : uint8_t { Plain, Bounded, PlainIfAbsent, BoundedIfAbsent };
  void record(Op op, std::string_view code, std::string message);

  std::vector<ReportIssue>& list_;
  uint64_t max_;
  Mode mode_;
  bool settled_ = false;
  uint64_t bounded_recorded_ = 0;
  std::vector<std::pair<size_t, Op>> marks_;  // Recording: the non-plain appends, by index in list_
};

}  // namespace zm
