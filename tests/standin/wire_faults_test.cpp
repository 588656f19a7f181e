// Faults on both sides: the server's injected ones (--delay-ms, --drop-after,
// --hang-login), hostile or broken clients on raw sockets, the command
// line's refusals, and a file database surviving SIGTERM.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>

#include "odbc_handles.h"
#include "standin_server.h"
#include "tds_login.h"
#include "tds_packet.h"

extern char** environ;

namespace cardsync::testing {
namespace {

using standin::tds::Bytes;
using Rows = std::vector<std::vector<std::string>>;
namespace packet = standin::tds::packet;

bool HasLine(const std::vector<std::string>& lines, const std::string& prefix,
             const std::string& part = "") {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
    return l.starts_with(prefix) && l.find(part) != std::string::npos;
  });
}

// A client speaking raw bytes.
class RawClient {
 public:
  explicit RawClient(int port) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
      throw std::runtime_error("connect");
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  ~RawClient() { ::close(fd_); }
  void Send(const Bytes& bytes, size_t chunk = 0) {
    for (size_t pos = 0; pos < bytes.size();) {
      size_t n = chunk ? std::min(chunk, bytes.size() - pos) : bytes.size() - pos;
      ssize_t sent = ::send(fd_, bytes.data() + pos, n, MSG_NOSIGNAL);
      if (sent <= 0) return;
      pos += size_t(sent);
    }
  }
  // Reads one whole reply message; nullopt when the server closed instead.
  std::optional<Bytes> ReadReply() {
    for (;;) {
      if (auto m = assembler_.Next()) return m->payload;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 10000) <= 0) return std::nullopt;
      uint8_t buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) return std::nullopt;
      assembler_.Feed(std::span<const uint8_t>(buf, size_t(n)));
    }
  }
  // True when the server closes the connection within a few seconds.
  bool ClosedByServer() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 5000) <= 0) return false;
    uint8_t buf[4096];
    while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
    return ::recv(fd_, buf, sizeof buf, 0) == 0;
  }
  void CloseWrite() { ::shutdown(fd_, SHUT_WR); }
  void LogIn(const StandinServer& server) {
    standin::tds::Login7 login;
    login.tdsVersion = 0x74000004;
    login.packetSize = 4096;
    login.userName = server.options().user;
    login.password = server.options().password;
    login.database = server.options().database;
    Send(standin::tds::FrameMessage(packet::kLogin7, standin::tds::BuildLogin7(login), 4096, 0));
    auto reply = ReadReply();
    if (!reply || std::find(reply->begin(), reply->end(), 0xAD) == reply->end()) {
      throw std::runtime_error("raw login failed");
    }
  }

 private:
  int fd_;
  standin::tds::MessageAssembler assembler_;
};

Bytes Header(uint8_t type, uint8_t status, uint16_t length) {
  Bytes out;
  standin::tds::put_u8(out, type);
  standin::tds::put_u8(out, status);
  standin::tds::put_u16be(out, length);
  for (int i = 0; i < 4; ++i) out.push_back(0);
  return out;
}

Bytes SqlBatch(const std::string& sql) {
  Bytes payload;
  standin::tds::put_u32le(payload, 22);  // ALL_HEADERS with a transaction descriptor
  standin::tds::put_u32le(payload, 18);
  standin::tds::put_u16le(payload, 2);
  standin::tds::put_u64le(payload, 0);
  standin::tds::put_u32le(payload, 1);
  standin::tds::put_ucs2(payload, sql);
  return payload;
}

struct BrokenClient {
  const char* name;
  bool logInFirst;
  Bytes bytes;
  bool closeAfterSending;  // the client goes away instead of waiting
  std::string logged;      // part of the server's "wire:" line
};

