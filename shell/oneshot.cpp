// One job run from the command line. Qt's ODBC driver is a plugin, which wants an
// application object; the caller normally has one, and this makes one otherwise.
#include "shell/oneshot.h"

#include <unistd.h>

#include <QCoreApplication>
#include <atomic>
#include <csignal>
#include <memory>

#include "base/console.h"
#include "base/exit_codes.h"
#include "clock/datetime.h"
#include "schedule/history.h"
#include "schedule/job_call.h"
#include "schedule/locks.h"
#include "schedule/scheduler.h"
#include "schedule/state_folder.h"

namespace cardsync::shell {

using schedule::DayNumber;
using schedule::History;
using schedule::HistoryPath;
using schedule::JobCall;
using schedule::JobLock;
using schedule::RunUnderJobLock;
using schedule::SchedulerSetup;
using schedule::SetupFromSettings;
using schedule::StateError;
using schedule::Target;
using schedule::Trigger;

namespace {

constexpr const char* kClearToEnd = "\x1b[K";

// The job runs on this thread with no event loop, so the handler only sets the flag
// the job checks between records; an atomic store is safe inside a handler.
std::atomic<bool> stopAsked{false};
void AskStop(int) { stopAsked.store(true); }

// SIGTERM and SIGINT stop the run after its current record (or chunk) while this
// lives; the earlier handlers come back after.
class StopOnSignals {
 public:
  StopOnSignals() {
    stopAsked.store(false);
    struct sigaction action {};
    action.sa_handler = AskStop;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, &term_);
    ::sigaction(SIGINT, &action, &interrupt_);
  }
  ~StopOnSignals() {
    ::sigaction(SIGTERM, &term_, nullptr);
    ::sigaction(SIGINT, &interrupt_, nullptr);
  }
  StopOnSignals(const StopOnSignals&) = delete;
  StopOnSignals& operator=(const StopOnSignals&) = delete;

 private:
  struct sigaction term_ {};
  struct sigaction interrupt_ {};
};

}  // namespace

std::unique_ptr<QCoreApplication> ApplicationIfNone() {
  static int argc = 1;
  static char name[] = "cardsync";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() != nullptr) return nullptr;
  return std::make_unique<QCoreApplication>(argc, argv);
}

int RunOnce(jobs::JobKind kind, std::ostream& out, std::ostream& err,
            std::optional<long long> runDay) {
  const std::unique_ptr<QCoreApplication> application = ApplicationIfNone();

  // Read without warnings: the job reads the same file and reports a fault as its outcome.
  const SchedulerSetup setup = SetupFromSettings({});
  const Target& target = setup.target;
  try {
    // A refused lock folder ends the command before anything is begun or recorded.
    JobLock probe(target, kind, Trigger::CommandLine);
  } catch (const StateError& e) {
    console::Write(err, console::Kind::Failed, e.what());
    return kExitCannotCreateState;
  }
  History history(HistoryPath(setup.settings), [&err](const std::string& text) {
    console::Write(err, console::Kind::Warning, text);
  });

  const DateTime began = NowDateTime();
  const std::string stamp = DateTimeText(began);
  const StopOnSignals stopOnSignals;
  JobCall call;
  call.kind = kind;
  call.trigger = Trigger::CommandLine;
  call.runDay = runDay;
  const long long day = runDay.value_or(DayNumber(began));
  call.stop = &stopAsked;
  const bool terminal = ::isatty(STDERR_FILENO) == 1 && &err == &std::cerr;
  if (terminal) {
    // Each line overwrites the last from its start; a shorter one (the next pass's
    // "0 of 12" after "1200 of 1200") would leave the tail of the longer behind, so the
    // rest of the terminal line is cleared (ECMA-48 EL, which every terminal knows).
    call.progress = [&err](int done, int total, int pass) {
      err << "\rpass " << pass << ": " << done << " of " << total << " records" << kClearToEnd
          << std::flush;
    };
  }
  // The row is begun once the job's lock is held: a scheduler starting meanwhile
  // closes the rows of jobs nobody holds, and must not take this one for abandoned.
  long long id = 0;
  const jobs::JobOutcome outcome = RunUnderJobLock(
      target, call,
      [&](const JobCall& locked) {
        // With the lock held no other run is live: rows still running were left by a
        // process that was killed (a cron time limit, a power cut).
        history.CloseLeftRunning(target, NowDateTime(), "a run took the job's lock");
        id = history.BeginRun(kind, day, Trigger::CommandLine, began, target);
        return DefaultJob(locked);
      },
      [&](const std::string& waiting) { err << "cardsync: " << waiting << '\n'
                                            << std::flush; });
  if (terminal && kind == jobs::JobKind::Transfer) err << '\n';
  // A run stopped while it waited, or whose lock failed, is on record too.
  if (id == 0) id = history.BeginRun(kind, day, Trigger::CommandLine, began, target);
  history.EndRun(id, NowDateTime(), outcome);

  // Failures, skipped records and warnings on stderr, where cron mails them and the
  // journal keeps them by priority; the done line on stdout.
  for (const console::Line& line : jobs::OutcomeLines(kind, outcome, stamp))
    console::WriteLogLine(out, err, line);
  switch (outcome.status) {
    case jobs::JobOutcome::Status::Done:
      return kExitDone;
    case jobs::JobOutcome::Status::CouldNotConnect:
      return kExitCouldNotConnect;
    case jobs::JobOutcome::Status::Failed:
    case jobs::JobOutcome::Status::Interrupted:
      break;
  }
  return kExitFailed;
}

}  // namespace cardsync::shell
