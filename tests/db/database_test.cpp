// The connection and statement objects against the SQL Server stand-in, through
// Qt's ODBC driver, unixODBC and FreeTDS: column texts of every kind, the reader's
// row walk, scalar queries, bound values, server errors and broken connections.
#include "db/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "reporting_server.h"

namespace cardsync::db {
namespace {

using testing::SourceDir;
using testing::StandinServer;

using testing::ReportingOptions;

ConnectionSettings SettingsFor(const StandinServer& server) {
  return testing::SettingsFor(server, /*loginTimeoutSeconds=*/5, /*queryTimeoutSeconds=*/10);
}

std::size_t CountLines(const StandinServer& server, std::string_view prefix) {
  const auto lines = server.LogLines();
  return std::size_t(std::count_if(lines.begin(), lines.end(), [prefix](const std::string& line) {
    return line.starts_with(prefix);
  }));
}

class DatabaseTest : public ::testing::Test {
 protected:
  DatabaseTest()
      : server_(ReportingOptions()), database_([this] { return SettingsFor(server_); }) {}
  void SetUp() override { ASSERT_TRUE(database_.OpenDatabase()) << database_.LastConnectError(); }

  StandinServer server_;
  Database database_;
};

TEST_F(DatabaseTest, FieldTextOfEveryColumnKind) {
  server_.Exec(
      "create table kinds (id int primary key, i int, bi bigint, si smallint, ti tinyint, b bit, m "
      "money, "
      "sm smallmoney, d2 decimal(10,2), d0 decimal(5,0), d6 decimal(12,6), f float, r real, dt "
      "datetime, "
      "sdt smalldatetime, dd date, c6 char(6), vc varchar(20), nc nchar(4), nv nvarchar(20))");
  server_.Exec(
      "insert into kinds values (1, -42, 9223372036854775807, -7, 255, 1, 120, 120.5, 12.30, 123, "
      "1.2345675, "
      "0.1, 1.5, '2024-03-05 14:07:09', '2024-03-05 14:07:00', '1999-12-31', '111', 'abc', N'浙K', "
      "N'浙K123')");
  server_.Exec("insert into kinds(id) values (2)");
  struct Case {
    const char* column;
    const char* filled;
  };
  const Case cases[] = {
      {"i", "-42"},
      {"bi", "9223372036854775807"},
      {"si", "-7"},
      {"ti", "255"},
      {"b", "True"},
      {"m", "120"},
      {"sm", "120.5"},
      {"d2", "12.3"},
      {"d0", "123"},
      {"d6", "1.2346"},
      {"f", "0.1"},
      {"r", "1.5"},
      {"dt", "3/5/24 2:07:09 pm"},
      {"sdt", "3/5/24 2:07:00 pm"},
      {"dd", "12/31/99"},
      {"c6", "111   "},  // char(n) keeps its blanks
      {"vc", "abc"},
      {"nc", "浙K  "},
      {"nv", "浙K123"},
  };
  Statement& reader = database_.ADOQuww();
  reader.SetText("select * from kinds order by id");
  reader.Open();
  ASSERT_EQ(reader.RecordCount(), 2u);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.column);
    reader.First();
    EXPECT_EQ(reader.FieldText(c.column), c.filled);
    reader.Next();
    EXPECT_EQ(reader.FieldText(c.column), "") << "null";
  }
}

