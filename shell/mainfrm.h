// TForm1, the program's one window (instance Form1): the clock label, the two job
// buttons, the log box and the one-second timer whose tick drives the scheduler.
// The window only wires: the scheduler decides and runs the jobs on its workers, the
// error box reports.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "clock/datetime.h"
#include "jobs/outcome.h"
#include "schedule/job_call.h"
#include "schedule/scheduler.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace cardsync::schedule {
class Scheduler;
}

namespace cardsync::shell {

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  using Clock = std::function<DateTime()>;
  using JobRunner = schedule::JobFunction;

  // `clock` is read for the label and by the scheduler; `runJob` runs one job to its end
  // on the job's worker thread. Left empty, the real jobs run, each on a connection of its
  // worker's own. The target and the history come from the deployment settings. Without
  // `schedules` (cardsync --headless runs the target's schedule) only the buttons run jobs.
  // Throws cardsync::Error when the timer cannot be started.
  explicit TForm1(Clock clock = NowDateTime, JobRunner runJob = {}, bool schedules = true,
                  QWidget* parent = nullptr);

  // The controls, owned by the form through Qt's object tree.
  QLabel* Label1;
  QPushButton* Button1;
  QPlainTextEdit* Memo1;
  QPushButton* Button2;
  QTimer* Timer1;

  schedule::Scheduler& scheduler() { return *scheduler_; }

 public slots:
  void Timer1Timer();
  void Button1Click();
  void Button2Click();

 protected:
  void changeEvent(QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  // The scheduler's setup from the settings file; what it could not read is added to
  // `settingsErrors`, for SayAtStart.
  schedule::SchedulerSetup SetupFor(JobRunner runJob, bool schedules,
                                    std::vector<std::string>& settingsErrors);
  void LayOut();   // the controls' bounds and looks, from the layout table
  void Connect();  // the controls' and the scheduler's signals
  // The recent runs, and what the window must say before anything runs.
  void SayAtStart(bool schedules, const std::vector<std::string>& settingsErrors);
  // Starts Timer1; throws cardsync::Error "Not enough timers available" when it cannot.
  void ArmTimer();
  void AppendLog(const std::vector<std::string>& lines);
  // A warning or an error, in the log and on stderr (the journal, under a service).
  void LogWarning(const std::string& text);
  void LogError(const std::string& text);
  void ShowRecentRuns();
  void RunStarted(jobs::JobKind kind);
  void Progressed(jobs::JobKind kind, int done, int total, int pass);
  void RunFinished(jobs::JobKind kind);
  void RunFailed(const QString& message);
  QPushButton* ButtonOf(jobs::JobKind kind) const;

  Clock clock_;
  schedule::Scheduler* scheduler_;
  // The client size at which Memo1 has its designed bounds; the log box takes whatever
  // the window gains or loses beyond it.
  QSize designedClient_;
  bool notifyDesktop_ = true;
  bool placed_ = false;
  bool ticked_ = false;  // Label1 shows the time, not its caption
  bool boxOpen_ = false;
  bool closeWhenStopped_ = false;
};

}  // namespace cardsync::shell
