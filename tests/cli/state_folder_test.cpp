// The folders that hold the locks, as the cardsync executable meets them: made private
// when absent, and refused by name (exit 73) when another user owns them, others may use
// them, or a symbolic link waits at a lock file's place. A refused run never reaches the
// server (the stand-in's event log is the witness).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <fstream>
#include <functional>
#include <iostream>

#include "base/exit_codes.h"
#include "reporting_server.h"

namespace {

using cardsync::testing::StandinServer;

constexpr uid_t kOtherUid = 54321;  // no account of the test machine's
constexpr int kCannotCreateState = cardsync::kExitCannotCreateState;
constexpr int kStillRunning = -1;  // the window stays open, showing the fault

struct Paths {
  std::string state;   // $XDG_STATE_HOME/cardsync
  std::string locks;   // its locks folder
  std::string victim;  // a file a followed link would reach
};

mode_t Mode(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

void MakeFolder(const std::string& path, mode_t mode) {
  QDir().mkpath(QString::fromStdString(path));
  ASSERT_EQ(::chmod(path.c_str(), mode), 0);
}

struct Row {
  const char* name;
  QStringList arguments;
  // Puts what the row is about in place; `runOnce` runs --run totals as a user would.
  std::function<void(const Paths&, const std::function<void()>& runOnce)> plant;
  bool needsRoot;  // to give a folder to another user
  int exitCode;
  std::string named;  // the path the message must name: "state", "locks" or "lock file"
};

int TotalsRequests(const StandinServer& server) {
  const std::vector<std::string> lines = server.LogLines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.starts_with("batch: totals");
  }));
}

void GiveAway(const std::string& path) {
  MakeFolder(path, 0700);
  ASSERT_EQ(::chown(path.c_str(), kOtherUid, kOtherUid), 0);
}

std::vector<Row> Rows() {
  const auto lockFolderOpen = [](const Paths& p, auto&) { MakeFolder(p.locks, 0777); };
  const QStringList totals = {"--run", "totals"};
  return {
      {"absent folders are made for this user alone", totals, {}, false, 0, ""},
      {"a lock folder another user owns", totals, [](const Paths& p, auto&) { GiveAway(p.locks); },
       true, kCannotCreateState, "locks"},
      {"a lock folder open to others", totals, lockFolderOpen, false, kCannotCreateState, "locks"},
      {"a state folder another user owns",
       {"--run", "transfer"},
       [](const Paths& p, auto&) { GiveAway(p.state); },
       true,
       kCannotCreateState,
       "state"},
      {"a state folder others may write in", totals,
       [](const Paths& p, auto&) { MakeFolder(p.state, 0777); }, false, kCannotCreateState,
       "state"},
      {"a symbolic link at the lock file's place", totals,
       [](const Paths& p, const std::function<void()>& runOnce) {
         runOnce();  // the lock file, where the link then takes its place
         for (const QString& name : QDir(QString::fromStdString(p.locks)).entryList(QDir::Files)) {
           const std::string file = p.locks + "/" + name.toStdString();
           ASSERT_EQ(::unlink(file.c_str()), 0);
           ASSERT_EQ(::symlink(p.victim.c_str(), file.c_str()), 0);
         }
       },
       false, kCannotCreateState, "lock file"},
      {"--headless with a lock folder open to others",
       {"--headless"},
       lockFolderOpen,
       false,
       kCannotCreateState,
       "locks"},
      {"the window with a lock folder open to others",
       {"-platform", "offscreen"},
       lockFolderOpen,
       false,
       kStillRunning,
       "locks"},
  };
}