// QueryScalar reads its one value on a different path from the reader; a
// column's text must not depend on which of the two read it.
TEST_F(DatabaseTest, QueryScalarGivesTheReadersFieldTextForEveryKind) {
  server_.Exec(
      "create table kinds (id int primary key, i int, bi bigint, b bit, m money, d6 decimal(12,6), "
      "f float, r real, dt datetime, dd date, c6 char(6), nv nvarchar(20), d5 decimal(5,2))");
  server_.Exec(
      "insert into kinds values (1, -42, 9223372036854775807, 0, -120.5, 1.2345675, 0.1, 0.1, "
      "'2024-03-05 14:07:09.997', '1999-12-31', '111', N'浙K123', -123.45)");
  server_.Exec(
      "insert into kinds values (2, 0, -1, 1, -12345678901.2345, -0.00005, 1e300, 3.4e38, "
      "'2024-03-05 00:00:00', '2024-02-29', N'浙', N'', 999.99)");
  server_.Exec(
      "insert into kinds values (3, 7, 0, 1, 0, 0, 123456789012345678, -1.5e-7, "
      "'1899-12-30 23:59:59', '1900-01-01', '', N' x ', 0.5)");
  const char* columns[] = {"i", "bi", "b", "m", "d6", "f", "r", "dt", "dd", "c6", "nv", "d5"};
  // Texts longer than the column's precision, and reals, which a real widens to double.
  struct Known {
    int id;
    const char* column;
    const char* text;
  };
  const Known known[] = {
      {1, "d5", "-123.45"},
      {2, "d5", "999.99"},
      {2, "m", "-12345678901.2345"},
      {1, "r", "0.100000001490116"},
      {2, "r", "3.39999995214436E38"},
      {3, "r", "-1.50000005305628E-7"},
  };
  for (int id = 1; id <= 3; ++id) {
    Statement& reader = database_.ADOQuww();
    reader.Close();
    reader.SetText("select * from kinds where id=" + std::to_string(id));
    reader.Open();
    for (const char* column : columns) {
      SCOPED_TRACE(std::string(column) + " of row " + std::to_string(id));
      std::string scalar = "before";
      ASSERT_TRUE(database_.QueryScalar(
          std::string("select ") + column + " from kinds where id=" + std::to_string(id), scalar))
          << database_.LastQueryError()->what();
      EXPECT_EQ(scalar, reader.FieldText(column));
      for (const Known& k : known) {
        if (k.id == id && std::string_view(k.column) == column) {
          EXPECT_EQ(scalar, k.text);
        }
      }
    }
  }
}

TEST_F(DatabaseTest, ReaderWalksItsRowsAndLooksUpColumnsByName) {
  server_.Exec(
      "insert into T_sendbase(order_id, kahao) values('A1', N'0AK123'), ('A2', N'111111')");
  Statement& reader = database_.ADOQuww();
  reader.SetText("select order_id, kahao, kahao as KAHAO from T_sendbase order by order_id");
  reader.Open();
  EXPECT_FALSE(reader.Eof());
  EXPECT_EQ(reader.FieldText("ORDER_ID"), "A1");  // case does not matter
  reader.Next();
  EXPECT_FALSE(reader.Eof());
  EXPECT_EQ(reader.FieldText("order_id"), "A2");
  reader.Next();
  EXPECT_TRUE(reader.Eof());
  EXPECT_EQ(reader.FieldText("order_id"), "A2");  // the last row stays readable
  reader.First();
  EXPECT_EQ(reader.FieldText("order_id"), "A1");
  try {
    reader.FieldText("siji");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "ADOQuww: Field 'siji' not found");
  }
  reader.Close();
  EXPECT_THROW(reader.Eof(), Error);

  reader.SetText("select * from T_sendbase where 1=0");
  reader.Open();
  EXPECT_TRUE(reader.Eof());
  EXPECT_EQ(reader.FieldText("order_id"), "");
}

TEST_F(DatabaseTest, FieldDateTimeOfDateTimeNullAndOtherColumns) {
  server_.Exec(
      "insert into T_sendbase(order_id, kahao, months, siji) values('A1', N'x', 3, '2024-03-14 "
      "10:20:30'), "
      "('A2', N'x', 3, NULL)");
  Statement& reader = database_.ADOQuww();
  reader.SetText("select * from T_sendbase order by order_id");
  reader.Open();
  EXPECT_DOUBLE_EQ(reader.FieldDateTime("siji"), EncodeDateTime(2024, 3, 14, 10, 20, 30));
  try {
    reader.FieldDateTime("months");
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "ADOQuww: Cannot access field 'months' as type DateTime");
  }
  reader.Next();
  EXPECT_DOUBLE_EQ(reader.FieldDateTime("siji"), 0);
}

