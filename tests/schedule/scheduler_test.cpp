// The scheduler: owed runs, catch-ups and retries against a hand-set clock with scripted
// jobs; then against the SQL Server stand-in (a missed day's records, a stop mid-pass);
// then the locks and the runtime folder; then the program itself (--run waiting for the
// job's lock, --headless and the window stopping on SIGTERM, a second window handing over
// to the first).
#include "schedule/scheduler.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstring>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>

#include "event_wait.h"
#include "jobs/server_day.h"
#include "reporting_server.h"
#include "schedule/history.h"
#include "schedule/locks.h"
#include "shell/headless.h"
#include "shell/oneshot.h"
#include "state_home.h"

namespace cardsync::schedule {
namespace {

using jobs::JobKind;
using jobs::JobOutcome;
using shell::PrintHistory;
using shell::RunOnce;
using Status = jobs::JobOutcome::Status;
using testing::StandinServer;
using Rows = std::vector<std::vector<std::string>>;

using testing_support::At;
using testing_support::WaitUntil;

// A folder for the history, pointed at by XDG_STATE_HOME for one test. The runtime
// folder (locks, and the connection's FreeTDS files) is the test program's own.
struct StateFolders {
  QTemporaryDir dir;
  cardsync::testing::StateHome home{dir.filePath("state")};
  ~StateFolders() { qunsetenv("CARDSYNC_SETTINGS"); }
  std::string HistoryFile() const {
    return dir.filePath("state/cardsync/history.sqlite").toStdString();
  }
};

// ---- the owed-runs rule, with scripted jobs ----

struct Step {
  Step(DateTime at, Status status = Status::Done, std::optional<JobKind> click = std::nullopt,
       bool restart = false)
      : at(at), status(status), click(click), restart(restart) {}
  DateTime at;
  Status status;  // of every run started at this step
  std::optional<JobKind> click;
  bool restart;  // the program was closed and starts again here
};

struct OwedCase {
  std::string name;
  int catchUpDays;
  std::vector<Step> steps;
  std::vector<std::string> runs;  // "job trigger [run day]", in the order they ran
  int boxes = 0;                  // error boxes asked for
};

std::vector<OwedCase> OwedCases() {
  return {
      {"the day's own second keeps the job's texts",
       7,
       {{At(15, 1, 59, 59, 800)}, {At(15, 2, 0, 0, 300)}, {At(15, 2, 0, 0, 900)}},
       {"transfer scheduled"}},
      {"a skipped second is caught up the same day, naming it",
       7,
       {{At(15, 1, 59, 59, 800)}, {At(15, 2, 0, 1, 100)}, {At(15, 2, 0, 2, 100)}},
       {"transfer catch-up 2024-03-15"}},
      {"asleep across midnight",
       7,
       {{At(14, 23)}, {At(15, 9, 30)}},
       {"transfer catch-up 2024-03-15", "totals catch-up 2024-03-15"}},
      {"closed for three days",
       7,
       {{At(12, 12)}, {At(16, 12), Status::Done, {}, true}},
       {"transfer catch-up 2024-03-13", "transfer catch-up 2024-03-14",
        "transfer catch-up 2024-03-15", "transfer catch-up 2024-03-16",
        "totals catch-up 2024-03-16"}},
      {"server down for three hours",
       7,
       {{At(15, 1, 59, 59)},
        {At(15, 2, 0, 0, 500), Status::CouldNotConnect},
        {At(15, 2, 0, 59)},
        {At(15, 2, 1, 1), Status::CouldNotConnect},
        {At(15, 2, 3, 2), Status::Failed},
        {At(15, 2, 7, 3), Status::CouldNotConnect},
        {At(15, 2, 15, 4), Status::CouldNotConnect},
        {At(15, 2, 29, 0)},
        {At(15, 2, 30, 5), Status::CouldNotConnect},
        {At(15, 2, 45, 6), Status::CouldNotConnect},
        {At(15, 5, 0, 7)},
        {At(15, 5, 30)}},
       {"transfer scheduled", "transfer retry 2024-03-15", "transfer retry 2024-03-15",
        "transfer retry 2024-03-15", "transfer retry 2024-03-15", "transfer retry 2024-03-15",
        "transfer retry 2024-03-15", "transfer retry 2024-03-15"},
       1},
      {"a run failing at each retry asks for one box",
       7,
       {{At(15, 1, 59, 59)},
        {At(15, 2, 0, 0, 500), Status::Failed},
        {At(15, 2, 1, 1), Status::Failed},
        {At(15, 2, 3, 2), Status::Failed}},
       {"transfer scheduled", "transfer retry 2024-03-15", "transfer retry 2024-03-15"},
       1},
      {"clock stepping back",
       7,
       {{At(15, 1, 0, 30)},
        {At(15, 2, 0, 0, 200)},
        {At(15, 1, 59, 58)},
        {At(15, 2, 0, 0, 500)},
        {At(14, 3)},
        {At(15, 3)}},
       {"transfer scheduled"}},
      {"the first start ever",
       7,
       {{At(15, 12)}, {At(15, 12, 0, 1)}, {At(16, 1, 0, 0, 300)}},
       {"totals scheduled"}},
      {"past catch_up_days",
       2,
       {{At(10, 12)}, {At(16, 12), Status::Done, {}, true}},
       {"transfer catch-up 2024-03-14", "transfer catch-up 2024-03-15",
        "transfer catch-up 2024-03-16", "totals catch-up 2024-03-16"}},
      {"totals owed for several days run once",
       7,
       {{At(12, 12)}, {At(15, 0, 30)}, {At(15, 1, 0, 0, 400)}},
       {"transfer catch-up 2024-03-13", "transfer catch-up 2024-03-14",
        "totals catch-up 2024-03-14", "totals scheduled"}},
      {"a click settles nothing",
       7,
       {{At(15, 1, 30)}, {At(15, 1, 45), Status::Done, JobKind::Transfer}, {At(15, 2, 0, 0, 1)}},
       {"transfer clicked", "transfer scheduled"}},
      {"a day settled before a restart stays settled",
       7,
       {{At(15, 1, 59, 59, 800)}, {At(15, 2, 0, 0, 300)}, {At(15, 9), Status::Done, {}, true}},
       {"transfer scheduled"}},
  };
}

// Drives a scheduler through the case's steps and collects the runs it started.
void RunOwedCase(const OwedCase& c) {
  StateFolders folders;
  qputenv("CARDSYNC_SETTINGS", folders.dir.filePath("absent.ini").toLocal8Bit());
  DateTime now = 0;
  Status status = Status::Done;
  std::mutex mutex;
  std::vector<std::string> runs;
  int boxes = 0;
  SchedulerSetup setup;
  setup.settings.catchUpDays = c.catchUpDays;
  setup.clock = [&now] { return now; };
  setup.job = [&](const JobCall& call) {
    std::string run =
        std::string(JobName(call.kind)) + " " + std::string(TriggerName(call.trigger));
    if (call.runDay && !call.onTime) run += " " + DayText(*call.runDay);
    const std::lock_guard<std::mutex> lock(mutex);
    runs.push_back(run);
    JobOutcome outcome;
    outcome.status = status;
    return outcome;
  };
  std::unique_ptr<Scheduler> scheduler;
  const auto start = [&] {
    scheduler = std::make_unique<Scheduler>(setup);
    QObject::connect(scheduler.get(), &Scheduler::runFailed, [&boxes] { ++boxes; });
  };
  start();
  for (const Step& step : c.steps) {
    if (step.restart) start();
    now = step.at;
    status = step.status;
    if (step.click) scheduler->Click(*step.click);
    scheduler->Tick();
    // Runs follow one another (each one's end starts the next), so wait for quiet.
    for (int quiet = 0; quiet < 3;) {
      ASSERT_TRUE(WaitUntil([&] { return !scheduler->Busy(); }));
      QCoreApplication::processEvents();
      quiet = scheduler->Busy() ? 0 : quiet + 1;
    }
  }
  const std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(runs, c.runs);
  EXPECT_EQ(boxes, c.boxes);
}

TEST(OwedRunsTest, EachOwedDayRunsOnceOldestFirstWithRetries) {
  for (const OwedCase& c : OwedCases()) {
    SCOPED_TRACE(c.name);
    RunOwedCase(c);
  }
}

TEST(OwedRunsTest, RetryWaitsGrowThenStayAtFifteenMinutes) {
  const std::vector<int> expected = {1, 2, 4, 8, 15, 15, 15};
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(RetryDelayMinutes(static_cast<int>(i) + 1), expected[i]) << i + 1;
  }
}

// ---- the history ----

TEST(HistoryTest, VersionedWalFileAndAFileThatCannotBeOpenedOnlyWarns) {
  StateFolders folders;
  std::vector<std::string> warnings;
  const auto warn = [&](const std::string& text) { warnings.push_back(text); };
  {
    History history(folders.HistoryFile(), warn);
    ASSERT_TRUE(history.Open());
    const long long id = history.BeginRun(JobKind::Transfer, DayNumber(At(15, 2)), Trigger::CatchUp,
                                          At(15, 9), Target{"db", 1433, "reporting"});
    ASSERT_GT(id, 0);
    ASSERT_EQ(history.Runs(At(15, 0), std::nullopt).at(0).outcome, "running");
    JobOutcome outcome;
    outcome.read = 3;
    outcome.skipped.push_back({"A1", "bad date"});
    // Ids that the "id: reason" lines cannot carry, and two reasons.
    outcome.skipped.push_back({"B: 2\nC", "too long"});
    outcome.warnings = {"the workstation's clock reads ..."};
    history.EndRun(id, At(15, 9, 1), outcome);
    const RunRow row = history.Runs(At(15, 0), Target{"db", 1433, "reporting"}).at(0);
    EXPECT_EQ(row.outcome, "done");
    EXPECT_EQ(row.read, 3);
    EXPECT_EQ(row.skippedRecords, "A1: bad date\nB: 2\nC: too long\n");
    const JobOutcome back = row.Outcome();
    ASSERT_EQ(back.skipped.size(), 2u);
    EXPECT_EQ(back.skipped[1].orderId, "B: 2\nC");
    EXPECT_EQ(back.skipped[1].reason, "too long");
    EXPECT_EQ(back.skipped[0].reason, "bad date");
    EXPECT_EQ(back.warnings, outcome.warnings);
    EXPECT_TRUE(history.Runs(At(15, 0), Target{"db", 1433, "other"}).empty());
  }
  {
    QProcess sqlite;
    sqlite.start("sqlite3", {QString::fromStdString(folders.HistoryFile()),
                             "PRAGMA user_version; PRAGMA journal_mode;"});
    ASSERT_TRUE(sqlite.waitForFinished());
    EXPECT_EQ(sqlite.readAllStandardOutput().toStdString(), "4\nwal\n");
  }
  EXPECT_TRUE(warnings.empty());

  // A history that cannot be opened: a warning, and the run still happens.
  const std::string blocked = folders.dir.filePath("file").toStdString();
  std::ofstream(blocked) << "not a folder";
  std::ofstream(folders.dir.filePath("settings.ini").toStdString())
      << "[schedule]\nhistory_file=" << blocked << "/history.sqlite\n";
  qputenv("CARDSYNC_SETTINGS", folders.dir.filePath("settings.ini").toLocal8Bit());
  SchedulerSetup setup = SetupFromSettings(warn);
  DateTime now = At(15, 2, 0, 0, 100);
  setup.clock = [&now] { return now; };
  std::atomic<int> ran{0};
  setup.job = [&](const JobCall&) {
    ++ran;
    return JobOutcome{};
  };
  Scheduler scheduler(setup);
  scheduler.Tick();
  ASSERT_TRUE(WaitUntil([&] { return ran == 1 && !scheduler.Busy(); }));
  EXPECT_TRUE(std::any_of(warnings.begin(), warnings.end(), [&](const std::string& text) {
    return text.rfind("run history " + blocked + "/history.sqlite cannot be opened", 0) == 0;
  })) << ::testing::PrintToString(warnings);
}

TEST(HistoryTest, RowsLeftRunningAreClosedInterruptedWhenTheirJobLockIsFree) {
  const Target target{"db", 1433, "reporting"};
  struct Case {
    const char* name;
    JobKind job;
    Target rowTarget;
    bool finished;  // the run ended done as it should
    bool lockHeld;  // another process runs the job now
    const char* outcome;
  };
  const Case cases[] = {
      {"a transfer killed mid-run", JobKind::Transfer, target, false, false, "interrupted"},
      {"a totals run killed mid-run", JobKind::Totals, target, false, false, "interrupted"},
      {"a run another process still runs", JobKind::Transfer, target, false, true, "running"},
      {"a totals row while a transfer holds the target's lock", JobKind::Totals, target, false,
       true, "running"},
      {"another target's run", JobKind::Transfer, {"db", 1433, "other"}, false, false, "running"},
      {"a run that ended", JobKind::Transfer, target, true, false, "done"},
  };
  // Closed by a scheduler starting, or by a --run once it holds the lock (cron's time limit
  // killed the last one); a --run would wait for a held lock, so only the others there.
  for (const bool byRun : {false, true}) {
    for (const Case& c : cases) {
      if (byRun && c.lockHeld) continue;
      SCOPED_TRACE(std::string(c.name) + (byRun ? ", then --run" : ", then a scheduler"));
      StateFolders folders;
      History history(folders.HistoryFile(), {});
      const long long id =
          history.BeginRun(c.job, DayNumber(At(15, 2)), Trigger::Scheduled, At(15, 2), c.rowTarget);
      if (c.finished) history.EndRun(id, At(15, 2, 5), JobOutcome{});
      JobLock other(c.rowTarget, JobKind::Transfer);
      if (c.lockHeld) {
        ASSERT_TRUE(other.TryAcquire());
      }
      if (byRun) {
        // The rows' target, a server nobody answers for: the run fails, after it took the lock.
        const std::string settings = folders.dir.filePath("run.ini").toStdString();
        std::ofstream(settings) << "[database]\nserver=db\nport=1433\ndatabase=reporting\n"
                                   "user=u\npassword=p\nlogin_timeout=1\n";
        qputenv("CARDSYNC_SETTINGS", QByteArray::fromStdString(settings));
        std::ostringstream out, err;
        RunOnce(JobKind::Totals, out, err);
        qunsetenv("CARDSYNC_SETTINGS");
      } else {
        SchedulerSetup setup;
        setup.target = target;
        setup.clock = [] { return At(15, 9); };
        Scheduler scheduler(setup);
      }
      const RunRow row = history.Runs(0, c.rowTarget).at(0);
      EXPECT_EQ(row.outcome, c.outcome);
      if (row.outcome == "interrupted") {
        if (!byRun) {
          EXPECT_EQ(row.ended, At(15, 9));
        }
        EXPECT_NE(row.message.find("the program ended during the run"), std::string::npos);
      }
    }
  }
}

// What a restarted scheduler reads as settled: runs by hand (a click, --run) never are.
TEST(HistoryTest, OnlyScheduledCaughtUpAndRetriedRunsSettleTheirDay) {
  const Target target{"db", 1433, "reporting"};
  const std::pair<Trigger, bool> cases[] = {
      {Trigger::Scheduled, true}, {Trigger::CatchUp, true},      {Trigger::Retry, true},
      {Trigger::Clicked, false},  {Trigger::CommandLine, false},
  };
  for (const auto& [trigger, settles] : cases) {
    SCOPED_TRACE(std::string(TriggerName(trigger)));
    StateFolders folders;
    History history(folders.HistoryFile(), {});
    const long long day = DayNumber(At(15, 2));
    history.EndRun(history.BeginRun(JobKind::Transfer, day, trigger, At(15, 2), target),
                   At(15, 2, 1), JobOutcome{});
    EXPECT_EQ(history.SettledDays(JobKind::Transfer, target, day - 7).count(day),
              settles ? 1u : 0u);
  }
}

// --history --days N: today and the N - 1 days before it.
TEST(HistoryTest, PrintedDaysCountTodayAsTheFirst) {
  StateFolders folders;
  qputenv("CARDSYNC_SETTINGS", folders.dir.filePath("absent.ini").toLocal8Bit());
  const long long today = DayNumber(NowDateTime());
  {
    History history(folders.HistoryFile(), {});
    for (long long day : {today - 2, today - 1, today})
      history.BeginRun(JobKind::Totals, day, Trigger::Scheduled, DateTime(day) + 0.5,
                       Target{"db", 1433, "reporting"});
  }
  // The header, then a line a run.
  for (const auto& [days, lines] : {std::pair{1, 2}, std::pair{2, 3}}) {
    SCOPED_TRACE(days);
    std::ostringstream out, err;
    EXPECT_EQ(PrintHistory(days, out, err), 0) << err.str();
    const std::string text = out.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), lines) << text;
  }
}

