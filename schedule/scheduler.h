// The scheduler both the window and --headless run: at each tick and after each run it
// starts the oldest owed run, retries failed ones with a growing wait, records every
// run in the history, and runs each job on a worker thread of its own, so whoever
// drives it (an event loop) never waits for a job. Both jobs take the target's one job
// lock there, so a job asked for while another runs waits on its worker.
#pragma once

#include <QObject>
#include <QStringList>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/console.h"
#include "clock/datetime.h"
#include "jobs/startup_check.h"
#include "schedule/failure_hook.h"
#include "schedule/history.h"
#include "schedule/history_writer.h"
#include "schedule/job_call.h"
#include "schedule/settings.h"

class QThread;

namespace cardsync::schedule {

struct SchedulerSetup {
  Target target;
  ScheduleSettings settings;
  std::function<DateTime()> clock = NowDateTime;
  // The text each run's log lines start with; unset: the date-time text of the run's start.
  std::function<std::string()> stamp;
  JobFunction job = DefaultJob;                  // called on the job's worker thread
  std::function<void(const std::string&)> warn;  // a refused lock folder, a clock far off
  // The history cannot be opened, read or written (or can again): each cause once. Unset:
  // said through `warn`.
  std::function<void(const std::string&)> historyError;
  // Milliseconds of a clock nobody sets (steady), to tell the workstation's clock being
  // set from time passing; tests pass time on their own.
  std::function<double()> steadyMs;
  // [notify] on_failure: run after an owed run that failed, could not connect or skipped
  // records (failure_hook.h), killed after `onFailureLimit`; empty: nothing is run.
  std::string onFailure;
  std::chrono::milliseconds onFailureLimit = FailureHook::kDefaultLimit;
  // The start-up check's line (CheckConnection), `connected` or not. Unset: a logLines line.
  std::function<void(bool connected, const std::string& line)> connectionChecked;
  // False beside another scheduler for the target (a window while cardsync --headless
  // runs the schedule): Tick() starts nothing and only clicks run.
  bool schedules = true;
  // A run's outcome lines, each with its kind (jobs::OutcomeLines), for a front end that
  // puts failures elsewhere than done lines. Unset: logLines.
  std::function<void(const std::vector<console::Line>&)> outcomeLines;
  // Every run's end, on the driving thread, after its log lines and before runFinished.
  std::function<void(jobs::JobKind, Trigger, const jobs::JobOutcome&)> ended;
};

// [schedule] and [notify] of the settings file at `path` into `setup`, from one reading
// of it; a missing file leaves the defaults. Throws settings::SettingsError for a file
// that cannot be read or holds a fault.
void ReadSchedulingSettings(const std::string& path, SchedulerSetup& setup);

// The setup from the deployment settings: target, [schedule] and [notify]. A settings
// file that cannot be read leaves an empty target and the defaults, with a warning, so
// the window still opens and the jobs report the fault themselves.
SchedulerSetup SetupFromSettings(std::function<void(const std::string&)> warn);

// The job's second of the day: 02:00:00 transfer, 01:00:00 totals.
int DueSecond(jobs::JobKind kind);

class Scheduler : public QObject {
  Q_OBJECT
 public:
  explicit Scheduler(SchedulerSetup setup, QObject* parent = nullptr);
  ~Scheduler() override;  // asks running jobs to stop and waits for the workers

  // Starts a start-up check that is due, when no job runs; then what is owed, transfer
  // first, one owed run at a time.
  void Tick();
  // Logs in once on a worker of its own, writing nothing, and says how it went in one
  // line: "connected to host:port/database", or why not and when the next try is. A
  // failed check is tried again at Tick() after the retry waits (1, 2, 4, 8, 15 minutes,
  // then every 15) until it connects, a job connects, or StopAll(). Call once, after
  // connecting the signals.
  void CheckConnection();
  // A run by hand; false when that job is running already.
  bool Click(jobs::JobKind kind);
  bool Running(jobs::JobKind kind) const;
  bool Busy() const;
  // Starts nothing more; running jobs stop after their current record. stopped() follows
  // once nothing runs (at once when nothing did).
  void StopAll();

  // The history as this thread reads it, once the writes asked for so far have landed
  // (waiting at most a few seconds for a locked file).
  History& history();
  const Target& target() const { return setup_.target; }

 signals:
  void runStarted(jobs::JobKind kind);
  void progressed(jobs::JobKind kind, int done, int total, int pass);
  void runFinished(jobs::JobKind kind, jobs::JobOutcome::Status status);
  // A run's outcome, and a line when it has to wait for another run to end.
  void logLines(const QStringList& lines);
  // A failed run for the error box: once per owed run, every time for a click.
  void runFailed(const QString& message);
  void stopped();
  // The history is in trouble: for the error box, at most once a day.
  void historyFailed(const QString& message);

 private:
  struct Worker {
    QThread* thread = nullptr;
    QObject* context = nullptr;  // lives on `thread`; runs are posted to it
    std::atomic<bool> stop{false};
    bool running = false;
    Trigger trigger = Trigger::Clicked;
    long long day = 0;
    HistoryWriter::Ticket historyRun = 0;
    std::string stamp;
  };
  struct Retry {
    std::optional<long long> day;
    int failures = 0;
    DateTime next = 0;
  };
  // The start-up check: owed from CheckConnection() until a connection is seen.
  struct Check {
    QThread* thread = nullptr;   // made at the first check
    QObject* context = nullptr;  // lives on `thread`
    std::atomic<bool> stop{false};
    bool owed = false;
    bool running = false;
    int failures = 0;
    DateTime next = 0;
    std::string stamp;
  };

  // The workstation's clock, moved by how far it was found off the server's.
  DateTime Now();
  void LoadOnce(DateTime now);
  DateTime FirstStartFor(DateTime now);
  void ForgetFutureSettlements(DateTime now);
  void Evaluate(jobs::JobKind kind);
  void Start(jobs::JobKind kind, Trigger trigger, long long day, DateTime now);
  void Finished(jobs::JobKind kind, const jobs::JobOutcome& outcome);
  void Warn(const std::string& text);
  void CloseAbandonedRuns();
  void HistoryTrouble(const std::string& text);
  void EvaluateCheck();
  void CheckEnded(const jobs::ConnectionCheck& result);
  void HookEnded(bool ok, const std::string& line);
  // The stamp of a line about something that starts now (a run, a check, a hook's end).
  std::string Stamp() const;

  SchedulerSetup setup_;
  // Ahead of the history, whose opening may already report trouble through them.
  std::optional<long long> historyBoxDay_;
  std::pair<long long, std::string> lastHistoryTrouble_;
  History history_;  // read here; written through writer_
  HistoryWriter writer_;
  std::array<Worker, 2> workers_;
  std::array<Retry, 2> retries_;
  Check check_;
  std::array<std::set<long long>, 2> settled_;
  std::set<std::pair<int, long long>> boxShown_;
  std::optional<DateTime> firstStart_;
  double skewDays_ = 0;  // the last run's finding; 0 while the clocks agree
  bool clockBehindWarned_ = false;
  std::optional<DateTime> lastReading_;  // the workstation's clock at the last Now()
  double lastSteadyMs_ = 0;
  bool owedRunning_ = false;
  bool stopping_ = false;
  // Last: destroyed first, so a hook's report never reaches a scheduler half gone.
  std::unique_ptr<FailureHook> hook_;
};

}  // namespace cardsync::schedule