TEST_F(DatabaseTest, OpeningAStatementWithoutRowsFails) {
  Statement& executor = database_.ADOQuexec();
  executor.SetText("update T_sendbase set types='x' where order_id='none'");
  try {
    executor.Open();
    ADD_FAILURE() << "no error";
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "ADOQuexec: CommandText does not return a result set");
  }
}

TEST_F(DatabaseTest, QueryScalarRunsOrKeepsTheVariable) {
  server_.Exec("insert into T_sendbase(order_id) values('A1'), ('A2')");
  struct Case {
    const char* query;
    bool ran;
    const char* result;  // starting from "before"
  };
  const Case cases[] = {
      {"select count(*) from T_sendbase where order_id='none'", true, "0"},
      {"select count(*) from T_sendbase", true, "2"},
      {"select order_id from T_sendbase where 1=0", true, ""},
      {"select count(*) from T_nosuch", false, "before"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    std::string result = "before";
    EXPECT_EQ(database_.QueryScalar(c.query, result), c.ran);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(database_.LastQueryError().has_value(), !c.ran);
  }
  ASSERT_TRUE(database_.LastQueryError().has_value());
  EXPECT_EQ(database_.LastQueryError()->NativeError(), 208);
  EXPECT_STREQ(database_.LastQueryError()->what(), "Invalid object name 'T_nosuch'");
  EXPECT_FALSE(database_.LastQueryError()->ConnectionLost());
}

TEST_F(DatabaseTest, BoundValuesArriveExactlyAsGiven) {
  const std::string values[] = {"it's",   "say \"hi\"",         "back`quote",
                                "浙K123", "');drop table x;--", ""};
  int n = 0;
  for (const std::string& value : values) {
    SCOPED_TRACE(value);
    const std::string id = "V" + std::to_string(++n);
    database_.ExecuteStatement(
        "insert into T_sendbase(order_id, kahao, kex_no, months) values(?,?,?,?)",
        {id, value, value, std::int64_t{n}});
    const auto rows =
        server_.Query("select kahao, kex_no, months from T_sendbase where order_id='" + id + "'");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], value);
    EXPECT_EQ(rows[0][1], value);
    EXPECT_EQ(rows[0][2], std::to_string(n));
    std::string count;
    ASSERT_TRUE(
        database_.QueryScalar("select count(*) from T_sendbase where kahao=?", count, {value}));
    EXPECT_EQ(count, "1");
  }
  database_.ExecuteStatement("insert into T_sendbase(order_id, kahao) values(?,?)",
                             {std::string("N1"), Value{}});
  EXPECT_EQ(server_.Query("select kahao from T_sendbase where order_id='N1'")[0][0], "<NULL>");
}

TEST_F(DatabaseTest, EveryStatementEndsWithOneLineBreak) {
  database_.ExecuteStatement("update T_sendbase set types='x' where order_id='none'");
  std::string count;
  database_.QueryScalar("select count(*) from T_sendbase where order_id=?", count,
                        {std::string("A1")});
  const auto lines = server_.LogLines();
  const auto sent = [&](std::string_view text) {
    return std::any_of(lines.begin(), lines.end(), [text](const std::string& line) {
      const std::size_t at = line.find(text);
      return at != std::string::npos && line.compare(at + text.size(), 4, "\\r\\n") == 0 &&
             line.compare(at + text.size() + 4, 4, "\\r\\n") != 0;
    });
  };
  EXPECT_TRUE(sent("update T_sendbase set types='x' where order_id='none'"));
  EXPECT_TRUE(sent("select count(*) from T_quindale where order_id=@P1") ||
              sent("select count(*) from T_sendbase where order_id=@P1"));
}

