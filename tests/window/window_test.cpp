// The window: the tick, scheduled runs, clicks, the error box and its title, locale
// changes and fonts, a job running on its worker while the window lives on; first with
// scripted jobs, then with the real jobs against the SQL Server stand-in; last, totals
// asked for during a transfer (by button, schedule or cardsync --run) waiting for it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollBar>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/error.h"
#include "clock/datetime.h"
#include "clock/format_settings.h"
#include "jobs/outcome.h"
#include "jobs/server_day.h"
#include "schedule/locks.h"
#include "schedule/scheduler.h"
#include "schedule/settings.h"
#include "shell/app_title.h"
#include "shell/desktop_notice.h"
#include "shell/error_box.h"
#include "shell/mainfrm.h"
#include "shell/window_instance.h"
#include "tests/support/standin_server.h"
#include "tests/support/state_home.h"

using namespace Qt::StringLiterals;

namespace cardsync::shell {
namespace {

using jobs::JobKind;
using jobs::JobOutcome;
using Status = jobs::JobOutcome::Status;

DateTime At(int day, int hour, int minute, int second, int ms) {
  return EncodeDateTime(2024, 3, day, hour, minute, second, ms);
}

std::string Text(DateTime t) { return DateTimeText(t); }

// Closes every modal message box that opens while it lives, noting what each showed.
class BoxCloser {
 public:
  struct Seen {
    QString title;
    QString text;
    QMessageBox::Icon icon;
  };

  BoxCloser() {
    poll_.setInterval(10);
    QObject::connect(&poll_, &QTimer::timeout, [this] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      if (!box || !box->isVisible()) return;
      seen.push_back({box->windowTitle(), box->text(), box->icon()});
      box->button(QMessageBox::Ok)->click();
    });
    poll_.start();
  }

  // Lets the event loop run until `count` boxes were seen or `ms` passed.
  void WaitFor(size_t count, int ms = 3000) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (seen.size() < count && elapsed.elapsed() < ms) QTest::qWait(10);
    QTest::qWait(20);  // anything more that was about to open
  }

  std::vector<Seen> seen;

 private:
  QTimer poll_;
};

// Writes `text` as a settings file only its owner may read, and names it in
// CARDSYNC_SETTINGS.
void UseSettings(const QString& path, const std::string& text) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  file.write(text.c_str());
  file.close();
  file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);  // no warning about its mode
  qputenv("CARDSYNC_SETTINGS", path.toLocal8Bit());
}

// No desktop notices: scripted failures would reach a developer's desktop.
constexpr char kSettingsText[] =
    "[notify]\ndesktop=no\n"
    "[database]\nserver=127.0.0.1\ndatabase=reporting\nuser=cardsync\npassword=p\n";

// Each form keeps its history (and its locks) in a folder of its own, and reads a settings
// file that holds no fault (one would show in its log); the runtime folder is the test
// program's own.
struct StateFolder {
  QTemporaryDir dir;
  cardsync::testing::StateHome home{dir.path()};
  StateFolder() { UseSettings(dir.filePath(u"cardsync.ini"_s), kSettingsText); }
  ~StateFolder() { qunsetenv("CARDSYNC_SETTINGS"); }
};

// Lets the event loop run until no job runs on the form's workers (a run's end may start
// the next owed one, so quiet is checked twice).
void Settle(TForm1& form) {
  for (int quiet = 0; quiet < 2;) {
    QElapsedTimer elapsed;
    elapsed.start();
    while (form.scheduler().Busy() && elapsed.elapsed() < 20000) QTest::qWait(5);
    QCoreApplication::processEvents();
    quiet = form.scheduler().Busy() ? 0 : quiet + 1;
  }
}

// A form with a hand-set clock and scripted jobs. Readings queued in `readings` are
// handed out one per clock read; when it is empty the clock stays at `now`.
struct Harness {
  StateFolder state;
  DateTime now = At(15, 12, 0, 0, 0);
  std::deque<DateTime> readings;
  std::vector<JobKind> ran;
  std::function<JobOutcome(JobKind)> job = [](JobKind) { return JobOutcome{}; };
  TForm1 form{[this] {
                if (!readings.empty()) {
                  now = readings.front();
                  readings.pop_front();
                }
                return now;
              },
              [this](const schedule::JobCall& call) {
                ran.push_back(call.kind);
                return job(call.kind);
              }};

  void TickAt(DateTime t) {
    now = t;
    form.Timer1Timer();
    Settle(form);
  }
  void Click(QPushButton* button) {
    button->click();
    Settle(form);
  }
  std::vector<std::string> Log() const {
    std::vector<std::string> lines;
    for (const QString& line : form.Memo1->toPlainText().split(u'\n')) {
      lines.push_back(line.toStdString());
    }
    return lines;
  }
};

JobOutcome Outcome(Status status, std::string message = {}, std::vector<std::string> skipped = {}) {
  JobOutcome outcome;
  outcome.status = status;
  outcome.message = std::move(message);
  for (std::string& id : skipped) outcome.skipped.push_back({std::move(id), "bad value"});
  return outcome;
}

struct ScriptedCase {
  std::string name;
  JobKind kind;
  std::function<JobOutcome(JobKind)> job;
  std::vector<std::string> suffixes;  // of the lines a run logs after "Memo1", clicked or not
  std::string box;                    // the error box's text; empty when none shows
};

