// A stand-in holding the reporting schema, and settings that reach it: what the
// data-access tests, the job tests and the transfer benchmark all start from.
#pragma once

#include "db/connection_settings.h"
#include "standin_server.h"

namespace cardsync::testing {

// The reporting schema on an empty database, the server's clock fixed at
// 2024-03-15 02:00:00 so "yesterday" is 2024-03-14.
StandinServer::Options ReportingOptions();

// Settings that log in to `server` as its own user. A query time-out of 0 waits for ever.
db::ConnectionSettings SettingsFor(const StandinServer& server, int loginTimeoutSeconds,
                                   int queryTimeoutSeconds);

}  // namespace cardsync::testing
