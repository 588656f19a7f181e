// The reporting-database connection made from the settings file's [database]
// section (settings/settings.h), completed by the data source it names, checked for
// what would weaken or bend it, and the ODBC connection string built from it. Nothing
// secret is compiled in; the connection reads these afresh at every open.
#pragma once

#include <string>
#include <string_view>

#include "base/error.h"
#include "settings/settings.h"

namespace cardsync::db {

// The settings file's error and place, under the names db/ has always used.
using settings::SettingsError;
using settings::SettingsFilePath;

// The [database] section as the connection uses it: a data source's values filled in,
// the CA file's path made absolute.
struct ConnectionSettings : settings::Database {
  // Set only by ThroughTlsRelay (freetds_tls.h): server and port are then this
  // process's TLS relay on 127.0.0.1, the one place FreeTDS may connect to.
  bool relayed = false;
};

// Where the settings lead, as "host:port/database".
std::string AddressText(const ConnectionSettings& settings);

// The connection `file`'s [database] describes, with what the data source `dsn`
// names. A missing section or required key (settings::RequireDatabase), or a value
// that would weaken or bend the connection (CheckConnectionSettings; a CA file that
// cannot be read or holds no PEM certificate; a data source whose server cardsync
// cannot reach itself) throws SettingsError whose text names the file and the key.
ConnectionSettings ConnectionFromSettings(const settings::Settings& file);

// ConnectionFromSettings of the whole file at `path` (settings::ReadSettings), so a
// fault in any section of it is refused here too.
ConnectionSettings ReadConnectionSettings(const std::string& path);

// One ODBC connection-string value, in braces when it holds ';' or '{' or starts
// or ends with a blank. FreeTDS ends a braced value at its first '}' (it does not
// read the usual "}}"), so such a value that also holds '}' cannot be passed:
// cardsync::Error naming `key`.
std::string OdbcQuoteValue(std::string_view key, std::string_view value);

// Why `server` is no host name or address cardsync can connect to ("is not ..."),
// "" when it is one.
std::string ServerNameProblem(std::string_view server);

// The checks ReadConnectionSettings makes on values, for settings made otherwise:
// SettingsError naming the key when a value holds a control character, is longer
// than a login carries, or odbc_options sets what a key of its own decides.
void CheckConnectionSettings(const ConnectionSettings& settings);

// The ODBC connection string FreeTDS opens the relayed connection with
// ("Driver=...;Server=127.0.0.1;Port=...;..."). Throws cardsync::Error for
// settings that did not come through ThroughTlsRelay, so no code path hands the
// driver the server itself; SettingsError as CheckConnectionSettings.
std::string OdbcConnectionString(const ConnectionSettings& settings);

}  // namespace cardsync::db
