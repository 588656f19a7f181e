// Program start: the window for a day beside the reporting database, or one of the
// command-line modes (a job run once from cron, a check of the database, the
// version), chosen from the table of modes below.
#include <QApplication>
#include <QCoreApplication>
#include <QStringList>
#include <array>
#include <iostream>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/console.h"
#include "base/exit_codes.h"
#include "clock/format_settings.h"
#include "db/connection_settings.h"
#include "jobs/check.h"
#include "jobs/verify.h"
#include "schedule/owed.h"
#include "schedule/scheduler.h"
#include "settings/settings_file_mode.h"
#include "shell/error_box.h"
#include "shell/headless.h"
#include "shell/mainfrm.h"
#include "shell/oneshot.h"
#include "shell/stop_signals.h"
#include "shell/window_instance.h"

namespace {

using cardsync::kExitCouldNotConnect;
using cardsync::kExitDone;
using cardsync::kExitFailed;
using cardsync::kExitNoDisplay;
using cardsync::kExitSettings;
using cardsync::kExitUsage;

constexpr char kUsageHead[] =
    "Usage: cardsync [Qt options]        open the window; the transfer runs daily at 02:00:00,\n"
    "                                    the totals at 01:00:00, and each has a button\n";

constexpr char kUsageTail[] =
    "\n"
    "Exit codes of the command-line modes: 0 done, 1 failed (or, for --check, something\n"
    "missing, for --verify records missing or different), 2 could not connect, 64 usage\n"
    "error, 69 no display for the window, 73 a state or lock folder refused (--run,\n"
    "--headless), 75 another scheduler already runs for this database (--headless), 78\n"
    "settings error.\n"
    "Done lines go to stdout; failures, skipped records and warnings to stderr, each\n"
    "line led by its syslog priority (<3>, <4>, <6>) when that stream is the journal.\n"
    "\n"
    "Qt options the window accepts include -platform NAME, -style NAME, -session ID and,\n"
    "under X11, -display DISPLAY.\n"
    "\n"
    "The database connection is read from the INI file named by the environment variable\n"
    "CARDSYNC_SETTINGS, else from ~/.config/cardsync/cardsync.ini; section [database] with\n"
    "dsn or driver/server/port, database, user, password, login_timeout, query_timeout,\n"
    "lock_timeout, odbc_options, encrypt, trust_server_certificate, ca_file; [transfer]\n"
    "batch_size, previous_day_special_cards;\n"
    "[schedule] history_file, catch_up_days (see docs/configuration.md).\n"
    "Keep it readable by its owner only (chmod 600). An example is installed as\n"
    "share/cardsync/cardsync.ini.example.\n";

using Args = std::span<char*>;  // what follows the mode's option

int UsageError(const std::string& what) {
  std::cerr << "cardsync: " << what << " (see --help)\n";
  return kExitUsage;
}

// The settings for a command-line mode, the whole file read and checked before
// anything connects, so a bad file is told apart from a server that cannot be
// reached, and every mode refuses the same files. Errors and the mode warning go to
// stderr.
std::optional<cardsync::db::OpenSettings> ReadSettings() {
  const std::string path = cardsync::settings::SettingsFilePath();
  try {
    const cardsync::settings::Settings file = cardsync::settings::ReadSettings(path);
    cardsync::db::OpenSettings settings(cardsync::db::ConnectionFromSettings(file), file.transfer);
    if (const auto warning = cardsync::settings::SettingsFileModeWarning(path))
      cardsync::console::Warning(*warning);
    return settings;
  } catch (const cardsync::settings::SettingsError& e) {
    cardsync::console::Failed(e.what());
    return std::nullopt;
  }
}

int Help(int, char**, Args args);

int Version(int, char**, Args args) {
  if (!args.empty()) return UsageError("--version takes no arguments");
  std::cout << "cardsync " << CARDSYNC_VERSION << '\n';
  return kExitDone;
}

int Run(int argc, char** argv, Args args) {
  std::optional<cardsync::jobs::JobKind> kind;
  if (!args.empty() && std::string_view(args[0]) == "transfer")
    kind = cardsync::jobs::JobKind::Transfer;
  if (args.size() == 1 && std::string_view(args[0]) == "totals")
    kind = cardsync::jobs::JobKind::Totals;
  if (!kind) return UsageError("--run takes one job, transfer or totals");
  std::optional<long long> runDay;
  if (args.size() == 3 && std::string_view(args[1]) == "--day") {
    runDay = cardsync::schedule::DayFromText(args[2]);
    if (!runDay) return UsageError("--day takes a date, YYYY-MM-DD");
  } else if (args.size() != 1) {
    return UsageError("--run transfer takes only --day YYYY-MM-DD");
  }
  QCoreApplication app(argc, argv);  // Qt SQL loads its ODBC driver plugin through it
  cardsync::ReloadFormatSettings();
  if (!ReadSettings()) return kExitSettings;
  try {
    return cardsync::shell::RunOnce(*kind, std::cout, std::cerr, runDay);
  } catch (const std::exception& e) {
    cardsync::console::Failed(e.what());
    return kExitFailed;
  }
}

int Check(int argc, char** argv, Args args) {
  if (!args.empty()) return UsageError("--check takes no arguments");
  QCoreApplication app(argc, argv);
  cardsync::ReloadFormatSettings();
  const auto settings = ReadSettings();
  if (!settings) return kExitSettings;
  cardsync::db::Database database([&settings] { return *settings; });
  const cardsync::jobs::CheckReport report = cardsync::jobs::CheckDatabase(database);
  for (const std::string& line : report.lines) {
    cardsync::console::WriteLogLine(std::cout, std::cerr,
                                    {cardsync::jobs::CheckLineKind(line), line});
  }
  switch (report.status) {
    case cardsync::jobs::CheckReport::Status::AllPresent:
      return kExitDone;
    case cardsync::jobs::CheckReport::Status::CouldNotConnect:
      return kExitCouldNotConnect;
    case cardsync::jobs::CheckReport::Status::Missing:
    case cardsync::jobs::CheckReport::Status::Failed:
      break;
  }
  return kExitFailed;
}

int Verify(int argc, char** argv, Args args) {
  cardsync::jobs::VerifyOptions options;
  if (args.size() == 2 && std::string_view(args[0]) == "--days") {
    bool ok = false;
    options.days = QString::fromLocal8Bit(args[1]).toInt(&ok);
    if (!ok || options.days < 1 || options.days > cardsync::jobs::kMaxVerifyDays)
      return UsageError("--days takes a whole number of days, 1 to " +
                        std::to_string(cardsync::jobs::kMaxVerifyDays));
  } else if (!args.empty()) {
    return UsageError("--verify takes only --days N");
  }
  QCoreApplication app(argc, argv);
  cardsync::ReloadFormatSettings();
  const auto settings = ReadSettings();
  if (!settings) return kExitSettings;
  cardsync::db::Database database([&settings] { return *settings; });
  const cardsync::jobs::VerifyReport report = cardsync::jobs::VerifyTransfers(database, options);
  for (const cardsync::console::Line& line : report.KindedLines())
    cardsync::console::WriteLogLine(std::cout, std::cerr, line);
  switch (report.status) {
    case cardsync::jobs::VerifyReport::Status::AllEqual:
      return kExitDone;
    case cardsync::jobs::VerifyReport::Status::CouldNotConnect:
      cardsync::console::Failed("could not connect: " + report.message);
      return kExitCouldNotConnect;
    case cardsync::jobs::VerifyReport::Status::Failed:
      cardsync::console::Failed("the comparison failed: " + report.message);
      break;
    case cardsync::jobs::VerifyReport::Status::Differences:
      cardsync::console::Failed(
          "records are missing or different; run the transfer of each day named again: "
          "cardsync --run transfer --day YYYY-MM-DD");
      break;
  }
  return kExitFailed;
}

int Headless(int argc, char** argv, Args args) {
  if (!args.empty()) return UsageError("--headless takes no arguments");
  return cardsync::shell::RunHeadless(argc, argv);
}

int History(int, char**, Args args) {
  int days = 7;
  bool json = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--json" && !json) {
      json = true;
    } else if (arg == "--days" && i + 1 < args.size()) {
      bool ok = false;
      days = QString::fromLocal8Bit(args[++i]).toInt(&ok);
      if (!ok || days < 1) return UsageError("--days takes a whole number of days, 1 or more");
    } else {
      return UsageError("--history takes only --json and --days N");
    }
  }
  return cardsync::shell::PrintHistory(days, std::cout, std::cerr, json);
}