// ---- the locks ----

// Holds a lock file from a forked child until killed, as another cardsync would; the
// child makes only calls that are safe after fork() in a threaded program.
class ForkedHolder {
 public:
  explicit ForkedHolder(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    const char* file = path.c_str();
    pid_ = ::fork();
    if (pid_ == 0) {
      const int fd = ::open(file, O_RDWR);
      if (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::write(ready[1], "x", 1) == 1) ::pause();
      ::_exit(1);
    }
    ::close(ready[1]);
    char byte = 0;
    held_ = pid_ > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
  }
  ~ForkedHolder() { Kill(); }
  ForkedHolder(const ForkedHolder&) = delete;
  ForkedHolder& operator=(const ForkedHolder&) = delete;
  bool Held() const { return held_; }
  void Kill() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  bool held_ = false;
};

TEST(JobLockTest, OneLockPerTargetForBothJobsAndEveryOpenerOfIt) {
  enum class Other {
    TransferHere,
    OpenFileHere,
    AnotherProcess,
    LongHeldProcess,
    KilledProcess,
    SchedulerLock,
    OtherTarget
  };
  struct Case {
    const char* name;
    Other other;
    bool free;  // the totals can take the lock
  };
  const Case cases[] = {
      {"a transfer runs in this process", Other::TransferHere, false},
      {"another open() of this process holds the file", Other::OpenFileHere, false},
      {"another process holds the file", Other::AnotherProcess, false},
      {"another process has held it for an hour", Other::LongHeldProcess, false},
      {"the process that held it was killed", Other::KilledProcess, true},
      {"the target's scheduler lock is held", Other::SchedulerLock, true},
      {"another target's run", Other::OtherTarget, true},
  };
  const Target target{"db", 1433, "reporting"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StateFolders folders;
    JobLock totals(target, JobKind::Totals, Trigger::Clicked);
    JobLock transfer(c.other == Other::OtherTarget ? Target{"db", 1433, "other"} : target,
                     JobKind::Transfer);
    SchedulerLock scheduler(target);
    std::optional<ForkedHolder> process;
    int fd = -1;
    switch (c.other) {
      case Other::TransferHere:
      case Other::OtherTarget:
        ASSERT_TRUE(transfer.TryAcquire());
        break;
      case Other::OpenFileHere:
        fd = ::open(totals.Path().c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
        break;
      case Other::AnotherProcess:
      case Other::LongHeldProcess:
      case Other::KilledProcess:
        process.emplace(totals.Path());
        ASSERT_TRUE(process->Held());
        if (c.other == Other::KilledProcess) process->Kill();
        if (c.other == Other::LongHeldProcess) {
          const timespec hourAgo{::time(nullptr) - 3600, 0};
          const timespec times[2] = {hourAgo, hourAgo};
          ASSERT_EQ(::utimensat(AT_FDCWD, totals.Path().c_str(), times, 0), 0);
        }
        break;
      case Other::SchedulerLock:
        ASSERT_TRUE(scheduler.TryAcquire());
        ASSERT_TRUE(scheduler.Refused().empty()) << scheduler.Refused();
        break;
    }
    EXPECT_EQ(totals.TryAcquire(), c.free);
    if (fd >= 0) ::close(fd);
  }
}

TEST(JobLockTest, RuntimeFolderIsTheSessionsElseUnderTheStateFolderNeverTmp) {
  struct Case {
    const char* name;
    bool session;      // XDG_RUNTIME_DIR names a folder
    const char* made;  // the runtime folder, under the test's folder
  };
  const Case cases[] = {
      {"a login session's folder", true, "runtime/cardsync"},
      {"no session (cron)", false, "state/cardsync/run"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StateFolders folders;
    const QByteArray before = qgetenv("XDG_RUNTIME_DIR");
    const QString runtime = folders.dir.filePath("runtime");
    ASSERT_TRUE(QDir().mkdir(runtime));
    if (c.session) {
      qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    } else {
      qunsetenv("XDG_RUNTIME_DIR");
    }
    const std::string made = folders.dir.filePath(c.made).toStdString();
    EXPECT_EQ(RuntimeFolder(), made);
    struct stat info {};
    ASSERT_EQ(::lstat(made.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0700u);
    qputenv("XDG_RUNTIME_DIR", before);
  }
}

TEST(ScheduleSettingsTest, CatchUpDaysIsCheckedAndHistoryFollowsXdg) {
  StateFolders folders;
  const std::vector<std::pair<std::string, int>> cases = {{"", 7},
                                                          {"[schedule]\ncatch_up_days=3\n", 3},
                                                          {"[schedule]\ncatch_up_days=0\n", 0},
                                                          {"[schedule]\ncatch_up_days=-1\n", -1},
                                                          {"[schedule]\ncatch_up_days=week\n", -1},
                                                          {"[schedule]\ncatchup_days=3\n", -1}};
  for (size_t i = 0; i < cases.size(); ++i) {
    const auto& [text, days] = cases[i];
    SCOPED_TRACE(text);
    // A file of its own per row, so a row never reads what an earlier one left.
    const std::string path = folders.dir.filePath(QString::number(i) + ".ini").toStdString();
    std::ofstream(path) << text;
    if (days < 0) {
      EXPECT_THROW(ReadScheduleSettings(path), db::SettingsError);
    } else {
      EXPECT_EQ(ReadScheduleSettings(path).catchUpDays, days);
    }
  }
  EXPECT_EQ(HistoryPath({}), folders.HistoryFile());
  qunsetenv("XDG_STATE_HOME");
  EXPECT_EQ(HistoryPath({}),
            qEnvironmentVariable("HOME").toStdString() + "/.local/state/cardsync/history.sqlite");
}

// ---- against the stand-in ----

class SchedulerDbTest : public ::testing::Test {
 protected:
  // Record by record (batch_size 1) so a stop lands between two records.
  void Start(StandinServer::Options options) {
    server_ = std::make_unique<StandinServer>(options);
    // Named after the port: one file for each stand-in started.
    settings_ =
        folders_.dir.filePath(QString("cardsync-%1.ini").arg(server_->port())).toStdString();
    std::ofstream(settings_) << "[database]\nserver=127.0.0.1\nport=" << server_->port()
                             << "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\n"
                                "login_timeout=3\nca_file="
                             << testing::TestCertificate("ca.pem")
                             << "\n[transfer]\nbatch_size=1\n";
    qputenv("CARDSYNC_SETTINGS", QByteArray::fromStdString(settings_));
    target_ = ReadTarget(settings_);
  }
  // Ordinary cards "<prefix>1".."<prefix>n" (or special ones) on `siji`.
  void Seed(const std::string& prefix, int n, const std::string& siji, bool special = false) {
    std::string sql;
    for (int i = 1; i <= n; ++i) {
      sql +=
          "INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, "
          "enddate, types, siji) VALUES('" +
          prefix + std::to_string(i) + "', N'" + (special ? "111111" : "0AK123") +
          "', 12, 100, 'K1', '1710000000', '1720000000', 'A', '" + siji + "');\n";
    }
    server_->Exec(sql);
  }
  // A slowed server, a scheduler that first ran a day and a half ago, so a transfer is
  // owed, and `records` ordinary cards for it; the owed day.
  long long StartWithAnOwedTransfer(int records) {
    StandinServer::Options options = testing::ReportingOptions();
    options.delayMs = 20;
    options.now.reset();  // the server's clock agrees with the program's, which is not faked
    Start(options);
    const DateTime now = NowDateTime();
    const DateTime firstStart = now - 1.5;
    History(HistoryPath({}), {}).FirstStart(target_, firstStart);
    const std::vector<long long> owed =
        OwedDays({now, DueSecond(JobKind::Transfer), firstStart, 7, nullptr});
    Seed("N", records, DayText(owed.at(0) - 1) + " 10:00:00");
    return owed.at(0);
  }
  Rows Quindale() { return server_->Query("SELECT order_id FROM T_quindale ORDER BY order_id"); }

  StateFolders folders_;
  std::unique_ptr<StandinServer> server_;
  std::string settings_;
  Target target_;
};

// The workstation's clock stepped while the server's stays right: no step stops a day's
// run, none runs or settles a day before it comes, and a day refused early runs when it
// comes. Each step: the workstation's reading, the server's, then a tick.
TEST_F(SchedulerDbTest, ClockStepsNeitherStopNorAdvanceTheRuns) {
  struct Step {
    DateTime workstation, server;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::string> runs;  // "job trigger day outcome", in order
  };
  const double year = 365;
  const Case cases[] = {
      {"a day ahead, then set right",
       {{At(16, 1, 59, 59), At(15, 1, 59, 59)},
        {At(16, 2, 0, 0, 500), At(15, 2, 0, 0, 500)},  // its 16th's run is not the server's
        {At(15, 2, 0, 30), At(15, 2, 0, 30)},          // set right
        {At(16, 1, 0, 0, 500), At(16, 1, 0, 0, 500)},
        {At(16, 2, 0, 0, 500), At(16, 2, 0, 0, 500)}},
       // Refused, it told the scheduler the server's time: the 15th's run then came due.
       {"transfer scheduled 2024-03-15 done", "totals scheduled 2024-03-16 done",
        "transfer scheduled 2024-03-16 interrupted", "transfer scheduled 2024-03-16 done"}},
      {"years ahead, then set right",
       {{At(15, 1, 59, 59) + 5 * year, At(15, 1, 59, 59)},
        {At(15, 2, 0, 0, 500) + 5 * year, At(15, 2, 0, 0, 500)},
        {At(15, 2, 0, 30), At(15, 2, 0, 30)},  // set right
        {At(16, 2, 0, 0, 500), At(16, 2, 0, 0, 500)}},
       {"transfer scheduled 2024-03-15 done", "transfer scheduled 2024-03-16 done",
        "totals catch-up 2024-03-16 done", "transfer scheduled 2029-03-14 interrupted"}},
      {"set back past the first start",
       {{At(15, 1, 59, 59), At(15, 1, 59, 59)},
        {At(15, 2, 0, 0, 500), At(15, 2, 0, 0, 500)},
        {At(15, 2, 0, 30) - year, At(15, 2, 0, 30)},  // a CMOS reset
        {At(16, 1, 0, 0, 500) - year, At(16, 1, 0, 0, 500)},
        {At(16, 2, 0, 0, 500) - year, At(16, 2, 0, 0, 500)}},
       // Before a run tells the server's time, the runs go on by the workstation's calendar
       // (its totals named for a day of 2023, harmless: totals recount all); after, by the
       // server's.
       {"totals scheduled 2023-03-17 done", "transfer scheduled 2024-03-15 done",
        "totals scheduled 2024-03-16 done", "transfer scheduled 2024-03-16 done"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options = testing::ReportingOptions();
    options.movableClock = true;
    Start(options);
    for (int day : {14, 15, 16})
      Seed("N" + std::to_string(day) + "-", 1, "2024-03-" + std::to_string(day) + " 10:00:00");
    DateTime workstation = c.steps.front().workstation;
    DateTime server = c.steps.front().server;
    SchedulerSetup setup = SetupFromSettings({});
    setup.clock = [&workstation] { return workstation; };
    setup.steadyMs = [&server] { return server * 86400000.0; };  // the server's time is true
    setup.settings.historyFile =
        folders_.dir.filePath(QString("%1.sqlite").arg(c.name)).toStdString();
    Scheduler scheduler(setup);
    for (const Step& step : c.steps) {
      workstation = step.workstation;
      server = step.server;
      server_->SetNow(jobs::ClockStamp(step.server));
      scheduler.Tick();
      for (int quiet = 0; quiet < 3;) {
        ASSERT_TRUE(WaitUntil([&] { return !scheduler.Busy(); }));
        QCoreApplication::processEvents();
        quiet = scheduler.Busy() ? 0 : quiet + 1;
      }
    }
    std::vector<std::string> runs;
    for (const RunRow& row : scheduler.history().Runs(-1e6, target_)) {
      runs.push_back(std::string(JobName(row.job)) + " " + std::string(TriggerName(row.trigger)) +
                     " " + DayText(row.runDay) + " " + row.outcome);
    }
    EXPECT_EQ(runs, c.runs);
  }
}

TEST_F(SchedulerDbTest, AMissedDaysCatchUpWritesExactlyThatDaysRecords) {
  StandinServer::Options options = testing::ReportingOptions();
  options.now = "2024-03-16 01:30:00";
  Start(options);
  for (int day : {13, 14, 15, 16}) {
    const std::string siji = "2024-03-" + std::to_string(day) + " 10:00:00";
    Seed("N" + std::to_string(day) + "-", 1, siji);
    Seed("S" + std::to_string(day) + "-", 1, siji, true);
  }
  {
    History history(HistoryPath({}), {});
    history.FirstStart(target_, At(14, 12));  // the program last ran on the 14th
  }
  SchedulerSetup setup = SetupFromSettings({});
  setup.clock = [] { return At(16, 1, 30); };  // the 15th's transfer was missed
  Scheduler scheduler(setup);
  scheduler.Tick();
  ASSERT_TRUE(WaitUntil([&] { return !scheduler.Busy(); }));
  // The 15th's run: the 14th's ordinary and special cards and the 15th's special ones.
  EXPECT_EQ(Quindale(), (Rows{{"N14-1"}, {"S14-1"}, {"S15-1"}}));
  const std::vector<RunRow> runs = scheduler.history().Runs(At(16, 0), target_);
  ASSERT_EQ(runs.size(), 2u);  // and the totals, owed since the 15th
  EXPECT_EQ(DayText(runs[0].runDay), "2024-03-15");
  EXPECT_EQ(runs[0].trigger, Trigger::CatchUp);
  EXPECT_EQ(runs[0].outcome, "done");
  EXPECT_EQ(runs[0].inserted, 3);
  EXPECT_EQ(runs[1].job, JobKind::Totals);
}

TEST_F(SchedulerDbTest, AnInterruptedRunLeavesNoHalfRowsAndStaysOwed) {
  StandinServer::Options options = testing::ReportingOptions();
  options.delayMs = 20;
  Start(options);
  Seed("N", 60, "2024-03-13 10:00:00");
  {
    History history(HistoryPath({}), {});
    history.FirstStart(target_, At(13, 12));
  }
  SchedulerSetup setup = SetupFromSettings({});
  setup.clock = [] { return At(14, 9); };
  Scheduler scheduler(setup);
  bool stopped = false;
  QObject::connect(&scheduler, &Scheduler::progressed, [&](JobKind, int done, int, int) {
    if (done > 0) scheduler.StopAll();
  });
  QObject::connect(&scheduler, &Scheduler::stopped, [&] { stopped = true; });
  scheduler.Tick();
  ASSERT_TRUE(WaitUntil([&] { return stopped; }));

  const std::vector<RunRow> runs = scheduler.history().Runs(At(14, 0), target_);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].outcome, "interrupted");
  const int written = std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]);
  EXPECT_GT(written, 0);
  EXPECT_LT(written, 60);
  // The message counts what was written, not what was read.
  EXPECT_EQ(runs[0].message,
            "stopped after " + std::to_string(written) + " of 60 records were written");
  EXPECT_EQ(server_->Query("SELECT count(*) FROM T_quindale WHERE kex_no IS NULL"), (Rows{{"0"}}));
  const std::set<long long> settled =
      scheduler.history().SettledDays(JobKind::Transfer, target_, DayNumber(At(1, 0)));
  EXPECT_EQ(OwedDays({At(14, 9), DueSecond(JobKind::Transfer), At(13, 12), 7, &settled}),
            std::vector<long long>{DayNumber(At(14, 0))});
}

// ---- the program ----

QProcessEnvironment ProgramEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove("QT_QPA_PLATFORM");
  env.remove("DISPLAY");
  return env;
}

