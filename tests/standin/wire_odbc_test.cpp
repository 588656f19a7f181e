// The stand-in as FreeTDS's ODBC driver sees it: typed results and their
// NULLs, Chinese text both ways, bound parameters, server errors with their
// numbers, procedure calls, transactions and the fixed clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "odbc_handles.h"
#include "standin_server.h"

namespace cardsync::testing {
namespace {

using Rows = std::vector<std::vector<std::string>>;

// A statement that returns no rows and counts none ends in SQL_NO_DATA.
bool Ran(SQLRETURN rc) { return SQL_SUCCEEDED(rc) || rc == SQL_NO_DATA; }

int CountLines(const std::vector<std::string>& lines, const std::string& prefix) {
  return static_cast<int>(std::count_if(
      lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(prefix); }));
}

// One open connection and statement for tests that need more than the
// fixture's one-shot helpers.
struct Client {
  explicit Client(const StandinServer& server) {
    conn.ConnectOrThrow(server.OdbcConnectionString());
    stmt = std::make_unique<OdbcHandle>(SQL_HANDLE_STMT, conn.dbc());
  }
  SQLRETURN Run(const std::string& sql) {
    SQLFreeStmt(stmt->get(), SQL_CLOSE);
    return SQLExecDirect(stmt->get(), reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())),
                         SQL_NTS);
  }
  std::vector<OdbcDiagnostic> Diags() const { return Diagnostics(SQL_HANDLE_STMT, stmt->get()); }
  OdbcConnection conn;
  std::unique_ptr<OdbcHandle> stmt;
};

constexpr const char* kTypesTable =
    "create table T_types(id int primary key, i int, bi bigint, si smallint, ti tinyint, b bit, m "
    "money, "
    "sm smallmoney, d decimal(10,2), f float, r real, dt datetime, sdt smalldatetime, dd date, c "
    "char(6), "
    "vc varchar(20), nc nchar(4), nvc nvarchar(20), vmax varchar(max), nvmax nvarchar(max), tx "
    "text)";
constexpr const char* kTypesRow =
    "insert into T_types values(1, -5, 9000000000, -300, 200, 1, 120.5, -3.25, 12345.67, 1.5, "
    "2.25, "
    "'2026-03-01 08:09:10.500', '2026-03-01 08:09:00', '2026-03-01', '111111', '浙K123', N'中文', "
    "N'汉字ab', NULL, NULL, NULL)";

// A value of 2 MiB or more: past one packet, one PLP chunk's usual size and
// 16-bit lengths; numbered lines, so a lost or repeated piece shows, ending in
// `tail`.
std::string BigText(const std::string& line, const std::string& tail) {
  std::string text;
  for (int n = 0; text.size() < (2u << 20); ++n) text += std::to_string(n) + line;
  return text + tail;
}

struct TypedColumn {
  const char* name;
  SQLSMALLINT odbcType;
  std::string text;
};

TEST(WireOdbc, EveryTypeAndItsNullReadBackWithItsOdbcType) {
  const std::vector<TypedColumn> columns = {
      {"i", SQL_INTEGER, "-5"},
      {"bi", SQL_BIGINT, "9000000000"},
      {"si", SQL_SMALLINT, "-300"},
      {"ti", SQL_TINYINT, "200"},
      {"b", SQL_BIT, "1"},
      {"m", SQL_DECIMAL, "120.5000"},
      {"sm", SQL_DECIMAL, "-3.2500"},
      {"d", SQL_NUMERIC, "12345.67"},  // FreeTDS reports decimal as SQL_NUMERIC
      {"f", SQL_DOUBLE, "1.5"},        // FreeTDS reports float(53) as SQL_DOUBLE
      {"r", SQL_REAL, "2.25"},
      {"dt", SQL_TYPE_TIMESTAMP, "2026-03-01 08:09:10.500"},
      {"sdt", SQL_TYPE_TIMESTAMP, "2026-03-01 08:09:00"},
      {"dd", SQL_TYPE_DATE, "2026-03-01"},
      {"c", SQL_CHAR, "111111"},
      {"vc", SQL_VARCHAR, "浙K123"},
      {"nc", SQL_WCHAR, "中文  "},
      {"nvc", SQL_WVARCHAR, "汉字ab"},
      {"vmax", SQL_VARCHAR, BigText(" varchar(max)\n", "浙K")},
      {"nvmax", SQL_WVARCHAR, BigText(" 汉字\n", "end")},
      {"tx", SQL_VARCHAR, BigText(" text\n", "浙")},  // served as varchar(max)
  };
  StandinServer server({});
  server.Exec(kTypesTable);
  server.Exec(kTypesRow);
  server.Exec("update T_types set vmax = '" + columns[17].text + "', nvmax = N'" +
              columns[18].text + "', tx = '" + columns[19].text + "' where id = 1");
  server.Exec("insert into T_types(id) values(2)");

  Client client(server);
  for (const auto& c : columns) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(
        SQL_SUCCEEDED(client.Run(std::string("select ") + c.name + " from T_types order by id")))
        << DiagnosticsText(SQL_HANDLE_STMT, client.stmt->get());
    SQLCHAR name[64];
    SQLSMALLINT nameLen = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    ASSERT_TRUE(SQL_SUCCEEDED(SQLDescribeCol(client.stmt->get(), 1, name, sizeof name, &nameLen,
                                             &type, &size, &digits, &nullable)));
    EXPECT_EQ(type, c.odbcType);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(name)), c.name);
    Rows rows = FetchAllAsText(client.stmt->get());
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0][0], c.text);
    EXPECT_EQ(rows[1][0], "<NULL>");
  }
}

