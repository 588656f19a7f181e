// Deployment settings for the reporting-database connection: where the INI file
// lives, what it holds, and the ODBC connection string built from it. Nothing
// secret is compiled in; the connection reads these afresh at every open.
#pragma once

#include <string>
#include <string_view>

#include "convert/error.h"

namespace cardsync::db {

// A settings file that is missing, unreadable or holds a bad or missing key. Kept
// apart from connection failures: the command line answers it with its own exit code.
class SettingsError : public Error {
 public:
  using Error::Error;
};

// Records written per chunk by the transfer ([transfer] batch_size). SQL Server takes
// 2 100 parameters a request, two of them sp_executesql's own, and a chunk binds ten
// per new record, so 209 is the most; 1 writes record by record. The default is the
// fastest size the transfer benchmark measured.
constexpr int kLargestBatchSize = 209;
constexpr int kDefaultBatchSize = 200;

struct ConnectionSettings {
  std::string dsn;  // when set, names an ODBC data source and replaces driver/server/port
  std::string driver = "FreeTDS";
  std::string server;
  int port = 1433;
  std::string database;
  std::string user;
  std::string password;
  int loginTimeoutSeconds = 30;
  int queryTimeoutSeconds = 30;  // 0: wait for ever
  // SET LOCK_TIMEOUT for the session: a write blocked by another session's lock fails
  // with 1222 after this long (retried once) instead of waiting out query_timeout.
  int lockTimeoutSeconds = 10;
  int batchSize = kDefaultBatchSize;  // [transfer] batch_size
  // [transfer] previous_day_special_cards: a run also copies the special cards of the
  // day before its special-card day, so cards stamped after that day's run still arrive.
  bool previousDaySpecialCards = true;
  std::string odbcOptions = "TDS_Version=7.4;ClientCharset=UTF-8";
  // TLS from the login on, for the whole connection; a server that cannot is refused.
  bool encrypt = true;
  // Skips the certificate check (chain and host name); only for a server known by other means.
  bool trustServerCertificate = false;
  std::string caFile;  // PEM file of trusted CAs; empty: the system's CAs
};

// CARDSYNC_SETTINGS when set, else cardsync/cardsync.ini in the per-user config folder.
std::string SettingsFilePath();

// Reads [database], and [transfer] where present, from the INI file at `path`. A missing or
// unreadable file, a malformed one, or a missing required key throws SettingsError whose text names
// the file and the key.
ConnectionSettings ReadConnectionSettings(const std::string& path);

// One ODBC connection-string value, in braces when it holds ';' or '{' or starts
// or ends with a blank. FreeTDS ends a braced value at its first '}' (it does not
// read the usual "}}"), so such a value that also holds '}' cannot be passed:
// cardsync::Error naming `key`.
std::string OdbcQuoteValue(std::string_view key, std::string_view value);

// The full ODBC connection string ("Driver=...;Server=...;..." or "DSN=...;...").
std::string OdbcConnectionString(const ConnectionSettings& settings);

}  // namespace cardsync::db
