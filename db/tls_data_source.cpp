// Reads a data source's section with unixODBC's own reader, so the file it finds
// is the one the driver manager would use.
#include "db/tls_data_source.h"

#include <odbcinst.h>

#include <QString>

#include "db/connection_settings.h"

namespace cardsync::db {
namespace {

constexpr const char* kOdbcIni = "odbc.ini";
// The data source's keys that shape the protocol only, passed on as they are.
constexpr const char* kCarriedKeys[] = {"TDS_Version",    "Language",      "TextSize",
                                        "PacketSize",     "ClientCharset", "ApplicationIntent",
                                        "MARS_Connection"};

std::string Entry(const std::string& name, const char* key) {
  char value[1024] = {};
  const int length =
      ::SQLGetPrivateProfileString(name.c_str(), key, "", value, sizeof value, kOdbcIni);
  return length > 0 ? std::string(value, std::size_t(length)) : std::string();
}

[[noreturn]] void Refuse(const std::string& name, const std::string& why) {
  throw SettingsError("data source '" + name + "' (odbc.ini): " + why);
}

}  // namespace

DataSource ReadDataSource(const std::string& name) {
  DataSource source;
  source.driver = Entry(name, "Driver");
  if (source.driver.empty()) Refuse(name, "is not defined, or names no Driver=");
  // Address= names where to connect when both are there, as in FreeTDS.
  source.server = Entry(name, "Address");
  if (source.server.empty()) source.server = Entry(name, "Server");
  if (source.server.empty()) {
    Refuse(name,
           Entry(name, "Servername").empty()
               ? "names no Server=; give it Server= and Port="
               : "names its server by Servername=, a freetds.conf section whose host cardsync "
                 "cannot reach to encrypt the connection and check the certificate itself; "
                 "give the data source Server= and Port= instead, or set server and port in "
                 "[database] instead of dsn");
  }
  // FreeTDS's "host,port" form.
  if (const std::size_t comma = source.server.find(','); comma != std::string::npos) {
    if (Entry(name, "Port").empty())
      source.port = QString::fromStdString(source.server.substr(comma + 1)).toInt();
    source.server.resize(comma);
  }
  if (const std::string problem = ServerNameProblem(source.server); !problem.empty())
    Refuse(name, "Server=" + source.server + " " + problem);
  if (const std::string port = Entry(name, "Port"); !port.empty()) {
    bool ok = false;
    source.port = QString::fromStdString(port).trimmed().toInt(&ok);
    if (!ok) source.port = 0;
  }
  if (source.port < 1 || source.port > 65535)
    Refuse(name, "Port= must be a number from 1 to 65535");
  source.database = Entry(name, "Database");
  for (const char* key : kCarriedKeys) {
    const std::string value = Entry(name, key);
    if (value.empty()) continue;
    if (!source.options.empty()) source.options += ';';
    source.options += std::string(key) + "=" + OdbcQuoteValue(key, value);
  }
  return source;
}

void ApplyDataSource(ConnectionSettings& settings) {
  const DataSource source = ReadDataSource(settings.dsn);
  settings.driver = source.driver;
  settings.server = source.server;
  settings.port = source.port;
  if (settings.database.empty()) settings.database = source.database;
  if (!source.options.empty()) {
    settings.odbcOptions =
        source.options + (settings.odbcOptions.empty() ? "" : ";" + settings.odbcOptions);
  }
}

}  // namespace cardsync::db
