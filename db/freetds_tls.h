// How FreeTDS's connection gets its encryption: not from FreeTDS. FreeTDS 1.3
// logs in and then talks in plain text when the server's PRELOGIN answer says
// "encrypt the login only", whatever encryption it was told to require, and a
// relay on the link can give that answer. So the process negotiates and runs
// TLS itself (tls_relay.h) and FreeTDS connects to that relay on 127.0.0.1; no
// FreeTDS configuration file is written and FREETDSCONF is left alone.
#pragma once

#include <chrono>
#include <string>

#include "db/connection_settings.h"

namespace cardsync::db {

// Starts the relay for `settings` (the data source read where dsn names one),
// bounded by login_timeout, and returns the settings FreeTDS connects with: the
// same, but for server and port, which are the relay's on 127.0.0.1, and
// login_timeout, which is what is left of it. Throws SettingsError for values
// CheckConnectionSettings refuses and cardsync::Error naming the cause when the
// server cannot be reached, will not encrypt the whole connection, or fails the
// certificate check.
ConnectionSettings ThroughTlsRelay(const ConnectionSettings& settings);

// After a failed open of relayed settings: the cause the relay saw (FreeTDS
// began without PRELOGIN, the link broke), else "" and the driver's own text
// stands. `driverText` and `timeLeft` are not needed: the relay knows.
std::string ExplainTlsFailure(const ConnectionSettings& relayed, const std::string& driverText,
                              std::chrono::milliseconds timeLeft = {});

}  // namespace cardsync::db