TEST(WireFaults, BrokenClientsEndOnlyTheirOwnConnection) {
  Bytes login = standin::tds::BuildLogin7(
      {0x74000004, 4096, "h", "cardsync", "Test-Pass-123", "a", "s", "l", "", "reporting"});
  login[40] = 0xF0;  // the user name's offset now points far past the record
  login[41] = 0xFF;
  Bytes badPrelogin = {0x00, 0x40, 0x00, 0x00, 0x06, 0xFF};
  Bytes lyingHeaders = SqlBatch("select 1");
  lyingHeaders[0] = 0xFF;  // ALL_HEADERS claims more bytes than the message has
  Bytes halfBatch = standin::tds::FrameMessage(packet::kSqlBatch, SqlBatch("select 1"), 4096, 0);
  halfBatch[1] = 0;  // not the last packet: the rest never comes
  Bytes truncated = Header(packet::kPrelogin, packet::kStatusEom, 100);
  truncated.resize(20, 0);

  const std::vector<BrokenClient> cases = {
      {"packet shorter than its header", false, Header(packet::kPrelogin, packet::kStatusEom, 4),
       false, "shorter than its header"},
      {"LOGIN7 offset past the record", false,
       standin::tds::FrameMessage(packet::kLogin7, login, 4096, 0), false,
       "runs past the login record"},
      {"PRELOGIN option past the message", false,
       standin::tds::FrameMessage(packet::kPrelogin, badPrelogin, 4096, 0), false,
       "points past the message"},
      {"batch before login", false,
       standin::tds::FrameMessage(packet::kSqlBatch, SqlBatch("select 1"), 4096, 0), false,
       "expected LOGIN7"},
      {"truncated packet, then gone", false, truncated, true, "in the middle of a message"},
      {"ALL_HEADERS longer than the batch", true,
       standin::tds::FrameMessage(packet::kSqlBatch, lyingHeaders, 4096, 0), false,
       "ALL_HEADERS length"},
      {"disconnect in the middle of a request", true, halfBatch, true,
       "in the middle of a message"},
  };
  StandinServer server(StandinServer::Plain());  // raw plain TDS
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    {
      RawClient raw(server.port());
      if (c.logInFirst) raw.LogIn(server);
      raw.Send(c.bytes);
      if (c.closeAfterSending) {
        raw.CloseWrite();
      }
      EXPECT_TRUE(raw.ClosedByServer());
    }
    EXPECT_TRUE(HasLine(server.LogLines(), "wire: closing connection: ", c.logged));
    EXPECT_EQ(server.Query("select 7"), (Rows{{"7"}}));
  }
}

TEST(WireFaults, RequestsSplitIntoPacketsAndTinyReadsAreServed) {
  StandinServer server(StandinServer::Plain());  // raw plain TDS
  RawClient raw(server.port());
  raw.LogIn(server);
  Bytes payload = SqlBatch("select 'split' as word");
  size_t half = payload.size() / 2;
  Bytes message = Header(packet::kSqlBatch, 0, static_cast<uint16_t>(half + 8));
  message.insert(message.end(), payload.begin(), payload.begin() + long(half));
  Bytes tail = Header(packet::kSqlBatch, packet::kStatusEom,
                      static_cast<uint16_t>(payload.size() - half + 8));
  tail.insert(tail.end(), payload.begin() + long(half), payload.end());
  message.insert(message.end(), tail.begin(), tail.end());
  raw.Send(message, 1);
  auto reply = raw.ReadReply();
  ASSERT_TRUE(reply);
  std::string text(reply->begin(), reply->end());
  EXPECT_NE(text.find("split"), std::string::npos);  // varchar bytes of the row
  EXPECT_TRUE(HasLine(server.LogLines(), "batch: select 'split' as word"));
}

TEST(WireFaults, DelayedRepliesLetQueryTimeoutsFireAndCancel) {
  StandinServer::Options options;
  options.delayMs = 2500;
  StandinServer server(options);
  OdbcConnection conn;
  conn.ConnectOrThrow(server.OdbcConnectionString(), 30);
  OdbcHandle stmt(SQL_HANDLE_STMT, conn.dbc());
  SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(1), 0);
  SQLRETURN rc =
      SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>("select 1")), SQL_NTS);
  EXPECT_EQ(rc, SQL_ERROR);
  auto diags = Diagnostics(SQL_HANDLE_STMT, stmt.get());
  ASSERT_FALSE(diags.empty());
  EXPECT_EQ(diags[0].sqlState, "HYT00") << diags[0].message;
  // The cancel was answered, so the connection is still usable.
  SQLFreeStmt(stmt.get(), SQL_CLOSE);
  SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(0), 0);
  rc =
      SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>("select 2")), SQL_NTS);
  ASSERT_TRUE(SQL_SUCCEEDED(rc)) << DiagnosticsText(SQL_HANDLE_STMT, stmt.get());
  EXPECT_EQ(FetchAllAsText(stmt.get()), (Rows{{"2"}}));
  EXPECT_TRUE(HasLine(server.LogLines(), "attention: "));
}

