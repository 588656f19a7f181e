// Reads the [database] section of the deployment INI file with QSettings, refuses
// values that would weaken or bend the connection, and builds the ODBC connection
// string FreeTDS gets for the TLS relay. Every failure names the file and, where
// one is at fault, the key, because that is what an operator must fix.
#include "db/connection_settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "base/error.h"
#include "db/tls_client.h"
#include "db/tls_data_source.h"

namespace cardsync::db {
namespace {

constexpr const char* kSettingsEnv = "CARDSYNC_SETTINGS";
constexpr const char* kSection = "database";
constexpr const char* kTransferSection = "transfer";
constexpr const char* kFolderName = "cardsync";
constexpr const char* kFileName = "cardsync.ini";
// LOGIN7 carries user name, password and database in at most 128 characters each.
constexpr qsizetype kLongestLoginValue = 128;
constexpr std::size_t kLongestHostName = 253;

// Connection-string keys odbc_options may not hold, in every spelling FreeTDS,
// unixODBC or other drivers take (compared without case, blanks, '_', '-' or
// '.'): each decides what a key of its own decides, or moves the connection or
// its secrets elsewhere.
struct RefusedKey {
  const char* name;
  const char* decides;
  const char* instead;
};
constexpr RefusedKey kRefusedKeys[] = {
    {"encryption", "the encryption", "encrypt"},
    {"encrypt", "the encryption", "encrypt"},
    {"trustservercertificate", "the certificate check", "trust_server_certificate"},
    {"hostnameincertificate", "the certificate check", "server"},
    {"servercertificate", "the certificate check", "ca_file"},
    {"cafile", "the certificate check", "ca_file"},
    {"crlfile", "the certificate check", "ca_file"},
    {"checkcertificatehostname", "the certificate check", "trust_server_certificate"},
    {"checksslhostname", "the certificate check", "trust_server_certificate"},
    {"server", "the server", "server"},
    {"servername", "the server", "server"},
    {"address", "the server", "server"},
    {"addr", "the server", "server"},
    {"host", "the server", "server"},
    {"networkaddress", "the server", "server"},
    {"datasource", "the server", "server"},
    {"instance", "the server", "server and port"},
    {"port", "the port", "port"},
    {"uid", "the login", "user"},
    {"user", "the login", "user"},
    {"username", "the login", "user"},
    {"userid", "the login", "user"},
    {"trustedconnection", "the login", "user and password"},
    {"integratedsecurity", "the login", "user and password"},
    {"pwd", "the password", "password"},
    {"password", "the password", "password"},
    {"database", "the database", "database"},
    {"initialcatalog", "the database", "database"},
    {"attachdbfilename", "the database", "database"},
    {"dsn", "the data source", "dsn"},
    {"filedsn", "the data source", "dsn"},
    {"driver", "the driver", "driver"},
    {"savefile", "where the connection string, password and all, is written", "nothing"},
    {"dumpfile", "where the session is written in plain text", "nothing"},
    {"dumpfileappend", "where the session is written in plain text", "nothing"},
};

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw SettingsError("settings file " + path + ": " + what);
}

// QSettings splits an unquoted value at commas into a list; joining it back keeps a
// comma inside a password from silently turning it into an empty string.
std::string ValueText(const QVariant& value) {
  if (value.metaType().id() == QMetaType::QStringList) {
    return value.toStringList().join(QLatin1Char(',')).toStdString();
  }
  return value.toString().toStdString();
}

class SectionReader {
 public:
  SectionReader(QSettings& settings, std::string path)
      : settings_(settings), path_(std::move(path)) {}

  bool Has(const char* key) const { return settings_.contains(QString::fromLatin1(key)); }

  std::string Text(const char* key, const std::string& fallback) const {
    return Has(key) ? ValueText(settings_.value(QString::fromLatin1(key))) : fallback;
  }

