// Headless scheduling. Signals arrive through StopSignals' self-pipe, so the stop happens
// in the event loop, never inside the signal handler.
#include "shell/headless.h"

#include <QCoreApplication>
#include <QTimer>
#include <iostream>

#include "base/console.h"
#include "clock/format_settings.h"
#include "convert/log_text.h"
#include "db/connection_settings.h"
#include "jobs/server_day.h"
#include "schedule/locks.h"
#include "schedule/scheduler.h"
#include "schedule/state_folder.h"
#include "settings/settings_file_mode.h"
#include "shell/history_report.h"
#include "shell/oneshot.h"
#include "shell/stop_signals.h"

namespace cardsync::shell {

using schedule::DayNumber;
using schedule::History;
using schedule::HistoryPath;
using schedule::ReadScheduleSettings;
using schedule::ReadTarget;
using schedule::RunRow;
using schedule::Scheduler;
using schedule::SchedulerLock;
using schedule::SchedulerSetup;
using schedule::ScheduleSettings;
using schedule::Target;

namespace {

constexpr int kTickMs = 1000;

}  // namespace

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // Qt SQL loads its drivers through it
  ReloadFormatSettings();
  const auto warn = [](const std::string& text) { console::Warning(text); };
  SchedulerSetup setup;
  const std::string path = db::SettingsFilePath();
  // The file holds the password: said on every start, as the other modes do.
  if (const auto mode = settings::SettingsFileModeWarning(path)) warn(*mode);
  try {
    setup.target = ReadTarget(path);
    schedule::ReadSchedulingSettings(path, setup);
  } catch (const db::SettingsError& e) {
    console::Failed(e.what());
    return kExitSettings;
  }
  setup.warn = warn;
  // A failed run on stderr at priority 3 and skipped records at 4, where the journal
  // and whoever reads it look for them; the done line on stdout.
  setup.outcomeLines = [](const std::vector<console::Line>& lines) {
    for (const console::Line& line : lines) console::WriteLogLine(std::cout, std::cerr, line);
  };
  setup.historyError = [](const std::string& text) { console::Failed(text); };
  setup.connectionChecked = [](bool connected, const std::string& line) {
    connected ? console::Done(line) : console::Failed(line);
  };

  SchedulerLock lock(setup.target);
  const bool first = lock.TryAcquire();
  if (!lock.Refused().empty()) {
    console::Failed(lock.Refused());
    return kExitCannotCreateState;
  }
  if (!first) {
    console::Failed("another scheduler (a window or --headless) already runs for " +
                    setup.target.Text());
    return kExitSchedulerRunning;
  }

  StopSignals stopSignals;
  if (!stopSignals.Watching()) {
    console::Failed("cannot watch for signals");
    return kExitFailed;
  }

  Scheduler scheduler(setup);
  QObject::connect(&scheduler, &Scheduler::logLines, [](const QStringList& lines) {
    for (const QString& line : lines) console::Done(line.toStdString());
  });
  QObject::connect(&scheduler, &Scheduler::stopped, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  QObject::connect(&stopSignals, &StopSignals::received, &scheduler, &Scheduler::StopAll);
  QTimer timer;
  timer.setInterval(kTickMs);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, &scheduler, &Scheduler::Tick);
  timer.start();
  QTimer::singleShot(0, &scheduler, &Scheduler::CheckConnection);
  QTimer::singleShot(0, &scheduler, &Scheduler::Tick);
  std::cerr << "cardsync: scheduling the transfer (02:00:00) and the totals (01:00:00) for "
            << setup.target.Text() << "\n";
  app.exec();
  return kExitDone;
}

int PrintHistory(int days, std::ostream& out, std::ostream& err, bool json) {
  const std::unique_ptr<QCoreApplication> application = ApplicationIfNone();

  const std::string path = db::SettingsFilePath();
  std::optional<Target> target;
  ScheduleSettings settings;
  try {
    target = ReadTarget(path);
    settings = ReadScheduleSettings(path);
  } catch (const db::SettingsError&) {
    target.reset();  // every target's runs then
  }
  History history(HistoryPath(settings), [&err](const std::string& text) {
    console::Write(err, console::Kind::Warning, text);
  });
  if (!history.Open()) return kExitFailed;
  const DateTime since = static_cast<DateTime>(DayNumber(NowDateTime()) - days + 1);
  const std::vector<RunRow> runs = history.Runs(since, target);
  out << (json ? HistoryJson(runs) : HistoryTable(runs, days, !target)) << std::flush;
  return kExitDone;
}

}  // namespace cardsync::shell