TEST(WireFaults, TrickledRowsComeSpacedAndStopAtACancelOrAHangUp) {
  constexpr int kTrickleMs = 100;
  constexpr int kRows = 8;
  StandinServer::Options options = StandinServer::Plain();
  options.trickleMs = kTrickleMs;
  StandinServer server(options);
  server.Exec(
      "create table T_slow(id int) insert into T_slow values (1),(2),(3),(4),(5),(6),(7),(8)");
  OdbcConnection conn;
  conn.ConnectOrThrow(server.OdbcConnectionString());
  OdbcHandle stmt(SQL_HANDLE_STMT, conn.dbc());
  auto* query = reinterpret_cast<SQLCHAR*>(const_cast<char*>("select id from T_slow order by id"));

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt.get(), query, SQL_NTS)));
  EXPECT_EQ(FetchAllAsText(stmt.get()).size(), size_t(kRows));
  EXPECT_GE(std::chrono::steady_clock::now() - start,
            std::chrono::milliseconds((kRows - 1) * kTrickleMs));

  // Cancelled after its first row, the result ends and the connection serves on.
  SQLFreeStmt(stmt.get(), SQL_CLOSE);
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt.get(), query, SQL_NTS)));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLFetch(stmt.get())));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLCancel(stmt.get()))) << DiagnosticsText(SQL_HANDLE_STMT, stmt.get());
  SQLFreeStmt(stmt.get(), SQL_CLOSE);
  EXPECT_TRUE(HasLine(server.LogLines(), "attention: request cancelled while its rows trickled"));
  auto* count = reinterpret_cast<SQLCHAR*>(const_cast<char*>("select count(*) from T_slow"));
  ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(stmt.get(), count, SQL_NTS)))
      << DiagnosticsText(SQL_HANDLE_STMT, stmt.get());
  EXPECT_EQ(FetchAllAsText(stmt.get()), (Rows{{"8"}}));

  // A client that hangs up between two rows ends only its own connection.
  {
    RawClient raw(server.port());
    raw.LogIn(server);
    raw.Send(
        standin::tds::FrameMessage(packet::kSqlBatch, SqlBatch("select id from T_slow"), 4096, 0));
  }
  EXPECT_EQ(server.Query("select count(*) from T_slow"), (Rows{{"8"}}));
}

TEST(WireFaults, ALockWaitEndsWithTheLockTimeoutOrTheClientsCancel) {
  struct Case {
    const char* name;
    const char* query;
    SQLULEN queryTimeoutSeconds;
    const char* sqlState;
    long nativeError;
  };
  const Case cases[] = {
      {"SET LOCK_TIMEOUT bounds the wait", "set lock_timeout 300 select count(*) from T_held", 0,
       "", 1222},
      {"without one the client's own time-out cancels it", "select count(*) from T_held", 1,
       "HYT00", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server(StandinServer::Plain());
    server.Exec("create table T_held(id int)");
    OdbcConnection holder;
    holder.ConnectOrThrow(server.OdbcConnectionString());
    SQLSetConnectAttr(holder.dbc(), SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    OdbcHandle write(SQL_HANDLE_STMT, holder.dbc());
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(
        write.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>("insert into T_held values(1)")),
        SQL_NTS)));
    OdbcConnection conn;
    conn.ConnectOrThrow(server.OdbcConnectionString());
    OdbcHandle stmt(SQL_HANDLE_STMT, conn.dbc());
    SQLSetStmtAttr(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(c.queryTimeoutSeconds), 0);
    EXPECT_EQ(
        SQLExecDirect(stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(c.query)), SQL_NTS),
        SQL_ERROR);
    auto diags = Diagnostics(SQL_HANDLE_STMT, stmt.get());
    ASSERT_FALSE(diags.empty());
    if (c.nativeError != 0) {
      EXPECT_EQ(diags[0].nativeError, c.nativeError);
      EXPECT_NE(diags[0].message.find("Lock request time out period exceeded."), std::string::npos);
    } else {
      EXPECT_EQ(diags[0].sqlState, c.sqlState) << diags[0].message;
      EXPECT_TRUE(
          HasLine(server.LogLines(), "attention: request cancelled while it waited for a lock"));
    }
    // The holder's commit lets the same connection read.
    SQLEndTran(SQL_HANDLE_DBC, holder.dbc(), SQL_COMMIT);
    SQLFreeStmt(stmt.get(), SQL_CLOSE);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLExecDirect(
        stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>("select count(*) from T_held")),
        SQL_NTS)))
        << DiagnosticsText(SQL_HANDLE_STMT, stmt.get());
    EXPECT_EQ(FetchAllAsText(stmt.get()), (Rows{{"1"}}));
  }
}

