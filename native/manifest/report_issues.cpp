#include <fmt/format.h>

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

}  // namespace zm
