// Reads [schedule] with QSettings like the connection's reader, and derives the state
// and runtime folders from the XDG variables, never from the binary's place.
#include "schedule/settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <cstdlib>

#include "db/connection_settings.h"
#include "schedule/state_folder.h"

namespace cardsync::schedule {
namespace {

constexpr char kSection[] = "schedule";
constexpr int kMostCatchUpDays = 366;
constexpr char kHistoryName[] = "history.sqlite";
constexpr char kRuntimeSubfolder[] = "/cardsync";
constexpr char kRuntimeName[] = "run";
constexpr char kRuntimeWhat[] = "runtime folder";

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

}  // namespace

std::string Target::Key() const {
  // Hashed: server names may hold characters a file name must not.
  const QByteArray digest = QCryptographicHash::hash(
      QByteArray::fromStdString(server + '\n' + std::to_string(port) + '\n' + database),
      QCryptographicHash::Sha1);
  return digest.toHex().left(16).toStdString();
}

std::string Target::Text() const { return server + ":" + std::to_string(port) + "/" + database; }

Target ReadTarget(const std::string& path) {
  const db::ConnectionSettings settings = db::ReadConnectionSettings(path);
  Target target;
  target.server = settings.dsn.empty() ? settings.server : settings.dsn;
  target.port = settings.dsn.empty() ? settings.port : 0;
  target.database = settings.database;
  return target;
}

ScheduleSettings ReadScheduleSettings(const std::string& path) {
  ScheduleSettings result;
  const QFileInfo info(QString::fromStdString(path));
  if (!info.isFile() || !info.isReadable()) return result;
  QSettings ini(info.absoluteFilePath(), QSettings::IniFormat);
  ini.beginGroup(QString::fromLatin1(kSection));
  result.historyFile = ini.value(QStringLiteral("history_file")).toString().toStdString();
  if (ini.contains(QStringLiteral("catch_up_days"))) {
    const QString text = ini.value(QStringLiteral("catch_up_days")).toString();
    bool ok = false;
    const int days = text.trimmed().toInt(&ok);
    if (!ok || days < 0 || days > kMostCatchUpDays) {
      throw db::SettingsError("settings file " + path +
                              ": key 'catch_up_days' in [schedule] must be a whole number from 0 "
                              "to " +
                              std::to_string(kMostCatchUpDays) + ", not '" + text.toStdString() +
                              "'");
    }
    result.catchUpDays = days;
  }
  return result;
}

std::string HistoryPath(const ScheduleSettings& settings) {
  if (!settings.historyFile.empty()) return settings.historyFile;
  return StateFolder() + "/" + kHistoryName;
}

std::string RuntimeFolder() {
  // Never /tmp: anyone may make a folder there first, under the name this one would take.
  const std::string session = Env("XDG_RUNTIME_DIR");
  if (session.empty() || !QFileInfo(QString::fromStdString(session)).isDir()) {
    return PrivateStateFolder(kRuntimeName, kRuntimeWhat);
  }
  const std::string folder = session + kRuntimeSubfolder;
  MakePrivateFolder(folder, kRuntimeWhat);
  return folder;
}

}  // namespace cardsync::schedule
