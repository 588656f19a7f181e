// The main window. Its constructor builds the controls from the layout table below;
// each slot is a few lines handing work to the scheduler or the error box, or showing
// what the scheduler reports from its workers.
#include "shell/mainfrm.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFont>
#include <QIcon>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRect>
#include <QResizeEvent>
#include <QTimer>
#include <algorithm>
#include <iostream>

#include "base/console.h"
#include "base/error.h"
#include "clock/format_settings.h"
#include "db/connection_settings.h"
#include "schedule/locks.h"
#include "schedule/scheduler.h"
#include "settings/settings.h"
#include "settings/settings_file_mode.h"
#include "shell/desktop_notice.h"
#include "shell/error_box.h"

using namespace Qt::StringLiterals;

namespace cardsync::shell {

namespace {

constexpr char16_t kTitle[] = u"Form1";
// While a transfer runs its progress follows the caption, so no control has to move.
constexpr char16_t kProgressTitle[] = u"Form1 - 解析 %1/%2 (%3)";
constexpr char16_t kTotalsTitle[] = u"Form1 - 统计...";
constexpr char kWarning[] = "警告: ";
constexpr char kError[] = "错误: ";
constexpr char kNote[] = "提示: ";
constexpr char kScheduleElsewhere[] =
    "the schedule for %1 is run by the cardsync service (cardsync --headless); this window "
    "runs jobs only by hand";
constexpr char kIcon[] = ":/cardsync/cardsync.png";
// The log shows this much of the history when the window opens: the last day.
constexpr double kRecentDays = 1.0;

// Window and control geometry in pixels; the controls' in client coordinates.
constexpr QRect kFormBounds{192, 130, 301, 184};
constexpr QRect kLabel1Bounds{8, 8, 36, 12};
constexpr QRect kButton1Bounds{8, 48, 75, 25};
constexpr QRect kMemo1Bounds{88, 32, 185, 113};
constexpr QRect kButton2Bounds{8, 80, 75, 25};
constexpr int kTickMs = 1000;
constexpr char kNoTimer[] = "Not enough timers available";

// "宋体" (SimSun) exists only on Windows. Elsewhere Qt is told which installed Song-style
// faces stand in for it, so the Chinese captions keep their look instead of falling
// back to whatever sans face fontconfig picks first.
constexpr char16_t kFontFamily[] = u"宋体";
constexpr int kFontPixels = 12;
const QStringList kFontSubstitutes{u"SimSun"_s, u"AR PL UMing CN"_s, u"AR PL SungtiL GB"_s,
                                   u"Noto Serif CJK SC"_s};

}  // namespace

TForm1::TForm1(Clock clock, JobRunner runJob, bool schedules, QWidget* parent)
    : QWidget(parent),
      Label1(new QLabel(u"Label1"_s, this)),
      Button1(new QPushButton(u"解析"_s, this)),
      Memo1(new QPlainTextEdit(u"Memo1"_s, this)),
      Button2(new QPushButton(u"统计"_s, this)),
      Timer1(new QTimer(this)),
      clock_(std::move(clock)),
      designedClient_(kFormBounds.size()) {
  std::vector<std::string> settingsErrors;
  scheduler_ =
      new schedule::Scheduler(SetupFor(std::move(runJob), schedules, settingsErrors), this);
  LayOut();
  Connect();
  SayAtStart(schedules, settingsErrors);
}

schedule::SchedulerSetup TForm1::SetupFor(JobRunner runJob, bool schedules,
                                          std::vector<std::string>& settingsErrors) {
  // A settings file that cannot be read still opens the window, which then has to say so
  // where its user looks; the target and [schedule] may both name the same fault.
  schedule::SchedulerSetup setup =
      schedule::SetupFromSettings([&settingsErrors](const std::string& text) {
        if (std::find(settingsErrors.begin(), settingsErrors.end(), text) == settingsErrors.end())
          settingsErrors.push_back(text);
      });
  try {
    notifyDesktop_ = settings::ReadSettings(settings::SettingsFilePath()).notify.desktop;
  } catch (const std::exception&) {
    // Said above; the default holds.
  }
  setup.schedules = schedules;
  setup.clock = clock_;
  // A line is stamped with the time the label shows; before the first tick the label
  // still reads its caption, so the clock's own text stands in.
  setup.stamp = [this] { return ticked_ ? Label1->text().toStdString() : DateTimeText(clock_()); };
  if (runJob) setup.job = std::move(runJob);
  setup.warn = [this](const std::string& text) { LogWarning(text); };
  // The history keeps what catch-up and retries go by: trouble with it is an error, with a
  // box once a day (the scheduler's count).
  setup.historyError = [this](const std::string& text) { LogError(text); };
  setup.ended = [this](jobs::JobKind kind, schedule::Trigger trigger,
                       const jobs::JobOutcome& outcome) {
    if (!notifyDesktop_) return;
    if (auto notice = NoticeFor(kind, trigger, outcome, scheduler_->target().Text()))
      SendDesktopNotice(*notice);
  };
  return setup;
}

void TForm1::LayOut() {
  setObjectName(u"Form1"_s);
  setWindowTitle(QString::fromUtf16(kTitle));
  setWindowIcon(QIcon(QString::fromLatin1(kIcon)));
  move(kFormBounds.topLeft());
  resize(kFormBounds.size());
  // Adding substitutes a family already has changes nothing, so every form may do it.
  QFont::insertSubstitutions(QString::fromUtf16(kFontFamily), kFontSubstitutes);
  QFont font(QString::fromUtf16(kFontFamily));
  font.setPixelSize(kFontPixels);
  setFont(font);  // every control inherits it
  QPalette buttonFace = palette();
  buttonFace.setColor(QPalette::Window, buttonFace.color(QPalette::Button));
  setPalette(buttonFace);
  setAutoFillBackground(true);

  Label1->setObjectName(u"Label1"_s);
  Label1->setGeometry(kLabel1Bounds);
  Label1->adjustSize();
  Button1->setObjectName(u"Button1"_s);
  Button1->setGeometry(kButton1Bounds);
  Memo1->setObjectName(u"Memo1"_s);
  Memo1->setGeometry(kMemo1Bounds);
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);  // a day's lines outgrow it
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setTabChangesFocus(true);  // Tab walks the tab order instead of typing a tab
  Button2->setObjectName(u"Button2"_s);
  Button2->setGeometry(kButton2Bounds);
  QWidget::setTabOrder(Button1, Memo1);
  QWidget::setTabOrder(Memo1, Button2);
  Timer1->setObjectName(u"Timer1"_s);
  Timer1->setInterval(kTickMs);
  Timer1->setTimerType(Qt::PreciseTimer);
}

