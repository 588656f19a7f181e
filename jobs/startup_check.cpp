// The start-up log-in. The open alone proves what a run needs first (the server
// reached, TLS and the login accepted, the database there); asking the server
// anything more would only add a way for the check to differ from a run.
#include "jobs/startup_check.h"

namespace cardsync::jobs {
namespace {

constexpr char kConnectedTo[] = "connected to ";

}  // namespace

ConnectionCheck CheckConnection(db::Database& database) {
  ConnectionCheck check;
  if (!database.OpenDatabase()) {
    check.text = database.LastConnectError();
    return check;
  }
  // Settings() is what the open used, a data source's server and port filled in.
  const db::ConnectionSettings& settings = database.Settings();
  check.connected = true;
  check.text = kConnectedTo + db::AddressText(settings);
  database.CloseDatabase();
  return check;
}

}  // namespace cardsync::jobs
