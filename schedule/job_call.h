// One run of a job as the scheduler and --run ask for it: which job, why, which day it
// serves, a stop flag and a progress callback; and the frame that holds the job's lock
// around it. Runs on whatever thread calls it, with a connection of that thread's own.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "clock/datetime.h"
#include "jobs/outcome.h"
#include "schedule/locks.h"
#include "schedule/owed.h"
#include "schedule/settings.h"

namespace cardsync::schedule {

struct JobCall {
  jobs::JobKind kind = jobs::JobKind::Transfer;
  Trigger trigger = Trigger::Clicked;
  // Set: the run serves this earlier day and names it. Unset: the job's own texts.
  std::optional<long long> runDay;
  bool onTime = false;  // asked in the job's own second
  const std::atomic<bool>* stop = nullptr;
  std::function<void(int done, int total, int pass)> progress;
  // The workstation's clock the run's day is counted on; the server's is measured against it.
  std::function<DateTime()> clock = NowDateTime;
};

using JobFunction = std::function<jobs::JobOutcome(const JobCall&)>;

// The real jobs, on a db::Database made here, on the calling thread.
jobs::JobOutcome DefaultJob(const JobCall& call);

// Runs `job` holding the lock of `target`, which every run against it takes, transfer
// or totals, waiting for another run to end first (`waiting` is told once, with
// WaitingMessage's text). Never throws: an escaping error, a refused lock folder
// among them, is a failed run.
jobs::JobOutcome RunUnderJobLock(const Target& target, const JobCall& call, const JobFunction& job,
                                 const std::function<void(const std::string&)>& waiting);

// "统计 waits for 解析 to end on <target>", and which process runs it when another one
// does, as the window's log and --run's stderr show it; the jobs by their buttons' names.
std::string WaitingMessage(const Target& target, jobs::JobKind kind, const LockHolder& holder);

}  // namespace cardsync::schedule
