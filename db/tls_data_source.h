// What the TLS relay needs from an ODBC data source: where its server is. FreeTDS
// 1.3 takes no Server= beside DSN= in a connection string, so a data source
// cannot be pointed at the relay; cardsync reads it (through unixODBC, as the
// driver would) and connects by driver instead, carrying the data source's
// protocol settings along.
#pragma once

#include <string>

#include "db/connection_settings.h"

namespace cardsync::db {

struct DataSource {
  std::string driver;
  std::string server;  // host name or address, from Server= (or Address=)
  int port = 1433;
  std::string database;  // empty when the data source names none
  // Its TDS_Version, ClientCharset and like keys as "key=value;..."; never its
  // server, login or encryption keys, which cardsync decides.
  std::string options;
};

// Section `name` of odbc.ini as unixODBC finds it (ODBCINI, ~/.odbc.ini, the
// system's odbc.ini). Throws SettingsError naming the data source when it is not
// defined, names its server only through freetds.conf (Servername=), or holds a
// server or port cardsync cannot connect to.
DataSource ReadDataSource(const std::string& name);

// Fills settings' driver, server and port from the data source settings.dsn
// names, its database unless settings name one, and puts its options ahead of
// odbc_options (so odbc_options wins where both set a key). Throws as ReadDataSource.
void ApplyDataSource(ConnectionSettings& settings);

}  // namespace cardsync::db