const std::vector<ScriptedCase>& ScriptedCases() {
  static const std::vector<ScriptedCase> cases = {
      {"transfer done",
       JobKind::Transfer,
       [](JobKind) { return Outcome(Status::Done); },
       {"处理数据!"},
       ""},
      {"totals done",
       JobKind::Totals,
       [](JobKind) { return Outcome(Status::Done); },
       {"统计数据!"},
       ""},
      {"could not connect",
       JobKind::Transfer,
       [](JobKind) { return Outcome(Status::CouldNotConnect, "Login timeout expired"); },
       {"数据库连接失败! Login timeout expired"},
       ""},
      {"skipped records",
       JobKind::Transfer,
       [](JobKind) {
         return Outcome(Status::Done, "", {"A1", "A2"});
       },
       {"处理数据!", "跳过 2 条记录: A1, A2", "跳过原因: bad value (2 条): A1, A2"},
       ""},
      {"failed",
       JobKind::Totals,
       [](JobKind) { return Outcome(Status::Failed, "Could not find stored procedure 'totals'"); },
       {"统计数据失败: Could not find stored procedure 'totals'"},
       "Could not find stored procedure 'totals'"},  // a closing quote takes no full stop
      {"job throws",
       JobKind::Transfer,
       [](JobKind) -> JobOutcome { throw cardsync::Error("表 T_sendbase 不存在"); },
       {"处理数据失败: 表 T_sendbase 不存在"},
       "表 T_sendbase 不存在."},
  };
  return cases;
}

DateTime DueMoment(JobKind kind) {
  return kind == JobKind::Transfer ? At(15, 2, 0, 0, 400) : At(15, 1, 0, 0, 400);
}

void ExpectBoxes(const BoxCloser& closer, const std::string& text) {
  if (text.empty()) {
    EXPECT_TRUE(closer.seen.empty());
    return;
  }
  ASSERT_EQ(closer.seen.size(), 1u);
  EXPECT_EQ(closer.seen[0].text.toStdString(), text);
  EXPECT_EQ(closer.seen[0].title.toStdString(), "test_window");  // this executable
  EXPECT_EQ(closer.seen[0].icon, QMessageBox::Critical);
}

TEST(WindowTest, ScheduledRunLogsItsOutcomeAndTheClockGoesOn) {
  for (const ScriptedCase& c : ScriptedCases()) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.job = c.job;
    BoxCloser closer;
    const DateTime due = DueMoment(c.kind);
    h.TickAt(due - 1.0 / 86400);
    h.TickAt(due);
    closer.WaitFor(c.box.empty() ? 0 : 1, c.box.empty() ? 100 : 3000);

    std::vector<std::string> expected = {"Memo1"};
    for (const std::string& suffix : c.suffixes) expected.push_back(Text(due) + suffix);
    EXPECT_EQ(h.Log(), expected);
    EXPECT_EQ(h.ran, std::vector<JobKind>{c.kind});
    ExpectBoxes(closer, c.box);
    // Even after a failure the timer runs again, the label moves on and no job reruns.
    EXPECT_TRUE(h.form.Timer1->isActive());
    h.TickAt(due + 5.0 / 86400);
    EXPECT_EQ(h.form.Label1->text().toStdString(), Text(due + 5.0 / 86400));
    EXPECT_EQ(h.ran.size(), 1u);
  }
}

// Either button's run ends in its line, done or failed: a click whose line was dropped
// left no trace once its box was read.
TEST(WindowTest, ClickRunsTheJobAndLogsItsOutcome) {
  for (const ScriptedCase& c : ScriptedCases()) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.job = c.job;
    BoxCloser closer;
    const DateTime noon = At(15, 12, 0, 0, 0);
    h.TickAt(noon);
    h.Click(c.kind == JobKind::Transfer ? h.form.Button1 : h.form.Button2);
    closer.WaitFor(c.box.empty() ? 0 : 1, c.box.empty() ? 100 : 3000);

    std::vector<std::string> expected = {"Memo1"};
    for (const std::string& suffix : c.suffixes) expected.push_back(Text(noon) + suffix);
    EXPECT_EQ(h.Log(), expected);
    EXPECT_EQ(h.ran, std::vector<JobKind>{c.kind});
    ExpectBoxes(closer, c.box);
    EXPECT_TRUE(h.form.Timer1->isActive());
    h.TickAt(noon + 1.0 / 86400);
    EXPECT_EQ(h.form.Label1->text().toStdString(), Text(noon + 1.0 / 86400));
  }
}

// Until the first tick the label reads "Label1": a line stamped with it would say nothing
// of when it happened.
TEST(WindowTest, ARunBeforeTheFirstTickIsStampedWithTheClock) {
  Harness h;
  h.Click(h.form.Button2);
  EXPECT_EQ(h.Log(), (std::vector<std::string>{"Memo1", Text(h.now) + "统计数据!"}));
}

TEST(WindowTest, BothJobsCaughtUpInOneTickRunTransferFirst) {
  Harness h;
  h.TickAt(At(15, 0, 59, 59, 500));
  h.TickAt(At(15, 2, 0, 0, 500));  // the window was held from before 01:00 until 02:00
  EXPECT_EQ(h.ran, (std::vector<JobKind>{JobKind::Transfer, JobKind::Totals}));
  const std::string stamp = Text(At(15, 2, 0, 0, 500));
  EXPECT_EQ(h.Log(), (std::vector<std::string>{"Memo1", stamp + "处理数据!", stamp + "统计数据!"}));
}

TEST(WindowTest, LabelAndEachCheckReadTheClockApart) {
  Harness h;
  h.TickAt(At(15, 1, 59, 58, 950));
  // Label, transfer check, totals check: the run is triggered by the second reading but
  // stamped with the first.
  h.readings = {At(15, 1, 59, 59, 999), At(15, 2, 0, 0, 1), At(15, 2, 0, 0, 2)};
  h.form.Timer1Timer();
  Settle(h.form);
  EXPECT_EQ(h.ran, std::vector<JobKind>{JobKind::Transfer});
  EXPECT_EQ(h.Log().back(), Text(At(15, 1, 59, 59, 999)) + "处理数据!");
}

