// The log lines of one job run. The window and the one-shot command line both
// print these, so the wording of every outcome lives only here.
#include "jobs/outcome.h"

#include <algorithm>
#include <utility>

#include "convert/log_text.h"

namespace cardsync::jobs {
namespace {

constexpr const char* kTransferDone = "处理数据!";
constexpr const char* kTotalsDone = "统计数据!";
constexpr const char* kTransferFailed = "处理数据失败: ";
constexpr const char* kTotalsFailed = "统计数据失败: ";
constexpr const char* kTransferInterrupted = "处理数据中断: ";
constexpr const char* kTotalsInterrupted = "统计数据中断: ";
constexpr const char* kCouldNotConnect = "数据库连接失败! ";
constexpr const char* kSkippedBefore = "跳过 ";
constexpr const char* kSkippedAfter = " 条记录: ";
constexpr const char* kReasonBefore = "跳过原因: ";
constexpr const char* kReasonCountBefore = " (";
constexpr const char* kReasonCountAfter = " 条): ";
constexpr std::size_t kSkippedListed = 10;
constexpr const char* kWarning = " warning: ";

// The first ten order_ids of `records`, ", "-separated.
std::string FirstIds(const std::vector<const SkippedRecord*>& records) {
  std::string ids;
  for (std::size_t i = 0; i < records.size() && i < kSkippedListed; ++i) {
    if (i > 0) ids += ", ";
    ids += LogText(records[i]->orderId);
  }
  return ids;
}

}  // namespace

std::vector<std::string> OutcomeLogLines(JobKind kind, const JobOutcome& outcome,
                                         const std::string& stamp) {
  std::vector<std::string> lines;
  for (console::Line& line : OutcomeLines(kind, outcome, stamp))
    lines.push_back(std::move(line.text));
  return lines;
}

std::vector<console::Line> OutcomeLines(JobKind kind, const JobOutcome& outcome,
                                        const std::string& stamp) {
  using console::Kind;
  std::vector<console::Line> lines;
  const bool transfer = kind == JobKind::Transfer;
  switch (outcome.status) {
    case JobOutcome::Status::Done:
      lines.push_back({Kind::Done, stamp + (transfer ? kTransferDone : kTotalsDone)});
      break;
    case JobOutcome::Status::CouldNotConnect:
      lines.push_back({Kind::Failed, stamp + kCouldNotConnect + LogText(outcome.message)});
      break;
    case JobOutcome::Status::Failed:
      lines.push_back({Kind::Failed, stamp + (transfer ? kTransferFailed : kTotalsFailed) +
                                         LogText(outcome.message)});
      break;
    case JobOutcome::Status::Interrupted:
      lines.push_back({Kind::Warning, stamp +
                                          (transfer ? kTransferInterrupted : kTotalsInterrupted) +
                                          LogText(outcome.message)});
      break;
  }
  for (const std::string& warning : outcome.warnings)
    lines.push_back({Kind::Warning, stamp + kWarning + LogText(warning)});
  if (outcome.skipped.empty()) return lines;
  std::vector<const SkippedRecord*> all;
  for (const SkippedRecord& record : outcome.skipped) all.push_back(&record);
  lines.push_back({Kind::Skipped, stamp + kSkippedBefore + std::to_string(all.size()) +
                                      kSkippedAfter + FirstIds(all)});
  // Then why, one line per distinct reason in the order the reasons first came up.
  std::vector<std::pair<std::string, std::vector<const SkippedRecord*>>> reasons;
  for (const SkippedRecord& record : outcome.skipped) {
    auto group = std::find_if(reasons.begin(), reasons.end(),
                              [&record](const auto& r) { return r.first == record.reason; });
    if (group == reasons.end()) group = reasons.insert(reasons.end(), {record.reason, {}});
    group->second.push_back(&record);
  }
  for (const auto& [reason, records] : reasons) {
    lines.push_back({Kind::Skipped, stamp + kReasonBefore + LogText(reason) + kReasonCountBefore +
                                        std::to_string(records.size()) + kReasonCountAfter +
                                        FirstIds(records)});
  }
  return lines;
}

}  // namespace cardsync::jobs
