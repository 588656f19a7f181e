// [notify] on_failure: a program of the site's own (a mail, a pager call) run after a
// scheduled, caught-up or retried run that failed, could not connect, or was done but
// skipped records, so nobody has to read the log to learn of it. What the run was is
// in its environment (CARDSYNC_JOB, CARDSYNC_DAY, CARDSYNC_OUTCOME, CARDSYNC_MESSAGE,
// CARDSYNC_SKIPPED). The hook never delays or changes the schedule: it runs beside it,
// bounded in time, and how it ended is only reported.
//
// Threading: Run is called from one thread (the scheduler's); each hook is watched by a
// thread of its own, and `report` is called on that thread.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jobs/outcome.h"
#include "schedule/owed.h"

namespace cardsync::schedule {

// What the hook is told of a run.
struct FailureNotice {
  jobs::JobKind kind = jobs::JobKind::Transfer;
  long long day = 0;  // the run day
  jobs::JobOutcome::Status status = jobs::JobOutcome::Status::Failed;
  std::string message;
  std::size_t skipped = 0;
};

// True for a run the hook is for: scheduled, caught up or retried (a run by hand has
// someone watching it), and failed, could not connect, or done with records skipped.
bool CallsForHook(Trigger trigger, const jobs::JobOutcome& outcome);

// The variables added to the hook's environment, in this order: CARDSYNC_JOB
// (transfer|totals), CARDSYNC_DAY (YYYY-MM-DD), CARDSYNC_OUTCOME (done, failed, could
// not connect), CARDSYNC_MESSAGE, CARDSYNC_SKIPPED (a count).
std::vector<std::pair<std::string, std::string>> HookEnvironment(const FailureNotice& notice);

class FailureHook {
 public:
  static constexpr std::chrono::milliseconds kDefaultLimit{30000};
  // How a hook ended, as one line: `ok` when it exited 0. Lines read "on_failure hook
  // exited N[: first line of its output]", "on_failure hook killed after N s[: ...]",
  // "on_failure hook ended by signal N[: ...]" or "on_failure hook could not be started:
  // program: why".
  using Report = std::function<void(bool ok, const std::string& line)>;

  // `command` is split as a command line without a shell (QProcess::splitCommand); an
  // empty one runs nothing. A hook still running after `limit` gets SIGTERM, and SIGKILL
  // a second later, with every process it started.
  FailureHook(const std::string& command, Report report,
              std::chrono::milliseconds limit = kDefaultLimit);
  // Waits for hooks still running, each at most its limit: the hook is how someone
  // learns of a failure, and a stop right after one must not swallow it.
  ~FailureHook();
  FailureHook(const FailureHook&) = delete;
  FailureHook& operator=(const FailureHook&) = delete;

  bool Configured() const { return !arguments_.empty(); }
  // Starts the hook for `notice` and returns at once.
  void Run(const FailureNotice& notice);

 private:
  struct Watch;
  void Watched(const std::vector<std::pair<std::string, std::string>>& environment);

  std::vector<std::string> arguments_;
  Report report_;
  std::chrono::milliseconds limit_;
  std::mutex mutex_;
  std::vector<std::shared_ptr<Watch>> watches_;
};

}  // namespace cardsync::schedule