TEST_F(DatabaseTest, ServerErrorsCarryTheServersText) {
  struct Case {
    const char* statement;
    int native;
    const char* text;
  };
  const Case cases[] = {
      {"insert into T_nosuch values(1)", 208, "Invalid object name 'T_nosuch'"},
      {"select nosuch from T_sendbase", 207, "Invalid column name 'nosuch'"},
      {"insert into T_sendbase(order_id) values(NULL)", 515, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.statement);
    try {
      database_.ExecuteStatement(c.statement);
      ADD_FAILURE() << "no error";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(e.NativeError(), c.native);
      if (c.text) {
        EXPECT_STREQ(e.what(), c.text);
      }
      const std::string message = e.what();
      EXPECT_EQ(message.find("[FreeTDS]"), std::string::npos);
      EXPECT_FALSE(message.ends_with(".")) << message;
      EXPECT_FALSE(e.ConnectionLost());
    }
  }
}

TEST_F(DatabaseTest, ATransactionTakesEffectOnlyWhenCommitted) {
  database_.BeginTransaction();
  database_.ExecuteStatement("insert into T_quindale(order_id) values(?)", {std::string("R1")});
  database_.RollbackTransaction();
  database_.BeginTransaction();
  database_.ExecuteStatement("insert into T_quindale(order_id) values(?)", {std::string("C1")});
  database_.CommitTransaction();
  EXPECT_EQ(server_.Query("select order_id from T_quindale order by order_id"),
            (std::vector<std::vector<std::string>>{{"C1"}}));
}

TEST_F(DatabaseTest, OpeningAgainClosesFirst) {
  EXPECT_TRUE(database_.OpenDatabase());
  EXPECT_TRUE(database_.Connected());
  // The server notes the logout when it sees the socket close, a moment later.
  for (int i = 0; i < 100 && CountLines(server_, "logout") == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(CountLines(server_, "logout"), 1u);
  EXPECT_TRUE(database_.CloseDatabase());
  EXPECT_FALSE(database_.Connected());
  EXPECT_THROW(database_.ExecuteStatement("select 1"), DatabaseError);
}

TEST_F(DatabaseTest, AFailedStatementLeavesTheConnectionUsable) {
  std::string value = "kept";
  EXPECT_FALSE(database_.QueryScalar("select x from nowhere", value));
  EXPECT_TRUE(database_.QueryScalar("select 42", value));
  EXPECT_EQ(value, "42");
  Statement& reader = database_.ADOQuww();
  reader.SetText("select * from nowhere");
  EXPECT_THROW(reader.Open(), DatabaseError);
  reader.SetText("select 7");
  reader.Open();
  EXPECT_EQ(reader.FieldText(std::size_t{0}), "7");
}

TEST_F(DatabaseTest, AnErrorFromALaterStatementIsNotLost) {
  server_.Exec("create table t (id int primary key)");
  server_.Exec("create procedure p as begin insert into t values(1); insert into t values(1); end");
  struct Case {
    const char* name;
    const char* text;
    int native;
  };
  const Case cases[] = {
      {"second statement of a batch", "insert into t values(2); select * from nowhere", 208},
      {"second statement of a procedure", "p", 2627},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      database_.ExecuteStatement(c.text);
      ADD_FAILURE() << "no error";
    } catch (const DatabaseError& e) {
      EXPECT_EQ(e.NativeError(), c.native) << e.what();
    }
  }
}

TEST_F(DatabaseTest, LongTextsAreReadWhole) {
  // Longer than the 511 UTF-16 units one read takes, Chinese included.
  std::string text;
  for (int i = 0; i < 300; ++i) text += "浙K" + std::to_string(i % 10);
  server_.Exec("create table t (id int primary key, v nvarchar(max))");
  database_.ExecuteStatement("insert into t values(1, ?)", {text});
  Statement& reader = database_.ADOQuww();
  reader.SetText("select v from t");
  reader.Open();
  EXPECT_EQ(reader.FieldText("v"), text);
  std::string scalar;
  ASSERT_TRUE(database_.QueryScalar("select v from t", scalar));
  EXPECT_EQ(scalar, text);
}

