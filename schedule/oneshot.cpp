// One job run from the command line. Qt's ODBC driver is a plugin, which wants an
// application object; the caller normally has one, and this makes one otherwise.
#include "schedule/oneshot.h"

#include <unistd.h>

#include <QCoreApplication>
#include <memory>

#include "clock/datetime.h"
#include "db/connection_settings.h"
#include "schedule/history.h"
#include "schedule/job_call.h"

namespace cardsync::schedule {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitCouldNotConnect = 2;

}  // namespace

std::unique_ptr<QCoreApplication> ApplicationIfNone() {
  static int argc = 1;
  static char name[] = "cardsync";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() != nullptr) return nullptr;
  return std::make_unique<QCoreApplication>(argc, argv);
}

int RunOnce(jobs::JobKind kind, std::ostream& out, std::ostream& err) {
  const std::unique_ptr<QCoreApplication> application = ApplicationIfNone();

  const std::string path = db::SettingsFilePath();
  Target target;
  ScheduleSettings settings;
  // The job reads the same file and reports a fault as its outcome.
  try {
    target = ReadTarget(path);
  } catch (const std::exception&) {
  }
  try {
    settings = ReadScheduleSettings(path);
  } catch (const std::exception&) {
  }
  History history(HistoryPath(settings), [&err](const std::string& text) {
    err << "cardsync: warning: " << text << '\n';
  });

  const DateTime began = NowDateTime();
  const std::string stamp = DateTimeText(began);
  JobCall call;
  call.kind = kind;
  call.trigger = Trigger::CommandLine;
  const bool terminal = ::isatty(STDERR_FILENO) == 1 && &err == &std::cerr;
  if (terminal) {
    call.progress = [&err](int done, int total, int pass) {
      err << "\rpass " << pass << ": " << done << " of " << total << " records" << std::flush;
    };
  }
  const long long id =
      history.BeginRun(kind, DayNumber(began), Trigger::CommandLine, began, target);
  const jobs::JobOutcome outcome = RunUnderJobLock(target, call, DefaultJob, [&] {
    err << "cardsync: " << WaitingMessage(target, kind) << '\n' << std::flush;
  });
  if (terminal && kind == jobs::JobKind::Transfer) err << '\n';
  history.EndRun(id, NowDateTime(), outcome);

  for (const std::string& line : jobs::OutcomeLogLines(kind, outcome, stamp)) out << line << '\n';
  out.flush();
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

}  // namespace cardsync::schedule