TEST(WireFaults, DropAfterClosesEachConnectionAfterItsNthRequest) {
  StandinServer::Options options;
  options.dropAfter = 2;
  StandinServer server(options);
  for (int round = 0; round < 2; ++round) {  // a fresh connection gets its own count
    SCOPED_TRACE(round);
    OdbcConnection conn;
    conn.ConnectOrThrow(server.OdbcConnectionString());
    OdbcHandle stmt(SQL_HANDLE_STMT, conn.dbc());
    for (int request = 1; request <= 3; ++request) {
      SCOPED_TRACE(request);
      SQLFreeStmt(stmt.get(), SQL_CLOSE);
      SQLRETURN rc = SQLExecDirect(
          stmt.get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>("select 1")), SQL_NTS);
      if (request <= 2) {
        EXPECT_TRUE(SQL_SUCCEEDED(rc)) << DiagnosticsText(SQL_HANDLE_STMT, stmt.get());
        if (SQL_SUCCEEDED(rc)) {
          EXPECT_EQ(FetchAllAsText(stmt.get()), (Rows{{"1"}}));
        }
      } else {
        EXPECT_EQ(rc, SQL_ERROR);
        // FreeTDS words it by when it notices: 20017 "Unexpected EOF from the
        // server" on reading, or HY000 "Unknown error" when its write fails.
        EXPECT_FALSE(Diagnostics(SQL_HANDLE_STMT, stmt.get()).empty());
      }
    }
  }
  auto log = server.LogLines();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& l) {
                            return l == "drop: closing connection after request 2";
                          }),
            2);
}

TEST(WireFaults, HangLoginMakesTheLoginTimeoutFire) {
  StandinServer::Options options;
  options.hangLogin = true;
  StandinServer server(options);
  OdbcConnection conn;
  EXPECT_FALSE(SQL_SUCCEEDED(conn.Connect(server.OdbcConnectionString(), 1)));
  EXPECT_FALSE(Diagnostics(SQL_HANDLE_DBC, conn.dbc()).empty());
  EXPECT_TRUE(HasLine(server.LogLines(), "login: hang"));
}

TEST(WireFaults, FileDatabaseSurvivesStopAndRestart) {
  std::string path = "/tmp/standin-db-XXXXXX";
  ::close(::mkstemp(path.data()));
  ::unlink(path.c_str());
  StandinServer::Options options;
  options.dbPath = path;
  {
    StandinServer server(options);
    server.Exec("create table T_keep(id int)");
    server.Exec("insert into T_keep values(42)");
    server.Stop();
  }
  {
    StandinServer server(options);
    EXPECT_EQ(server.Query("select id from T_keep"), (Rows{{"42"}}));
  }
  ::unlink(path.c_str());
}

struct ExitResult {
  int status = -1;
  std::string err;
};

ExitResult RunServer(std::vector<std::string> args) {
  args.insert(args.begin(), TDS_STANDIN_PATH);
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, TDS_STANDIN_PATH, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  ExitResult run;
  if (rc != 0) {
    ::close(pipeFds[0]);
    return run;
  }
  char buf[512];
  for (ssize_t n; (n = ::read(pipeFds[0], buf, sizeof buf)) > 0;) run.err.append(buf, size_t(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

TEST(WireCommandLine, BadArgumentsExitTwoNamingTheArgument) {
  const std::vector<std::string> good = {"--db", ":memory:", "--user", "u", "--password", "p"};
  struct Case {
    std::vector<std::string> args;
    bool alone;  // the whole command line, else appended to a good one
    std::string named;
  };
  const std::vector<Case> cases = {
      {{"--user", "u", "--password", "p"}, true, "--db"},
      {{"--db", ":memory:", "--password", "p"}, true, "--user"},
      {{"--bogus"}, false, "--bogus"},
      {{"--port", "http"}, false, "--port"},
      {{"--port", "70000"}, false, "--port"},
      {{"--delay-ms", "-1"}, false, "--delay-ms"},
      {{"--drop-after", "x"}, false, "--drop-after"},
      {{"--now", "2026-03-01"}, false, "--now"},
      {{"--log"}, false, "--log"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = c.alone ? c.args : good;
    if (!c.alone) args.insert(args.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(c.named);
    ExitResult run = RunServer(args);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find(c.named), std::string::npos) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
  }
}

TEST(WireCommandLine, FailingSchemaExitsTwoNamingFileAndLine) {
  std::string path = "/tmp/standin-schema-XXXXXX";
  ::close(::mkstemp(path.data()));
  std::ofstream(path) << "create table T_ok(id int)\nGO\ncreate tablx oops\nGO\n";
  ExitResult run =
      RunServer({"--db", ":memory:", "--user", "u", "--password", "p", "--schema", path});
  ::unlink(path.c_str());
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.err.find(path + ":3"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace cardsync::testing
