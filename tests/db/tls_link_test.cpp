// The encrypted link made to fail as an attacker or a wrong setting would make
// it fail: a relay rewriting the server's PRELOGIN answer (tools/tds-relay),
// certificates and CA files that do not fit, an old TDS version, another
// process at the loopback port, and cardsync --run totals end to end, which
// must leave no file in the temporary folder.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <set>

#include "db/database.h"
#include "db/tls_prelogin.h"
#include "db/tls_relay.h"
#include "reporting_server.h"
#include "tds_relay_process.h"

namespace cardsync::testing {
namespace {

constexpr const char* kLoginOnly =
    "the server's answer would leave the session unencrypted after the login";
constexpr const char* kCannotEncrypt = "the server cannot encrypt; set encrypt=no";
constexpr const char* kNotTrusted = "the server's certificate is not trusted";

int Count(const std::vector<std::string>& lines, const std::string& part) {
  return int(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(part) != std::string::npos;
  }));
}

StandinServer::Options WrongHost() {
  StandinServer::Options options;
  options.tlsCert = TestCertificate("wrong-host.pem");
  options.tlsKey = TestCertificate("wrong-host-key.pem");
  return options;
}

// Each row a rewritten answer: only encryption of the whole connection logs in,
// and cardsync always asks for it.
TEST(TlsLink, AnAnswerThatWouldNotEncryptEverythingIsRefusedBeforeTheLogin) {
  struct Case {
    const char* answer;  // "": the server's own
    bool encrypt;
    const char* refusal;  // nullptr: it opens
  };
  const Case cases[] = {
      {"", true, nullptr},
      {"required", true, nullptr},
      {"off", true, kLoginOnly},
      {"off", false, kLoginOnly},
      {"not-supported", true, kCannotEncrypt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.answer) + (c.encrypt ? ", encrypt=yes" : ", encrypt=no"));
    StandinServer server({});
    TdsRelayProcess relay(server.port(), c.answer);
    db::ConnectionSettings settings = SettingsFor(server, 10, 10);
    settings.port = relay.port();
    settings.encrypt = c.encrypt;
    db::Database database([settings] { return settings; });
    EXPECT_EQ(database.OpenDatabase(), c.refusal == nullptr) << database.LastConnectError();
    EXPECT_EQ(Count(relay.LogLines(), "client: prelogin encryption=on"), 1);
    EXPECT_EQ(Count(relay.LogLines(), "client: prelogin encryption="), 1);
    if (c.refusal) {
      EXPECT_NE(database.LastConnectError().find(c.refusal), std::string::npos)
          << database.LastConnectError();
      EXPECT_EQ(Count(server.LogLines(), "login: user="), 0);
    } else {
      std::string two;
      EXPECT_TRUE(database.QueryScalar("select 1+1", two));
      EXPECT_EQ(two, "2");
    }
  }
}

// A failed open says what failed; only a certificate that fails its check is
// called untrusted, and nothing reaches the login when the link is refused.
TEST(TlsLink, FailuresNameTheirRealCause) {
  QTemporaryDir dir;
  const std::string notPem = dir.filePath("not-pem.pem").toStdString();
  std::ofstream(notPem) << "no certificate here\n";
  const std::string otherCa = TestCertificate("other-ca.pem");
  struct Case {
    const char* name;
    StandinServer::Options server;
    std::function<void(db::ConnectionSettings&)> change;
    std::string cause;
    bool certificate;
  };
  const std::vector<Case> cases = {
      {"wrong CA",
       {},
       [&](auto& s) { s.caFile = otherCa; },
       "not signed by a CA in ca_file " + otherCa,
       true},
      {"host name mismatch", WrongHost(), [](auto&) {},
       "it is made out for db.invalid, not for 127.0.0.1", true},
      {"CA file that is not PEM",
       {},
       [&](auto& s) { s.caFile = notPem; },
       "ca_file " + notPem + " holds no PEM certificate",
       false},
      {"CA file missing",
       {},
       [](auto& s) { s.caFile = "/nonexistent/ca.pem"; },
       "ca_file /nonexistent/ca.pem cannot be read",
       false},
      {"TDS 5.0 set in odbc_options",
       {},
       [](auto& s) { s.odbcOptions = "TDS_Version=5.0;ClientCharset=UTF-8"; },
       "FreeTDS began without PRELOGIN",
       false},
      {"TDS 7.0 set in odbc_options",
       {},
       [](auto& s) { s.odbcOptions = "TDS_Version=7.0"; },
       "FreeTDS began without PRELOGIN",
       false},
      {"wrong password",
       {},
       [](auto& s) { s.password = "Wrong-Pass-1"; },
       "Login failed for user 'cardsync'",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server(c.server);
    db::ConnectionSettings settings = SettingsFor(server, 10, 10);
    c.change(settings);
    db::Database database([settings] { return settings; });
    ASSERT_FALSE(database.OpenDatabase());
    const std::string& message = database.LastConnectError();
    EXPECT_NE(message.find(c.cause), std::string::npos) << message;
    EXPECT_EQ(message.find(kNotTrusted) != std::string::npos, c.certificate) << message;
    if (c.certificate) {
      EXPECT_EQ(Count(server.LogLines(), "login: user="), 0);
    }
  }
}

// A data source is reached at the server its odbc.ini section names, and that
// server's certificate is checked as [database]'s server would be.
TEST(TlsLink, ADataSourceIsCheckedLikeAServer) {
  struct Case {
    const char* name;
    StandinServer::Options server;
    const char* refusal;
  };
  const Case cases[] = {{"its certificate names it", {}, nullptr},
                        {"its certificate names another host", WrongHost(),
                         "it is made out for db.invalid, not for 127.0.0.1"}};
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // A data source name per row: unixODBC keeps what it read for 20 seconds.
    const std::string name = "Reporting" + std::to_string(++row);
    QTemporaryDir dir;
    const std::string odbcIni = dir.filePath("odbc.ini").toStdString();
    const std::string settingsFile = dir.filePath("cardsync.ini").toStdString();
    StandinServer server(c.server);
    std::ofstream(odbcIni, std::ios::trunc)
        << "[" << name << "]\nDriver=FreeTDS\nServer=127.0.0.1\nPort=" << server.port()
        << "\nDatabase=reporting\nEncryption=off\n";
    std::ofstream(settingsFile, std::ios::trunc)
        << "[database]\ndsn=" << name
        << "\nuser=cardsync\npassword=Test-Pass-123\nca_file=" << TestCertificate("ca.pem") << "\n";
    ::setenv("ODBCINI", odbcIni.c_str(), 1);
    db::Database database([&] { return db::ReadConnectionSettings(settingsFile); });
    EXPECT_EQ(database.OpenDatabase(), c.refusal == nullptr) << database.LastConnectError();
    if (c.refusal) {
      EXPECT_NE(database.LastConnectError().find(c.refusal), std::string::npos)
          << database.LastConnectError();
    }
    ::unsetenv("ODBCINI");
  }
}

