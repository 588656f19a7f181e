// Encrypted connections end to end: cardsync's settings against the TLS
// stand-in (trusted, untrusted and misnamed certificates, a plain server), a
// relay that records every byte of a run, tsql, plain clients refused; and the
// stand-in's hardening (connection cap, login deadline, pre-login size cap,
// accept() out of descriptors, password kept off the command line).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "db/database.h"
#include "reporting_server.h"
#include "standin_server.h"
#include "tds_login.h"
#include "tds_packet.h"

namespace cardsync::testing {
namespace {

using standin::tds::Bytes;
namespace packet = standin::tds::packet;

int CountLines(const std::vector<std::string>& lines, const std::string& part) {
  return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.find(part) != std::string::npos;
  }));
}

int Listener(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(fd, 8) != 0) {
    throw std::runtime_error("relay: cannot listen");
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

int ConnectTo(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
  }
  return fd;
}

// A man in the middle that only listens: every byte between the clients it
// accepts and the server is passed on and kept.
class RecordingRelay {
 public:
  explicit RecordingRelay(int serverPort) : serverPort_(serverPort), listenFd_(Listener(port_)) {
    thread_ = std::thread([this] { Run(); });
  }
  ~RecordingRelay() {
    stop_ = true;
    thread_.join();
    ::close(listenFd_);
  }
  int port() const { return port_; }
  Bytes Recorded() {
    std::lock_guard lock(mutex_);
    return recorded_;
  }

 private:
  void Run() {
    std::vector<std::pair<int, int>> links;  // client, server
    while (!stop_) {
      std::vector<pollfd> fds = {{listenFd_, POLLIN, 0}};
      for (auto [c, s] : links) {
        fds.push_back({c, POLLIN, 0});
        fds.push_back({s, POLLIN, 0});
      }
      if (::poll(fds.data(), fds.size(), 50) <= 0) continue;
      // Only the links polled this round: a link accepted now has no entry in fds.
      const size_t polled = links.size();
      if (fds[0].revents & POLLIN) {
        int client = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) links.push_back({client, ConnectTo(serverPort_)});
      }
      for (size_t i = 0; i < polled; ++i) {
        for (int side = 0; side < 2; ++side) {
          if (!(fds[1 + 2 * i + side].revents & (POLLIN | POLLHUP))) continue;
          int from = side == 0 ? links[i].first : links[i].second;
          int to = side == 0 ? links[i].second : links[i].first;
          uint8_t buf[16384];
          ssize_t n = ::recv(from, buf, sizeof buf, 0);
          if (n <= 0) {
            ::shutdown(to, SHUT_WR);
            continue;
          }
          {
            std::lock_guard lock(mutex_);
            recorded_.insert(recorded_.end(), buf, buf + n);
          }
          ::send(to, buf, size_t(n), MSG_NOSIGNAL);
        }
      }
    }
    for (auto [c, s] : links) {
      ::close(c);
      ::close(s);
    }
  }

  int serverPort_;
  int port_ = 0;
  int listenFd_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  Bytes recorded_;
  std::thread thread_;
};

bool Contains(const Bytes& haystack, const Bytes& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
         haystack.end();
}

Bytes Ascii(const std::string& s) { return Bytes(s.begin(), s.end()); }

// ---- cardsync's settings against the stand-in ----

