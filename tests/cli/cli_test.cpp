// The cardsync executable run as a process: one row per way in, each with the
// exit code a script would act on and what must (or must not) reach stderr.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <fstream>

#include "reporting_server.h"

namespace {

using cardsync::testing::StandinServer;

struct Row {
  const char* name;
  QStringList arguments;
  // The [database] section written to the settings file; nullptr: no file at all.
  const char* settings;
  mode_t mode;
  int exitCode;  // -1: still running (the window is open) after a while
  std::string stdoutHas;
  std::string stderrHas;
  std::string stderrLacks;
};

// The stand-in serves TLS with the test CA's certificate, as a deployment would.
constexpr const char* kLive =
    "server=127.0.0.1\nport=@PORT@\ndatabase=reporting\nuser=cardsync\n"
    "password=Test-Pass-123\nlogin_timeout=2\nca_file=@CA@\n";
constexpr const char* kDead =
    "server=127.0.0.1\nport=@DEAD@\ndatabase=reporting\nuser=cardsync\n"
    "password=Test-Pass-123\nlogin_timeout=2\n";
constexpr const char* kBadPort =
    "server=127.0.0.1\nport=fourteen\ndatabase=reporting\nuser=u\npassword=p\n";
constexpr const char* kNoUser = "server=127.0.0.1\nport=1433\ndatabase=reporting\npassword=p\n";
// A section --check has no use for, wrong: refused all the same, as --headless would.
constexpr const char* kBadSchedule =
    "server=127.0.0.1\nport=@DEAD@\ndatabase=reporting\nuser=cardsync\n"
    "password=Test-Pass-123\nlogin_timeout=2\n[schedule]\ncatch_up_days=400\n";

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

// Runs the program as `row` says, the settings file's ports being the live server's and
// the dead one's.
void ExpectRow(const Row& row, const std::string& livePort, const std::string& deadPort) {
  SCOPED_TRACE(row.name);
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string path = dir.filePath("cardsync.ini").toStdString();
  if (row.settings != nullptr) {
    std::ofstream(path) << "[database]\n"
                        << Replace(Replace(Replace(row.settings, "@PORT@", livePort), "@DEAD@",
                                           deadPort),
                                   "@CA@", cardsync::testing::TestCertificate("ca.pem"));
    ASSERT_EQ(::chmod(path.c_str(), row.mode), 0);
  }
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert("CARDSYNC_SETTINGS", QString::fromStdString(path));
  environment.insert("QT_QPA_PLATFORM", "minimal");  // the -platform option must win over it
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(CARDSYNC_PATH, row.arguments);
  ASSERT_TRUE(process.waitForStarted());
  if (row.exitCode == -1) {
    EXPECT_FALSE(process.waitForFinished(2000)) << process.readAllStandardError().toStdString();
    process.kill();
    process.waitForFinished();
    return;
  }
  ASSERT_TRUE(process.waitForFinished(30000));
  const std::string out = process.readAllStandardOutput().toStdString();
  const std::string err = process.readAllStandardError().toStdString();
  EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(process.exitCode(), row.exitCode) << out << err;
  EXPECT_NE(out.find(row.stdoutHas), std::string::npos) << out;
  EXPECT_NE(err.find(row.stderrHas), std::string::npos) << err;
  if (!row.stderrLacks.empty()) {
    EXPECT_EQ(err.find(row.stderrLacks), std::string::npos) << err;
  }
  if (row.stderrHas.find("has mode") != std::string::npos) {
    EXPECT_NE(err.find(path), std::string::npos) << err;  // the file is named
  }
}

// Ways in that end before any server is asked: the command line and the settings file.
TEST(CommandLineTest, UsageAndSettingsExitCodes) {
  const std::vector<Row> rows = {
      {"version",
       {"--version"},
       nullptr,
       0,
       0,
       std::string("cardsync ") + CARDSYNC_VERSION + "\n",
       "",
       "cardsync"},
      {"help lists the check", {"--help"}, nullptr, 0, 0, "cardsync --check", "", "cardsync"},
      {"unknown option", {"--frobnicate"}, nullptr, 0, 64, "", "unknown option '--frobnicate'", ""},
      {"unknown word",
       {"-platform", "offscreen", "frobnicate"},
       nullptr,
       0,
       64,
       "",
       "unknown argument 'frobnicate'",
       ""},
      {"version with an extra",
       {"--version", "x"},
       nullptr,
       0,
       64,
       "",
       "--version takes no arguments",
       ""},
      {"run without a job", {"--run"}, nullptr, 0, 64, "", "--run takes one job", ""},
      {"run with an unknown job",
       {"--run", "backup"},
       nullptr,
       0,
       64,
       "",
       "--run takes one job",
       ""},
      {"check with an extra",
       {"--check", "now"},
       nullptr,
       0,
       64,
       "",
       "--check takes no arguments",
       ""},
      {"run, settings file missing", {"--run", "transfer"}, nullptr, 0, 78, "", "not found", ""},
      {"check, settings file missing", {"--check"}, nullptr, 0, 78, "", "not found", ""},
      {"run, bad port", {"--run", "totals"}, kBadPort, 0600, 78, "", "key 'port'", ""},
      {"check, no user", {"--check"}, kNoUser, 0600, 78, "", "key 'user'", ""},
      {"check, bad [schedule] key",
       {"--check"},
       kBadSchedule,
       0600,
       78,
       "",
       "line 9: key 'catch_up_days' in [schedule]",
       ""},
      {"headless, settings others may read",
       {"--headless"},
       kBadPort,
       0644,
       78,
       "",
       "has mode 0644",
       ""},
      {"run a day that is no date",
       {"--run", "transfer", "--day", "2024-02-30"},
       nullptr,
       0,
       64,
       "",
       "--day takes a date",
       ""},
      {"totals take no day",
       {"--run", "totals", "--day", "2024-03-15"},
       nullptr,
       0,
       64,
       "",
       "--run takes one job",
       ""},
      {"verify too many days", {"--verify", "--days", "32"}, nullptr, 0, 64, "", "1 to 31", ""},
      {"verify, settings file missing", {"--verify"}, nullptr, 0, 78, "", "not found", ""},
  };
  // Port 1: a row that wrongly got as far as connecting fails with 2, not 78.
  for (const Row& row : rows) ExpectRow(row, "1", "1");
}

TEST(CommandLineTest, ServerExitCodes) {
  StandinServer live(cardsync::testing::ReportingOptions());
  StandinServer gone(cardsync::testing::ReportingOptions());
  const std::string deadPort = std::to_string(gone.port());
  gone.Stop();

  const std::vector<Row> rows = {
      {"run, dead port", {"--run", "transfer"}, kDead, 0600, 2, "", "数据库连接失败", "warning"},
      {"check, dead port", {"--check"}, kDead, 0600, 2, "", "FAILED  login", "warning"},
      {"settings others may read", {"--check"}, kDead, 0644, 2, "", "has mode 0644", ""},
      {"settings the group may read", {"--run", "totals"}, kDead, 0640, 2, "", "has mode 0640", ""},
      {"check, all present",
       {"--check"},
       kLive,
       0600,
       0,
       "ok      procedure totals",
       "",
       "cardsync"},
      {"run totals", {"--run", "totals"}, kLive, 0600, 0, "统计数据!", "", "cardsync"},
      {"run a day",
       {"--run", "transfer", "--day", "2024-03-15"},
       kLive,
       0600,
       0,
       "处理数据!",
       "",
       "cardsync"},
      {"verify",
       {"--verify", "--days", "2"},
       kLive,
       0600,
       0,
       ": selected 0, equal 0",
       "",
       "cardsync"},
      {"verify, dead port", {"--verify"}, kDead, 0600, 2, "", "could not connect", ""},
      {"Qt's own options open the window",
       {"-platform", "offscreen", "-style", "fusion"},
       kLive,
       0600,
       -1,
       "",
       "",
       "unknown"},
      // Last: the procedure is gone from here on.
      {"check, procedure missing",
       {"--check"},
       kLive,
       0600,
       1,
       "ok      login",
       "MISSING procedure totals",
       ""},
  };
  for (const Row& row : rows) {
    if (std::string_view(row.name) == "check, procedure missing")
      live.Exec("drop procedure totals");
    ExpectRow(row, std::to_string(live.port()), deadPort);
  }
}

}  // namespace
