// Makes the connection from the settings file's [database] section, refuses values
// that would weaken or bend it, and builds the ODBC connection string FreeTDS gets
// for the TLS relay. Every failure names the file and, where one is at fault, the
// key, because that is what an operator must fix.
#include "db/connection_settings.h"

#include <QString>
#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>

#include "base/error.h"
#include "db/tls_client.h"
#include "db/tls_data_source.h"

namespace cardsync::db {
namespace {

constexpr const char* kSection = "database";
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

std::string AddressText(const ConnectionSettings& settings) {
  return settings.server + ":" + std::to_string(settings.port) + "/" + settings.database;
}

ConnectionSettings ConnectionFromSettings(const settings::Settings& file) {
  settings::RequireDatabase(file);
  const settings::Database& section = file.database;
  ConnectionSettings settings;
  static_cast<settings::Database&>(settings) = section;
  // With a data source its own driver, server and port decide (ApplyDataSource); the
  // database key then only overrides its database.
  if (!settings.dsn.empty()) {
    const settings::Database unset;
    settings.driver = unset.driver;
    settings.server = unset.server;
    settings.port = unset.port;
  }
  settings.caFile.clear();
  if (!section.caFile.empty()) {
    // Checked now, so that a wrong file is a settings error rather than a failed login.
    std::error_code ignored;
    settings.caFile = std::filesystem::absolute(section.caFile, ignored).lexically_normal();
    if (settings.caFile.empty()) settings.caFile = section.caFile;
    if (const std::string problem = CaFileProblem(settings.caFile); !problem.empty())
      Fail(file.path, KeyText("ca_file") + ": " + problem);
  }
  if (const std::string problem = SettingsProblem(settings); !problem.empty())
    Fail(file.path, problem);
  if (!settings.dsn.empty()) {
    try {
      ApplyDataSource(settings);
    } catch (const SettingsError& e) {
      Fail(file.path, KeyText("dsn") + ": " + e.what());
    }
  }
  return settings;
}

ConnectionSettings ReadConnectionSettings(const std::string& path) {
  return ConnectionFromSettings(settings::ReadSettings(path));
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
