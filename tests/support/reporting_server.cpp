#include "reporting_server.h"

namespace cardsync::testing {

StandinServer::Options ReportingOptions() {
  StandinServer::Options options;
  options.schemaFiles = {SourceDir() + "/schema/reporting.sql"};
  options.now = "2024-03-15 02:00:00";
  return options;
}

db::ConnectionSettings SettingsFor(const StandinServer& server, int loginTimeoutSeconds,
                                   int queryTimeoutSeconds) {
  db::ConnectionSettings settings;
  settings.server = "127.0.0.1";
  settings.port = server.port();
  settings.database = server.options().database;
  settings.user = server.options().user;
  settings.password = server.options().password;
  settings.loginTimeoutSeconds = loginTimeoutSeconds;
  settings.queryTimeoutSeconds = queryTimeoutSeconds;
  // Encrypted and checked against the test CA whenever the server serves TLS.
  settings.encrypt = server.options().tls;
  if (server.options().tls) settings.caFile = TestCertificate("ca.pem");
  return settings;
}

}  // namespace cardsync::testing
