// The two calls the connection makes: settings through the relay before the
// driver opens, and the relay's word on a failed open.
#include "db/freetds_tls.h"

#include <algorithm>

#include "db/tls_data_source.h"
#include "db/tls_relay.h"

namespace cardsync::db {
namespace {

constexpr const char* kLoopback = "127.0.0.1";

}  // namespace

ConnectionSettings ThroughTlsRelay(const ConnectionSettings& settings) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::seconds(settings.loginTimeoutSeconds);
  CheckConnectionSettings(settings);
  ConnectionSettings target = settings;
  // Settings read from a file already hold the data source's server.
  if (!target.dsn.empty() && target.server.empty()) ApplyDataSource(target);
  if (const std::string problem = ServerNameProblem(target.server); !problem.empty())
    throw SettingsError("key 'server' in [database] " + problem);

  RelayTarget relay;
  relay.host = target.server;
  relay.port = target.port;
  relay.requireEncryption = target.encrypt;
  relay.tls.verify = !target.trustServerCertificate;
  relay.tls.caFile = target.caFile;
  relay.tls.hostName = target.server;
  const int loopbackPort = StartRelay(relay, deadline);

  ConnectionSettings driver = target;
  driver.dsn.clear();
  driver.server = kLoopback;
  driver.port = loopbackPort;
  driver.relayed = true;
  // The open as a whole keeps to login_timeout: the driver gets what is left.
  const auto left = std::chrono::duration_cast<std::chrono::seconds>(deadline - Clock::now());
  driver.loginTimeoutSeconds = std::max(1, int(left.count()));
  return driver;
}

std::string ExplainTlsFailure(const ConnectionSettings& relayed, const std::string&,
                              std::chrono::milliseconds) {
  return relayed.relayed ? RelayFailure(relayed.port) : std::string();
}

}  // namespace cardsync::db