// Starts `cardsync --run totals` and collects its stderr until it holds `text`, the
// program ends or 10 s pass; returns what it said.
std::string RunTotalsUntilItSays(QProcess& run, const std::string& text) {
  run.setProcessEnvironment(ProgramEnvironment());
  run.start(CARDSYNC_PATH, {"--run", "totals"});
  std::string said;
  WaitUntil(
      [&] {
        said += run.readAllStandardError().toStdString();
        return said.find(text) != std::string::npos || run.state() == QProcess::NotRunning;
      },
      10000);
  return said;
}

TEST_F(SchedulerDbTest, ARunOfAJobWaitsWhileAnotherHoldsItsLock) {
  Start(testing::ReportingOptions());
  JobLock held(target_, JobKind::Totals);
  ASSERT_TRUE(held.TryAcquire());
  QProcess run;
  const std::string waiting = "统计 waits for 统计 to end on " + target_.Text() +
                              ", run by a window or cardsync --headless (process " +
                              std::to_string(::getpid()) + ")";
  const std::string said = RunTotalsUntilItSays(run, waiting);
  ASSERT_NE(said.find(waiting), std::string::npos) << said;
  const auto calledTotals = [&] {
    for (const std::string& line : server_->LogLines()) {
      if (line.find("totals") != std::string::npos) return true;
    }
    return false;
  };
  QThread::msleep(300);
  EXPECT_EQ(run.state(), QProcess::Running);
  EXPECT_FALSE(calledTotals());
  held.Release();
  ASSERT_TRUE(run.waitForFinished(20000));
  EXPECT_EQ(run.exitCode(), 0);
  EXPECT_NE(run.readAllStandardOutput().toStdString().find("统计数据!"), std::string::npos);
  EXPECT_TRUE(calledTotals());
  History history(HistoryPath({}), {});
  const std::vector<RunRow> runs = history.Runs(0, target_);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].trigger, Trigger::CommandLine);
}