// A transfer held on a latch on its worker: the window ticks on, shows the progress in
// its title, disables only that job's button, makes a due run of the same job wait, and
// closing it stops the job after its record, records the run interrupted, then closes.
TEST(WindowTest, AJobOnItsWorkerLeavesTheWindowAliveAndClosingStopsIt) {
  using namespace std::chrono_literals;
  StateFolder state;
  DateTime now = At(15, 12, 0, 0, 0);
  QSemaphore started, release;
  std::atomic<int> transfers{0};
  std::atomic<bool> sawStop{false};
  TForm1 form([&] { return now; },
              [&](const schedule::JobCall& call) {
                JobOutcome outcome;
                if (call.kind != JobKind::Transfer) return outcome;
                ++transfers;
                std::this_thread::sleep_for(80ms);  // past the wait between progress reports
                call.progress(1, 4, 1);
                started.release();
                release.acquire();
                if (call.stop->load()) {
                  sawStop = true;
                  outcome.status = Status::Interrupted;
                  outcome.message = "stopped after 1 records";
                }
                return outcome;
              });
  form.show();
  form.Timer1Timer();
  const QRect buttonPlace = form.Button1->geometry();
  form.Button1->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return started.tryAcquire(); }, 5000));
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.windowTitle().contains(u"1/4"_s); }, 2000))
      << form.windowTitle().toStdString();
  EXPECT_FALSE(form.Button1->isEnabled());
  EXPECT_TRUE(form.Button2->isEnabled());
  EXPECT_EQ(form.Button1->geometry(), buttonPlace);

  now = At(16, 2, 0, 0, 300);  // the transfer comes due while the click's run goes on
  form.Timer1Timer();
  EXPECT_EQ(form.Label1->text().toStdString(), Text(now));
  QTest::qWait(200);
  EXPECT_EQ(transfers, 1);

  release.release();  // the click's run ends; the due run follows at once
  ASSERT_TRUE(QTest::qWaitFor([&] { return started.tryAcquire(); }, 5000));
  EXPECT_EQ(transfers, 2);

  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
  release.release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !form.isVisible(); }, 5000));
  EXPECT_TRUE(sawStop);
  EXPECT_TRUE(form.Button1->isEnabled());
  EXPECT_EQ(form.windowTitle(), u"Form1"_s);
  const auto runs = form.scheduler().history().Runs(0, std::nullopt);
  ASSERT_FALSE(runs.empty());
  EXPECT_EQ(runs.back().job, JobKind::Transfer);
  EXPECT_EQ(runs.back().trigger, schedule::Trigger::Scheduled);
  EXPECT_EQ(runs.back().outcome, "interrupted");
  EXPECT_EQ(form.Memo1->toPlainText().split(u'\n').last().toStdString(),
            Text(now) + "处理数据中断: stopped after 1 records");
}

TEST(WindowTest, LocaleChangeReachesTheLabel) {
  const DateTime t = At(15, 14, 5, 9, 0);
  const QLocale us(QLocale::English, QLocale::UnitedStates);
  const QLocale de(QLocale::German, QLocale::Germany);
  const std::string usText = DateTimeText(t, FormatSettingsFromLocale(us));
  const std::string deText = DateTimeText(t, FormatSettingsFromLocale(de));
  ASSERT_NE(usText, deText);

  Harness h;
  QEvent change(QEvent::LocaleChange);
  for (const auto& [locale, text] : {std::pair{us, usText}, std::pair{de, deText}}) {
    SCOPED_TRACE(locale.name().toStdString());
    QLocale::setDefault(locale);
    QCoreApplication::sendEvent(qApp, &change);  // as Qt passes on a system change
    h.TickAt(t);
    EXPECT_EQ(h.form.Label1->text().toStdString(), text);
  }
  QLocale::setDefault(QLocale::system());
  ReloadFormatSettings();
}

TEST(WindowTest, ChineseCaptionsHaveAFontThatDrawsThem) {
  Harness h;
  for (QWidget* control :
       {static_cast<QWidget*>(h.form.Button1), static_cast<QWidget*>(h.form.Button2),
        static_cast<QWidget*>(h.form.Label1)}) {
    SCOPED_TRACE(control->objectName().toStdString());
    EXPECT_EQ(control->font().pixelSize(), 12);
    const QFontMetrics metrics(control->font());
    for (char32_t c : U"解析统计") EXPECT_TRUE(c == 0 || metrics.inFontUcs4(c)) << uint32_t(c);
  }
  // Without a substitute Qt falls back to a Latin face here, which lacks these glyphs.
  EXPECT_TRUE(QFont::substitutes(u"宋体"_s).contains(QFontInfo(h.form.font()).family(),
                                                     Qt::CaseInsensitive))
      << QFontInfo(h.form.font()).family().toStdString();
}

