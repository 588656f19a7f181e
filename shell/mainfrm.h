// TForm1, the program's one window (instance Form1): the clock label, the two job
// buttons, the log box and the one-second timer whose tick runs the daily schedule.
// The window only wires: the schedule decides, the jobs work, the error box reports.
#pragma once

#include <QWidget>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "db/database.h"
#include "jobs/outcome.h"
#include "clock/datetime.h"
#include "shell/schedule.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QTimer;

namespace cardsync::shell {

class TForm1 : public QWidget {
  Q_OBJECT
 public:
  using Clock = std::function<DateTime()>;
  using JobRunner = std::function<jobs::JobOutcome(jobs::JobKind)>;

  // `clock` is read for the label and for each schedule check; `runJob` runs one job to
  // its end. Left empty, the runner calls RunTransfer/RunTotals on the form's Database.
  // Throws cardsync::Error when the timer cannot be started.
  explicit TForm1(Clock clock = NowDateTime, JobRunner runJob = {}, QWidget* parent = nullptr);

  // The controls, owned by the form through Qt's object tree.
  QLabel* Label1;
  QPushButton* Button1;
  QPlainTextEdit* Memo1;
  QPushButton* Button2;
  QTimer* Timer1;

  db::Database& Database() { return database_; }

 public slots:
  void Timer1Timer();
  void Button1Click();
  void Button2Click();

 protected:
  void changeEvent(QEvent* event) override;
  void showEvent(QShowEvent* event) override;

 private:
  struct Check {
    jobs::JobKind kind;
    Schedule schedule;
  };

  // Starts Timer1; throws cardsync::Error "Not enough timers available" when it cannot.
  void ArmTimer();
  void ScheduledRun(jobs::JobKind kind);
  void ClickedRun(jobs::JobKind kind);
  void AppendLog(const std::vector<std::string>& lines);
  std::string Stamp() const;

  db::Database database_;
  Clock clock_;
  JobRunner runJob_;
  std::array<Check, 2> checks_;
  bool placed_ = false;
};

}  // namespace cardsync::shell