TEST_F(SchedulerDbTest, ARunStoppedWhileWaitingForItsLockIsOnRecord) {
  Start(testing::ReportingOptions());
  JobLock held(target_, JobKind::Transfer);
  ASSERT_TRUE(held.TryAcquire());
  QProcess run;
  const std::string said = RunTotalsUntilItSays(run, " waits for ");
  ASSERT_NE(said.find(" waits for "), std::string::npos) << said;
  ::kill(static_cast<pid_t>(run.processId()), SIGTERM);
  ASSERT_TRUE(run.waitForFinished(20000));
  EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(run.exitCode(), 1);
  const std::vector<RunRow> runs = History(HistoryPath({}), {}).Runs(0, target_);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].outcome, "interrupted");
  EXPECT_EQ(runs[0].trigger, Trigger::CommandLine);
}

TEST_F(SchedulerDbTest, HeadlessStopsOnSigtermRecordingTheRunInterrupted) {
  const long long owedDay = StartWithAnOwedTransfer(200);

  QProcess first;
  first.setProcessEnvironment(ProgramEnvironment());
  first.start(CARDSYNC_PATH, {"--headless"});
  ASSERT_TRUE(first.waitForStarted());
  History history(HistoryPath({}), {});
  ASSERT_TRUE(WaitUntil([&] {
    const auto runs = history.Runs(0, target_);
    return !runs.empty() && std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]) > 0;
  })) << first.readAllStandardError().toStdString();

  QProcess second;  // a second scheduler for the same target
  second.setProcessEnvironment(ProgramEnvironment());
  second.start(CARDSYNC_PATH, {"--headless"});
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitCode(), kExitSchedulerRunning);
  EXPECT_NE(second.readAllStandardError().toStdString().find("another scheduler"),
            std::string::npos);

  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(first.waitForFinished(20000));
  EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(first.exitCode(), 0);
  const std::vector<RunRow> runs = history.Runs(0, target_);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].outcome, "interrupted");
  EXPECT_EQ(DayText(runs[0].runDay), DayText(owedDay));
  EXPECT_LT(std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]), 200);

  std::ostringstream out, err;
  EXPECT_EQ(PrintHistory(7, out, err), 0);
  EXPECT_NE(out.str().find('\n' + DayText(owedDay) + " transfer catch-up     interrupted "),
            std::string::npos)
      << out.str();
}