TEST(WindowTest, ControlsHaveTheirNamesCaptionsPlacesAndFont) {
  Harness h;
  TForm1& form = h.form;
  EXPECT_EQ(form.objectName(), u"Form1"_s);
  EXPECT_EQ(form.windowTitle(), u"Form1"_s);
  EXPECT_EQ(form.pos(), QPoint(192, 130));
  EXPECT_EQ(form.size(), QSize(301, 184));  // outer bounds; no frame before it is shown
  EXPECT_TRUE(form.autoFillBackground());
  EXPECT_EQ(form.palette().color(QPalette::Window), form.palette().color(QPalette::Button));

  struct Control {
    QWidget* widget;
    const char* name;
    QRect bounds;  // Label1 keeps its place and sizes itself to its text
    QString text;
  };
  const std::vector<Control> controls = {
      {form.Label1, "Label1", QRect(8, 8, 0, 0), u"Label1"_s},
      {form.Button1, "Button1", QRect(8, 48, 75, 25), u"解析"_s},
      {form.Memo1, "Memo1", QRect(88, 32, 185, 113), u"Memo1"_s},
      {form.Button2, "Button2", QRect(8, 80, 75, 25), u"统计"_s},
  };
  for (const Control& c : controls) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.widget->objectName().toStdString(), c.name);
    EXPECT_EQ(c.widget->parentWidget(), &form);
    EXPECT_EQ(c.widget->pos(), c.bounds.topLeft());
    EXPECT_EQ(c.widget->size(), c.bounds.isEmpty() ? c.widget->sizeHint() : c.bounds.size());
    EXPECT_EQ(c.widget->font().family(), u"宋体"_s);
    EXPECT_EQ(c.widget->font().pixelSize(), 12);
    QString text;
    if (auto* label = qobject_cast<QLabel*>(c.widget)) text = label->text();
    if (auto* button = qobject_cast<QPushButton*>(c.widget)) text = button->text();
    if (auto* memo = qobject_cast<QPlainTextEdit*>(c.widget)) text = memo->toPlainText();
    EXPECT_EQ(text.toStdString(), c.text.toStdString());
  }

  // The log box: editable, wrapping, scrolling down only.
  EXPECT_FALSE(form.Memo1->isReadOnly());
  EXPECT_EQ(form.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(form.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAsNeeded);
  EXPECT_EQ(form.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);

  // Tab walks Button1, Memo1, Button2 and round again; the label takes no focus.
  EXPECT_EQ(form.Label1->focusPolicy(), Qt::NoFocus);
  std::vector<std::string> order;
  QWidget* at = form.Button1;
  for (int step = 0; step < 4; ++step) {
    order.push_back(at->objectName().toStdString());
    do at = at->nextInFocusChain();
    while (!(at->focusPolicy() & Qt::TabFocus));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"Button1", "Memo1", "Button2", "Button1"}));

  EXPECT_EQ(form.Timer1->objectName(), u"Timer1"_s);
  EXPECT_EQ(form.Timer1->interval(), 1000);
  EXPECT_EQ(form.Timer1->timerType(), Qt::PreciseTimer);
  EXPECT_TRUE(form.Timer1->isActive());                 // enabled from creation
  EXPECT_FALSE(form.windowIcon().pixmap(16).isNull());  // the resource is built in
}

TEST(WindowTest, TheLogBoxTakesWhatTheWindowGains) {
  struct Row {
    const char* name;
    QSize gained;  // by the client area, from its size when shown
    QRect memo;
  };
  const std::vector<Row> rows = {
      {"as designed", {0, 0}, {88, 32, 185, 113}},
      {"wider and taller", {300, 200}, {88, 32, 485, 313}},
      {"wider only", {100, 0}, {88, 32, 285, 113}},
      {"smaller", {-50, -20}, {88, 32, 135, 93}},
  };
  Harness h;
  h.form.show();
  // A frame, where there is one, takes its room from the client area, not the log box.
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&h.form));
  EXPECT_EQ(h.form.Memo1->geometry(), QRect(88, 32, 185, 113));
  const QSize shown = h.form.size();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    h.form.resize(shown + row.gained);
    EXPECT_TRUE(QTest::qWaitFor([&] { return h.form.Memo1->geometry() == row.memo; }, 2000))
        << h.form.Memo1->geometry().width() << "x" << h.form.Memo1->geometry().height();
    // Everything else stays where it was put.
    EXPECT_EQ(h.form.Button1->geometry(), QRect(8, 48, 75, 25));
    EXPECT_EQ(h.form.Button2->geometry(), QRect(8, 80, 75, 25));
    EXPECT_EQ(h.form.Label1->pos(), QPoint(8, 8));
  }
  // A day's lines no longer fit the designed box: it scrolls instead of hiding them.
  h.form.resize(shown);
  for (int i = 0; i < 40; ++i) h.form.Memo1->appendPlainText(u"处理数据!"_s);
  EXPECT_TRUE(QTest::qWaitFor([&] { return h.form.Memo1->verticalScrollBar()->isVisible(); }));
}

