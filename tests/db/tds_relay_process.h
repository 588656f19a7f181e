// Test fixture: tools/tds-relay as a child process between a client and a
// stand-in, rewriting the server's PRELOGIN encryption answer when asked.
#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <string>
#include <vector>

namespace cardsync::testing {

class TdsRelayProcess {
 public:
  // `answer`: "" passes the server's answer on; else off, on, not-supported or
  // required. Throws std::runtime_error when the relay does not start.
  TdsRelayProcess(int serverPort, const std::string& answer);
  ~TdsRelayProcess();
  TdsRelayProcess(const TdsRelayProcess&) = delete;
  TdsRelayProcess& operator=(const TdsRelayProcess&) = delete;

  int port() const { return port_; }
  std::vector<std::string> LogLines() const;

 private:
  QTemporaryDir dir_;
  QProcess process_;
  int port_ = 0;
};

}  // namespace cardsync::testing