TEST(TlsSettings, OnlyATrustedServerOfTheRightNameIsReached) {
  struct Case {
    const char* name;
    StandinServer::Options server;
    std::function<void(db::ConnectionSettings&)> change;
    const char* refusal;  // nullptr: the connection opens
  };
  StandinServer::Options wrongHost;
  wrongHost.tlsCert = TestCertificate("wrong-host.pem");
  wrongHost.tlsKey = TestCertificate("wrong-host-key.pem");
  const std::vector<Case> cases = {
      {"certificate signed by the configured CA", {}, [](auto&) {}, nullptr},
      {"empty odbc_options", {}, [](auto& s) { s.odbcOptions.clear(); }, nullptr},
      {"CA that signed nothing of ours",
       {},
       [](auto& s) { s.caFile = TestCertificate("other-ca.pem"); },
       "certificate is not trusted"},
      {"the system's CAs", {}, [](auto& s) { s.caFile.clear(); }, "certificate is not trusted"},
      {"certificate for another host", wrongHost, [](auto&) {}, "certificate is not trusted"},
      {"trust_server_certificate=yes skips the check",
       {},
       [](auto& s) {
         s.caFile = TestCertificate("other-ca.pem");
         s.trustServerCertificate = true;
       },
       nullptr},
      {"plain server under encrypt=yes", StandinServer::Plain(), [](auto& s) { s.encrypt = true; },
       "the server cannot encrypt; set encrypt=no in [database]"},
      {"plain server under encrypt=no", StandinServer::Plain(), [](auto&) {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server(c.server);
    db::ConnectionSettings settings = SettingsFor(server, 5, 10);
    c.change(settings);
    db::Database database([settings] { return settings; });
    const bool opened = database.OpenDatabase();
    EXPECT_EQ(opened, c.refusal == nullptr) << database.LastConnectError();
    if (c.refusal) {
      EXPECT_NE(database.LastConnectError().find(c.refusal), std::string::npos)
          << database.LastConnectError();
      EXPECT_EQ(CountLines(server.LogLines(), "login: user="), 0) << "the login reached the server";
    } else {
      std::string two;
      EXPECT_TRUE(database.QueryScalar("select 1+1", two));
      EXPECT_EQ(two, "2");
    }
  }
}

TEST(TlsSettings, ARelayOnTheLinkSeesNoPasswordSqlOrRows) {
  const std::string password = "Relay-Secret-42";
  const std::string sql = "select marker_text from T_relay_probe";
  const std::string row = "row-value-9f3k";
  struct Case {
    const char* name;
    bool tls;
    bool seen;  // the plain run shows the relay would catch them
  };
  const Case cases[] = {{"encrypted", true, false}, {"plain, encrypt=no", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options;
    options.password = password;
    options.tls = c.tls;
    StandinServer server(options);
    server.Exec("create table T_relay_probe(marker_text varchar(40))");
    server.Exec("insert into T_relay_probe values('" + row + "')");
    RecordingRelay relay(server.port());
    db::ConnectionSettings settings = SettingsFor(server, 5, 10);
    settings.port = relay.port();
    db::Database database([settings] { return settings; });
    ASSERT_TRUE(database.OpenDatabase()) << database.LastConnectError();
    std::string value;
    ASSERT_TRUE(database.QueryScalar(sql, value)) << database.LastQueryError()->what();
    EXPECT_EQ(value, row);
    database.CloseDatabase();

    const Bytes wire = relay.Recorded();
    ASSERT_GT(wire.size(), 1000u);
    struct Secret {
      const char* what;
      Bytes bytes;
      bool inPlainRun;  // LOGIN7 never carries the password as it is
    };
    const Secret secrets[] = {
        {"password", Ascii(password), false},
        {"password, UTF-16", standin::tds::Utf8ToUtf16le(password), false},
        {"password, as LOGIN7 hides it", standin::tds::EncodePassword(password), true},
        {"SQL text, UTF-16", standin::tds::Utf8ToUtf16le(sql), true},
        {"row value", Ascii(row), true},
    };
    for (const Secret& secret : secrets) {
      EXPECT_EQ(Contains(wire, secret.bytes), c.seen && secret.inPlainRun) << secret.what;
    }
  }
}

TEST(TlsSettings, TsqlConnectsCheckingTheCertificate) {
  StandinServer server({});
  const std::string conf =
      std::filesystem::temp_directory_path() / ("tsql-tls-" + std::to_string(::getpid()));
  std::ofstream(conf) << "[global]\n\tencryption = require\n\tca file = "
                      << TestCertificate("ca.pem") << "\n\tcheck certificate hostname = yes\n";
  const std::string command = "printf 'select 40+2\\ngo\\n' | FREETDSCONF='" + conf +
                              "' tsql -H 127.0.0.1 -p " + std::to_string(server.port()) + " -U " +
                              server.options().user + " -P '" + server.options().password +
                              "' 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buf[512];
    while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) output.append(buf, n);
    ::pclose(pipe);
  }
  std::filesystem::remove(conf);
  EXPECT_NE(output.find("42"), std::string::npos) << output;
  EXPECT_EQ(CountLines(server.LogLines(), "login: user=cardsync ok"), 1) << output;
}

// ---- the stand-in's side ----

// Sends `bytes` on a fresh connection; true when the server then hangs up.
bool ServerHangsUpAfter(int port, const Bytes& bytes, int waitMs = 5000) {
  int fd = ConnectTo(port);
  ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  bool closed = false;
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0) break;
    uint8_t buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      closed = true;
      break;
    }
  }
  ::close(fd);
  return closed;
}

Bytes Prelogin(uint8_t encryption) {
  Bytes payload = {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00,
                   0x01, 0xFF, 0x0F, 0x00, 0x07, 0xD0, 0x00, 0x00, encryption};
  return standin::tds::FrameMessage(packet::kPrelogin, payload, 4096, 0);
}