// A home of its own for a row: state and runtime folders, settings reaching `server`, and
// a file a followed link would reach; the program started there.
struct Home {
  explicit Home(const StandinServer& server) {
    const std::string home = dir.path().toStdString();
    paths = {home + "/state/cardsync", home + "/state/cardsync/locks", home + "/victim"};
    std::ofstream(paths.victim) << "keep";
    ::chmod(paths.victim.c_str(), 0644);
    const std::string settings = home + "/cardsync.ini";
    std::ofstream(settings) << "[database]\nserver=127.0.0.1\nport=" << server.port()
                            << "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\n"
                               "login_timeout=2\nca_file="
                            << cardsync::testing::TestCertificate("ca.pem") << "\n";
    ::chmod(settings.c_str(), 0600);
    MakeFolder(home + "/runtime", 0700);
    environment = QProcessEnvironment::systemEnvironment();
    environment.insert("CARDSYNC_SETTINGS", QString::fromStdString(settings));
    environment.insert("XDG_STATE_HOME", QString::fromStdString(home + "/state"));
    environment.insert("XDG_RUNTIME_DIR", QString::fromStdString(home + "/runtime"));
    environment.insert("QT_QPA_PLATFORM", "minimal");
  }
  void Start(QProcess& process, const QStringList& arguments) const {
    process.setProcessEnvironment(environment);
    process.start(CARDSYNC_PATH, arguments);
    ASSERT_TRUE(process.waitForStarted());
  }
  void RunOnce() const {
    QProcess once;
    Start(once, {"--run", "totals"});
    ASSERT_TRUE(once.waitForFinished(30000));
    ASSERT_EQ(once.exitCode(), 0) << once.readAllStandardError().toStdString();
  }

  QTemporaryDir dir;
  Paths paths;
  QProcessEnvironment environment;
};

// stderr of `process` once it ended with `exitCode`, or, for the window, once it named
// `named` while still open.
std::string Outcome(QProcess& process, int exitCode, const std::string& named) {
  std::string err;
  if (exitCode == kStillRunning) {
    QElapsedTimer waited;
    waited.start();
    while (err.find(named) == std::string::npos && waited.elapsed() < 15000) {
      process.waitForReadyRead(100);
      err += process.readAllStandardError().toStdString();
    }
    EXPECT_EQ(process.state(), QProcess::Running);
    process.kill();
    process.waitForFinished();
    return err;
  }
  EXPECT_TRUE(process.waitForFinished(30000));
  err = process.readAllStandardError().toStdString();
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), exitCode) << err;
  return err;
}

TEST(StateFolderTest, FoldersOthersCouldTamperWithAreRefusedByName) {
  StandinServer server(cardsync::testing::ReportingOptions());
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.name);
    if (row.needsRoot && ::geteuid() != 0) {
      std::cerr << "[ SKIPPED  ] " << row.name << ": only root can give a folder away\n";
      continue;
    }
    Home home(server);
    ASSERT_TRUE(home.dir.isValid());
    const Paths& paths = home.paths;
    if (row.plant) row.plant(paths, [&] { home.RunOnce(); });
    const int totalsBefore = TotalsRequests(server);

    QProcess process;
    home.Start(process, row.arguments);
    const std::string named = row.named == "state"   ? paths.state
                              : row.named == "locks" ? paths.locks
                                                     : paths.locks + "/";
    const std::string err = Outcome(process, row.exitCode, named);
    if (row.named.empty()) {
      // Made for this user alone, the lock file too, and used.
      EXPECT_EQ(Mode(paths.locks), 0700u);
      const QStringList files = QDir(QString::fromStdString(paths.locks)).entryList(QDir::Files);
      ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
      EXPECT_EQ(Mode(paths.locks + "/" + files[0].toStdString()), 0600u);
      EXPECT_EQ(TotalsRequests(server), totalsBefore + 1);
      continue;
    }
    EXPECT_NE(err.find(named), std::string::npos) << err;
    EXPECT_EQ(TotalsRequests(server), totalsBefore);
    // Nothing was written through a link, nor was a mode changed to suit.
    std::ifstream victim(paths.victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(victim), {}), "keep");
    EXPECT_EQ(Mode(paths.victim), 0644u);
  }
}

}  // namespace
