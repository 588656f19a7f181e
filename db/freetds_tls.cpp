// The process's freetds.conf for certificate checks, and the PRELOGIN probe
// that tells "cannot encrypt" from "certificate not trusted" after FreeTDS
// reported either as a failed connection.
#include "db/freetds_tls.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

#include "convert/error.h"

namespace cardsync::db {
namespace {

constexpr const char* kConfEnv = "FREETDSCONF";
constexpr const char* kSystemCas = "system";  // FreeTDS's word for the system's CAs
constexpr const char* kLoginFailed = "Login failed";

// PRELOGIN as the probe sends it: VERSION, ENCRYPTION=ON, terminator.
constexpr unsigned char kPreloginType = 0x12;
constexpr unsigned char kEncryptionToken = 0x01;
constexpr unsigned char kEncryptOn = 0x01;
constexpr unsigned char kEncryptRequired = 0x03;

class OwnConfFile {
 public:
  ~OwnConfFile() {
    if (!path_.isEmpty()) QFile::remove(path_);
  }
  void Write(const std::string& section, const std::string& sectionText) {
    std::lock_guard lock(mutex_);
    sections_[section] = sectionText;
    std::string text = "; written by cardsync for its own connections\n";
    for (const auto& [name, body] : sections_) text += body;
    if (path_.isEmpty()) {
      // Read directly: Qt's RuntimeLocation warns on stderr when the variable is unset.
      const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      QString dir = runtime ? QFile::decodeName(runtime) : QString();
      if (dir.isEmpty() || !QFileInfo(dir).isDir()) dir = QDir::tempPath();
      path_ = QDir(dir).filePath(QStringLiteral("cardsync-freetds-%1.conf").arg(::getpid()));
    } else if (text == written_) {
      return;
    }
    // Replaced whole (written aside, then renamed), so a connect running on
    // another thread reads the old file or the new one, never half of one.
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(text.data(), qint64(text.size())) != qint64(text.size()) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner) || !file.commit()) {
      throw Error("cannot write the FreeTDS configuration " + path_.toStdString() + ": " +
                  file.errorString().toStdString());
    }
    written_ = text;
    if (!envSet_) {
      ::setenv(kConfEnv, QFile::encodeName(path_).constData(), 1);
      envSet_ = true;
    }
  }

 private:
  std::mutex mutex_;
  QString path_;
  std::string written_;
  std::map<std::string, std::string> sections_;
  bool envSet_ = false;
};

OwnConfFile& ConfFile() {
  static OwnConfFile file;
  return file;
}

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

enum class ReadResult { Done, Closed, Silent };

// Reads exactly n bytes before the deadline.
ReadResult ReadExactly(int fd, unsigned char* out, size_t n, Clock::time_point deadline) {
  for (size_t got = 0; got < n;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, MsLeft(deadline)) <= 0) return ReadResult::Silent;
    ssize_t r = ::recv(fd, out + got, n - got, 0);
    if (r <= 0) return ReadResult::Closed;
    got += size_t(r);
  }
  return ReadResult::Done;
}

// A server that hangs up on a request for encryption cannot encrypt; one that
// says nothing tells nothing.
ServerEncryption Unanswered(ReadResult result) {
  return result == ReadResult::Closed ? ServerEncryption::NotOffered
                                      : ServerEncryption::Unreachable;
}

}  // namespace

std::string FreeTdsSectionName(const ConnectionSettings& settings) {
  // FNV-1a: the same name in every run, for the same settings.
  std::uint64_t hash = 1469598103934665603ull;
  const std::string key = settings.server + '\n' + std::to_string(settings.port) + '\n' +
                          (settings.encrypt ? "1" : "0") +
                          (settings.trustServerCertificate ? "1" : "0") + '\n' + settings.caFile;
  for (unsigned char c : key) hash = (hash ^ c) * 1099511628211ull;
  char name[32];
  std::snprintf(name, sizeof name, "cardsync-%016llx", static_cast<unsigned long long>(hash));
  return name;
}

std::string FreeTdsConfText(const ConnectionSettings& settings) {
  std::string text;
  if (settings.dsn.empty()) {
    if (settings.server.find_first_of(";#[]\r\n \t") != std::string::npos) {
      throw SettingsError("the server name '" + settings.server +
                          "' cannot be handed to FreeTDS (no blanks, ';', '#' or brackets)");
    }
    const size_t slash = settings.server.find('\\');
    text = "[" + FreeTdsSectionName(settings) + "]\n\thost = " + settings.server.substr(0, slash) +
           "\n";
    if (slash != std::string::npos)
      text += "\tinstance = " + settings.server.substr(slash + 1) + "\n";
    text += "\tport = " + std::to_string(settings.port) + "\n";
    text += std::string("\tencryption = ") + (settings.encrypt ? "require" : "request") + "\n";
  } else {
    text = "[global]\n";
  }
  if (!settings.trustServerCertificate) {
    text += "\tca file = " + (settings.caFile.empty() ? std::string(kSystemCas) : settings.caFile) +
            "\n";
    text += "\tcheck certificate hostname = yes\n";
  }
  return text;
}