TEST_F(DatabaseTest, ClosingWhileRowsAreHeldLeavesNoUsableRows) {
  Statement& reader = database_.ADOQuww();
  reader.SetText("select 1 union all select 2");
  reader.Open();
  EXPECT_TRUE(database_.CloseDatabase());
  EXPECT_FALSE(reader.Active());
  EXPECT_THROW(reader.Eof(), Error);
  EXPECT_THROW(database_.ExecuteStatement("select 1"), DatabaseError);
  ASSERT_TRUE(database_.OpenDatabase());
  reader.Open();
  EXPECT_EQ(reader.RecordCount(), 2u);
}

TEST(DatabaseConnect, FailuresGiveReasons) {
  struct Case {
    const char* name;
    bool hangLogin;
    bool stopFirst;
    const char* password;  // nullptr: the right one
    const char* database;  // nullptr: the right one
    const char* reasonHas;
  };
  const Case cases[] = {
      {"wrong password", false, false, "Wrong-Pass-1", nullptr, "Login failed for user 'cardsync'"},
      {"unknown database", false, false, nullptr, "elsewhere", "elsewhere"},
      {"server not listening", false, true, nullptr, nullptr, ""},
      {"login never answered", true, false, nullptr, nullptr, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options;
    options.hangLogin = c.hangLogin;
    StandinServer server(options);
    ConnectionSettings settings = SettingsFor(server);
    settings.loginTimeoutSeconds = 2;
    if (c.password) settings.password = c.password;
    if (c.database) settings.database = c.database;
    if (c.stopFirst) server.Stop();
    Database database([settings] { return settings; });
    EXPECT_FALSE(database.OpenDatabase());
    EXPECT_FALSE(database.Connected());
    EXPECT_FALSE(database.LastConnectError().empty());
    EXPECT_NE(database.LastConnectError().find(c.reasonHas), std::string::npos)
        << database.LastConnectError();
    EXPECT_EQ(database.LastConnectError().find("[FreeTDS]"), std::string::npos)
        << database.LastConnectError();
  }
}

TEST(DatabaseConnect, PasswordsWithSeparatorsAreEscaped) {
  for (const char* password : {"Se;mi{co=lon1", "Clo}se=1", " blank-ends "}) {
    SCOPED_TRACE(password);
    StandinServer::Options options;
    options.password = password;
    StandinServer server(options);
    Database database([&server] { return SettingsFor(server); });
    EXPECT_TRUE(database.OpenDatabase()) << database.LastConnectError();
  }
}

TEST(DatabaseConnect, ALostOrStalledLinkIsReportedAsSuch) {
  {
    StandinServer::Options options;
    options.dropAfter = 3;
    StandinServer server(options);
    Database database([&server] { return SettingsFor(server); });
    ASSERT_TRUE(database.OpenDatabase()) << database.LastConnectError();
    try {
      for (int i = 0; i < 10; ++i) database.ExecuteStatement("select 1");
      ADD_FAILURE() << "the server never dropped the connection";
    } catch (const DatabaseError& e) {
      EXPECT_TRUE(e.ConnectionLost()) << e.what() << " " << e.SqlState();
    }
  }
  {
    StandinServer server(StandinServer::Options{});
    ConnectionSettings settings = SettingsFor(server);
    settings.queryTimeoutSeconds = 1;
    Database database([settings] { return settings; });
    ASSERT_TRUE(database.OpenDatabase()) << database.LastConnectError();
    server.Pause();
    std::this_thread::sleep_for(
        std::chrono::milliseconds(200));  // a stop signal lands asynchronously
    const auto start = std::chrono::steady_clock::now();
    try {
      database.ExecuteStatement("select 1");
      ADD_FAILURE() << "no time-out";
    } catch (const DatabaseError& e) {
      EXPECT_TRUE(e.ConnectionLost()) << e.what() << " " << e.SqlState();
      EXPECT_TRUE(e.TimedOut()) << e.SqlState();
    }
    // The setting's one second, not the ten the other tests use: well below either.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    server.Resume();
  }
}

}  // namespace
}  // namespace cardsync::db