TEST(WireOdbc, ChineseTextRoundTripsThroughBoundParameters) {
  struct Binding {
    const char* name;
    SQLSMALLINT cType;
    SQLSMALLINT sqlType;
  };
  const std::vector<Binding> bindings = {
      {"UTF-8 text as varchar", SQL_C_CHAR, SQL_VARCHAR},
      {"UTF-16 text as nvarchar", SQL_C_WCHAR, SQL_WVARCHAR},
  };
  StandinServer server({});
  server.Exec("create table T_p(id int primary key, vc varchar(20), nvc nvarchar(20))");
  Client client(server);
  int id = 0;
  for (const auto& b : bindings) {
    SCOPED_TRACE(b.name);
    ++id;
    const std::string text = "浙K12" + std::to_string(id);
    std::u16string wide = u"浙K12" + std::u16string(1, char16_t(u'0' + id));
    SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
    SQLINTEGER idValue = id;
    SQLLEN idInd = 0;
    SQLLEN textInd = b.cType == SQL_C_CHAR ? SQLLEN(text.size()) : SQLLEN(wide.size() * 2);
    SQLPOINTER textPtr = b.cType == SQL_C_CHAR
                             ? static_cast<SQLPOINTER>(const_cast<char*>(text.data()))
                             : static_cast<SQLPOINTER>(wide.data());
    ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(client.stmt->get(), 1, SQL_PARAM_INPUT, SQL_C_SLONG,
                                               SQL_INTEGER, 0, 0, &idValue, 0, &idInd)));
    for (SQLUSMALLINT p : {2, 3}) {
      ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(client.stmt->get(), p, SQL_PARAM_INPUT, b.cType,
                                                 b.sqlType, 20, 0, textPtr, textInd, &textInd)));
    }
    ASSERT_TRUE(SQL_SUCCEEDED(client.Run("insert into T_p(id, vc, nvc) values(?, ?, ?)")))
        << DiagnosticsText(SQL_HANDLE_STMT, client.stmt->get());
    SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
    EXPECT_EQ(server.Query("select vc, nvc from T_p where id=" + std::to_string(id)),
              (Rows{{text, text}}));
  }
  auto log = server.LogLines();
  EXPECT_TRUE(std::any_of(log.begin(), log.end(), [](const std::string& l) {
    return l.starts_with("rpc: ") && l.find("insert into T_p") != std::string::npos &&
           l.find("浙K121") != std::string::npos;
  }));
}

struct ServerErrorCase {
  const char* sql;
  long number;
  std::string text;
};

