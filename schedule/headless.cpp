// Headless scheduling. Signals arrive through a self-pipe watched by a QSocketNotifier,
// so the stop happens in the event loop, never inside the signal handler.
#include "schedule/headless.h"

#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTimer>
#include <csignal>
#include <iostream>

#include "clock/format_settings.h"
#include "db/connection_settings.h"
#include "schedule/locks.h"
#include "schedule/scheduler.h"

namespace cardsync::schedule {
namespace {

constexpr int kTickMs = 1000;
int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = ::write(signalPipe[0], &byte, 1);
}

std::string Stamp(DateTime value) {
  const DateTimeParts p = SplitDateTime(value);
  char text[24];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return text;
}

}  // namespace

int RunHeadless(int argc, char** argv) {
  QCoreApplication app(argc, argv);  // Qt SQL loads its drivers through it
  ReloadFormatSettings();
  const auto warn = [](const std::string& text) {
    std::cerr << "cardsync: warning: " << text << std::endl;
  };
  SchedulerSetup setup;
  const std::string path = db::SettingsFilePath();
  try {
    setup.target = ReadTarget(path);
    setup.settings = ReadScheduleSettings(path);
  } catch (const db::SettingsError& e) {
    std::cerr << "cardsync: " << e.what() << '\n';
    return kExitSettings;
  }
  setup.warn = warn;

  SchedulerLock lock(setup.target);
  if (!lock.TryAcquire()) {
    std::cerr << "cardsync: another scheduler (a window or --headless) already runs for "
              << setup.target.Text() << "\n";
    return kExitSchedulerRunning;
  }

  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) {
    std::cerr << "cardsync: cannot watch for signals\n";
    return 1;
  }
  QSocketNotifier notifier(signalPipe[1], QSocketNotifier::Read);
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  Scheduler scheduler(setup);
  QObject::connect(&scheduler, &Scheduler::logLines, [](const QStringList& lines) {
    for (const QString& line : lines) std::cout << line.toStdString() << '\n';
    std::cout.flush();
  });
  QObject::connect(&scheduler, &Scheduler::stopped, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);
  QObject::connect(&notifier, &QSocketNotifier::activated, [&] {
    char byte;
    [[maybe_unused]] const ssize_t got = ::read(signalPipe[1], &byte, 1);
    scheduler.StopAll();
  });
  QTimer timer;
  timer.setInterval(kTickMs);
  timer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&timer, &QTimer::timeout, &scheduler, &Scheduler::Tick);
  timer.start();
  QTimer::singleShot(0, &scheduler, &Scheduler::Tick);
  std::cerr << "cardsync: scheduling the transfer (02:00:00) and the totals (01:00:00) for "
            << setup.target.Text() << "\n";
  app.exec();
  return 0;
}

int PrintHistory(int days, std::ostream& out, std::ostream& err) {
  static int argc = 1;
  static char name[] = "cardsync";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> application;
  if (QCoreApplication::instance() == nullptr)
    application = std::make_unique<QCoreApplication>(argc, argv);

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
    err << "cardsync: warning: " << text << '\n';
  });
  if (!history.Open()) return 1;
  const DateTime since = static_cast<DateTime>(DayNumber(NowDateTime()) - days + 1);
  for (const RunRow& row : history.Runs(since, target)) {
    out << DayText(row.runDay) << ' ' << JobName(row.job) << ' ' << TriggerName(row.trigger) << ' '
        << row.outcome << " read " << row.read << " inserted " << row.inserted << " updated "
        << row.updated << " skipped " << row.skipped << " started " << Stamp(row.started);
    if (!target) out << " on " << row.target.Text();
    if (!row.message.empty()) out << ": " << row.message;
    out << '\n';
  }
  return 0;
}

}  // namespace cardsync::schedule
