// The log lines of one job run. The window and the one-shot command line both
// print these, so the wording of every outcome lives only here.
#include "jobs/outcome.h"

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
constexpr std::size_t kSkippedListed = 10;

}  // namespace

std::vector<std::string> OutcomeLogLines(JobKind kind, const JobOutcome& outcome,
                                         const std::string& stamp) {
  std::vector<std::string> lines;
  const bool transfer = kind == JobKind::Transfer;
  switch (outcome.status) {
    case JobOutcome::Status::Done:
      lines.push_back(stamp + (transfer ? kTransferDone : kTotalsDone));
      break;
    case JobOutcome::Status::CouldNotConnect:
      lines.push_back(stamp + kCouldNotConnect + outcome.message);
      break;
    case JobOutcome::Status::Failed:
      lines.push_back(stamp + (transfer ? kTransferFailed : kTotalsFailed) + outcome.message);
      break;
    case JobOutcome::Status::Interrupted:
      lines.push_back(stamp + (transfer ? kTransferInterrupted : kTotalsInterrupted) +
                      outcome.message);
      break;
  }
  if (!outcome.skipped.empty()) {
    std::string line =
        stamp + kSkippedBefore + std::to_string(outcome.skipped.size()) + kSkippedAfter;
    for (std::size_t i = 0; i < outcome.skipped.size() && i < kSkippedListed; ++i) {
      if (i > 0) line += ", ";
      line += outcome.skipped[i].orderId;
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

}  // namespace cardsync::jobs