TEST(WireOdbc, ServerErrorsArriveWithTheirNumberAndText) {
  const std::vector<ServerErrorCase> cases = {
      {"select * from nosuch", 208, "Invalid object name 'nosuch'."},
      {"select nosuch from T_e", 207, "Invalid column name 'nosuch'."},
      {"select from where", 102, "Incorrect syntax near"},
      {"nosuchproc\r\n", 2812, "Could not find stored procedure 'nosuchproc'."},
      {"insert into T_e values(1)", 2627, "Violation of PRIMARY KEY constraint"},
  };
  StandinServer server({});
  server.Exec("create table T_e(id int constraint PK_e primary key)");
  server.Exec("insert into T_e values(1)");
  Client client(server);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(client.Run(c.sql), SQL_ERROR);
    auto diags = client.Diags();
    ASSERT_FALSE(diags.empty());
    EXPECT_EQ(diags[0].nativeError, c.number);
    EXPECT_NE(diags[0].message.find(c.text), std::string::npos) << diags[0].message;
    auto log = server.LogLines();
    EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const std::string& l) {
      return l.starts_with("error: " + std::to_string(c.number) + " ");
    }));
  }
  // The connection survives its errors.
  ASSERT_TRUE(SQL_SUCCEEDED(client.Run("select count(*) from T_e")));
  EXPECT_EQ(FetchAllAsText(client.stmt->get()), (Rows{{"1"}}));
}

TEST(WireOdbc, ProcedureRunsCalledBareAndWithExec) {
  StandinServer server({});
  server.Exec("create table T_calls(n int)");
  server.Exec("create procedure bump as begin set nocount on; insert into T_calls values(1); end");
  for (const char* call : {"bump\r\n", "EXEC bump", "exec bump\r\n"}) {
    SCOPED_TRACE(call);
    Client client(server);
    EXPECT_TRUE(Ran(client.Run(call))) << DiagnosticsText(SQL_HANDLE_STMT, client.stmt->get());
  }
  EXPECT_EQ(server.Query("select count(*) from T_calls"), (Rows{{"3"}}));
  EXPECT_EQ(CountLines(server.LogLines(), "batch: bump\\r\\n"), 1);
}