TEST(TlsStandin, ClientsThatWillNotEncryptAreRefused) {
  struct Case {
    const char* name;
    Bytes bytes;
    bool thenBatch;  // a plain SQL batch follows
    const char* logged;
  };
  standin::tds::Login7 login{0x74000004, 4096, "h", "cardsync", "Test-Pass-123",
                             "a",        "s",  "l", "",         "reporting"};
  const Case cases[] = {
      {"PRELOGIN saying it cannot encrypt", Prelogin(standin::tds::encrypt::kNotSupported), false,
       "login: refused: the client cannot encrypt"},
      {"LOGIN7 without PRELOGIN",
       standin::tds::FrameMessage(packet::kLogin7, standin::tds::BuildLogin7(login), 4096, 0),
       false, "login: refused: the client skipped PRELOGIN"},
      {"a batch where the handshake belongs", Prelogin(standin::tds::encrypt::kOn), true,
       "expected the TLS handshake"},
  };
  StandinServer server({});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes bytes = c.bytes;
    if (c.thenBatch) {
      Bytes batch = standin::tds::FrameMessage(packet::kSqlBatch, Bytes(30, 0), 4096, 0);
      bytes.insert(bytes.end(), batch.begin(), batch.end());
    }
    EXPECT_TRUE(ServerHangsUpAfter(server.port(), bytes));
    EXPECT_EQ(CountLines(server.LogLines(), c.logged), 1);
  }
  EXPECT_EQ(CountLines(server.LogLines(), "login: user="), 0);
  EXPECT_EQ(server.Query("select 3"), (std::vector<std::vector<std::string>>{{"3"}}));
}

TEST(TlsStandin, HardeningHoldsBeforeLogin) {
  StandinServer::Options options;
  options.tls = false;  // raw bytes
  options.maxConnections = 2;
  options.preloginTimeoutMs = 300;
  StandinServer server(options);

  // Silent clients are closed at the deadline.
  EXPECT_TRUE(ServerHangsUpAfter(server.port(), {}));
  EXPECT_EQ(CountLines(server.LogLines(), "login: timed out: no login within 300 ms"), 1);

  // A PRELOGIN message growing past 1 MiB ends its connection before the deadline.
  Bytes big;
  for (int i = 0; i < 40; ++i) {
    Bytes piece = standin::tds::FrameMessage(packet::kPrelogin, Bytes(32000, 0x41), 32767, 0);
    piece[1] = 0;  // not the last packet
    big.insert(big.end(), piece.begin(), piece.end());
  }
  EXPECT_TRUE(ServerHangsUpAfter(server.port(), big));
  EXPECT_EQ(CountLines(server.LogLines(), "message larger than 1048576 bytes"), 1);

  // A third client while two are open is closed at once.
  int first = ConnectTo(server.port());
  int second = ConnectTo(server.port());
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_TRUE(ServerHangsUpAfter(server.port(), {}, 2000));
  EXPECT_EQ(CountLines(server.LogLines(), "refused a client: 2 connections are open"), 1);
  ::close(first);
  ::close(second);
}

TEST(TlsStandin, AcceptOutOfDescriptorsBacksOff) {
  StandinServer server({});
  int open = 0;
  for (auto& entry :
       std::filesystem::directory_iterator("/proc/" + std::to_string(server.pid()) + "/fd")) {
    (void)entry;
    ++open;
  }
  rlimit original{};
  ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
  rlimit tight = original;
  tight.rlim_cur = 3;  // below every descriptor it holds: none left for the next client
  ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, &tight, nullptr), 0);

  int waiting = ConnectTo(server.port());  // queued by the kernel, refused by accept()
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const int failures = CountLines(server.LogLines(), "accept failed: Too many open files");
  EXPECT_GE(failures, 1);
  EXPECT_LE(failures, 12) << "accept() was retried without a pause";

  ASSERT_EQ(::prlimit(server.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
  ::close(waiting);
  EXPECT_EQ(server.Query("select 4"), (std::vector<std::vector<std::string>>{{"4"}}));
}

TEST(TlsStandin, ThePasswordStaysOffTheCommandLine) {
  const std::string file =
      std::filesystem::temp_directory_path() / ("standin-pw-" + std::to_string(::getpid()));
  std::ofstream(file) << "From-A-File-7\n";
  struct Case {
    const char* name;
    std::string passwordFile;
    std::string password;
  };
  const Case cases[] = {{"environment", "", "From-The-Env-7"}, {"file", file, "From-A-File-7"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options;
    options.password = c.password;
    options.passwordFile = c.passwordFile;
    StandinServer server(options);
    std::ifstream cmdline("/proc/" + std::to_string(server.pid()) + "/cmdline");
    const std::string args((std::istreambuf_iterator<char>(cmdline)),
                           std::istreambuf_iterator<char>());
    EXPECT_FALSE(args.empty());
    EXPECT_EQ(args.find(c.password), std::string::npos) << args;
    EXPECT_EQ(server.Query("select 5"), (std::vector<std::vector<std::string>>{{"5"}}));
  }
  std::filesystem::remove(file);
}

}  // namespace
}  // namespace cardsync::testing