int ConnectTo(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(std::uint16_t(port));
  return ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

// 0: the relay closed the connection unanswered; 1: it answered; 2: neither.
int AnswerTo(int fd, const db::tds::Bytes& prelogin) {
  ::send(fd, prelogin.data(), prelogin.size(), MSG_NOSIGNAL);
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return 2;
  std::uint8_t byte = 0;
  return ::recv(fd, &byte, 1, 0) > 0 ? 1 : 0;
}

// The loopback connection carries the login in plain text: a process of
// another user that connects to the port first is turned away, and the
// program's own connection is still served.
TEST(TlsRelay, AnotherProcessCannotTakeTheLoopbackConnection) {
  StandinServer server({});
  db::RelayTarget target;
  target.host = "127.0.0.1";
  target.port = server.port();
  target.tls.caFile = TestCertificate("ca.pem");
  target.tls.hostName = "127.0.0.1";
  const int port =
      db::StartRelay(target, std::chrono::steady_clock::now() + std::chrono::seconds(20));
  const db::tds::Bytes prelogin = db::tds::Frame(
      db::tds::kTypePrelogin, db::tds::PreloginRequest(db::tds::Encryption::NotSupported), 4096);
  const pid_t child = ::fork();
  if (child == 0) {
    const int fd = ConnectTo(port);
    ::_exit(fd < 0 ? 3 : AnswerTo(fd, prelogin));
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0) << "another process was served";
  const int own = ConnectTo(port);
  ASSERT_GE(own, 0);
  EXPECT_EQ(AnswerTo(own, prelogin), 1) << "the program's own connection was not served";
  ::close(own);
}

struct CardsyncRun {
  int exitCode = -1;
  std::string output;           // stdout, then stderr
  std::set<std::string> inTmp;  // entries of /tmp the run left
};

// Entries of /tmp named like something cardsync could make. Other programs (and
// other builds of this one, with pids that may repeat) use /tmp at the same time,
// so a run is only held to what appeared while it ran and carries its pid.
std::set<std::string> CardsyncEntriesInTmp() {
  std::set<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp")) {
    const std::string name = entry.path().filename().string();
    if (name.find("cardsync") != std::string::npos) names.insert(name);
  }
  return names;
}

// cardsync as cron starts it: no XDG_RUNTIME_DIR, a home and a TMPDIR of its own
// (which must stay empty), the settings file given by CARDSYNC_SETTINGS.
CardsyncRun RunCardsync(const std::string& databaseSection, const QStringList& arguments) {
  QTemporaryDir home, temp;
  const QString settings = home.filePath("cardsync.ini");
  std::ofstream(settings.toStdString()) << "[database]\n" << databaseSection;
  QFile::setPermissions(settings, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove("XDG_RUNTIME_DIR");
  environment.insert("HOME", home.path());
  environment.insert("XDG_STATE_HOME", home.filePath("state"));
  environment.insert("XDG_CONFIG_HOME", home.filePath("config"));
  environment.insert("TMPDIR", temp.path());
  environment.insert("CARDSYNC_SETTINGS", settings);
  const std::set<std::string> tmpBefore = CardsyncEntriesInTmp();
  QProcess process;
  process.setProcessEnvironment(environment);
  process.start(QStringLiteral(CARDSYNC_PATH), arguments);
  const std::string pid = std::to_string(process.processId());
  CardsyncRun run;
  EXPECT_TRUE(process.waitForFinished(120000));
  for (const std::string& name : CardsyncEntriesInTmp())
    if (!tmpBefore.contains(name) && name.find(pid) != std::string::npos) run.inTmp.insert(name);
  run.exitCode = process.exitCode();
  run.output = (process.readAllStandardOutput() + process.readAllStandardError()).toStdString();
  EXPECT_TRUE(QDir(temp.path()).isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden))
      << "a file was left in TMPDIR";
  return run;
}