  std::string Required(const char* key) const {
    std::string value = Text(key, {});
    if (value.empty())
      Fail(path_, std::string("key '") + key + "' in [" + kSection + "] is missing or empty");
    return value;
  }

  bool YesNo(const char* key, bool fallback) const {
    if (!Has(key)) return fallback;
    const QString text = QString::fromStdString(Text(key, {})).trimmed().toLower();
    if (text == QLatin1String("yes") || text == QLatin1String("true") || text == QLatin1String("1"))
      return true;
    if (text == QLatin1String("no") || text == QLatin1String("false") || text == QLatin1String("0"))
      return false;
    Fail(path_, std::string("key '") + key + "' in [" + kSection + "] must be yes or no, not '" +
                    text.toStdString() + "'");
  }

  // A PEM file of CAs, checked now so that a wrong file is a settings error.
  std::string CaFile(const char* key) const {
    const std::string value = Text(key, {});
    if (value.empty()) return value;
    const QFileInfo file(QString::fromStdString(value));
    const std::string path = file.absoluteFilePath().toStdString();
    if (const std::string problem = CaFileProblem(path); !problem.empty())
      Fail(path_, std::string("key '") + key + "' in [" + kSection + "]: " + problem);
    return path;
  }

  int Number(const char* key, int fallback, int lowest, int highest) const {
    if (!Has(key)) return fallback;
    const std::string text = Text(key, {});
    bool ok = false;
    const int value = QString::fromStdString(text).trimmed().toInt(&ok);
    if (!ok || value < lowest || value > highest) {
      Fail(path_, std::string("key '") + key + "' in [" + kSection +
                      "] must be a whole number from " + std::to_string(lowest) + " to " +
                      std::to_string(highest) + ", not '" + text + "'");
    }
    return value;
  }

 private:
  QSettings& settings_;
  std::string path_;
};

bool NeedsBraces(std::string_view value) {
  if (value.empty()) return false;
  if (value.front() == ' ' || value.back() == ' ') return true;
  return value.find_first_of(";{") != std::string_view::npos;
}

std::string KeyText(const char* key) {
  return std::string("key '") + key + "' in [" + kSection + "]";
}

// A connection-string key as compared with kRefusedKeys.
std::string Folded(std::string_view key) {
  std::string folded;
  for (char c : key) {
    if (c == ' ' || c == '_' || c == '-' || c == '.' || c == '\t') continue;
    folded += char(std::tolower(static_cast<unsigned char>(c)));
  }
  return folded;
}

// Every ';'-separated piece is a candidate key, braces or not: FreeTDS and
// unixODBC read braces differently, and a piece either of them could take for a
// key is refused.
std::string OdbcOptionsProblem(std::string_view options) {
  std::size_t start = 0;
  while (start <= options.size()) {
    const std::size_t end = std::min(options.find(';', start), options.size());
    const std::string_view item = options.substr(start, end - start);
    start = end + 1;
    if (item.find_first_not_of(" \t") == std::string_view::npos) continue;
    const std::size_t equals = item.find('=');
    if (equals == std::string_view::npos) {
      if (item.find_first_of("{}") != std::string_view::npos) continue;  // inside a braced value
      return KeyText("odbc_options") + " holds '" + std::string(item) + "', which is not key=value";
    }
    std::string_view key = item.substr(0, equals);
    key.remove_prefix(std::min(key.find_first_not_of(" \t"), key.size()));
    key.remove_suffix(key.size() - std::min(key.find_last_not_of(" \t") + 1, key.size()));
    for (const RefusedKey& refused : kRefusedKeys) {
      if (Folded(key) != refused.name) continue;
      return KeyText("odbc_options") + " may not set '" + std::string(key) + "', which decides " +
             refused.decides + "; use " + refused.instead +
             (std::string_view(refused.instead) == "nothing" ? " instead: leave it out"
                                                             : " in [database] instead");
    }
  }
  return {};
}

// Why one value cannot reach the server exactly as written, "" when it can.
std::string ValueProblem(const char* key, std::string_view value) {
  for (std::size_t i = 0; i < value.size(); ++i) {
    const auto byte = static_cast<unsigned char>(value[i]);
    if (byte < 0x20 || byte == 0x7F) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X", byte);
      return KeyText(key) + " holds a control character (" + code + " at byte " +
             std::to_string(i + 1) + "), which no setting may hold";
    }
  }
  const std::string_view loginKeys[] = {"user", "password", "database"};
  if (std::find(std::begin(loginKeys), std::end(loginKeys), key) != std::end(loginKeys) &&
      QString::fromUtf8(value.data(), qsizetype(value.size())).size() > kLongestLoginValue) {
    return KeyText(key) + " is longer than the " + std::to_string(kLongestLoginValue) +
           " characters a SQL Server login carries";
  }
  return {};
}

