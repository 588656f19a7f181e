// Reads the [database] section of the deployment INI file with QSettings and
// builds the ODBC connection string from it. Every failure names the file and,
// where one is at fault, the key, because that is what an operator must fix.
#include "db/connection_settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdlib>

#include "convert/error.h"
#include "db/freetds_tls.h"

namespace cardsync::db {
namespace {

constexpr const char* kSettingsEnv = "CARDSYNC_SETTINGS";
constexpr const char* kSection = "database";
constexpr const char* kTransferSection = "transfer";
constexpr const char* kFolderName = "cardsync";
constexpr const char* kFileName = "cardsync.ini";

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

  // A file the driver will read: it must be there now, and its name must survive
  // a freetds.conf line (no comment characters, no outer blanks).
  std::string ReadableFile(const char* key) const {
    const std::string value = Text(key, {});
    if (value.empty()) return value;
    if (value.find_first_of(";#\r\n") != std::string::npos || value.front() == ' ' ||
        value.back() == ' ') {
      Fail(path_, std::string("key '") + key + "' in [" + kSection +
                      "]: the file name may not hold ';', '#', a line break or outer blanks");
    }
    const QFileInfo file(QString::fromStdString(value));
    if (!file.isFile() || !file.isReadable()) {
      Fail(path_,
           std::string("key '") + key + "' in [" + kSection + "]: " + value + " cannot be read");
    }
    return file.absoluteFilePath().toStdString();
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
  settings.lockTimeoutSeconds =
      reader.Number("lock_timeout", settings.lockTimeoutSeconds, 1, 86400);
  // A lock wait as long as the request's own would end as a time-out, never as 1222.
  if (settings.queryTimeoutSeconds > 0 &&
      settings.lockTimeoutSeconds >= settings.queryTimeoutSeconds) {
    Fail(path, "key 'lock_timeout' in [database] must be less than query_timeout (" +
                   std::to_string(settings.queryTimeoutSeconds) + ")");
  }
  settings.odbcOptions = reader.Text("odbc_options", settings.odbcOptions);
  settings.encrypt = reader.YesNo("encrypt", settings.encrypt);
  settings.trustServerCertificate =
      reader.YesNo("trust_server_certificate", settings.trustServerCertificate);
  settings.caFile = reader.ReadableFile("ca_file");
  ini.endGroup();
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

std::string OdbcConnectionString(const ConnectionSettings& settings) {
  std::string text;
  const auto add = [&text](std::string_view key, std::string_view settingsKey,
                           std::string_view value) {
    if (!text.empty()) text += ';';
    text.append(key).append("=").append(OdbcQuoteValue(settingsKey, value));
  };
  if (!settings.dsn.empty()) {
    add("DSN", "dsn", settings.dsn);
  } else {
    add("Driver", "driver", settings.driver);
    // The server is named by the section cardsync writes for it, which carries
    // host, port and the certificate check (see freetds_tls.h).
    add("Servername", "server", FreeTdsSectionName(settings));
    add("Port", "port", std::to_string(settings.port));
  }
  if (!settings.database.empty()) add("Database", "database", settings.database);
  add("UID", "user", settings.user);
  add("PWD", "password", settings.password);
  // FreeTDS's own words: "require" refuses a server without TLS, "request"
  // encrypts when the server can. The certificate check is set apart, in the
  // configuration file FreeTDS reads (see freetds_tls.h).
  add("Encryption", "encrypt", settings.encrypt ? "require" : "request");
  if (!settings.odbcOptions.empty()) text.append(";").append(settings.odbcOptions);
  return text;
}

}  // namespace cardsync::db
