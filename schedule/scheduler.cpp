// The scheduler's state lives on the thread that drives it; workers only run a job and
// post the outcome back, so the history, the settled days and the retry waits are
// touched by one thread.
#include "schedule/scheduler.h"

#include <QElapsedTimer>
#include <QThread>
#include <chrono>
#include <cmath>
#include <filesystem>

#include "convert/log_text.h"
#include "db/connection_settings.h"
#include "jobs/server_day.h"
#include "jobs/startup_check.h"
#include "schedule/locks.h"
#include "schedule/post.h"
#include "schedule/schedule.h"

namespace cardsync::schedule {
namespace {

constexpr char kTransferTime[] = "020000";
constexpr char kTotalsTime[] = "010000";
// Progress reaches the driving thread at most this often, and at each pass's end.
constexpr int kProgressEveryMs = 50;
constexpr double kMinutesPerDay = 1440.0;

constexpr jobs::JobKind kOrder[] = {jobs::JobKind::Transfer, jobs::JobKind::Totals};

int Index(jobs::JobKind kind) { return kind == jobs::JobKind::Transfer ? 0 : 1; }

constexpr char kCheckFailed[] = "could not connect to the database: ";
constexpr char kNextTry[] = "; next try at ";

// A line of the scheduler's own after the stamp: a blank between them, as English text
// wants and the jobs' Chinese lines never had.
std::string Stamped(const std::string& stamp, const std::string& text) {
  return stamp.empty() ? text : stamp + " " + text;
}

// "HH:MM:SS" on the 24-hour clock.
std::string ClockColons(DateTime value) {
  const std::string text = ClockText(value);
  return text.substr(0, 2) + ":" + text.substr(2, 2) + ":" + text.substr(4, 2);
}

}  // namespace

int DueSecond(jobs::JobKind kind) {
  return Schedule(kind == jobs::JobKind::Transfer ? kTransferTime : kTotalsTime).SecondOfDay();
}

void ReadSchedulingSettings(const std::string& path, SchedulerSetup& setup) {
  std::error_code missing;
  if (!std::filesystem::exists(path, missing)) return;
  const settings::Settings file = settings::ReadSettings(path);
  setup.settings = file.schedule;
  setup.onFailure = file.notify.onFailure;
}

SchedulerSetup SetupFromSettings(std::function<void(const std::string&)> warn) {
  SchedulerSetup setup;
  const std::string path = db::SettingsFilePath();
  // Apart, so a file without [database] still names its history.
  try {
    setup.target = ReadTarget(path);
  } catch (const std::exception& e) {
    if (warn) warn(e.what());
  }
  try {
    ReadSchedulingSettings(path, setup);  // a missing file was said above
  } catch (const std::exception& e) {
    if (warn) warn(e.what());
  }
  setup.warn = std::move(warn);
  return setup;
}

Scheduler::Scheduler(SchedulerSetup setup, QObject* parent)
    : QObject(parent),
      setup_(std::move(setup)),
      history_(HistoryPath(setup_.settings),
               [this](const std::string& text) { HistoryTrouble(text); }),
      writer_(HistoryPath(setup_.settings), [this](const std::string& text) {
        Post(this, [this, text] { HistoryTrouble(text); });
      }) {
  if (!setup_.clock) setup_.clock = NowDateTime;
  if (!setup_.steadyMs) {
    setup_.steadyMs = [] {
      return std::chrono::duration<double, std::milli>(
                 std::chrono::steady_clock::now().time_since_epoch())
          .count();
    };
  }
  if (!setup_.job) setup_.job = DefaultJob;
  for (Worker& worker : workers_) {
    worker.thread = new QThread(this);
    worker.context = new QObject;  // no parent: it moves to the worker thread
    worker.context->moveToThread(worker.thread);
    connect(worker.thread, &QThread::finished, worker.context, &QObject::deleteLater);
    worker.thread->start();
  }
  // Beside another scheduler, the rows it left running are its own to close.
  if (setup_.schedules) CloseAbandonedRuns();
  hook_ = std::make_unique<FailureHook>(
      setup_.onFailure,
      [this](bool ok, const std::string& line) {
        Post(this, [this, ok, line] { HookEnded(ok, line); });
      },
      setup_.onFailureLimit);
}

void Scheduler::CloseAbandonedRuns() {
  std::vector<long long> ids;
  for (jobs::JobKind kind : kOrder) {
    const std::vector<long long> running = history_.RunningRuns(kind, setup_.target);
    ids.insert(ids.end(), running.begin(), running.end());
  }
  if (ids.empty()) return;
  try {
    // Held by a --run in another process: a row of it is live, not abandoned, and which
    // one the lock does not say, so every row waits for a start that finds it free.
    JobLock lock(setup_.target, jobs::JobKind::Transfer);
    if (!lock.TryAcquire()) return;
    writer_.CloseLeftRunning(setup_.target, setup_.clock(), "the scheduler started");
  } catch (const std::exception& e) {
    Warn(e.what());  // a refused lock folder; every run reports it too
  }
}

Scheduler::~Scheduler() {
  for (Worker& worker : workers_) worker.stop = true;
  check_.stop = true;
  for (Worker& worker : workers_) {
    worker.thread->quit();
    worker.thread->wait();
  }
  if (check_.thread) {
    check_.thread->quit();
    check_.thread->wait();
  }
}

void Scheduler::Warn(const std::string& text) {
  if (setup_.warn) setup_.warn(text);
}

void Scheduler::HistoryTrouble(const std::string& text) {
  // The reader here and the writer find a deleted or damaged file alike: said once.
  const long long today = DayNumber(setup_.clock());
  if (text == lastHistoryTrouble_.second && today == lastHistoryTrouble_.first) return;
  lastHistoryTrouble_ = {today, text};
  if (setup_.historyError) {
    setup_.historyError(text);
  } else {
    Warn(text);
  }
  if (historyBoxDay_ == today) return;
  historyBoxDay_ = today;
  emit historyFailed(QString::fromStdString(text));
}

History& Scheduler::history() {
  writer_.Settle(HistoryWriter::kFinalWaitMs);
  return history_;
}

bool Scheduler::Running(jobs::JobKind kind) const { return workers_[Index(kind)].running; }

bool Scheduler::Busy() const { return workers_[0].running || workers_[1].running; }

void Scheduler::Tick() {
  EvaluateCheck();
  if (!setup_.schedules) return;
  for (jobs::JobKind kind : kOrder) Evaluate(kind);
}

bool Scheduler::Click(jobs::JobKind kind) {
  if (stopping_ || Running(kind)) return false;
  const DateTime now = Now();
  Start(kind, Trigger::Clicked, DayNumber(now), now);
  return true;
}

void Scheduler::StopAll() {
  stopping_ = true;
  check_.stop = true;
  for (Worker& worker : workers_) worker.stop = true;
  if (!Busy()) emit stopped();
}

void Scheduler::CheckConnection() {
  if (stopping_ || check_.owed) return;
  check_.owed = true;
  check_.next = 0;
  if (!check_.thread) {
    check_.thread = new QThread(this);
    check_.context = new QObject;  // no parent: it moves to the worker thread
    check_.context->moveToThread(check_.thread);
    connect(check_.thread, &QThread::finished, check_.context, &QObject::deleteLater);
    check_.thread->start();
  }
  EvaluateCheck();
}

void Scheduler::EvaluateCheck() {
  // A running job logs in itself, and says so or why not: no check is needed beside it.
  if (!check_.owed || check_.running || stopping_ || Busy() || Now() < check_.next) return;
  check_.running = true;
  // Stamped when it starts, as a run is.
  check_.stamp = Stamp();
  Post(check_.context, [this] {
    db::Database database;
    database.SetStopFlag(&check_.stop);
    const jobs::ConnectionCheck result = jobs::CheckConnection(database);
    Post(this, [this, result] { CheckEnded(result); });
  });
}

void Scheduler::CheckEnded(const jobs::ConnectionCheck& result) {
  check_.running = false;
  if (stopping_ || !check_.owed) return;
  std::string line;
  if (result.connected) {
    check_.owed = false;
    line = Stamped(check_.stamp, result.text);
  } else {
    ++check_.failures;
    const DateTime now = Now();
    check_.next = now + RetryDelayMinutes(check_.failures) / kMinutesPerDay;
    line = Stamped(check_.stamp,
                   kCheckFailed + LogText(result.text) + kNextTry + ClockColons(check_.next));
  }
  if (setup_.connectionChecked) {
    setup_.connectionChecked(result.connected, line);
  } else {
    emit logLines({QString::fromStdString(line)});
  }
}

void Scheduler::HookEnded(bool ok, const std::string& line) {
  if (!ok) {
    Warn(line);
    return;
  }
  emit logLines({QString::fromStdString(Stamped(Stamp(), line))});
}

std::string Scheduler::Stamp() const {
  return setup_.stamp ? setup_.stamp() : DateTimeText(setup_.clock());
}

DateTime Scheduler::Now() {
  const DateTime reading = setup_.clock();
  const double steady = setup_.steadyMs();
  if (lastReading_ && skewDays_ != 0) {
    // The workstation's clock stepped (set right, or wrong again) while it was known to be
    // off: what the server's clock said of it holds only less the step.
    const double step = (reading - *lastReading_) - (steady - lastSteadyMs_) / 86400000.0;
    if (std::fabs(step) > jobs::kClockToleranceDays) skewDays_ -= step;
    if (std::fabs(skewDays_) <= jobs::kClockToleranceDays) skewDays_ = 0;  // set right
  }
  lastReading_ = reading;
  lastSteadyMs_ = steady;
  return reading + skewDays_;
}

void Scheduler::LoadOnce(DateTime now) {
  if (firstStart_) return;
  firstStart_ = history_.RecordedFirstStart(setup_.target);
  if (!firstStart_) {
    firstStart_ = now;
    writer_.RecordFirstStart(setup_.target, now);
  }
  const long long from = DayNumber(now) - setup_.settings.catchUpDays - 1;
  for (jobs::JobKind each : kOrder) {
    settled_[Index(each)] = history_.SettledDays(each, setup_.target, from);
  }
  // Settlements that look ahead of this clock are judged only once a run has read the
  // server's: a clock set back would otherwise take every recent day for the future.
}

DateTime Scheduler::FirstStartFor(DateTime now) {
  // A clock set back (a CMOS reset) must not stop every run until it reaches the first
  // start it recorded: while it reads earlier, the first start is taken as now. Nothing is
  // written, so once a run has told the server's time the recorded start holds again.
  if (now >= *firstStart_) {
    clockBehindWarned_ = false;
    return *firstStart_;
  }
  if (!clockBehindWarned_) {
    Warn("the clock reads " + DateTimeText(now) + ", before this target's first scheduled start (" +
         DateTimeText(*firstStart_) + "); runs go on from now");
    clockBehindWarned_ = true;
  }
  return now;
}

void Scheduler::ForgetFutureSettlements(DateTime now) {
  // Days settled while the clock ran ahead have not come yet: they are owed when they do.
  for (jobs::JobKind kind : kOrder) {
    const long long lastDue = DayNumber(now - DueSecond(kind) / 86400.0);
    std::set<long long>& settled = settled_[Index(kind)];
    if (settled.upper_bound(lastDue) == settled.end()) continue;
    settled.erase(settled.upper_bound(lastDue), settled.end());
    // The days came from the history's settled runs, so there are rows to mark.
    writer_.UnsettleAfter(kind, setup_.target, lastDue);
    Warn(std::string(JobName(kind)) + " runs recorded done for days after " + DayText(lastDue) +
         " were made while the clock ran ahead; those days will run when they come");
  }
}

void Scheduler::Evaluate(jobs::JobKind kind) {
  const int k = Index(kind);
  if (stopping_ || owedRunning_ || workers_[k].running) return;
  const DateTime now = Now();
  LoadOnce(now);
  const DateTime firstStart = FirstStartFor(now);
  const std::vector<long long> owed =
      OwedDays({now, DueSecond(kind), firstStart, setup_.settings.catchUpDays, &settled_[k],
                LaterSettlesEarlier(kind)});
  if (owed.empty()) return;
  // Totals recount everything: one run for the newest owed day settles them all.
  const long long day = kind == jobs::JobKind::Totals ? owed.back() : owed.front();
  const Retry& retry = retries_[k];
  Trigger trigger = Trigger::CatchUp;
  if (retry.day == day) {
    if (now < retry.next) return;
    trigger = Trigger::Retry;
  } else if (day == DayNumber(now) && InDueSecond(now, DueSecond(kind))) {
    trigger = Trigger::Scheduled;
  }
  Start(kind, trigger, day, now);
}

void Scheduler::Start(jobs::JobKind kind, Trigger trigger, long long day, DateTime now) {
  Worker& worker = workers_[Index(kind)];
  worker.running = true;
  worker.stop = false;
  worker.trigger = trigger;
  worker.day = day;
  worker.stamp = Stamp();
  if (SettlesOwedRuns(trigger)) owedRunning_ = true;
  worker.historyRun = writer_.BeginRun(kind, day, trigger, now, setup_.target);
  emit runStarted(kind);

  JobCall call;
  call.kind = kind;
  call.trigger = trigger;
  // Runs for a day name it: the job checks it has come by the server's clock, and the
  // run in the job's own second keeps the job's own texts while the clocks agree. A run
  // by hand is for now.
  if (SettlesOwedRuns(trigger)) call.runDay = day;
  call.onTime = trigger == Trigger::Scheduled;
  call.stop = &worker.stop;
  call.clock = setup_.clock;
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  call.progress = [this, kind, clock](int done, int total, int pass) {
    if (done != total && clock->elapsed() < kProgressEveryMs) return;
    clock->restart();
    Post(this, [this, kind, done, total, pass] { emit progressed(kind, done, total, pass); });
  };
  Post(worker.context, [this, kind, call] {
    // A wait is a line of the run's own, stamped like its others.
    const jobs::JobOutcome outcome =
        RunUnderJobLock(setup_.target, call, setup_.job, [this, kind](const std::string& text) {
          Post(this, [this, kind, text] {
            emit logLines({QString::fromStdString(workers_[Index(kind)].stamp + text)});
          });
        });
    Post(this, [this, kind, outcome] { Finished(kind, outcome); });
  });
}

void Scheduler::Finished(jobs::JobKind kind, const jobs::JobOutcome& outcome) {
  const int k = Index(kind);
  Worker& worker = workers_[k];
  if (outcome.clockSkewDays) {
    // From now on runs are timed by the server's clock, when the workstation's is off.
    skewDays_ =
        std::fabs(*outcome.clockSkewDays) > jobs::kClockToleranceDays ? *outcome.clockSkewDays : 0;
    if (firstStart_) {
      const DateTime confirmed = Now();
      // The days settled around the server's today, which a clock far off read elsewhere.
      const long long from = DayNumber(confirmed) - setup_.settings.catchUpDays - 1;
      for (jobs::JobKind each : kOrder) {
        const std::set<long long> days = history_.SettledDays(each, setup_.target, from);
        settled_[Index(each)].insert(days.begin(), days.end());
      }
      ForgetFutureSettlements(confirmed);
      // A first start recorded while the clock ran ahead lies in the future of the
      // server's clock: it comes back to now for good.
      if (confirmed < *firstStart_) {
        firstStart_ = confirmed;
        writer_.MoveFirstStart(setup_.target, confirmed);
      }
    }
  }
  const DateTime now = Now();
  writer_.EndRun(worker.historyRun, now, outcome);

  using Status = jobs::JobOutcome::Status;
  const std::vector<console::Line> lines = jobs::OutcomeLines(kind, outcome, worker.stamp);
  // A click logs its outcome as any run does: whoever clicked may have looked away, and
  // the box a failure also shows is gone once read.
  if (setup_.outcomeLines) {
    setup_.outcomeLines(lines);
  } else {
    QStringList text;
    for (const console::Line& line : lines) text << QString::fromStdString(line.text);
    if (!text.isEmpty()) emit logLines(text);
  }
  if (setup_.ended) setup_.ended(kind, worker.trigger, outcome);
  if (CallsForHook(worker.trigger, outcome)) {
    hook_->Run({kind, worker.day, outcome.status, outcome.message, outcome.skipped.size()});
  }
  // A run that reached the server has said what a start-up check would.
  if (outcome.clockSkewDays) check_.owed = false;

  const bool failed = outcome.status == Status::Failed || outcome.status == Status::CouldNotConnect;
  if (SettlesOwedRuns(worker.trigger)) {
    owedRunning_ = false;
    Retry& retry = retries_[k];
    if (outcome.status == Status::Done) {
      settled_[k].insert(worker.day);
      if (retry.day == worker.day) retry = Retry{};
    } else if (failed) {
      if (retry.day != worker.day) retry = Retry{worker.day, 0, 0};
      ++retry.failures;
      retry.next = now + RetryDelayMinutes(retry.failures) / kMinutesPerDay;
    }
    if (outcome.status == Status::Failed && boxShown_.insert({k, worker.day}).second) {
      emit runFailed(QString::fromStdString(outcome.message));
    }
  } else if (outcome.status == Status::Failed) {
    emit runFailed(QString::fromStdString(outcome.message));
  }
  worker.running = false;
  emit runFinished(kind, outcome.status);
  if (stopping_) {
    if (!Busy()) emit stopped();
    return;
  }
  Tick();  // the next owed run, if any, right after this one
}

}  // namespace cardsync::schedule
