// How a failure reaches someone who is not reading the log: the on_failure hook (which
// runs it calls for, what it is told, how its end is reported, a hook that hangs) with
// scripted jobs, and the start-up check against the SQL Server stand-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

#include "event_wait.h"
#include "reporting_server.h"
#include "schedule/failure_hook.h"
#include "schedule/scheduler.h"
#include "state_home.h"

namespace cardsync::schedule {
namespace {

using jobs::JobKind;
using jobs::JobOutcome;
using Status = jobs::JobOutcome::Status;
using testing::StandinServer;

using testing_support::At;
using testing_support::WaitUntil;

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder for the history and the hooks; the settings file points into it (absent
// unless a test writes it).
struct Folders {
  QTemporaryDir dir;
  cardsync::testing::StateHome home{dir.filePath("state")};
  Folders() { qputenv("CARDSYNC_SETTINGS", dir.filePath("cardsync.ini").toLocal8Bit()); }
  ~Folders() { qunsetenv("CARDSYNC_SETTINGS"); }
  std::string Path(const char* name) const { return dir.filePath(name).toStdString(); }
  // An executable script `name` holding `body`; its path.
  std::string Script(const char* name, const std::string& body) const {
    const std::string path = Path(name);
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), 0700);
    return path;
  }
};

// A scheduler whose one run, of `kind`, ends with `outcome`: scheduled (ticked either
// side of its due second) or clicked. Lines and warnings are collected.
struct OneRun {
  std::vector<std::string> lines, warnings;
  std::optional<Status> finished;  // runFinished's status
  std::unique_ptr<Scheduler> scheduler;
  DateTime now = 0;