struct Mode {
  std::string_view option;
  std::string_view usage;  // its lines of --help, each ending in a newline
  int (*run)(int argc, char** argv, Args args);
};

// The command-line modes, by their option (the first argument); none opens a display.
constexpr std::array kModes{
    Mode{
        "--run",
        "       cardsync --run transfer      run the transfer job once, print its log lines, exit\n"
        "       cardsync --run totals        run the totals job once, print its log lines, exit\n"
        "       cardsync --run transfer --day YYYY-MM-DD\n"
        "                                    run now what the transfer of that day's 02:00:00\n"
        "                                    run selected (to fill a gap --verify found)\n",
        Run},
    Mode{
        "--check",
        "       cardsync --check             log in and check the tables, columns, procedure and\n"
        "                                    rights the jobs need, one line each; writes nothing\n",
        Check},
    Mode{"--verify",
         "       cardsync --verify [--days N] compare what the transfers of the last N days (7,\n"
         "                                    at most 31) select with T_quindale; writes nothing\n",
         Verify},
    Mode{"--headless",
         "       cardsync --headless          run the daily schedule without a window until "
         "SIGTERM\n",
         Headless},
    Mode{"--history",
         "       cardsync --history [--json] [--days N]\n"
         "                                    print the runs of the last N days (7), oldest\n"
         "                                    first, a table under a header, or a JSON array\n",
         History},
    Mode{"--version", "       cardsync --version           print the version\n", Version},
    Mode{"--help", "       cardsync --help              show this text\n", Help},
    Mode{"-h", "", Help},
};