std::string SettingsProblem(const ConnectionSettings& settings) {
  const std::pair<const char*, const std::string*> values[] = {
      {"dsn", &settings.dsn},
      {"driver", &settings.driver},
      {"server", &settings.server},
      {"database", &settings.database},
      {"user", &settings.user},
      {"password", &settings.password},
      {"odbc_options", &settings.odbcOptions},
      {"ca_file", &settings.caFile}};
  for (const auto& [key, value] : values) {
    if (std::string problem = ValueProblem(key, *value); !problem.empty()) return problem;
  }
  if (!settings.relayed && !settings.server.empty()) {
    if (std::string problem = ServerNameProblem(settings.server); !problem.empty())
      return KeyText("server") + " " + problem;
  }
  return OdbcOptionsProblem(settings.odbcOptions);
}

}  // namespace

std::string SettingsFilePath() {
  if (const char* fromEnv = std::getenv(kSettingsEnv); fromEnv != nullptr && *fromEnv != '\0') {
    return fromEnv;
  }
  const QString base = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return QDir(base)
      .filePath(QString::fromLatin1(kFolderName) + QLatin1Char('/') +
                QString::fromLatin1(kFileName))
      .toStdString();
}

ConnectionSettings ReadConnectionSettings(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  if (!info.exists()) Fail(path, "not found (set CARDSYNC_SETTINGS or create it)");
  if (!info.isFile() || !info.isReadable()) Fail(path, "cannot be read");

  QSettings ini(info.absoluteFilePath(), QSettings::IniFormat);
  if (ini.status() == QSettings::AccessError) Fail(path, "cannot be read");
  if (ini.status() == QSettings::FormatError) Fail(path, "is not a valid INI file");
  if (!ini.childGroups().contains(QString::fromLatin1(kSection))) {
    Fail(path, std::string("section [") + kSection + "] is missing");
  }
  ini.beginGroup(QString::fromLatin1(kSection));
  const SectionReader reader(ini, path);

  ConnectionSettings settings;
  settings.dsn = reader.Text("dsn", {});
  if (settings.dsn.empty()) {
    settings.driver = reader.Text("driver", settings.driver);
    if (settings.driver.empty()) reader.Required("driver");
    settings.server = reader.Required("server");
    settings.port = reader.Number("port", settings.port, 1, 65535);
    settings.database = reader.Required("database");
  } else {
    // A data source may carry the database itself; the key then only overrides it.
    settings.database = reader.Text("database", {});
  }
  settings.user = reader.Required("user");
  settings.password = reader.Required("password");
  settings.loginTimeoutSeconds =
      reader.Number("login_timeout", settings.loginTimeoutSeconds, 1, 3600);
  settings.queryTimeoutSeconds =
      reader.Number("query_timeout", settings.queryTimeoutSeconds, 0, 86400);
  // A lock wait as long as the request's own would end as a time-out, never as 1222: an
  // unset lock_timeout stays below a short query_timeout, a set one must.
  if (settings.queryTimeoutSeconds > 0) {
    settings.lockTimeoutSeconds =
        std::clamp(settings.queryTimeoutSeconds - 1, 1, settings.lockTimeoutSeconds);
  }
  settings.lockTimeoutSeconds =
      reader.Number("lock_timeout", settings.lockTimeoutSeconds, 1, 86400);
  if (reader.Has("lock_timeout") && settings.queryTimeoutSeconds > 0 &&
      settings.lockTimeoutSeconds >= settings.queryTimeoutSeconds) {
    Fail(path, "key 'lock_timeout' in [database] must be less than query_timeout (" +
                   std::to_string(settings.queryTimeoutSeconds) + ")");
  }
  settings.odbcOptions = reader.Text("odbc_options", settings.odbcOptions);
  settings.encrypt = reader.YesNo("encrypt", settings.encrypt);
  settings.trustServerCertificate =
      reader.YesNo("trust_server_certificate", settings.trustServerCertificate);
  settings.caFile = reader.CaFile("ca_file");
  ini.endGroup();
  if (const std::string problem = SettingsProblem(settings); !problem.empty()) Fail(path, problem);
  if (!settings.dsn.empty()) {
    try {
      ApplyDataSource(settings);
    } catch (const SettingsError& e) {
      Fail(path, KeyText("dsn") + ": " + e.what());
    }
  }
  if (ini.childGroups().contains(QString::fromLatin1(kTransferSection))) {
    ini.beginGroup(QString::fromLatin1(kTransferSection));
    const SectionReader transfer(ini, path);
    settings.batchSize = transfer.Number("batch_size", settings.batchSize, 1, kLargestBatchSize);
    settings.previousDaySpecialCards =
        transfer.YesNo("previous_day_special_cards", settings.previousDaySpecialCards);
    ini.endGroup();
  }
  return settings;
}

