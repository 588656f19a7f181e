// The target and [schedule] from the settings module's reading of the file, and the
// state and runtime folders from the XDG variables, never from the binary's place.
#include "schedule/settings.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <cstdlib>
#include <filesystem>

#include "db/connection_settings.h"
#include "schedule/state_folder.h"

namespace cardsync::schedule {
namespace {

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
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return {};
  return settings::ReadSettings(path).schedule;
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