// A settings file the window cannot use opens it anyway, saying why in its log and in a
// box, once, where before only a terminal nobody watches heard of it.
TEST(WindowTest, ASettingsFaultAtStartReachesTheLogAndTheBox) {
  struct Row {
    const char* name;
    std::optional<std::string> text;  // unset: no file there
    std::string says;                 // a part of the message
  };
  const std::vector<Row> rows = {
      {"missing file", std::nullopt, "missing.ini"},
      {"refused key", std::string(kSettingsText) + "colour=red\n", "colour"},
      {"no [database]", std::string("[schedule]\ncatch_up_days=3\n"), "[database]"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StateFolder state;
    const QString path = state.dir.filePath(u"missing.ini"_s);
    if (row.text) {
      UseSettings(path, *row.text);
    } else {
      qputenv("CARDSYNC_SETTINGS", path.toLocal8Bit());
    }
    BoxCloser closer;
    TForm1 form([] { return At(15, 12, 0, 0, 0); },
                [](const schedule::JobCall&) { return JobOutcome{}; });
    closer.WaitFor(1);
    const QStringList log = form.Memo1->toPlainText().split(u'\n');
    ASSERT_EQ(log.size(), 2) << form.Memo1->toPlainText().toStdString();
    const std::string line = log[1].toStdString();
    EXPECT_EQ(line.rfind("错误: ", 0), 0u) << line;
    EXPECT_NE(line.find(row.says), std::string::npos) << line;
    ASSERT_EQ(closer.seen.size(), 1u);
    EXPECT_EQ(closer.seen[0].text.toStdString(),
              MessageWithFullStop(line.substr(strlen("错误: "))));
  }
}

// Who holds the target's scheduler lock decides what a new window does: a window that
// answers on its socket is raised instead, cardsync --headless (which does not listen)
// leaves the schedule to itself and the new window to the buttons.
TEST(WindowTest, AWindowStartTellsTheServiceFromAnotherWindow) {
  using Role = WindowInstance::Role;
  struct Row {
    const char* name;
    bool held;
    bool listening;
    Role role;
  };
  const std::vector<Row> rows = {
      {"nobody holds it", false, false, Role::Scheduler},
      {"a window holds it", true, true, Role::Raised},
      {"the service holds it", true, false, Role::BesideService},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StateFolder state;
    schedule::SchedulerLock holder(
        schedule::ReadTarget(qgetenv("CARDSYNC_SETTINGS").toStdString()));
    if (row.held) {
      ASSERT_TRUE(holder.TryAcquire());
    }
    if (row.listening) holder.ListenForShowRequests([] {});
    EXPECT_EQ(WindowInstance().WindowRole(), row.role);
  }
}

TEST(WindowTest, BesideTheServiceTheWindowSchedulesNothingAndRunsClicks) {
  StateFolder state;
  const schedule::Target target = schedule::ReadTarget(qgetenv("CARDSYNC_SETTINGS").toStdString());
  schedule::SchedulerLock service(target);  // as cardsync --headless holds it
  ASSERT_TRUE(service.TryAcquire());
  WindowInstance instance;
  ASSERT_EQ(instance.WindowRole(), WindowInstance::Role::BesideService);

  DateTime now = At(15, 0, 59, 59, 0);
  std::vector<JobKind> ran;
  TForm1 form([&] { return now; },
              [&](const schedule::JobCall& call) {
                ran.push_back(call.kind);
                return JobOutcome{};
              },
              instance.WindowRole() == WindowInstance::Role::Scheduler);
  const QStringList log = form.Memo1->toPlainText().split(u'\n');
  ASSERT_EQ(log.size(), 2) << form.Memo1->toPlainText().toStdString();
  EXPECT_EQ(log[1].toStdString(), "提示: the schedule for " + target.Text() +
                                      " is run by the cardsync service (cardsync --headless); "
                                      "this window runs jobs only by hand");

  // Both jobs come due, and days are owed since the first start: none runs here.
  for (DateTime t : {At(15, 1, 0, 0, 400), At(15, 2, 0, 0, 400), At(17, 3, 0, 0, 0)}) {
    now = t;
    form.Timer1Timer();
    Settle(form);
  }
  EXPECT_TRUE(ran.empty());
  form.Button2->click();
  Settle(form);
  EXPECT_EQ(ran, std::vector<JobKind>{JobKind::Totals});  // and nothing after its end
  EXPECT_EQ(form.Memo1->toPlainText().split(u'\n').last().toStdString(), Text(now) + "统计数据!");
}

TEST(WindowTest, WithoutADisplayTheWindowExitsSayingWhatToRunInstead) {
  struct Row {
    const char* name;
    std::vector<std::pair<QString, QString>> set;  // after DISPLAY and the like are removed
  };
  const std::vector<Row> rows = {
      {"nothing set", {}},
      {"set but empty", {{u"DISPLAY"_s, u""_s}, {u"WAYLAND_DISPLAY"_s, u""_s}}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    StateFolder state;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
      env.remove(name);
    for (const auto& [name, value] : row.set) env.insert(name, value);
    QProcess window;
    window.setProcessEnvironment(env);
    window.start(QString::fromUtf8(CARDSYNC_PATH), {});
    ASSERT_TRUE(window.waitForFinished(20000));
    EXPECT_EQ(window.exitStatus(), QProcess::NormalExit);  // not Qt's abort
    EXPECT_EQ(window.exitCode(), 69);
    const QString said = QString::fromLocal8Bit(window.readAllStandardError());
    EXPECT_EQ(said.count(u'\n'), 1) << said.toStdString();
    EXPECT_TRUE(said.contains(u"--headless"_s) && said.contains(u"--run"_s)) << said.toStdString();
  }
}

TEST(DesktopNoticeTest, OnlyRunsNobodyWatchedOrThatSkippedRecordsAreNoticed) {
  using schedule::Trigger;
  const std::string target = "db1:1433/reporting";
  struct Row {
    const char* name;
    JobKind kind;
    Trigger trigger;
    JobOutcome outcome;
    std::optional<DesktopNotice> notice;
  };
  const std::vector<Row> rows = {
      {"scheduled transfer failed", JobKind::Transfer, Trigger::Scheduled,
       Outcome(Status::Failed, "表 T_sendbase 不存在"),
       DesktopNotice{"cardsync - 解析失败", target + "\n处理数据失败: 表 T_sendbase 不存在"}},
      {"caught-up totals could not connect", JobKind::Totals, Trigger::CatchUp,
       Outcome(Status::CouldNotConnect, "Login timeout expired"),
       DesktopNotice{"cardsync - 统计: 数据库连接失败",
                     target + "\n数据库连接失败! Login timeout expired"}},
      {"retry failed", JobKind::Totals, Trigger::Retry, Outcome(Status::Failed, "x"),
       DesktopNotice{"cardsync - 统计失败", target + "\n统计数据失败: x"}},
      {"clicked and failed: the box tells", JobKind::Transfer, Trigger::Clicked,
       Outcome(Status::Failed, "x"), std::nullopt},
      {"clicked, could not connect: the log tells", JobKind::Transfer, Trigger::Clicked,
       Outcome(Status::CouldNotConnect, "x"), std::nullopt},
      {"scheduled and done", JobKind::Transfer, Trigger::Scheduled, Outcome(Status::Done),
       std::nullopt},
      {"stopped", JobKind::Transfer, Trigger::Scheduled, Outcome(Status::Interrupted, "x"),
       std::nullopt},
      {"clicked, skipped records", JobKind::Transfer, Trigger::Clicked,
       Outcome(Status::Done, "", {"A1", "A2"}),
       DesktopNotice{
           "cardsync - 解析: 跳过 2 条记录",
           target + "\n处理数据!\n跳过 2 条记录: A1, A2\n跳过原因: bad value (2 条): A1, A2"}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const std::optional<DesktopNotice> notice =
        NoticeFor(row.kind, row.trigger, row.outcome, target);
    ASSERT_EQ(notice.has_value(), row.notice.has_value());
    if (!notice) continue;
    EXPECT_EQ(notice->title, row.notice->title);
    EXPECT_EQ(notice->body, row.notice->body);
  }
}

TEST(WindowTest, FirstTickReplacesTheLabelAndLeavesTheLog) {
  Harness h;
  const DateTime t = At(15, 9, 30, 0, 0);
  h.TickAt(t);
  EXPECT_EQ(h.form.Label1->text().toStdString(), Text(t));
  EXPECT_EQ(h.form.Label1->size(), h.form.Label1->sizeHint());  // grown to the new text
  EXPECT_EQ(h.Log(), std::vector<std::string>{"Memo1"});
  EXPECT_TRUE(h.ran.empty());
}

// An event handler that throws, standing for any slot that forgot to guard itself.
class Throwing : public QObject {
 public:
  bool event(QEvent*) override { throw cardsync::Error("坏事件"); }
};

TEST(WindowTest, ExceptionsInEventDeliveryEndInTheErrorBox) {
  Throwing target;
  BoxCloser closer;
  QEvent event(QEvent::User);
  EXPECT_FALSE(QCoreApplication::sendEvent(&target, &event));
  ASSERT_EQ(closer.seen.size(), 1u);
  EXPECT_EQ(closer.seen[0].text.toStdString(), "坏事件.");
}

TEST(ErrorBoxTest, ApplicationTitleFromTheExecutableName) {
  const std::vector<std::pair<QString, QString>> cases = {
      {u"CARDSYNC.EXE"_s, u"Cardsync"_s},
      {u"C:\\Program Files\\CardSync\\CARDSYNC.EXE"_s, u"Cardsync"_s},
      {u"/usr/local/bin/cardsync"_s, u"cardsync"_s},  // the first character stays as it is,
      {u"/opt/a.b/CardSync"_s, u"Cardsync"_s},        // a dot in a folder cuts nothing
      {u"CARD.SYNC.EXE"_s, u"Card"_s},
      {u"Test_Window"_s, u"Test_window"_s},
      {u"ÉCOLE.EXE"_s, u"École"_s},
      {u"数据同步.exe"_s, u"数据同步"_s},
      {u".hidden"_s, u""_s},
      {u""_s, u""_s},
  };
  for (const auto& [path, title] : cases) {
    SCOPED_TRACE(path.toStdString());
    EXPECT_EQ(ApplicationTitle(path).toStdString(), title.toStdString());
  }
}

TEST(ErrorBoxTest, FullStopAfterCharactersSortingAfterTheDot) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Connection failed", "Connection failed."},
      {"Error 42", "Error 42."},
      {"数据库错误", "数据库错误."},
      {"Path a/", "Path a/."},  // '/' sorts right after '.'
      {"Done!", "Done!"},
      {"Wait...", "Wait..."},
      {"Table 'x'", "Table 'x'"},
      {"(see log)", "(see log)"},
      {"dash-", "dash-"},
      {"blank ", "blank "},
      {"", ""},
  };
  for (const auto& [message, shown] : cases) {
    SCOPED_TRACE(message);
    EXPECT_EQ(MessageWithFullStop(message), shown);
  }
}

// ---- the real jobs against the stand-in ----

class WindowDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::StandinServer::Options options;
    options.schemaFiles = {testing::SourceDir() + "/schema/reporting.sql"};
    options.now = "2024-03-15 02:00:00";
    options.movableClock = true;  // the server's clock keeps up with the window's
    server_ = std::make_unique<testing::StandinServer>(options);
    state_ = std::make_unique<StateFolder>();
    ASSERT_TRUE(dir_.isValid());
    WriteSettings(server_->port());
    form_ = std::make_unique<TForm1>([this] { return now_; });
  }
  void TearDown() override { qunsetenv("CARDSYNC_SETTINGS"); }

  void WriteSettings(int port) {
    const auto& o = server_->options();
    UseSettings(dir_.filePath(u"cardsync.ini"_s),
                "[database]\ndriver=FreeTDS\nserver=127.0.0.1\nport=" + std::to_string(port) +
                    "\ndatabase=" + o.database + "\nuser=" + o.user + "\npassword=" + o.password +
                    "\nlogin_timeout=3\nca_file=" + testing::TestCertificate("ca.pem") +
                    "\n[notify]\ndesktop=no\n");
  }

  void Seed(const std::string& orderId, const std::string& startdate) {
    server_->Exec(
        "INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, "
        "types, siji) VALUES('" +
        orderId + "', N'0AK123', 12, 100, 'K1', '" + startdate +
        "', '1720000000', 'A', '2024-03-14 10:00:00')");
  }

  void TickAt(DateTime t) {
    now_ = t;
    server_->SetNow(jobs::ClockStamp(t));
    form_->Timer1Timer();
    Settle(*form_);
  }
  void Click(QPushButton* button) {
    button->click();
    Settle(*form_);
  }

  std::vector<std::string> LogAfterFirstLine() const {
    std::vector<std::string> lines;
    for (const QString& line : form_->Memo1->toPlainText().split(u'\n').mid(1)) {
      lines.push_back(line.toStdString());
    }
    return lines;
  }

  QTemporaryDir dir_;
  std::unique_ptr<StateFolder> state_;
  std::unique_ptr<testing::StandinServer> server_;
  DateTime now_ = At(15, 0, 0, 0, 0);
  std::unique_ptr<TForm1> form_;
};

