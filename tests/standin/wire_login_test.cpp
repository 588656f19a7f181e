// Login through FreeTDS's ODBC driver: the credentials and database checks,
// the refusal of clients that insist on encryption, and what the event log
// records of each attempt.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "odbc_handles.h"
#include "standin_server.h"

namespace cardsync::testing {
namespace {

int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

TEST(WireLogin, GoodCredentialsConnectAndRunABatch) {
  StandinServer server({});
  EXPECT_EQ(server.Query("select 1"), (std::vector<std::vector<std::string>>{{"1"}}));
  auto log = server.LogLines();
  EXPECT_EQ(CountLines(log, "login: user=cardsync ok"), 1);
  EXPECT_EQ(CountLines(log, "batch: select 1"), 1);
}

struct FailedLogin {
  const char* name;
  std::string extra;  // appended to the connection string, overriding earlier keys
  long nativeError;
  std::string message;
  std::string logged;
};

TEST(WireLogin, FailuresCarryServerNumberAndText) {
  const std::vector<FailedLogin> cases = {
      {"wrong password", ";PWD=wrong", 18456, "Login failed for user 'cardsync'.",
       "failed: wrong user name or password"},
      {"wrong user", ";UID=someone", 18456, "Login failed for user 'someone'.",
       "failed: wrong user name or password"},
      {"unknown database", ";Database=nosuch", 4060,
       "Cannot open database \"nosuch\" requested by the login. The login failed.",
       "failed: unknown database nosuch"},
  };
  StandinServer server({});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    OdbcConnection conn;
    // FreeTDS takes the last value of a repeated key.
    SQLRETURN rc = conn.Connect(server.OdbcConnectionString() + c.extra);
    ASSERT_FALSE(SQL_SUCCEEDED(rc));
    auto diags = Diagnostics(SQL_HANDLE_DBC, conn.dbc());
    auto hit = std::find_if(diags.begin(), diags.end(), [&](const OdbcDiagnostic& d) {
      return d.nativeError == c.nativeError && d.message.find(c.message) != std::string::npos;
    });
    EXPECT_NE(hit, diags.end()) << DiagnosticsText(SQL_HANDLE_DBC, conn.dbc());
    auto log = server.LogLines();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
      return l.starts_with("login: ") && l.find(c.logged) != std::string::npos;
    })) << c.logged;
  }
  EXPECT_EQ(CountLines(server.LogLines(), "logout:"), 0);
}

TEST(WireLogin, ClientRequiringEncryptionIsRefusedPromptly) {
  StandinServer server(StandinServer::Plain());
  OdbcConnection conn;
  SQLRETURN rc = conn.Connect(server.OdbcConnectionString() + ";Encryption=require", 5);
  EXPECT_FALSE(SQL_SUCCEEDED(rc));
  EXPECT_FALSE(Diagnostics(SQL_HANDLE_DBC, conn.dbc()).empty());
  // The client may give up before the server has written its line.
  for (int i = 0; i < 100 && CountLines(server.LogLines(), "login: refused") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(CountLines(server.LogLines(), "login: refused: the client requires encryption"), 1);
  // The refusal ends only that connection.
  EXPECT_EQ(server.Query("select 2"), (std::vector<std::vector<std::string>>{{"2"}}));
}

}  // namespace
}  // namespace cardsync::testing
