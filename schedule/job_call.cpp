// The job frame under its lock. A Database is made per call, so a worker thread's
// connection is opened, used and closed on that thread.
#include "schedule/job_call.h"

#include "base/error.h"
#include "clock/datetime.h"
#include "db/database.h"
#include "jobs/totals.h"
#include "jobs/transfer.h"
#include "schedule/history.h"
#include "schedule/locks.h"

namespace cardsync::schedule {
namespace {

constexpr char kStoppedWhileWaiting[] = "stopped while waiting for another run to end";
constexpr char kUnknownError[] = "unknown error";
// The jobs as their buttons name them, which is how the window's user knows them.
constexpr char kTransferName[] = "解析";
constexpr char kTotalsName[] = "统计";
constexpr char kCommandLine[] = "cardsync --run";
constexpr char kScheduler[] = "a window or cardsync --headless";
constexpr char kAnyRun[] = "cardsync --run, --headless or another window";

const char* ButtonName(jobs::JobKind kind) {
  return kind == jobs::JobKind::Transfer ? kTransferName : kTotalsName;
}

}  // namespace

jobs::JobOutcome DefaultJob(const JobCall& call) {
  db::Database database;
  database.SetStopFlag(call.stop);
  if (call.kind == jobs::JobKind::Totals)
    return jobs::RunTotals(database, call.runDay, call.clock ? call.clock : NowDateTime);
  jobs::TransferOptions options;
  options.runDay = call.runDay;
  options.onTime = call.onTime;
  if (call.clock) options.clock = call.clock;
  options.stop = call.stop;
  options.progress = call.progress;
  return jobs::RunTransfer(database, options);
}

jobs::JobOutcome RunUnderJobLock(const Target& target, const JobCall& call, const JobFunction& job,
                                 const std::function<void(const std::string&)>& waiting) {
  jobs::JobOutcome outcome;
  try {
    JobLock lock(target, call.kind, call.trigger);
    const auto told = [&](const LockHolder& holder) {
      if (waiting) waiting(WaitingMessage(target, call.kind, holder));
    };
    if (!lock.Acquire(call.stop, told)) {
      outcome.status = jobs::JobOutcome::Status::Interrupted;
      outcome.message = kStoppedWhileWaiting;
      return outcome;
    }
    outcome = job(call);
  } catch (const std::exception& e) {
    outcome.status = jobs::JobOutcome::Status::Failed;
    outcome.message = e.what();
  } catch (...) {
    outcome.status = jobs::JobOutcome::Status::Failed;
    outcome.message = kUnknownError;
  }
  return outcome;
}

std::string WaitingMessage(const Target& target, jobs::JobKind kind, const LockHolder& holder) {
  const std::string on = " on " + target.Text();
  if (!holder.kind) {
    return std::string(ButtonName(kind)) + " waits for a run in another process to end" + on +
           " (" + kAnyRun + ")";
  }
  std::string text =
      std::string(ButtonName(kind)) + " waits for " + ButtonName(*holder.kind) + " to end" + on;
  if (!holder.inThisProcess) {
    text += ", run by " +
            std::string(holder.trigger == Trigger::CommandLine ? kCommandLine : kScheduler) +
            " (process " + std::to_string(holder.pid) + ")";
  }
  return text;
}

}  // namespace cardsync::schedule