TEST_F(WindowDbTest, ScheduledTransferAndTotalsWriteTheirLines) {
  Seed("O1", "1710000000");
  TickAt(At(15, 1, 59, 59, 500));
  TickAt(At(15, 2, 0, 0, 500));
  const std::string transferStamp = Text(At(15, 2, 0, 0, 500));
  EXPECT_EQ(LogAfterFirstLine(), std::vector<std::string>{transferStamp + "处理数据!"});
  EXPECT_EQ(server_->Query("SELECT order_id, kahao FROM T_quindale"),
            (std::vector<std::vector<std::string>>{{"O1", "浙K123"}}));

  TickAt(At(16, 0, 59, 59, 500));
  TickAt(At(16, 1, 0, 0, 500));
  EXPECT_EQ(LogAfterFirstLine(),
            (std::vector<std::string>{transferStamp + "处理数据!",
                                      Text(At(16, 1, 0, 0, 500)) + "统计数据!"}));
  EXPECT_EQ(server_->Query("SELECT cards FROM T_totals"),
            (std::vector<std::vector<std::string>>{{"1"}}));
  EXPECT_TRUE(form_->Timer1->isActive());
}

TEST_F(WindowDbTest, ClicksRunTheJobsAndLogTheirOutcome) {
  Seed("O1", "1710000000");
  TickAt(At(15, 9, 0, 0, 0));
  Click(form_->Button1);
  EXPECT_EQ(server_->Query("SELECT count(*) FROM T_quindale"),
            (std::vector<std::vector<std::string>>{{"1"}}));
  Click(form_->Button2);
  EXPECT_EQ(server_->Query("SELECT count(*) FROM T_totals"),
            (std::vector<std::vector<std::string>>{{"1"}}));
  const std::string stamp = Text(At(15, 9, 0, 0, 0));
  EXPECT_EQ(LogAfterFirstLine(),
            (std::vector<std::string>{stamp + "处理数据!", stamp + "统计数据!"}));
  TickAt(At(15, 9, 0, 1, 0));
  EXPECT_EQ(form_->Label1->text().toStdString(), Text(At(15, 9, 0, 1, 0)));
  EXPECT_TRUE(form_->Timer1->isActive());
}