TEST(WireOdbc, TransactionsCommitAndRollBack) {
  struct Case {
    const char* name;
    bool viaOdbc;  // SQLSetConnectAttr + SQLEndTran, else T-SQL
    bool commit;
    const char* expectedCount;
  };
  const std::vector<Case> cases = {
      {"ODBC commit", true, true, "1"},
      {"ODBC rollback", true, false, "0"},
      {"T-SQL commit", false, true, "1"},
      {"T-SQL rollback", false, false, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server({});
    server.Exec("create table T_tx(id int)");
    {
      Client client(server);
      if (c.viaOdbc) {
        ASSERT_TRUE(
            SQL_SUCCEEDED(SQLSetConnectAttr(client.conn.dbc(), SQL_ATTR_AUTOCOMMIT,
                                            reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)));
        ASSERT_TRUE(SQL_SUCCEEDED(client.Run("insert into T_tx values(1)")));
        ASSERT_TRUE(SQL_SUCCEEDED(
            SQLEndTran(SQL_HANDLE_DBC, client.conn.dbc(), c.commit ? SQL_COMMIT : SQL_ROLLBACK)))
            << DiagnosticsText(SQL_HANDLE_DBC, client.conn.dbc());
      } else {
        ASSERT_TRUE(Ran(client.Run("begin transaction")));
        ASSERT_TRUE(Ran(client.Run("insert into T_tx values(1)")));
        ASSERT_TRUE(Ran(client.Run(c.commit ? "commit" : "rollback")));
      }
      // Seen from another connection while the first is still open.
      EXPECT_EQ(server.Query("select count(*) from T_tx"), (Rows{{c.expectedCount}}));
    }
    EXPECT_EQ(server.Query("select count(*) from T_tx"), (Rows{{c.expectedCount}}));
    if (c.viaOdbc) {
      EXPECT_EQ(CountLines(server.LogLines(), c.commit ? "tm: commit" : "tm: rollback"), 1);
    }
  }
}

TEST(WireOdbc, FixedClockCrossesMonthAndYearBoundaries) {
  struct Case {
    const char* now;
    const char* yesterday;
  };
  const std::vector<Case> cases = {
      {"2026-03-01 02:00:00", "20260228"},
      {"2024-03-01 02:00:00", "20240229"},
      {"2027-01-01 00:00:05", "20261231"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.now);
    StandinServer::Options options;
    options.now = c.now;
    StandinServer server(options);
    EXPECT_EQ(
        server.Query("select year(GETDATE()-1)*10000+month(GETDATE()-1)*100+DAY(GETDATE()-1)"),
        (Rows{{c.yesterday}}));
  }
}

// A chunk's write as the transfer sends it: one request, one transaction,
// statements in read order, every value a typed parameter.
struct ChunkRecord {
  std::string orderId, types, months;
};

std::string ChunkWriteSql(size_t records, const std::string& separator) {
  std::string sql = "set xact_abort on" + separator + "begin transaction" + separator;
  for (size_t i = 0; i < records; ++i) {
    sql +=
        "insert into T_quindale(order_id) select ? where not exists (select 1 from T_quindale "
        "where order_id=?)" +
        separator;
    sql +=
        "update T_quindale set "
        "kex_no=?,startdate=?,enddate=?,months=?,moneys=?,types=?,kahao=?,siji=? "
        "where order_id=?" +
        separator;
  }
  return sql + "commit transaction";
}

// Binds the records' values as the client types them: texts as nvarchar,
// dates as datetime, months as bigint, money as decimal(19,4). `texts` keeps
// the bound buffers alive until the statement runs.
void BindChunk(SQLHSTMT stmt, const std::vector<ChunkRecord>& records,
               std::vector<std::string>& texts, std::vector<SQLLEN>& lengths) {
  texts.clear();
  for (const auto& r : records) {
    for (const std::string& v :
         {r.orderId, r.orderId, std::string("K1"), std::string("2024-03-14 08:00:00"),
          std::string("2025-03-14 08:00:00"), r.months, std::string("120.5000"), r.types,
          std::string("浙K123"), std::string("2024-03-14 10:00:00"), r.orderId})
      texts.push_back(v);
  }
  lengths.assign(texts.size(), 0);
  for (size_t k = 0; k < texts.size(); ++k) {
    SQLSMALLINT type = SQL_WVARCHAR;
    SQLULEN size = 40;
    SQLSMALLINT digits = 0;
    switch (k % 11) {
      case 3:
      case 4:
      case 9:
        type = SQL_TYPE_TIMESTAMP;
        size = 23;
        digits = 3;
        break;
      case 5:
        type = SQL_BIGINT;
        size = 19;
        break;
      case 6:
        type = SQL_DECIMAL;
        size = 19;
        digits = 4;
        break;
      default:
        break;
    }
    lengths[k] = SQLLEN(texts[k].size());
    SQLRETURN rc = SQLBindParameter(stmt, SQLUSMALLINT(k + 1), SQL_PARAM_INPUT, SQL_C_CHAR, type,
                                    size, digits, texts[k].data(), lengths[k], &lengths[k]);
    ASSERT_TRUE(SQL_SUCCEEDED(rc)) << DiagnosticsText(SQL_HANDLE_STMT, stmt);
  }
}

// What the client can read back: SQLRowCount of each result until
// SQLMoreResults has no more, and the native number of the first error.
struct ChunkAnswer {
  std::vector<long> counts;
  long error = 0;
};

ChunkAnswer ReadChunkAnswer(SQLHSTMT stmt, SQLRETURN rc) {
  ChunkAnswer answer;
  while (rc != SQL_NO_DATA) {
    if (rc == SQL_ERROR) {
      auto diags = Diagnostics(SQL_HANDLE_STMT, stmt);
      if (answer.error != 0 || diags.empty()) break;
      answer.error = diags[0].nativeError;
    } else {
      SQLLEN count = -1;
      SQLRowCount(stmt, &count);
      answer.counts.push_back(long(count));
    }
    rc = SQLMoreResults(stmt);
  }
  return answer;
}

TEST(WireOdbc, ChunkWriteCommitsOrRollsBackAsOneRequest) {
  // The stand-in answers every statement with its own DONEINPROC and count,
  // as SQL Server does inside sp_executesql; FreeTDS's ODBC driver folds them
  // into one result carrying the last statement's count. A failure ends the
  // request at SQLExecDirect with the error and nothing else.
  struct Case {
    const char* name;
    const char* separator;
    std::vector<ChunkRecord> records;
    std::vector<long> counts;
    long error;
    const char* rowsAfter;
  };
  const std::vector<Case> cases = {
      {"new, existing and a folded repeat, split by ; and CR LF",
       ";\r\n",
       {{"A1", "t", "12"}, {"OLD", "t", "3"}, {"a1 ", "t2", "5"}},
       {1},
       0,
       "2"},
      {"split by line breaks only", "\r\n", {{"B1", "t", "1"}}, {1}, 0, "2"},
      {"a too-long value in the third update rolls back the first two",
       ";\r\n",
       {{"C1", "t", "1"}, {"C2", "t", "1"}, {"C3", "12345678901", "1"}},
       {},
       2628,
       "1"},
      {"a bigint too large for int in the second record",
       ";",
       {{"D1", "t", "1"}, {"D2", "t", "9000000000"}},
       {},
       8115,
       "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options;
    options.schemaFiles = {SourceDir() + "/schema/reporting.sql"};
    StandinServer server(options);
    server.Exec("insert into T_quindale(order_id) values('OLD')");
    Client client(server);
    std::vector<std::string> texts;
    std::vector<SQLLEN> lengths;
    BindChunk(client.stmt->get(), c.records, texts, lengths);
    const ChunkAnswer answer = ReadChunkAnswer(
        client.stmt->get(), client.Run(ChunkWriteSql(c.records.size(), c.separator)));
    EXPECT_EQ(answer.counts, c.counts);
    EXPECT_EQ(answer.error, c.error);
    SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
    if (c.error != 0) {
      // XACT_ABORT already rolled the transaction back: the client's own
      // rollback finds none, as on SQL Server.
      EXPECT_EQ(client.Run("rollback transaction"), SQL_ERROR);
      auto diags = client.Diags();
      ASSERT_FALSE(diags.empty());
      EXPECT_EQ(diags[0].nativeError, 3903);
    }
    EXPECT_EQ(server.Query("select count(*) from T_quindale"), (Rows{{c.rowsAfter}}));
    if (c.error == 0) {
      EXPECT_EQ(
          server.Query(
              "select types, months, moneys from T_quindale where order_id='A1' or order_id='B1'"),
          (Rows{{c.records.back().types, c.records.back().months, "120.5000"}}));
    }
    EXPECT_EQ(CountLines(server.LogLines(), "rpc: sp_executesql #1=N'set xact_abort on"), 1);
  }
}

// The chunk request with a variable, as the transfer sends it: each record's
// insert-if-absent adds '1' (inserted) or '0' to @inserted, read back at the end.
std::string ChunkWithFlagsSql(size_t records) {
  std::string sql =
      "set xact_abort on;\r\nset nocount on;\r\ndeclare @inserted varchar(1000) = '';\r\n"
      "begin transaction;\r\n";
  for (size_t i = 0; i < records; ++i) {
    sql +=
        "insert into T_quindale(order_id) select v.id from (select ? as id) as v where not exists "
        "(select 1 from T_quindale as q where q.order_id = v.id);\r\n"
        "set @inserted = @inserted + case when @@rowcount > 0 then '1' else '0' end;\r\n"
        "update T_quindale set "
        "kex_no=?,startdate=?,enddate=?,months=?,moneys=?,types=?,kahao=?,siji=? "
        "where order_id=?;\r\n";
  }
  return sql + "commit transaction;\r\nselect @inserted;";
}

// Ten parameters a record, typed as the client binds them (see BindChunk).
void BindChunkWithFlags(SQLHSTMT stmt, const std::vector<ChunkRecord>& records,
                        std::vector<std::string>& texts, std::vector<SQLLEN>& lengths) {
  texts.clear();
  for (const auto& r : records) {
    for (const std::string& v :
         {r.orderId, std::string("K1"), std::string("2024-03-14 08:00:00"),
          std::string("2025-03-14 08:00:00"), r.months, std::string("120.5000"), r.types,
          std::string("浙K123"), std::string("2024-03-14 10:00:00"), r.orderId})
      texts.push_back(v);
  }
  lengths.assign(texts.size(), 0);
  for (size_t k = 0; k < texts.size(); ++k) {
    const size_t field = k % 10;
    SQLSMALLINT type = field == 2 || field == 3 || field == 8 ? SQL_TYPE_TIMESTAMP
                       : field == 4                           ? SQL_BIGINT
                       : field == 5                           ? SQL_DECIMAL
                                                              : SQL_WVARCHAR;
    SQLULEN size = type == SQL_TYPE_TIMESTAMP ? 23 : type == SQL_WVARCHAR ? 40 : 19;
    SQLSMALLINT digits = type == SQL_TYPE_TIMESTAMP ? 3 : type == SQL_DECIMAL ? 4 : 0;
    lengths[k] = SQLLEN(texts[k].size());
    ASSERT_TRUE(
        SQL_SUCCEEDED(SQLBindParameter(stmt, SQLUSMALLINT(k + 1), SQL_PARAM_INPUT, SQL_C_CHAR, type,
                                       size, digits, texts[k].data(), lengths[k], &lengths[k])))
        << DiagnosticsText(SQL_HANDLE_STMT, stmt);
  }
}

TEST(WireOdbc, ChunkRequestReportsWhichRecordsItInserted) {
  struct Case {
    const char* name;
    std::vector<ChunkRecord> records;
    std::string inserted;  // what select @inserted answers; empty after an error
    long error;
    const char* rowsAfter;
  };
  const std::vector<Case> cases = {
      {"new, existing, existing but for case and trailing blank, repeated in the request",
       {{"A1", "t", "1"},
        {"OLD", "t", "2"},
        {"Old ", "t", "3"},
        {"a1", "t", "4"},
        {"B2", "t", "5"}},
       "10001",
       0,
       "3"},
      {"a months value past int rolls back every record",
       {{"C1", "t", "1"}, {"C2", "t", "9000000000"}},
       "",
       8115,
       "1"},
      {"a too-long type rolls back every record",
       {{"D1", "t", "1"}, {"D2", "12345678901", "1"}},
       "",
       2628,
       "1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options;
    options.schemaFiles = {SourceDir() + "/schema/reporting.sql"};
    StandinServer server(options);
    server.Exec("insert into T_quindale(order_id) values('OLD')");
    Client client(server);
    std::vector<std::string> texts;
    std::vector<SQLLEN> lengths;
    BindChunkWithFlags(client.stmt->get(), c.records, texts, lengths);
    SQLRETURN rc = client.Run(ChunkWithFlagsSql(c.records.size()));
    Rows flags;
    long error = 0;
    for (; rc != SQL_NO_DATA; rc = SQLMoreResults(client.stmt->get())) {
      SQLSMALLINT columns = 0;
      if (rc == SQL_ERROR && error == 0 && !client.Diags().empty())
        error = client.Diags()[0].nativeError;
      if (rc != SQL_ERROR && SQL_SUCCEEDED(SQLNumResultCols(client.stmt->get(), &columns)) &&
          columns > 0)
        flags = FetchAllAsText(client.stmt->get());
      if (rc == SQL_ERROR) break;
    }
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(flags, c.inserted.empty() ? Rows{} : Rows{{c.inserted}});
    SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
    ASSERT_TRUE(SQL_SUCCEEDED(client.Run("select @@trancount")));
    EXPECT_EQ(FetchAllAsText(client.stmt->get()), (Rows{{"0"}}));
    EXPECT_EQ(server.Query("select count(*) from T_quindale"), (Rows{{c.rowsAfter}}));
    if (c.error == 0) {
      EXPECT_EQ(server.Query("select months from T_quindale where order_id='A1'"), (Rows{{"4"}}));
    }
  }
}

TEST(WireOdbc, DecimalParametersUpTo38DigitsArriveWhole) {
  struct Case {
    const char* text;
    SQLULEN precision;
    SQLSMALLINT scale;
    const char* sql;
    std::string answer;  // the value read back, or the error number
  };
  const Case cases[] = {
      {"12345678901234567890.1234", 38, 4, "select ?", "12345678901234567890.1234"},
      {"-0.0001", 19, 4, "select ?", "-0.0001"},
      {"12345678901234567890.1234", 38, 4, "update T_dec set m = ?", "8115"},
      {"12.34565", 19, 5, "update T_dec set m = ? select m from T_dec", "12.3457"},
  };
  StandinServer server({});
  server.Exec("create table T_dec(m money)");
  server.Exec("insert into T_dec values(0)");
  Client client(server);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.sql) + " " + c.text);
    std::string value = c.text;
    SQLLEN length = SQLLEN(value.size());
    SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
    ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(client.stmt->get(), 1, SQL_PARAM_INPUT, SQL_C_CHAR,
                                               SQL_DECIMAL, c.precision, c.scale, value.data(),
                                               length, &length)));
    SQLRETURN rc = client.Run(c.sql);
    std::string answer;
    for (; rc != SQL_NO_DATA && answer.empty(); rc = SQLMoreResults(client.stmt->get())) {
      SQLSMALLINT columns = 0;
      if (rc == SQL_ERROR)
        answer = std::to_string(client.Diags().at(0).nativeError);
      else if (SQL_SUCCEEDED(SQLNumResultCols(client.stmt->get(), &columns)) && columns > 0)
        answer = FetchAllAsText(client.stmt->get()).at(0).at(0);
    }
    EXPECT_EQ(answer, c.answer);
  }
}