TEST_F(SchedulerDbTest, WindowStopsOnSigtermOrSigintRecordingTheRunInterrupted) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    // A server (so a target, with its own history and locks) per row.
    StartWithAnOwedTransfer(200);
    History history(HistoryPath({}), {});

    QProcess window;
    window.setProcessEnvironment(ProgramEnvironment());
    window.start(CARDSYNC_PATH, {"-platform", "offscreen"});
    ASSERT_TRUE(window.waitForStarted());
    ASSERT_TRUE(WaitUntil([&] {
      return !history.Runs(0, target_).empty() &&
             std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]) > 0;
    }));
    ::kill(static_cast<pid_t>(window.processId()), signal);
    ASSERT_TRUE(window.waitForFinished(20000));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(window.exitCode(), 0) << window.readAllStandardError().toStdString();
    const std::vector<RunRow> runs = history.Runs(0, target_);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].outcome, "interrupted");
    EXPECT_TRUE(runs[0].ended.has_value());
    EXPECT_LT(std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]), 200);
  }
}

TEST_F(SchedulerDbTest, RunStopsOnSigintRecordingTheRunInterrupted) {
  StandinServer::Options options = testing::ReportingOptions();
  options.delayMs = 20;
  Start(options);
  Seed("N", 200, "2024-03-14 10:00:00");  // the stand-in's yesterday
  History history(HistoryPath({}), {});
  QProcess run;
  run.setProcessEnvironment(ProgramEnvironment());
  run.start(CARDSYNC_PATH, {"--run", "transfer"});
  ASSERT_TRUE(run.waitForStarted());
  ASSERT_TRUE(WaitUntil(
      [&] { return std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]) > 0; }));
  ::kill(static_cast<pid_t>(run.processId()), SIGINT);
  ASSERT_TRUE(run.waitForFinished(20000));
  EXPECT_EQ(run.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(run.exitCode(), 1);  // a one-shot run that did not finish
  // A stop asked for is no fault, but the run did not finish: a warning, on stderr.
  EXPECT_NE(run.readAllStandardError().toStdString().find("处理数据中断"), std::string::npos);
  const std::vector<RunRow> runs = history.Runs(0, target_);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].outcome, "interrupted");
  EXPECT_EQ(runs[0].trigger, Trigger::CommandLine);
  EXPECT_LT(std::stoi(server_->Query("SELECT count(*) FROM T_quindale")[0][0]), 200);
}

