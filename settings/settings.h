// The settings file, read once and whole: one plain struct per section, every key
// checked against its range when the file is read, so every mode (the window,
// --headless, --run, --check, --verify) accepts and refuses the same files. The
// structs are values: whoever needs a section is handed a copy, and nothing here
// keeps a global another thread could rewrite.
#pragma once

#include <string>
#include <string_view>

#include "settings/ini_file.h"

namespace cardsync::settings {

// Records written per chunk by the transfer ([transfer] batch_size). SQL Server takes
// 2 100 parameters a request, two of them sp_executesql's own, and a chunk binds ten
// per new record, so 209 is the most; 1 writes record by record. The default is the
// fastest size the transfer benchmark measured.
constexpr int kLargestBatchSize = 209;
constexpr int kDefaultBatchSize = 200;
constexpr int kMostCatchUpDays = 366;

// [database]: the connection as the file gives it. What a data source (dsn) adds, the
// CA file's content and the checks that protect the connection itself are db/'s.
struct Database {
  // When set, names an ODBC data source; db/ fills driver, server, port (and database,
  // unless given) from it.
  std::string dsn;
  std::string driver = "FreeTDS";
  std::string server;
  int port = 1433;
  std::string database;
  std::string user;
  std::string password;
  int loginTimeoutSeconds = 30;
  int queryTimeoutSeconds = 30;  // 0: wait for ever
  // Below query_timeout when unset, so a blocked write fails as blocked (1222, tried
  // once more) rather than as a time-out.
  int lockTimeoutSeconds = 10;
  std::string odbcOptions = "TDS_Version=7.4;ClientCharset=UTF-8";
  // TLS from before the login to the end, the whole connection; a server that
  // cannot, or offers the login only, is refused.
  bool encrypt = true;
  // Skips the certificate check (chain and host name); only for a server known by other means.
  bool trustServerCertificate = false;
  std::string caFile;  // PEM file of trusted CAs; empty: the system's CAs
};

// [schedule]
struct Schedule {
  std::string historyFile;  // empty: the default under $XDG_STATE_HOME
  int catchUpDays = 7;
};

// [transfer]
struct Transfer {
  int batchSize = kDefaultBatchSize;
  // The run also copies the special cards of the day before its special-card day, so
  // cards stamped after that day's run still arrive.
  bool previousDaySpecialCards = true;
};

// [notify]: who hears of a run that needs someone.
struct Notify {
  std::string onFailure;  // a command line run when a job fails; empty: none
  // The window's desktop notification (shell/desktop_notice.h) after an unattended run
  // that failed or could not connect, and after a run that skipped records.
  bool desktop = true;
};

struct Settings {
  std::string path;          // the file they were read from, for messages
  bool hasDatabase = false;  // the file has a [database] section
  Database database;
  Schedule schedule;
  Transfer transfer;
  Notify notify;
};

// CARDSYNC_SETTINGS when set and not empty, else cardsync/cardsync.ini under
// $XDG_CONFIG_HOME (~/.config when unset or empty).
std::string SettingsFilePath();

// Reads and checks the whole file at `path`. Throws SettingsError naming the file
// when it is missing or cannot be read, and as ParseSettings does.
Settings ReadSettings(const std::string& path);

// `text` as the content of the file at `path`: ParseIni's refusals, and a value out
// of its key's range (a number, yes or no, lock_timeout not below query_timeout)
// throws SettingsError naming file, line, section and key. Required keys are not
// asked for here (RequireDatabase): a file without [database] still names its
// schedule.
Settings ParseSettings(std::string_view text, const std::string& path);

// What a connection needs of [database]: the section, and server, database (without
// dsn), user and password not empty. Throws SettingsError naming the file and key
// ("key 'password' in [database] is missing or empty").
void RequireDatabase(const Settings& settings);

}  // namespace cardsync::settings