TEST_F(WindowDbTest, FailingScheduledRunShowsTheBoxLogsAndTicksOn) {
  server_->Exec("DROP PROCEDURE totals");
  BoxCloser closer;
  TickAt(At(15, 0, 59, 59, 500));
  TickAt(At(15, 1, 0, 0, 500));
  closer.WaitFor(1);

  const std::string prefix = Text(At(15, 1, 0, 0, 500)) + "统计数据失败: ";
  const std::vector<std::string> log = LogAfterFirstLine();
  ASSERT_EQ(log.size(), 1u);
  ASSERT_EQ(log[0].rfind(prefix, 0), 0u) << log[0];
  const std::string message = log[0].substr(prefix.size());
  EXPECT_NE(message.find("totals"), std::string::npos) << message;
  ASSERT_EQ(closer.seen.size(), 1u);
  EXPECT_EQ(closer.seen[0].text.toStdString(), MessageWithFullStop(message));
  EXPECT_EQ(closer.seen[0].title.toStdString(), "test_window");

  EXPECT_TRUE(form_->Timer1->isActive());
  TickAt(At(15, 1, 0, 2, 0));
  EXPECT_EQ(form_->Label1->text().toStdString(), Text(At(15, 1, 0, 2, 0)));
}

TEST_F(WindowDbTest, ServerNotListeningLogsConnectionFailures) {
  server_->Stop();
  BoxCloser closer;
  TickAt(At(15, 1, 59, 59, 500));
  TickAt(At(15, 2, 0, 0, 500));
  Click(form_->Button2);
  closer.WaitFor(0, 200);

  const std::string stamp = Text(At(15, 2, 0, 0, 500));
  const std::vector<std::string> log = LogAfterFirstLine();
  ASSERT_EQ(log.size(), 2u);
  for (const std::string& line : log) {
    SCOPED_TRACE(line);
    EXPECT_EQ(line.rfind(stamp + "数据库连接失败! ", 0), 0u);
  }
  EXPECT_TRUE(closer.seen.empty());
  EXPECT_TRUE(form_->Timer1->isActive());
}

TEST_F(WindowDbTest, SkippedRecordsGetALineAfterTheRunsOwn) {
  Seed("O1", "1710000000");
  Seed("O2", "not-a-number");
  TickAt(At(15, 1, 59, 59, 500));
  TickAt(At(15, 2, 0, 0, 500));
  TickAt(At(15, 9, 0, 0, 0));
  Click(form_->Button1);

  const std::string runStamp = Text(At(15, 2, 0, 0, 500));
  const std::string kReason = "跳过原因: 'not-a-number' is not a valid integer value (1 条): O2";
  const std::string clickStamp = Text(At(15, 9, 0, 0, 0));
  EXPECT_EQ(LogAfterFirstLine(),
            (std::vector<std::string>{runStamp + "处理数据!", runStamp + "跳过 1 条记录: O2",
                                      runStamp + kReason, clickStamp + "处理数据!",
                                      clickStamp + "跳过 1 条记录: O2", clickStamp + kReason}));
}

// ---- runs against one server never overlap ----

// The totals' request, however the driver words it: the bare name as a batch (the log
// escapes its line end as "\r\n"), an RPC call, or a batch that executes or calls it.
// (No std::regex: it recurses per character, and the seeding batch is long.)
bool IsTotalsRequest(const std::string& line) {
  if (line.starts_with("rpc: totals")) return true;
  if (!line.starts_with("batch: ")) return false;
  std::string text = line.substr(7);
  text.erase(0, text.find_first_not_of(' '));
  for (const char* call : {"exec ", "execute "}) {
    if (text.starts_with(call)) text.erase(0, std::string_view(call).size());
  }
  const bool bare = text.starts_with("totals") &&
                    (text.size() == 6 || text[6] == ' ' || text[6] == ';' || text[6] == '\\');
  return bare || text.find("{call totals") != std::string::npos;
}

// A commit of the transfer's writes: a transaction-manager commit (record by record), or
// a chunk's request, which commits within itself.
bool IsCommit(const std::string& line) {
  return line.starts_with("tm: commit") || (line.find("T_quindale") != std::string::npos &&
                                            line.find("commit transaction") != std::string::npos);
}

// The program as cron starts it: no display, and no XDG_RUNTIME_DIR, which this test
// program has, so the lock must not follow it.
QProcessEnvironment CronEnvironment() {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.remove(u"XDG_RUNTIME_DIR"_s);
  env.remove(u"QT_QPA_PLATFORM"_s);
  env.remove(u"DISPLAY"_s);
  return env;
}

// A stand-in slowed so that a transfer of its 400 cards, 40 chunks of 10, takes a while,
// with settings reaching it and a state folder of its own.
struct SlowTransferServer {
  static testing::StandinServer::Options Options() {
    testing::StandinServer::Options options;
    options.schemaFiles = {testing::SourceDir() + "/schema/reporting.sql"};
    options.now = "2024-03-15 00:59:50";  // the window's clock, within seconds
    options.delayMs = 20;
    return options;
  }