void ApplyFreeTdsTls(const ConnectionSettings& settings) {
  ConfFile().Write(settings.dsn.empty() ? FreeTdsSectionName(settings) : "global",
                   FreeTdsConfText(settings));
}

ServerEncryption ProbeServerEncryption(const std::string& host, int port, int timeoutSeconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(timeoutSeconds);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) {
    return ServerEncryption::Unreachable;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  Socket socket(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (socket.fd() < 0) return ServerEncryption::Unreachable;
  if (::connect(socket.fd(), found->ai_addr, found->ai_addrlen) != 0) {
    if (errno != EINPROGRESS) return ServerEncryption::Unreachable;
    pollfd p{socket.fd(), POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    if (::poll(&p, 1, MsLeft(deadline)) <= 0 ||
        ::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      return ServerEncryption::Unreachable;
    }
  }
  // Options: VERSION (6 bytes), ENCRYPTION (1 byte), terminator; offsets count
  // from the start of the payload, after the 8-byte packet header.
  const std::vector<unsigned char> payload = {0x00, 0x00, 0x0B, 0x00, 0x06, kEncryptionToken,
                                              0x00, 0x11, 0x00, 0x01, 0xFF, 0x0F,
                                              0x00, 0x07, 0xD0, 0x00, 0x00, kEncryptOn};
  std::vector<unsigned char> packet = {
      kPreloginType, 0x01, 0x00, static_cast<unsigned char>(8 + payload.size()),
      0x00,          0x00, 0x01, 0x00};
  packet.insert(packet.end(), payload.begin(), payload.end());
  if (::send(socket.fd(), packet.data(), packet.size(), MSG_NOSIGNAL) != ssize_t(packet.size())) {
    return ServerEncryption::Unreachable;
  }
  unsigned char header[8];
  if (ReadResult r = ReadExactly(socket.fd(), header, sizeof header, deadline);
      r != ReadResult::Done) {
    return Unanswered(r);
  }
  const size_t length = size_t(header[2]) << 8 | header[3];
  if (header[0] != 0x04 || length < sizeof header) return ServerEncryption::NotOffered;
  std::vector<unsigned char> reply(length - sizeof header);
  if (ReadResult r = ReadExactly(socket.fd(), reply.data(), reply.size(), deadline);
      r != ReadResult::Done) {
    return Unanswered(r);
  }
  for (size_t at = 0; at + 5 <= reply.size() && reply[at] != 0xFF; at += 5) {
    const size_t offset = size_t(reply[at + 1]) << 8 | reply[at + 2];
    if (reply[at] == kEncryptionToken && offset < reply.size()) {
      const unsigned char value = reply[offset] & 0x0F;
      return value == kEncryptOn || value == kEncryptRequired ? ServerEncryption::Offered
                                                              : ServerEncryption::NotOffered;
    }
  }
  return ServerEncryption::NotOffered;
}

std::string ExplainTlsFailure(const ConnectionSettings& settings, const std::string& driverText) {
  // The server answered the login itself: encryption worked.
  if (driverText.find(kLoginFailed) != std::string::npos) return {};
  // A data source hides where the server is; its failure stays as FreeTDS put it.
  if (!settings.dsn.empty()) return {};
  switch (ProbeServerEncryption(settings.server, settings.port, settings.loginTimeoutSeconds)) {
    case ServerEncryption::Unreachable:
      return {};
    case ServerEncryption::NotOffered:
      if (!settings.encrypt) return {};
      return "the server cannot encrypt; set encrypt=no in [database] to allow an unencrypted "
             "connection";
    case ServerEncryption::Offered:
      if (settings.trustServerCertificate) return {};
      return "the server's certificate is not trusted: it must be signed by a CA in " +
             (settings.caFile.empty() ? std::string("the system's CA store") : settings.caFile) +
             " and name the server " + settings.server +
             "; set ca_file in [database] to the CA that signed it (trust_server_certificate=yes "
             "skips the check)";
  }
  return {};
}

}  // namespace cardsync::db
