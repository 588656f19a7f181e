// Program start: the window for a day beside the reporting database, or one job run
// headless from the command line (`--run transfer|totals`, e.g. from cron).
#include <QApplication>
#include <QCoreApplication>
#include <iostream>
#include <optional>
#include <string_view>

#include "jobs/oneshot.h"
#include "shell/error_box.h"
#include "clock/format_settings.h"
#include "shell/mainfrm.h"

namespace {

constexpr char kUsage[] =
    "Usage: cardsync                   open the window; the transfer runs daily at 02:00:00,\n"
    "                                  the totals at 01:00:00, and each has a button\n"
    "       cardsync --run transfer    run the transfer job once, print its log lines, exit\n"
    "       cardsync --run totals      run the totals job once, print its log lines, exit\n"
    "       cardsync --help            show this text\n"
    "\n"
    "Exit codes of --run: 0 done, 1 the job failed, 2 could not connect.\n"
    "\n"
    "The database connection is read from the INI file named by the environment variable\n"
    "CARDSYNC_SETTINGS, else from ~/.config/cardsync/cardsync.ini; section [database] with\n"
    "dsn or driver/server/port, database, user, password, login_timeout, odbc_options.\n"
    "An example is installed as share/cardsync/cardsync.ini.example.\n";

std::optional<cardsync::jobs::JobKind> JobNamed(std::string_view name) {
  if (name == "transfer") return cardsync::jobs::JobKind::Transfer;
  if (name == "totals") return cardsync::jobs::JobKind::Totals;
  return std::nullopt;
}

int RunWindow(int argc, char** argv) {
  cardsync::shell::GuardedApplication app(argc, argv);
  cardsync::ReloadFormatSettings();
  try {
    cardsync::shell::TForm1 Form1;
    Form1.show();
    app.exec();
  } catch (...) {
    // The window could not be built (no timer): say so the one way this program does.
    cardsync::shell::HandleException(std::current_exception());
    return 1;
  }
  return 0;  // closing the window is the one way out, and a normal one
}

int RunHeadless(int argc, char** argv, cardsync::jobs::JobKind kind) {
  QCoreApplication app(argc, argv);  // Qt SQL loads its ODBC driver plugin through it
  cardsync::ReloadFormatSettings();
  try {
    return cardsync::jobs::RunOnce(kind, std::cout);
  } catch (const std::exception& e) {
    std::cerr << "cardsync: " << e.what() << '\n';
    return 1;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 1) return RunWindow(argc, argv);
  const std::string_view first = argv[1];
  if (argc == 2 && (first == "--help" || first == "-h")) {
    std::cout << kUsage;
    return 0;
  }
  if (first == "--run") {
    if (argc == 3) {
      if (const auto kind = JobNamed(argv[2])) return RunHeadless(argc, argv, *kind);
    }
    std::cerr << "cardsync: --run takes one job, transfer or totals (see --help)\n";
    return 2;
  }
  const char* unknown = (first == "--help" || first == "-h") ? argv[2] : argv[1];
  std::cerr << "cardsync: unknown argument '" << unknown << "' (see --help)\n";
  return 2;
}