void TForm1::Connect() {
  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  connect(scheduler_, &schedule::Scheduler::runStarted, this, &TForm1::RunStarted);
  connect(scheduler_, &schedule::Scheduler::progressed, this, &TForm1::Progressed);
  connect(scheduler_, &schedule::Scheduler::runFinished, this, &TForm1::RunFinished);
  connect(scheduler_, &schedule::Scheduler::runFailed, this, &TForm1::RunFailed);
  connect(scheduler_, &schedule::Scheduler::historyFailed, this, &TForm1::RunFailed);
  connect(scheduler_, &schedule::Scheduler::logLines, this, [this](const QStringList& lines) {
    for (const QString& line : lines) Memo1->appendPlainText(line);
  });
  connect(scheduler_, &schedule::Scheduler::stopped, this, [this] {
    if (closeWhenStopped_) close();
  });
}

void TForm1::SayAtStart(bool schedules, const std::vector<std::string>& settingsErrors) {
  ShowRecentRuns();
  // When the service goes away this window does not take the schedule over: whoever
  // stopped the service meant the schedule to stop, and a new window start takes it.
  if (!schedules)
    AppendLog({kNote + QString::fromLatin1(kScheduleElsewhere)
                           .arg(QString::fromStdString(scheduler_->target().Text()))
                           .toStdString()});
  ArmTimer();
  if (auto warning = settings::SettingsFileModeWarning(db::SettingsFilePath()))
    AppendLog({kWarning + *warning});
  // No job can run without its lock folder; say so now rather than at the first run.
  if (const std::string problem = schedule::FolderProblem(); !problem.empty()) {
    LogWarning(problem);
    RunFailed(QString::fromStdString(problem));
  }
  for (const std::string& text : settingsErrors) {
    LogError(text);
    RunFailed(QString::fromStdString(text));  // the first one boxed
  }
}

