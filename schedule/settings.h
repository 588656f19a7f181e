// What the scheduler needs from the deployment settings: the target (server, port,
// database) that keeps its own schedule, history and locks, and the [schedule]
// section (history_file, catch_up_days) of the same INI file, as settings/ reads it.
#pragma once

#include <string>

#include "settings/settings.h"

namespace cardsync::schedule {

// The database a schedule belongs to. Two settings files naming the same target share
// one schedule; naming different ones they keep apart.
struct Target {
  std::string server;  // the data source name when the settings use dsn=
  int port = 0;
  std::string database;

  bool operator==(const Target&) const = default;
  // A short, file-name-safe key for lock and socket names.
  std::string Key() const;
  // "server:port/database", as messages show it.
  std::string Text() const;
};

using ScheduleSettings = settings::Schedule;

// The target of the settings file at `path`. Throws settings::SettingsError as the
// connection's own reader does, for a fault in any section of the file.
Target ReadTarget(const std::string& path);

// [schedule] of the INI file at `path`. A missing file gives the defaults (the
// connection reports it); a fault anywhere in the file throws settings::SettingsError
// naming the file, the line and the key, so the schedule never runs on a file the
// other modes refuse.
ScheduleSettings ReadScheduleSettings(const std::string& path);

// history_file when set, else $XDG_STATE_HOME/cardsync/history.sqlite, with
// ~/.local/state when XDG_STATE_HOME is unset or empty.
std::string HistoryPath(const ScheduleSettings& settings);

// $XDG_RUNTIME_DIR/cardsync, else the state folder's run/ (made mode 0700, checked as
// PrivateStateFolder does; a StateError names a refused one): where the window's socket
// lives. The locks live in LockFolder(), whatever the session's variables say.
std::string RuntimeFolder();

}  // namespace cardsync::schedule
