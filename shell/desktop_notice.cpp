// The notice's texts are the run's own log lines, so the notification and the log box
// never tell a run apart; only the title is made here.
#include "shell/desktop_notice.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <QtDebug>
#include <utility>

namespace cardsync::shell {

namespace {

constexpr char kService[] = "org.freedesktop.Notifications";
constexpr char kPath[] = "/org/freedesktop/Notifications";
constexpr char kInterface[] = "org.freedesktop.Notifications";
constexpr char kAppName[] = "cardsync";
constexpr char kIconName[] = "cardsync";  // installed under hicolor/scalable/apps
constexpr int kServerDecidesTimeout = -1;

// Servers that take markup in the body read "<" and "&" as its start; the others show
// entities as they are, so only those two (and ">") are escaped.
QString BodyText(const std::string& body) {
  QString text = QString::fromStdString(body);
  text.replace(u'&', QStringLiteral("&amp;"));
  text.replace(u'<', QStringLiteral("&lt;"));
  text.replace(u'>', QStringLiteral("&gt;"));
  return text;
}

std::string Caption(jobs::JobKind kind) {
  return kind == jobs::JobKind::Transfer ? "解析" : "统计";
}

}  // namespace

std::optional<DesktopNotice> NoticeFor(jobs::JobKind kind, schedule::Trigger trigger,
                                       const jobs::JobOutcome& outcome, const std::string& target) {
  using Status = jobs::JobOutcome::Status;
  std::string title;
  const bool unattended = schedule::SettlesOwedRuns(trigger);
  if (unattended && outcome.status == Status::Failed) {
    title = Caption(kind) + "失败";
  } else if (unattended && outcome.status == Status::CouldNotConnect) {
    title = Caption(kind) + ": 数据库连接失败";
  } else if (!outcome.skipped.empty()) {
    title = Caption(kind) + ": 跳过 " + std::to_string(outcome.skipped.size()) + " 条记录";
  } else {
    return std::nullopt;
  }
  std::string body = target;
  for (const std::string& line : jobs::OutcomeLogLines(kind, outcome, "")) body += "\n" + line;
  return DesktopNotice{"cardsync - " + title, body};
}

void SendDesktopNotice(const DesktopNotice& notice) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) {
    static bool told = false;  // the bus does not come later: once is enough
    if (!std::exchange(told, true)) qDebug("cardsync: no session bus; desktop notices not sent");
    return;
  }
  QDBusMessage call =
      QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("Notify"));
  call << QString::fromLatin1(kAppName) << 0u << QString::fromLatin1(kIconName)
       << QString::fromStdString(notice.title) << BodyText(notice.body) << QStringList()
       << QVariantMap() << kServerDecidesTimeout;
  // No answer is awaited: a notification service that hangs must not hold the window.
  bus.send(call);
}

}  // namespace cardsync::shell