TEST(WireOdbc, RequestLimitsAndScopesAreSqlServers) {
  // sp_executesql's statement and declaration count against the 2 100
  // parameters a call may carry, so a client has 2 098 of its own.
  struct Case {
    const char* name;
    int params;
    long error;
  };
  const std::vector<Case> cases = {
      {"2 098 parameters in an IN list", 2098, 0},
      {"2 099 parameters", 2099, 8003},
  };
  StandinServer server({});
  server.Exec("create table T_in(id int primary key)");
  server.Exec("insert into T_in values(7)");
  Client client(server);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<SQLINTEGER> values(size_t(c.params));
    std::vector<SQLLEN> indicators(values.size(), 0);
    std::string sql = "select id from T_in where id in (";
    for (int k = 0; k < c.params; ++k) {
      values[size_t(k)] = k;
      sql += k == 0 ? "?" : ",?";
      ASSERT_TRUE(SQL_SUCCEEDED(SQLBindParameter(client.stmt->get(), SQLUSMALLINT(k + 1),
                                                 SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0,
                                                 &values[size_t(k)], 0, &indicators[size_t(k)])));
    }
    const SQLRETURN rc = client.Run(sql + ")");
    if (c.error == 0) {
      ASSERT_TRUE(SQL_SUCCEEDED(rc)) << DiagnosticsText(SQL_HANDLE_STMT, client.stmt->get());
      EXPECT_EQ(FetchAllAsText(client.stmt->get()), (Rows{{"7"}}));
    } else {
      EXPECT_EQ(rc, SQL_ERROR);
      auto diags = client.Diags();
      ASSERT_FALSE(diags.empty());
      EXPECT_EQ(diags[0].nativeError, c.error);
      EXPECT_NE(diags[0].message.find("The server supports a maximum of 2100 parameters."),
                std::string::npos);
    }
    SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
  }
  // The connection survives the refusal; and XACT_ABORT set inside
  // sp_executesql ends with it, so a later error in the session's own
  // transaction leaves that transaction open, as SQL Server does.
  SQLINTEGER one = 1;
  SQLLEN oneInd = 0;
  SQLBindParameter(client.stmt->get(), 1, SQL_PARAM_INPUT, SQL_C_SLONG, SQL_INTEGER, 0, 0, &one, 0,
                   &oneInd);
  ASSERT_TRUE(Ran(client.Run("set xact_abort on; select ?")))
      << DiagnosticsText(SQL_HANDLE_STMT, client.stmt->get());
  SQLFreeStmt(client.stmt->get(), SQL_RESET_PARAMS);
  ASSERT_TRUE(Ran(client.Run("begin transaction")));
  EXPECT_EQ(client.Run("insert into T_in values(7)"), SQL_ERROR);
  ASSERT_TRUE(SQL_SUCCEEDED(client.Run("select @@trancount")));
  EXPECT_EQ(FetchAllAsText(client.stmt->get()), (Rows{{"1"}}));
  EXPECT_TRUE(Ran(client.Run("rollback transaction")))
      << DiagnosticsText(SQL_HANDLE_STMT, client.stmt->get());
}

TEST(WireOdbc, DelayedRepliesWaitAtLeastTheDelay) {
  // A lower bound only: a loaded machine can make a reply later, never sooner.
  for (int delayMs : {1, 3}) {
    SCOPED_TRACE(delayMs);
    StandinServer::Options options;
    options.delayMs = delayMs;
    StandinServer server(options);
    Client client(server);
    constexpr int kTrips = 20;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kTrips; ++i) ASSERT_TRUE(SQL_SUCCEEDED(client.Run("select 1")));
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(kTrips * delayMs));
  }
}

}  // namespace
}  // namespace cardsync::testing
