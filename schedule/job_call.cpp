// The job frame under its lock. A Database is made per call, so a worker thread's
// connection is opened, used and closed on that thread.
#include "schedule/job_call.h"

#include "clock/datetime.h"
#include "convert/error.h"
#include "db/database.h"
#include "jobs/totals.h"
#include "jobs/transfer.h"
#include "schedule/history.h"
#include "schedule/locks.h"

namespace cardsync::schedule {
namespace {

constexpr char kStoppedWhileWaiting[] = "stopped while waiting for another run of the job";
constexpr char kUnknownError[] = "unknown error";

}  // namespace

jobs::JobOutcome DefaultJob(const JobCall& call) {
  db::Database database;
  if (call.kind == jobs::JobKind::Totals) return jobs::RunTotals(database);
  jobs::TransferOptions options;
  options.runDay = call.runDay;
  options.stop = call.stop;
  options.progress = call.progress;
  return jobs::RunTransfer(database, options);
}

jobs::JobOutcome RunUnderJobLock(const Target& target, const JobCall& call, const JobFunction& job,
                                 const std::function<void()>& waiting) {
  jobs::JobOutcome outcome;
  try {
    JobLock lock(target, call.kind);
    if (!lock.Acquire(call.stop, waiting)) {
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

std::string WaitingMessage(const Target& target, jobs::JobKind kind) {
  return "waiting for the other " + std::string(JobName(kind)) + " run on " + target.Text() +
         " to end";
}

}  // namespace cardsync::schedule