void TForm1::LogWarning(const std::string& text) {
  console::Warning(text);
  AppendLog({kWarning + text});
}

void TForm1::LogError(const std::string& text) {
  console::Failed(text);
  AppendLog({kError + text});
}

void TForm1::ArmTimer() {
  Timer1->start();  // a full interval from now
  // Qt only warns when the platform refuses a timer; without one the window would sit
  // there looking alive while nothing ever runs again.
  if (!Timer1->isActive()) throw cardsync::Error(kNoTimer);
}

void TForm1::Timer1Timer() {
  RunGuarded([this] {
    Label1->setText(QString::fromStdString(DateTimeText(clock_())));
    ticked_ = true;
    Label1->adjustSize();
    scheduler_->Tick();  // reads the clock afresh for each job
  });
}

void TForm1::Button1Click() {
  RunGuarded([this] { scheduler_->Click(jobs::JobKind::Transfer); });
}

void TForm1::Button2Click() {
  RunGuarded([this] { scheduler_->Click(jobs::JobKind::Totals); });
}

QPushButton* TForm1::ButtonOf(jobs::JobKind kind) const {
  return kind == jobs::JobKind::Transfer ? Button1 : Button2;
}

void TForm1::RunStarted(jobs::JobKind kind) {
  ButtonOf(kind)->setEnabled(false);
  if (kind == jobs::JobKind::Totals) setWindowTitle(QString::fromUtf16(kTotalsTitle));
}

void TForm1::Progressed(jobs::JobKind kind, int done, int total, int pass) {
  if (kind != jobs::JobKind::Transfer) return;
  setWindowTitle(QString::fromUtf16(kProgressTitle).arg(done).arg(total).arg(pass));
}

void TForm1::RunFinished(jobs::JobKind kind) {
  ButtonOf(kind)->setEnabled(true);
  const jobs::JobKind other =
      kind == jobs::JobKind::Transfer ? jobs::JobKind::Totals : jobs::JobKind::Transfer;
  if (!scheduler_->Running(other)) {
    setWindowTitle(QString::fromUtf16(kTitle));
  } else if (other == jobs::JobKind::Totals) {
    // The totals waited for this transfer, whose progress held the title; they run now.
    setWindowTitle(QString::fromUtf16(kTotalsTitle));
  }
}

void TForm1::RunFailed(const QString& message) {
  // One box at a time, and never in the tick's own call: the clock keeps running while
  // the box waits for someone to read it.
  if (boxOpen_) return;
  boxOpen_ = true;
  QMetaObject::invokeMethod(
      this,
      [this, text = message.toStdString()] {
        ShowErrorBox(text);
        boxOpen_ = false;
      },
      Qt::QueuedConnection);
}

void TForm1::ShowRecentRuns() {
  const DateTime now = clock_();
  schedule::History& history = scheduler_->history();
  for (const schedule::RunRow& row : history.Runs(now - kRecentDays, scheduler_->target())) {
    if (!row.ended) continue;  // still running elsewhere, or never finished
    AppendLog(jobs::OutcomeLogLines(row.job, row.Outcome(), DateTimeText(row.started)));
  }
}

void TForm1::AppendLog(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) Memo1->appendPlainText(QString::fromStdString(line));
}

void TForm1::changeEvent(QEvent* event) {
  // Later date-time texts follow the new regional settings; the label catches up on
  // the next tick.
  if (event->type() == QEvent::LocaleChange) ReloadFormatSettings();
  QWidget::changeEvent(event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  // A running job stops after its current record and is recorded as interrupted; the
  // window closes once nothing runs.
  if (scheduler_->Busy()) {
    closeWhenStopped_ = true;
    scheduler_->StopAll();
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  // The log box's right and bottom edges keep their margins; the rest stays in place.
  const QSize gained = event->size() - designedClient_;
  Memo1->resize((kMemo1Bounds.size() + gained).expandedTo(QSize(0, 0)));
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  // The bounds are the outer ones; once a window manager has put a frame around the
  // window, the client area shrinks by that frame.
  const QSize frame = frameGeometry().size() - geometry().size();
  if (frame == QSize(0, 0)) return;
  designedClient_ = kFormBounds.size() - frame;  // Memo1 keeps the bounds it was given
  resize(designedClient_);
}

}  // namespace cardsync::shell