  SlowTransferServer() : server(Options()) {
    std::string seed;
    for (int i = 1; i <= 400; ++i) {
      seed +=
          "INSERT INTO T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, "
          "enddate, types, siji) VALUES('N" +
          std::to_string(i) +
          "', N'0AK123', 12, 100, 'K1', '1710000000', '1720000000', 'A', "
          "'2024-03-14 10:00:00');\n";
    }
    server.Exec(seed);
    const QString settings = dir.filePath(u"cardsync.ini"_s);
    QFile file(settings);
    if (!file.open(QIODevice::WriteOnly)) throw std::runtime_error("cannot write settings");
    file.write(("[database]\nserver=127.0.0.1\nport=" + std::to_string(server.port()) +
                "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\nca_file=" +
                testing::TestCertificate("ca.pem") + "\n[transfer]\nbatch_size=10\n")
                   .c_str());
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    qputenv("CARDSYNC_SETTINGS", settings.toLocal8Bit());
  }
  ~SlowTransferServer() { qunsetenv("CARDSYNC_SETTINGS"); }

  std::string Target() const { return "127.0.0.1:" + std::to_string(server.port()) + "/reporting"; }
  long Commits() const {
    const std::vector<std::string> lines = server.LogLines();
    return static_cast<long>(std::count_if(lines.begin(), lines.end(), IsCommit));
  }

  testing::StandinServer server;
  StateFolder state;
  QTemporaryDir dir;
};

enum class By { Button, Schedule, RunProcess };

struct OverlapCase {
  const char* name;
  By transfer;  // Button: this window's 解析; RunProcess: cardsync --run transfer
  By totals;
  // After "统计 waits for 解析 to end on <target>": who runs the transfer, as the waiting
  // side names it; @PID@ is the transfer's process.
  std::string holder;
};

TEST(OverlapTest, TotalsAskedForDuringATransferRunAfterItsLastCommit) {
  const std::vector<OverlapCase> cases = {
      {"统计 clicked during a clicked 解析", By::Button, By::Button, ""},
      {"统计 coming due during a clicked 解析", By::Button, By::Schedule, ""},
      {"cardsync --run totals during a clicked 解析", By::Button, By::RunProcess,
       ", run by a window or cardsync --headless (process @PID@)"},
      {"统计 clicked during cardsync --run transfer", By::RunProcess, By::Button,
       ", run by cardsync --run (process @PID@)"},
  };
  for (const OverlapCase& c : cases) {
    SCOPED_TRACE(c.name);
    SlowTransferServer rig;
    testing::StandinServer& server = rig.server;
    DateTime now = At(15, 0, 59, 50, 0);  // the totals come due at 01:00:00
    TForm1 form([&] { return now; });
    form.Timer1Timer();
    const std::string target = rig.Target();

    QProcess transfer, totals;
    transfer.setProcessEnvironment(CronEnvironment());
    totals.setProcessEnvironment(CronEnvironment());
    if (c.transfer == By::Button) {
      form.Button1->click();
    } else {
      transfer.start(QString::fromUtf8(CARDSYNC_PATH), {u"--run"_s, u"transfer"_s});
    }
    const auto committed = [&] { return rig.Commits(); };
    // Held mid-transfer, so the totals are asked for while it holds the lock.
    ASSERT_TRUE(QTest::qWaitFor([&] { return committed() > 0; }, 20000));
    server.Pause();
    const auto resume = qScopeGuard([&] { server.Resume(); });  // before the form waits
    ASSERT_LT(committed(), 40) << "the transfer ended before it could be held";

    std::string said;  // by --run totals on stderr
    const auto waitLine = [&] {
      if (totals.state() != QProcess::NotRunning) {
        said += totals.readAllStandardError().toStdString();
      }
      return said + form.Memo1->toPlainText().toStdString() + "\n";
    };
    if (c.totals == By::Button) form.Button2->click();
    if (c.totals == By::Schedule) {
      now = At(15, 1, 0, 0, 400);
      form.Timer1Timer();
    }
    if (c.totals == By::RunProcess) {
      totals.start(QString::fromUtf8(CARDSYNC_PATH), {u"--run"_s, u"totals"_s});
    }
    std::string expected = "统计 waits for 解析 to end on " + target + c.holder;
    const qint64 pid = c.transfer == By::Button ? ::getpid() : transfer.processId();
    if (const auto at = expected.find("@PID@"); at != std::string::npos) {
      expected.replace(at, 5, std::to_string(pid));
    }
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return waitLine().find(expected + "\n") != std::string::npos; }, 20000))
        << waitLine();
    if (c.totals != By::RunProcess) {
      // The wait is on the worker: the button stays off and the clock goes on.
      EXPECT_FALSE(form.Button2->isEnabled());
      now += 1.0 / 86400;
      form.Timer1Timer();
      EXPECT_EQ(form.Label1->text().toStdString(), Text(now));
    }
    server.Resume();

    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          return !form.scheduler().Busy() && transfer.state() == QProcess::NotRunning &&
                 totals.state() == QProcess::NotRunning;
        },
        60000));
    EXPECT_TRUE(form.Button2->isEnabled());
    const std::vector<std::string> lines = server.LogLines();
    const auto lastCommit = std::find_if(lines.rbegin(), lines.rend(), IsCommit);
    const auto totalsAt = std::find_if(lines.begin(), lines.end(), IsTotalsRequest);
    ASSERT_NE(totalsAt, lines.end());
    EXPECT_GT(totalsAt - lines.begin(), lines.rend() - lastCommit - 1);
    // Counted after the transfer: every card it wrote.
    EXPECT_EQ(server.Query("SELECT cards FROM T_totals"),
              (std::vector<std::vector<std::string>>{{"400"}}));
  }
}

}  // namespace
}  // namespace cardsync::shell
