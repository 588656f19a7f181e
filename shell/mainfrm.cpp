// The main window. Its constructor builds the controls from the layout table below;
// each slot is a few lines handing work to the schedule, a job or the error box.
#include "shell/mainfrm.h"

#include <QEvent>
#include <QFont>
#include <QLabel>
#include <QMetaObject>
#include <QPalette>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRect>
#include <QTimer>

#include "convert/error.h"
#include "db/connection_settings.h"
#include "db/settings_file_mode.h"
#include "jobs/totals.h"
#include "jobs/transfer.h"
#include "shell/error_box.h"
#include "clock/format_settings.h"

using namespace Qt::StringLiterals;

namespace cardsync::shell {

namespace {

// The daily runs, in the order every tick checks them: the transfer first.
constexpr char kTransferTime[] = "020000";
constexpr char kTotalsTime[] = "010000";

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

TForm1::TForm1(Clock clock, JobRunner runJob, QWidget* parent)
    : QWidget(parent),
      Label1(new QLabel(u"Label1"_s, this)),
      Button1(new QPushButton(u"解析"_s, this)),
      Memo1(new QPlainTextEdit(u"Memo1"_s, this)),
      Button2(new QPushButton(u"统计"_s, this)),
      Timer1(new QTimer(this)),
      clock_(std::move(clock)),
      runJob_(std::move(runJob)),
      checks_{Check{jobs::JobKind::Transfer, Schedule(kTransferTime)},
              Check{jobs::JobKind::Totals, Schedule(kTotalsTime)}} {
  if (!runJob_) {
    runJob_ = [this](jobs::JobKind kind) {
      return kind == jobs::JobKind::Transfer ? jobs::RunTransfer(database_)
                                             : jobs::RunTotals(database_);
    };
  }

  setObjectName(u"Form1"_s);
  setWindowTitle(u"Form1"_s);
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
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setTabChangesFocus(true);  // Tab walks the tab order instead of typing a tab
  Button2->setObjectName(u"Button2"_s);
  Button2->setGeometry(kButton2Bounds);
  QWidget::setTabOrder(Button1, Memo1);
  QWidget::setTabOrder(Memo1, Button2);
  Timer1->setObjectName(u"Timer1"_s);
  Timer1->setInterval(kTickMs);
  Timer1->setTimerType(Qt::PreciseTimer);

  connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
  connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1::Button2Click);
  ArmTimer();
  if (auto warning = db::SettingsFileModeWarning(db::SettingsFilePath())) AppendLog({"警告: " + *warning});
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
    Label1->adjustSize();
    // Each check reads the clock afresh: a transfer that ran long must not make the
    // totals check judge by a reading from before it started.
    for (Check& check : checks_) {
      if (check.schedule.Due(clock_())) ScheduledRun(check.kind);
    }
  });
}

void TForm1::Button1Click() {
  RunGuarded([this] { ClickedRun(jobs::JobKind::Transfer); });
}

void TForm1::Button2Click() {
  RunGuarded([this] { ClickedRun(jobs::JobKind::Totals); });
}

void TForm1::ScheduledRun(jobs::JobKind kind) {
  Timer1->stop();
  jobs::JobOutcome outcome;
  try {
    outcome = runJob_(kind);
  } catch (...) {
    // A job that throws instead of reporting is still a failed run: logged, and the
    // timer must come back, or the clock and every later day's runs would stop.
    outcome.status = jobs::JobOutcome::Status::Failed;
    outcome.message = ExceptionMessage(std::current_exception());
  }
  AppendLog(jobs::OutcomeLogLines(kind, outcome, Stamp()));
  if (outcome.status == jobs::JobOutcome::Status::Failed) {
    // Queued, so this tick finishes its checks and the clock keeps running while the
    // box waits for someone to read it; queued before the timer is armed again, so a
    // refused timer cannot swallow the job's own error.
    QMetaObject::invokeMethod(
        this, [message = outcome.message] { ShowErrorBox(message); }, Qt::QueuedConnection);
  }
  ArmTimer();
}

void TForm1::ClickedRun(jobs::JobKind kind) {
  const jobs::JobOutcome outcome = runJob_(kind);
  std::vector<std::string> lines = jobs::OutcomeLogLines(kind, outcome, Stamp());
  // A click logs neither its success nor its failure (the box reports that one), but a
  // connection that never came up and skipped records are worth a line either way.
  if (outcome.status != jobs::JobOutcome::Status::CouldNotConnect && !lines.empty()) {
    lines.erase(lines.begin());
  }
  AppendLog(lines);
  if (outcome.status == jobs::JobOutcome::Status::Failed) throw cardsync::Error(outcome.message);
}

void TForm1::AppendLog(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) Memo1->appendPlainText(QString::fromStdString(line));
}

std::string TForm1::Stamp() const { return Label1->text().toStdString(); }

void TForm1::changeEvent(QEvent* event) {
  // Later date-time texts follow the new regional settings; the label catches up on
  // the next tick.
  if (event->type() == QEvent::LocaleChange) ReloadFormatSettings();
  QWidget::changeEvent(event);
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  // The bounds are the outer ones; once a window manager has put a frame around the
  // window, the client area shrinks by that frame.
  const QSize frame = frameGeometry().size() - geometry().size();
  if (frame != QSize(0, 0)) resize(kFormBounds.size() - frame);
}

}  // namespace cardsync::shell