TEST_F(SchedulerDbTest, ASecondWindowAsksTheFirstToShowItselfAndEnds) {
  Start(testing::ReportingOptions());
  const QString socket =
      QString::fromStdString(RuntimeFolder() + "/cardsync-" + target_.Key() + ".socket");
  QProcess first;
  first.setProcessEnvironment(ProgramEnvironment());
  first.start(CARDSYNC_PATH, {"-platform", "offscreen"});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(WaitUntil([&] { return QFile::exists(socket); }, 10000));

  QProcess second;
  second.setProcessEnvironment(ProgramEnvironment());
  second.start(CARDSYNC_PATH, {"-platform", "offscreen"});
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_EQ(second.readAllStandardError().toStdString().find("another scheduler"),
            std::string::npos);
  std::string said;
  EXPECT_TRUE(WaitUntil(
      [&] {
        said += first.readAllStandardError().toStdString();
        return said.find("another start asked for this window") != std::string::npos;
      },
      5000))
      << said;
  EXPECT_EQ(first.state(), QProcess::Running);  // the first stays
  ::kill(static_cast<pid_t>(first.processId()), SIGTERM);
  ASSERT_TRUE(first.waitForFinished(10000));
  EXPECT_EQ(first.exitCode(), 0);
}

TEST(RunOnce, ExitStatusAndLinesFollowTheOutcome) {
  StateFolders folders;
  StandinServer server(testing::ReportingOptions());
  QTemporaryDir dir;
  const std::string good = dir.filePath("good.ini").toStdString();
  std::ofstream(good)
      << "[database]\nserver=127.0.0.1\nport=" << server.port()
      << "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\nlogin_timeout=2\nca_file="
      << testing::TestCertificate("ca.pem") << "\n";
  struct Case {
    const char* name;
    std::string settings;
    JobKind kind;
    int status;
    const char* lineEnd;
  };
  const Case cases[] = {
      {"transfer done", good, JobKind::Transfer, 0, "处理数据!"},
      {"totals done", good, JobKind::Totals, 0, "统计数据!"},
      {"no settings file", dir.filePath("absent.ini").toStdString(), JobKind::Transfer, 2,
       "not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ::setenv("CARDSYNC_SETTINGS", c.settings.c_str(), 1);
    std::ostringstream out, err;
    EXPECT_EQ(RunOnce(c.kind, out, err), c.status);
    // The done line on stdout, a failure on stderr.
    const std::string text = (c.status == 0 ? out : err).str();
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    const std::string line = text.substr(0, text.find('\n'));
    // The stamp is a date-time text: "m/d/yy" then the time, before the message.
    EXPECT_NE(line.find('/'), std::string::npos) << line;
    EXPECT_NE(line.find(c.lineEnd), std::string::npos) << line;
  }
  server.Exec("drop procedure totals");
  ::setenv("CARDSYNC_SETTINGS", good.c_str(), 1);
  std::ostringstream out, err;
  EXPECT_EQ(RunOnce(JobKind::Totals, out, err), 1);
  EXPECT_NE(err.str().find("统计数据失败: Could not find stored procedure 'totals'"),
            std::string::npos)
      << err.str();
  ::unsetenv("CARDSYNC_SETTINGS");
}

}  // namespace
}  // namespace cardsync::schedule