std::string OdbcQuoteValue(std::string_view key, std::string_view value) {
  if (!NeedsBraces(value)) return std::string(value);
  if (value.find('}') != std::string_view::npos) {
    throw SettingsError("the value of '" + std::string(key) +
                        "' holds '}' together with ';', '{' or an outer blank, which the ODBC "
                        "driver cannot be given");
  }
  return "{" + std::string(value) + "}";
}

std::string ServerNameProblem(std::string_view server) {
  if (server.empty()) return "is empty";
  if (server.size() > kLongestHostName) return "is longer than a host name may be";
  if (server.find('\\') != std::string_view::npos) {
    return "names an instance, which cardsync does not look up (SQL Server Browser): give the "
           "host alone and the instance's port in port";
  }
  for (char c : server) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != '_' &&
        c != ':')
      return "is not a host name or address (letters, digits, '.', '-', '_' and ':' only)";
  }
  return {};
}

void CheckConnectionSettings(const ConnectionSettings& settings) {
  if (const std::string problem = SettingsProblem(settings); !problem.empty())
    throw SettingsError(problem);
}

std::string OdbcConnectionString(const ConnectionSettings& settings) {
  if (!settings.relayed) {
    throw Error(
        "the connection string is made for the TLS relay only; these settings did not "
        "pass through it");
  }
  CheckConnectionSettings(settings);
  std::string text;
  const auto add = [&text](std::string_view key, std::string_view settingsKey,
                           std::string_view value) {
    if (!text.empty()) text += ';';
    text.append(key).append("=").append(OdbcQuoteValue(settingsKey, value));
  };
  add("Driver", "driver", settings.driver);
  add("Server", "server", settings.server);
  add("Port", "port", std::to_string(settings.port));
  if (!settings.database.empty()) add("Database", "database", settings.database);
  add("UID", "user", settings.user);
  add("PWD", "password", settings.password);
  // The relay encrypts and answers FreeTDS that it cannot: FreeTDS must talk to
  // it in plain, or its own TLS would meet no server.
  add("Encryption", "encrypt", "off");
  if (!settings.odbcOptions.empty()) text.append(";").append(settings.odbcOptions);
  return text;
}

}  // namespace cardsync::db