int Help(int, char**, Args args) {
  if (!args.empty()) return UsageError("--help takes no arguments");
  std::cout << kUsageHead;
  for (const Mode& mode : kModes) std::cout << mode.usage;
  std::cout << kUsageTail;
  return kExitDone;
}

// Qt's own options (QGuiApplication, QApplication and the xcb platform), with or
// without a second dash, "-name=value" too. Known before a display is opened, so
// an option neither Qt nor cardsync knows is a usage error even where no window
// could open.
bool LooksLikeQtOption(std::string_view arg) {
  static constexpr std::array<std::string_view, 24> kQtOptions{
      "platform",      "platformpluginpath",
      "platformtheme", "plugin",
      "qmljsdebugger", "qwindowgeometry",
      "qwindowicon",   "qwindowtitle",
      "reverse",       "session",
      "style",         "stylesheet",
      "widgetcount",   "display",
      "geometry",      "name",
      "title",         "visual",
      "ncols",         "cmap",
      "nograb",        "dograb",
      "sync",          "graphicssystem"};
  if (!arg.starts_with('-')) return false;
  arg.remove_prefix(arg.starts_with("--") ? 2 : 1);
  arg = arg.substr(0, arg.find('='));
  for (std::string_view option : kQtOptions)
    if (arg == option) return true;
  return false;
}

// Whether Qt has anywhere to open the window: a display, or a platform named for it.
// Without one QApplication's constructor aborts, which a cron line or a unit would
// read as a crash.
bool HasDisplay(int argc, char** argv) {
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (!qEnvironmentVariableIsEmpty(name)) return true;
  }
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    arg.remove_prefix(arg.starts_with("--") ? 2 : arg.starts_with('-') ? 1 : 0);
    for (std::string_view option : {"platform", "display"}) {  // -display names an X server
      if (arg.starts_with(option) && (arg.size() == option.size() || arg[option.size()] == '='))
        return true;
    }
  }
  return false;
}

int RunWindow(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-' && !LooksLikeQtOption(argv[i]))
      return UsageError(std::string("unknown option '") + argv[i] + "'");
  }
  if (!HasDisplay(argc, argv)) {
    cardsync::console::Failed(
        "no display to open the window on (neither DISPLAY nor WAYLAND_DISPLAY is set); run "
        "the schedule with cardsync --headless, or a job with cardsync --run");
    return kExitNoDisplay;
  }
  cardsync::shell::GuardedApplication app(argc, argv);
  // Qt has taken its options out; whatever is left is meant for no one.
  const QStringList left = QCoreApplication::arguments().mid(1);
  if (!left.isEmpty()) return UsageError("unknown argument '" + left.front().toStdString() + "'");
  cardsync::ReloadFormatSettings();
  using Role = cardsync::shell::WindowInstance::Role;
  cardsync::shell::WindowInstance instance;                     // one scheduler per target
  if (instance.WindowRole() == Role::Raised) return kExitDone;  // the first window shows itself
  try {
    cardsync::shell::TForm1 Form1(cardsync::NowDateTime, {},
                                  instance.WindowRole() == Role::Scheduler);
    instance.ShowOnRequest(Form1);
    // Whether the settings reach the server shows now, not first at the night's run.
    Form1.scheduler().CheckConnection();
    // SIGTERM (a logout, `kill`) and SIGINT close the window as its close button does:
    // a running job stops after its current record and is recorded as interrupted. The
    // program then ends even if an error box is still open.
    bool signalled = false;
    cardsync::shell::StopSignals stopSignals;
    QObject::connect(&stopSignals, &cardsync::shell::StopSignals::received, [&] {
      signalled = true;
      if (Form1.close()) QCoreApplication::quit();
    });
    QObject::connect(&Form1.scheduler(), &cardsync::schedule::Scheduler::stopped, &app, [&] {
      if (signalled) QCoreApplication::quit();
    });
    Form1.show();
    app.exec();
  } catch (...) {
    // The window could not be built (no timer): say so the one way this program does.
    cardsync::shell::HandleException(std::current_exception());
    return kExitFailed;
  }
  return kExitDone;  // closing the window is the one way out, and a normal one
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) {
    const std::string_view first = argv[1];
    for (const Mode& mode : kModes) {
      if (first == mode.option) return mode.run(argc, argv, Args(argv + 2, std::size_t(argc - 2)));
    }
  }
  return RunWindow(argc, argv);
}
