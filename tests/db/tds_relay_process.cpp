// Starts tds-relay and reads the port it prints; the log goes to a file of the
// fixture's own folder.
#include "tds_relay_process.h"

#include <fstream>
#include <stdexcept>

namespace cardsync::testing {
namespace {

constexpr int kStartMs = 15000;
constexpr const char* kListening = "listening on 127.0.0.1:";

}  // namespace

TdsRelayProcess::TdsRelayProcess(int serverPort, const std::string& answer) {
  QStringList arguments = {"--to-port", QString::number(serverPort), "--log",
                           dir_.filePath("relay.log")};
  if (!answer.empty()) arguments << "--encryption-answer" << QString::fromStdString(answer);
  process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process_.start(QStringLiteral(TDS_RELAY_PATH), arguments);
  std::string seen;
  while (seen.find('\n') == std::string::npos && process_.waitForReadyRead(kStartMs))
    seen += process_.readAllStandardOutput().toStdString();
  const std::size_t at = seen.find(kListening);
  if (at == std::string::npos) throw std::runtime_error("tds-relay did not start: " + seen);
  port_ = std::stoi(seen.substr(at + std::char_traits<char>::length(kListening)));
}

TdsRelayProcess::~TdsRelayProcess() {
  process_.terminate();
  if (!process_.waitForFinished(5000)) process_.kill();
  process_.waitForFinished();
}

std::vector<std::string> TdsRelayProcess::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(dir_.filePath("relay.log").toStdString());
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace cardsync::testing