std::string LiveSection(int port) {
  return "server=127.0.0.1\nport=" + std::to_string(port) +
         "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\nlogin_timeout=10\n"
         "ca_file=" +
         TestCertificate("ca.pem") + "\n";
}

// cardsync --run totals from cron through a rewriting relay: a downgraded link
// exits 2 before the server runs anything, and no run leaves a file behind.
TEST(TlsLink, RunTotalsThroughARewritingRelay) {
  struct Case {
    const char* answer;
    int exitCode;
    const char* says;
  };
  const Case cases[] = {
      {"", 0, "统计数据!"}, {"off", 2, kLoginOnly}, {"not-supported", 2, kCannotEncrypt}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.answer);
    StandinServer server(ReportingOptions());
    TdsRelayProcess relay(server.port(), c.answer);
    const CardsyncRun run = RunCardsync(LiveSection(relay.port()), {"--run", "totals"});
    EXPECT_EQ(run.exitCode, c.exitCode) << run.output;
    EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    EXPECT_EQ(Count(server.LogLines(), "batch: totals") > 0, c.exitCode == 0);
    EXPECT_EQ(Count(server.LogLines(), "login: user=") > 0, c.exitCode == 0);
    EXPECT_EQ(run.inTmp, std::set<std::string>());
  }
}

// A setting that would weaken the connection stops the run as a settings error
// (exit 78) before anything reaches the server.
TEST(TlsLink, ARefusedSettingExitsSeventyEightBeforeConnecting) {
  struct Case {
    std::string extra;
    const char* named;
  };
  const Case cases[] = {
      {"odbc_options=\"TDS_Version=7.4;Encryption=off\"\n", "may not set 'Encryption'"},
      {"odbc_options=\"PWD=other\"\n", "may not set 'PWD'"},
      {"odbc_options=\"Server=elsewhere\"\n", "may not set 'Server'"},
      // The reader keeps a carriage return inside quotes as it is; the check refuses it.
      {"odbc_options=\"ClientCharset=UTF-8\rhost=elsewhere\"\n",
       "'odbc_options' in [database] holds a control character"},
  };
  StandinServer server(ReportingOptions());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.extra);
    const CardsyncRun run = RunCardsync(LiveSection(server.port()) + c.extra, {"--run", "totals"});
    EXPECT_EQ(run.exitCode, 78) << run.output;
    EXPECT_NE(run.output.find(c.named), std::string::npos) << run.output;
  }
  EXPECT_EQ(Count(server.LogLines(), "login: "), 0);
}

// The server's PRELOGIN answer is read within its own bounds: an option pointing
// outside the message, a cut token or a missing terminator is no answer at all.
TEST(TlsPrelogin, OnlyAWellFormedAnswerIsRead) {
  using db::tds::Bytes;
  struct Case {
    const char* name;
    Bytes payload;
    std::optional<std::uint8_t> encryption;  // nothing: not an answer
  };
  const Case cases[] = {
      {"version and encryption",
       {0x00, 0x00, 0x0B, 0x00, 0x06, 0x01, 0x00, 0x11, 0x00, 0x01, 0xFF, 15, 0, 7, 0xD0, 0, 0,
        0x03},
       0x03},
      {"no encryption option", {0x00, 0x00, 0x06, 0x00, 0x00, 0xFF}, std::nullopt},
      {"encryption offset past the end", {0x01, 0x00, 0x40, 0x00, 0x01, 0xFF}, std::nullopt},
      {"encryption length past the end", {0x01, 0x00, 0x06, 0x00, 0x09, 0xFF, 0x01}, std::nullopt},
      {"token cut short", {0x01, 0x00, 0x06}, std::nullopt},
      {"no terminator", {0x01, 0x00, 0x05, 0x00, 0x01, 0x01}, std::nullopt},
      {"empty", {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto answer = db::tds::ParsePrelogin(c.payload);
    EXPECT_EQ(answer ? answer->encryption : std::nullopt, c.encryption);
  }
  // What the relay answers FreeTDS reads back as "not supported", whatever the server said.
  db::tds::PreloginAnswer server;
  server.encryption = 0x01;
  const auto toDriver = db::tds::ParsePrelogin(db::tds::PreloginReplyForDriver(server));
  ASSERT_TRUE(toDriver);
  EXPECT_EQ(toDriver->encryption, std::uint8_t(db::tds::Encryption::NotSupported));
}

}  // namespace
}  // namespace cardsync::testing
