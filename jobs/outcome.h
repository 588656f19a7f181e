// What a job run returns to its caller, and the log lines built from it. The
// window (stamped with its clock label) and the one-shot command line (stamped
// with the moment the run began) print the same lines.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/console.h"

namespace cardsync::jobs {

enum class JobKind { Transfer, Totals };

struct SkippedRecord {
  std::string orderId;
  std::string reason;  // the error text that made the record be skipped
};

struct JobOutcome {
  // Interrupted: a stop was asked for between two records; what was written stays.
  enum class Status { Done, CouldNotConnect, Failed, Interrupted };
  Status status = Status::Done;
  // CouldNotConnect: why the connection failed. Failed: the error that stopped the job.
  std::string message;
  int read = 0;
  int inserted = 0;
  int updated = 0;
  std::vector<SkippedRecord> skipped;
  // A transfer: the server's date whose cards it selected (the ordinary cards and the
  // earlier special cards are of the day before), as yyyymmdd; 0 when not known.
  long long serverDay = 0;
  // Said beside the outcome, whatever it is: a workstation clock far from the server's.
  std::vector<std::string> warnings;
  // How far the workstation's clock was behind the server's, time zones aside, in days;
  // unset when the server's clock was not read (no connection).
  std::optional<double> clockSkewDays;
};

// The log lines of one run, each starting with `stamp`:
//   Done:            stamp + "处理数据!" (transfer) or stamp + "统计数据!" (totals)
//   CouldNotConnect: stamp + "数据库连接失败! " + message
//   Failed:          stamp + "处理数据失败: " or "统计数据失败: " + message
//   Interrupted:     stamp + "处理数据中断: " or "统计数据中断: " + message
// then one line per warning: stamp + " warning: " + warning,
// and then, when records were skipped: stamp + "跳过 N 条记录: " + the first ten order_ids, ",
// "-separated, followed by one line per distinct reason, in the order each first came up:
// stamp + "跳过原因: " + reason + " (N 条): " + the first ten order_ids skipped for it.
std::vector<std::string> OutcomeLogLines(JobKind kind, const JobOutcome& outcome,
                                         const std::string& stamp);

// The same lines, each with its kind, for the command line to put where it is watched:
// Done the done line; Failed the failed and could-not-connect lines; Warning an
// interrupted run's line (a stop asked for, no fault) and the warnings; Skipped the
// skipped-record lines.
std::vector<console::Line> OutcomeLines(JobKind kind, const JobOutcome& outcome,
                                        const std::string& stamp);

}  // namespace cardsync::jobs