  OneRun(const std::string& onFailure, std::chrono::milliseconds limit, JobKind kind,
         const JobOutcome& outcome, bool clicked) {
    SchedulerSetup setup;
    setup.onFailure = onFailure;
    setup.onFailureLimit = limit;
    setup.clock = [this] { return now; };
    setup.stamp = [] { return std::string(); };
    setup.job = [outcome](const JobCall&) { return outcome; };
    setup.warn = [this](const std::string& text) { warnings.push_back(text); };
    scheduler = std::make_unique<Scheduler>(setup);
    QObject::connect(scheduler.get(), &Scheduler::logLines, [this](const QStringList& text) {
      for (const QString& line : text) lines.push_back(line.toStdString());
    });
    QObject::connect(scheduler.get(), &Scheduler::runFinished,
                     [this](JobKind, Status status) { finished = status; });
    const int dueHour = kind == JobKind::Transfer ? 2 : 1;
    now = At(15, dueHour - 1, 59, 59, 800);
    scheduler->Tick();
    if (clicked) {
      scheduler->Click(kind);
    } else {
      now = At(15, dueHour, 0, 0, 300);
      scheduler->Tick();
    }
  }
  bool Said(const std::string& text) const {
    return std::find(lines.begin(), lines.end(), text) != lines.end() ||
           std::find(warnings.begin(), warnings.end(), text) != warnings.end();
  }
};

TEST(FailureHookTest, OwedRunsThatFailOrSkipCallItWithTheRunInItsEnvironment) {
  struct Case {
    const char* name;
    JobKind kind;
    Status status;
    int skipped;
    bool clicked;
    const char* environment;  // what the hook recorded; null: it does not run
  };
  const Case cases[] = {
      {"a failed scheduled run", JobKind::Transfer, Status::Failed, 0, false,
       "transfer\n2024-03-15\nfailed\nthe link went; it said \"x\"\n0\n"},
      {"a totals run that could not connect", JobKind::Totals, Status::CouldNotConnect, 0, false,
       "totals\n2024-03-15\ncould not connect\nthe link went; it said \"x\"\n0\n"},
      {"a done run that skipped records", JobKind::Transfer, Status::Done, 2, false,
       "transfer\n2024-03-15\ndone\nthe link went; it said \"x\"\n2\n"},
      {"a done run without skips", JobKind::Transfer, Status::Done, 0, false, nullptr},
      {"a clicked run that failed", JobKind::Transfer, Status::Failed, 0, true, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folders folders;
    // Only the five variables: the test's own CARDSYNC_SETTINGS is none of the hook's.
    const std::string hook =
        folders.Script("record env",
                       "printf '%s\\n' \"$CARDSYNC_JOB\" \"$CARDSYNC_DAY\" \"$CARDSYNC_OUTCOME\" "
                       "\"$CARDSYNC_MESSAGE\" \"$CARDSYNC_SKIPPED\" > \"$1\"\necho recorded\n");
    const std::string recorded = folders.Path("run's environment");
    JobOutcome outcome;
    outcome.status = c.status;
    outcome.message = "the link went; it said \"x\"";
    for (int i = 0; i < c.skipped; ++i) outcome.skipped.push_back({"A" + std::to_string(i), "bad"});
    // Quoted as a shell would have it: split without one, the blanks stay in the names.
    OneRun run("\"" + hook + "\" \"" + recorded + "\"", FailureHook::kDefaultLimit, c.kind, outcome,
               c.clicked);
    ASSERT_TRUE(WaitUntil([&] { return run.finished.has_value(); }));
    if (c.environment) {
      ASSERT_TRUE(WaitUntil([&] { return run.Said("on_failure hook exited 0: recorded"); }))
          << ::testing::PrintToString(run.lines) << ::testing::PrintToString(run.warnings);
    }
    run.scheduler.reset();  // waits for a hook that was started
    if (c.environment) {
      EXPECT_EQ(ReadAll(recorded), c.environment);
    } else {
      EXPECT_FALSE(QFile::exists(QString::fromStdString(recorded)));
      EXPECT_TRUE(run.warnings.empty()) << ::testing::PrintToString(run.warnings);
    }
  }
}

// True while process `pid` runs (a zombie has ended).
bool Alive(pid_t pid) {
  const std::string stat = ReadAll("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t state = stat.rfind(") ");
  return state != std::string::npos && stat[state + 2] != 'Z';
}

TEST(FailureHookTest, HowTheHookEndedIsALineAndTheRunStaysFailed) {
  struct Case {
    const char* name;
    const char* script;  // null: the program does not exist
    bool warning;        // said through warn, not as a log line
    std::string said;    // "PATH" stands for the missing program's path
  };
  const Case cases[] = {
      {"it exits 0", "echo sent\necho more\n", false, "on_failure hook exited 0: sent"},
      {"it fails, saying why on stderr", "echo 'mail: no such user' >&2\nexit 3\n", true,
       "on_failure hook exited 3: mail: no such user"},
      {"it hangs, with a child of its own", "echo waiting\nsleep 30 &\necho $! > \"$1\"\nwait\n",
       true, "on_failure hook killed after 1 s: waiting"},
      {"it ignores SIGTERM", "trap '' TERM\nsleep 30\n", true, "on_failure hook killed after 1 s"},
      {"the program is missing", nullptr, true,
       "on_failure hook could not be started: PATH: No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Folders folders;
    const std::string child = folders.Path("child");
    const std::string program =
        c.script ? folders.Script("hook", c.script) : folders.Path("no-such-hook");
    std::string said = c.said;
    if (said.find("PATH") != std::string::npos) said.replace(said.find("PATH"), 4, program);
    JobOutcome outcome;
    outcome.status = Status::Failed;
    outcome.message = "the link went";
    OneRun run(program + " " + child, std::chrono::milliseconds(1000), JobKind::Transfer, outcome,
               false);
    ASSERT_TRUE(WaitUntil([&] { return run.Said(said); }))
        << ::testing::PrintToString(run.lines) << ::testing::PrintToString(run.warnings);
    EXPECT_EQ(!run.warnings.empty(), c.warning) << ::testing::PrintToString(run.warnings);
    EXPECT_EQ(run.finished, Status::Failed);
    EXPECT_EQ(run.scheduler->history().Runs(0, std::nullopt).at(0).outcome, "failed");
    // What the hook started goes with it.
    if (QFile::exists(QString::fromStdString(child))) {
      const pid_t pid = std::stoi(ReadAll(child));
      EXPECT_TRUE(WaitUntil([&] { return !Alive(pid); }, 2000)) << pid;
    }
  }
}

// The check logs in at start; with the server silent it says why and when it tries
// again, the waits growing, and once the server answers it says where it connected.
TEST(StartupCheckTest, ARefusedCheckIsTriedAgainAfterTheRetryWaitsUntilItConnects) {
  Folders folders;
  StandinServer server(testing::ReportingOptions());
  std::ofstream(folders.Path("cardsync.ini"))
      << "[database]\nserver=127.0.0.1\nport=" << server.port()
      << "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\nlogin_timeout=1\nca_file="
      << testing::TestCertificate("ca.pem") << "\n";
  DateTime now = At(15, 12);
  std::vector<std::string> lines;
  SchedulerSetup setup;
  setup.clock = [&now] { return now; };
  setup.stamp = [&now] { return ClockText(now); };
  setup.job = [](const JobCall&) { return JobOutcome{}; };  // nothing is owed at noon anyway
  Scheduler scheduler(setup);
  QObject::connect(&scheduler, &Scheduler::logLines, [&lines](const QStringList& text) {
    for (const QString& line : text) lines.push_back(line.toStdString());
  });
  const auto said = [&](std::size_t count) {
    return WaitUntil([&] { return lines.size() >= count; });
  };

  // Each step: the clock, the server paused or not, whether a check is due then. Steps
  // fall a second after a retry's time, which is a sum of fractions of a day.
  struct Step {
    DateTime at;
    bool serverUp;
    const char* line;  // the line the check then says, after the stamp; null: none is due
  };
  const std::string failed = "could not connect to the database: ";
  const std::string connected =
      "connected to 127.0.0.1:" + std::to_string(server.port()) + "/reporting";
  const Step steps[] = {
      {At(15, 12), false, "next try at 12:01:00"},
      {At(15, 12, 1, 1), false, "next try at 12:03:01"},  // the second wait is two minutes
      {At(15, 12, 3), true, nullptr},
      {At(15, 12, 3, 2), true, "connected"},
      {At(15, 12, 30), true, nullptr},  // connected: checked no more
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(ClockText(step.at));
    now = step.at;
    if (step.serverUp) {
      server.Resume();
    } else {
      server.Pause();
    }
    const std::size_t before = lines.size();
    if (step.at == At(15, 12)) {
      scheduler.CheckConnection();
    } else {
      scheduler.Tick();
    }
    if (!step.line) continue;
    ASSERT_TRUE(said(before + 1)) << ::testing::PrintToString(lines);
    const std::string& line = lines.at(before);
    // Stamped when the check began: a check started early shows its own time.
    const std::string stamp = ClockText(step.at) + " ";  // and the blank after it
    if (std::string(step.line) == "connected") {
      EXPECT_EQ(line, stamp + connected);
    } else {
      EXPECT_EQ(line.rfind(stamp + failed, 0), 0u) << line;
      EXPECT_NE(line.find("login_timeout"), std::string::npos) << line;
      EXPECT_EQ(line.substr(line.size() - std::strlen(step.line)), step.line) << line;
    }
  }
  scheduler.StopAll();
  EXPECT_EQ(lines.size(), 3u) << ::testing::PrintToString(lines);
}

}  // namespace
}  // namespace cardsync::schedule
