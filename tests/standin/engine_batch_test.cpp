// Batches through the stand-in's engine without the wire: the product's own
// statements on seeded tables, result typing, row counts, procedures, scripts
// split at GO, and SQL Server's errors with their numbers and texts.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

#include "engine.h"

namespace standin {
namespace {

constexpr const char* kSchema = R"(
CREATE TABLE T_sendbase(order_id varchar(32) NOT NULL PRIMARY KEY, kahao varchar(20) NULL,
  months int NULL, moneys money NULL, kex_no varchar(20) NULL, startdate bigint NULL,
  enddate bigint NULL, types varchar(10) NULL, siji datetime NULL)
CREATE TABLE dbo.T_quindale(order_id varchar(32) NOT NULL, kex_no varchar(20) NULL,
  startdate datetime NULL, enddate datetime NULL, months int NULL, moneys money NULL,
  types varchar(10) NULL, kahao varchar(20) NULL, siji datetime NULL,
  CONSTRAINT PK_T_quindale PRIMARY KEY CLUSTERED (order_id))
CREATE TABLE T_totals(day date PRIMARY KEY, cards int NOT NULL, money_total money NULL)
)";

constexpr const char* kTotals = R"(CREATE PROCEDURE totals AS
BEGIN
  SET NOCOUNT ON;
  DELETE FROM T_totals;
  INSERT INTO T_totals(day, cards, money_total)
    SELECT CAST(siji AS date), count(*), sum(moneys)
    FROM T_quindale WHERE siji IS NOT NULL GROUP BY CAST(siji AS date);
END
)";

// The selection statements of the transfer job, exactly as it sends them.
constexpr const char* kPreviousDayOrdinary =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=year(GETDATE()-1)*10000+"
    "month(GETDATE()-1)*100+DAY(GETDATE()-1) and  kahao not in "
    "('000000','111111','222222','333333','444444')";
constexpr const char* kCurrentDaySpecial =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=year(GETDATE())*10000+"
    "month(GETDATE())*100+DAY(GETDATE()) and  kahao  in "
    "('000000','111111','222222','333333','444444')";

Param Text(const char* name, std::string value) {
  Param p;
  p.name = name;
  p.type = SqlType::NVarChar;
  p.value.null = false;
  p.value.s = std::move(value);
  return p;
}

struct Fixture {
  explicit Fixture(const char* now = "2026-12-08 02:00:00") {
    engine = Engine::Open({":memory:", now});
    session = engine->NewSession();
    Ok(kSchema);
    Ok(kTotals);
  }
  BatchOutput Ok(std::string_view sql, const std::vector<Param>& params = {}) {
    BatchOutput out = session->Execute(sql, params);
    for (const auto& s : out.statements)
      EXPECT_FALSE(s.error) << sql << "\n -> " << s.error->number << " " << s.error->text;
    return out;
  }
  // The one error a batch ended with.
  ServerMessage Error(std::string_view sql, const std::vector<Param>& params = {}) {
    BatchOutput out = session->Execute(sql, params);
    if (out.statements.empty() || !out.statements.back().error) {
      ADD_FAILURE() << "no error from: " << sql;
      return {};
    }
    return *out.statements.back().error;
  }
  std::vector<std::string> Column(std::string_view sql, size_t col = 0) {
    BatchOutput out = Ok(sql);
    std::vector<std::string> values;
    if (out.statements.empty()) return values;
    for (const auto& row : out.statements.back().rows) {
      const Value& v = row.at(col);
      values.push_back(v.null ? "NULL" : !v.s.empty() ? v.s : std::to_string(v.i));
    }
    return values;
  }
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Session> session;
};

TEST(EngineBatch, DeclaredTypesComeBackOnResultColumns) {
  Fixture f;
  f.Ok(
      "create table t(a int, b varchar(20), c money, d decimal(10,2), e datetime, f nchar(4), "
      "g varchar(max), h bit, i float, j smalldatetime, k date, l tinyint)");
  f.Ok(
      "insert into t values(7, 'x', 1.5, 2.25, '2026-12-07 08:00:00', 'ab', 'long', 1, 0.5, "
      "'2026-12-07 08:00:40', '2026-12-07', 3)");
  BatchOutput out = f.Ok("select a, b, c, d, e, f, g, h, i, j, k, l from t");
  const StatementOutput& sel = out.statements.at(0);
  struct Expect {
    SqlType type;
    int length;
    int64_t i;
  };
  const Expect expect[] = {
      {SqlType::Int, 0, 7},           {SqlType::VarChar, 20, 0}, {SqlType::Money, 0, 15000},
      {SqlType::Decimal, 0, 225},     {SqlType::DateTime, 0, 0}, {SqlType::NChar, 4, 0},
      {SqlType::VarChar, 0, 0},       {SqlType::Bit, 0, 1},      {SqlType::Float, 0, 0},
      {SqlType::SmallDateTime, 0, 0}, {SqlType::Date, 0, 0},     {SqlType::TinyInt, 0, 3},
  };
  ASSERT_EQ(sel.columns.size(), std::size(expect));
  ASSERT_EQ(sel.rows.size(), 1u);
  for (size_t i = 0; i < std::size(expect); ++i) {
    SCOPED_TRACE(sel.columns[i].name);
    EXPECT_EQ(sel.columns[i].type, expect[i].type);
    EXPECT_EQ(sel.columns[i].length, expect[i].length);
    EXPECT_FALSE(sel.rows[0][i].null);
    EXPECT_EQ(sel.rows[0][i].i, expect[i].i);
  }
  EXPECT_EQ(sel.columns[3].precision, 10);
  EXPECT_EQ(sel.columns[3].scale, 2);
  EXPECT_EQ(sel.rows[0][4].ms, 8 * 3600 * 1000);
  EXPECT_EQ(sel.rows[0][5].s, "ab  ");                    // nchar pads to its length
  EXPECT_EQ(sel.rows[0][9].ms, 8 * 3600 * 1000 + 60000);  // smalldatetime rounds to the minute
  EXPECT_EQ(sel.rows[0][10].days, sel.rows[0][4].days);
  EXPECT_EQ(sel.rowCount, 1);
}

TEST(EngineBatch, ExpressionColumnsAreTypedFromTheirValues) {
  Fixture f;
  struct Case {
    const char* sql;
    SqlType type;
    const char* name;
  };
  const Case cases[] = {
      {"select count(*) from T_sendbase", SqlType::Int, ""},
      {"select count(*) as n from T_sendbase", SqlType::Int, "n"},
      {"select 5000000000", SqlType::Decimal, ""},  // SQL Server's numeric(10,0), as for 1.5
      {"select 1.5", SqlType::Decimal, ""},
      {"select 'abc'", SqlType::VarChar, ""},
      {"select GETDATE()", SqlType::DateTime, ""},
      {"select GETDATE()-1", SqlType::DateTime, ""},
      {"select CAST('2026-01-02 10:00' AS date)", SqlType::Date, ""},
      {"select NULL", SqlType::Int, ""},
      {"select @@VERSION", SqlType::NVarChar, ""},  // SQL Server's nvarchar(300) and smallint
      {"select @@SPID", SqlType::SmallInt, ""},
      {"select SERVERPROPERTY('ProductVersion')", SqlType::VarChar, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    BatchOutput out = f.Ok(c.sql);
    ASSERT_EQ(out.statements.size(), 1u);
    ASSERT_EQ(out.statements[0].columns.size(), 1u);
    EXPECT_EQ(out.statements[0].columns[0].type, c.type);
    EXPECT_EQ(out.statements[0].columns[0].name, c.name);
    EXPECT_EQ(out.statements[0].rows.size(), 1u);
  }
}

TEST(EngineBatch, ProbesAClientMaySendAnswerPlausibly) {
  Fixture f;
  EXPECT_NE(f.Column("select @@VERSION").at(0).find("Microsoft SQL Server"), std::string::npos);
  EXPECT_EQ(f.Column("SELECT SCHEMA_NAME()").at(0), "dbo");
  EXPECT_EQ(f.Column("select db_name()").at(0), "reporting");
  EXPECT_EQ(f.Column("select @@TRANCOUNT").at(0), "0");
  EXPECT_EQ(f.Column("select SERVERPROPERTY('EngineEdition')").at(0), "3");
  EXPECT_EQ(f.Column("select SERVERPROPERTY('NoSuchThing')").at(0), "NULL");
  EXPECT_EQ(
      f.Column("select case when object_id('dbo.T_quindale') is null then 0 else 1 end").at(0),
      "1");
}

TEST(EngineBatch, SelectionStatementsFollowTheFixedClockAcrossMonthAndYear) {
  // Each run time picks the rows of its previous day (ordinary cards) and of its
  // own day (special cards), also when the previous day is in another month or year.
  struct Case {
    const char* now;
    const char* previousDay;
    const char* sameDay;
  };
  const Case cases[] = {
      {"2026-12-08 02:00:00", "12/7/2026", "2026-12-08"},
      {"2026-12-01 02:00:00", "11/30/26", "2026-12-01"},
      {"2027-01-01 02:00:00", "2026-12-31 23:59:59.997", "2027-01-01 00:00"},
      {"2024-03-01 00:00:00", "2024-02-29", "3/1/2024 11:59:59 PM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.now);
    Fixture f(c.now);
    std::string prev = c.previousDay, same = c.sameDay;
    f.Ok(
        "insert into T_sendbase(order_id, kahao, siji) values"
        "('a', '0AK123', '" +
        prev + "'), ('b', '111111', '" + prev +
        "'),"
        "('c', '0AK124', '" +
        same + "'), ('d', '222222', '" + same +
        "'),"
        "('e', NULL, '" +
        prev + "'), ('f', '0AK125', NULL)");
    EXPECT_EQ(f.Column(kPreviousDayOrdinary), std::vector<std::string>{"a"});
    EXPECT_EQ(f.Column(kCurrentDaySpecial), std::vector<std::string>{"d"});
  }
}

TEST(EngineBatch, TransferStatementsWithTextParameters) {
  // The per-record statements as the data layer sends them: every value bound
  // as nvarchar text, including the months number and the empty money.
  Fixture f;
  const char* count = "select count(*) from T_quindale where order_id=@P1";
  BatchOutput c1 = f.Ok(count, {Text("@P1", "A-1")});
  ASSERT_EQ(c1.statements.at(0).rows.size(), 1u);
  EXPECT_EQ(c1.statements[0].rows[0][0].i, 0);
  BatchOutput ins = f.Ok("insert into T_quindale(order_id) values(@P1)", {Text("@P1", "A-1")});
  EXPECT_EQ(ins.statements.at(0).rowCount, 1);
  BatchOutput upd = f.Ok(
      "update T_quindale set kex_no=@P1,startdate=@P2,enddate=@P3,months=@P4,moneys=@P5,types=@P6,"
      "kahao=@P7,siji=@P8 where order_id=@P9",
      {Text("@P1", "K9"), Text("@P2", "12/7/26 8:00:00 am"), Text("@P3", "2027-12-07 20:00:00"),
       Text("@P4", "0"), Text("@P5", ""), Text("@P6", "月卡"), Text("@P7", "浙K123"),
       Text("@P8", "12/7/2026 11:59:59 PM"), Text("@P9", "A-1")});
  EXPECT_EQ(upd.statements.at(0).rowCount, 1);
  EXPECT_EQ(f.session->Execute(count, {Text("@P1", "A-1")}).statements.at(0).rows.at(0).at(0).i, 1);

  BatchOutput row = f.Ok(
      "select kex_no, startdate, enddate, months, moneys, types, kahao, siji "
      "from T_quindale where order_id='A-1'");
  const auto& v = row.statements.at(0).rows.at(0);
  EXPECT_EQ(v[0].s, "K9");
  EXPECT_EQ(v[1].ms, 8 * 3600 * 1000);
  EXPECT_EQ(v[2].ms, 20 * 3600 * 1000);
  EXPECT_EQ(v[2].days - v[1].days, 365);
  EXPECT_FALSE(v[3].null);
  EXPECT_EQ(v[3].i, 0);
  EXPECT_FALSE(v[4].null);  // '' into money is 0, not null
  EXPECT_EQ(v[4].i, 0);
  EXPECT_EQ(v[5].s, "月卡");
  EXPECT_EQ(v[6].s, "浙K123");
  EXPECT_EQ(v[7].ms, 86399000);
  EXPECT_EQ(v[7].days, v[1].days);

  // The literal forms built by text concatenation work the same way.
  f.Ok("insert into T_quindale(order_id) values('B-2')");
  f.Ok(
      "update T_quindale set kex_no='K',startdate='2026/12/07 "
      "08:00:00',enddate='2027-1-1',months=3,"
      "moneys='120.5',types='t',kahao='111111',siji='12/8/2026 2:00' where order_id='B-2'");
  EXPECT_EQ(f.Column("select moneys from T_quindale where order_id='B-2'"),
            std::vector<std::string>{"1205000"});
}

TEST(EngineBatch, TotalsProcedureBareAndWithExec) {
  const char* calls[] = {"totals\r\n", "totals", "EXEC totals", "execute dbo.totals\n",
                         "  TOTALS  \r\n"};
  for (const char* call : calls) {
    SCOPED_TRACE(call);
    Fixture f;
    f.Ok(
        "insert into T_quindale(order_id, siji, moneys) values ('1', '2026-12-07 08:00', 10), "
        "('2', '2026-12-07 21:00', '2.5'), ('3', '2026-12-06 01:00', NULL), ('4', NULL, 99)");
    f.Ok("insert into T_totals values ('2000-01-01', 1, 1)");  // replaced by every run
    BatchOutput out = f.Ok(call);
    ASSERT_TRUE(out.procName);
    EXPECT_EQ(*out.procName, "totals");
    EXPECT_EQ(out.returnStatus, 0);
    ASSERT_FALSE(out.statements.empty());
    for (const auto& s : out.statements) {
      EXPECT_TRUE(s.inProc);
      EXPECT_FALSE(s.rowCount) << "NOCOUNT is on inside the procedure";
    }
    BatchOutput totals = f.Ok("select day, cards, money_total from T_totals order by day");
    const auto& rows = totals.statements.at(0).rows;
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(totals.statements[0].columns[0].type, SqlType::Date);
    EXPECT_EQ(rows[0][1].i, 1);
    EXPECT_TRUE(rows[0][2].null);
    EXPECT_EQ(rows[1][0].days - rows[0][0].days, 1);
    EXPECT_EQ(rows[1][1].i, 2);
    EXPECT_EQ(rows[1][2].i, 125000);
    // NOCOUNT set inside the procedure ends with it.
    EXPECT_TRUE(f.Ok("delete from T_totals").statements.at(0).rowCount);
  }
}

TEST(EngineBatch, ErrorsCarrySqlServerNumbersAndTexts) {
  struct Case {
    const char* sql;
    int number;
    int severity;
    const char* text;
  };
  const Case cases[] = {
      {"select * from T_nothing", 208, 16, "Invalid object name 'T_nothing'."},
      {"select nosuch from T_quindale", 207, 16, "Invalid column name 'nosuch'."},
      {"insert into T_quindale(order_id, nosuch) values('x', 1)", 207, 16,
       "Invalid column name 'nosuch'."},
      {"selec * from T_quindale", 102, 15, "Incorrect syntax near '*'."},
      {"select * from T_quindale where", 102, 15, "Incorrect syntax near 'where'."},
      {"select * from where", 102, 15, "Incorrect syntax near 'where'."},
      {"nosuchproc", 2812, 16, "Could not find stored procedure 'nosuchproc'."},
      {"exec nosuchproc", 2812, 16, "Could not find stored procedure 'nosuchproc'."},
      {"insert into T_quindale(order_id) values('dup')", 2627, 14,
       "Violation of PRIMARY KEY constraint 'PK_T_quindale'. Cannot insert duplicate key in object "
       "'dbo.T_quindale'. The duplicate key value is (dup)."},
      {"update T_quindale set months='x' where order_id='dup'", 245, 16,
       "Conversion failed when converting the varchar value 'x' to data type int."},
      {"update T_quindale set siji='31/12/2026' where order_id='dup'", 242, 16,
       "The conversion of a varchar data type to a datetime data type resulted in an out-of-range "
       "value."},
      {"update T_quindale set siji='yesterday' where order_id='dup'", 241, 16,
       "Conversion failed when converting date and/or time from character string."},
      {"update T_quindale set moneys='1,2x' where order_id='dup'", 235, 16,
       "Cannot convert a char value to money. The char value has incorrect syntax."},
      {"update T_quindale set types='12345678901' where order_id='dup'", 2628, 16,
       "String or binary data would be truncated in table 'reporting.dbo.T_quindale', column "
       "'types'. "
       "Truncated value: '1234567890'."},
      {"insert into T_totals(day) values('2026-01-01')", 515, 16,
       "Cannot insert the value NULL into column 'cards', table 'reporting.dbo.T_totals'; column "
       "does "
       "not allow nulls. INSERT fails."},
      {"commit", 3902, 16,
       "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION."},
      {"rollback tran", 3903, 16,
       "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION."},
      {"select 'abc", 105, 15, "Unclosed quotation mark after the character string 'abc'."},
      {"select @P7", 137, 15, "Must declare the scalar variable \"@P7\"."},
      {"create table T_totals(a int)", 2714, 16,
       "There is already an object named 'T_totals' in the database."},
      {"drop table T_nothing", 3701, 11,
       "Cannot drop the table 'T_nothing', because it does not exist or you do not have "
       "permission."},
      {"select cast(1 as widget)", 243, 16, "Type widget is not a defined system type."},
  };
  Fixture f;
  f.Ok("insert into T_quindale(order_id) values('dup')");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    ServerMessage m = f.Error(c.sql);
    EXPECT_EQ(m.number, c.number);
    EXPECT_EQ(m.severity, c.severity);
    EXPECT_EQ(m.text, c.text);
  }
  // None of the failed writes left anything behind.
  BatchOutput row = f.Ok(
      "select months, siji, moneys, types, count(*) from T_quindale group by months, siji, moneys, "
      "types");
  ASSERT_EQ(row.statements.at(0).rows.size(), 1u);
  for (int i = 0; i < 4; ++i) EXPECT_TRUE(row.statements[0].rows[0][i].null) << i;
  EXPECT_EQ(row.statements[0].rows[0][4].i, 1);
}

TEST(EngineBatch, SetBasedStatementsCountEachAndKeepSqlServersLimits) {
  // A chunk's statements as the transfer sends them: each statement's own
  // count, in order, and one failure rolling back the whole transaction.
  auto values = [](int rows) {
    std::string sql = "insert into T_quindale(order_id, months) values";
    for (int i = 0; i < rows; ++i)
      sql += std::string(i ? ",\n" : " ") + "('V" + std::to_string(i) + "', " + std::to_string(i) +
             ")";
    return sql;
  };
  auto inList = [](int n) {
    std::string sql = "select order_id from T_quindale where order_id in (";
    for (int i = 1; i <= n; ++i) sql += (i > 1 ? ",@P" : "@P") + std::to_string(i);
    return sql + ")";
  };
  std::vector<Param> ids;
  for (int i = 1; i <= 2000; ++i)
    ids.push_back(Text(("@P" + std::to_string(i)).c_str(), i % 2 ? "B" : "none"));
  const char* write =
      "set xact_abort on;\r\nbegin transaction;\r\n"
      "insert into T_quindale(order_id) select @P1 where not exists (select 1 from T_quindale "
      "where order_id=@P2);\r\n"
      "update T_quindale set types=@P3 where order_id=@P4;\r\n"
      "insert into T_quindale(order_id) select @P5 where not exists (select 1 from T_quindale "
      "where order_id=@P6)\r\n"
      "update T_quindale set types=@P7 where order_id=@P8\r\n"
      "commit transaction";
  struct Case {
    const char* name;
    std::string sql;
    std::vector<Param> params;
    std::vector<std::optional<int64_t>> counts;  // per statement; the last may be an error
    int error;
    const char* rowsAfter;
  };
  const std::optional<int64_t> none;
  const std::vector<Case> cases = {
      {"new then existing",
       write,
       {Text("@P1", "A"), Text("@P2", "A"), Text("@P3", "t"), Text("@P4", "A"), Text("@P5", "b "),
        Text("@P6", "b "), Text("@P7", "t"), Text("@P8", "b ")},
       {none, none, 1, 1, 0, 1, none},
       0,
       "2"},
      {"an over-long value in the last update rolls back all",
       write,
       {Text("@P1", "C"), Text("@P2", "C"), Text("@P3", "t"), Text("@P4", "C"), Text("@P5", "D"),
        Text("@P6", "D"), Text("@P7", "12345678901"), Text("@P8", "D")},
       {none, none, 1, 1, 1, none},
       2628,
       "1"},
      {"1 000 rows in one VALUES list", values(1000), {}, {1000}, 0, "1001"},
      {"1 001 rows", values(1001), {}, {none}, 10738, "1"},
      {"an IN list of 2 000 parameters", inList(2000), ids, {1}, 0, "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Fixture f;
    f.Ok("insert into T_quindale(order_id) values('B')");
    BatchOutput out = f.session->ExecuteDynamic(c.sql, c.params);
    ASSERT_EQ(out.statements.size(), c.counts.size());
    for (size_t k = 0; k < c.counts.size(); ++k)
      EXPECT_EQ(out.statements[k].rowCount, c.counts[k]) << k;
    const auto& last = out.statements.back().error;
    EXPECT_EQ(last ? last->number : 0, c.error);
    if (c.error == 10738) {
      EXPECT_EQ(last->text,
                "The number of row value expressions in the INSERT statement exceeds the maximum "
                "allowed number of 1000 row values.");
      EXPECT_EQ(last->line, 1001);
    }
    EXPECT_EQ(f.session->TransactionCount(), 0);
    EXPECT_EQ(f.Column("select count(*) from T_quindale"), std::vector<std::string>{c.rowsAfter});
  }
}

TEST(EngineBatch, AnErrorStopsTheBatchAndNamesItsLine) {
  Fixture f;
  BatchOutput out = f.session->Execute(
      "insert into T_totals values('2026-01-01', 1, 1)\n"
      "insert into T_totals values('2026-01-0x', 2, 2)\n"
      "insert into T_totals values('2026-01-02', 3, 3)\n");
  ASSERT_EQ(out.statements.size(), 2u);
  EXPECT_EQ(out.statements[0].rowCount, 1);
  ASSERT_TRUE(out.statements[1].error);
  EXPECT_EQ(out.statements[1].error->number, 241);  // a conversion error ends the batch
  EXPECT_EQ(out.statements[1].error->line, 2);
  EXPECT_EQ(f.Column("select count(*) from T_totals"), std::vector<std::string>{"1"});
}

TEST(EngineBatch, ProcedureErrorsReportTheProcedureAndAStatus) {
  Fixture f;
  f.Ok("create procedure broken as\nbegin\n  select 1\n  select * from T_nothing\nend");
  BatchOutput out = f.session->Execute("exec broken");
  ASSERT_EQ(out.statements.size(), 2u);
  ASSERT_TRUE(out.statements[1].error);
  EXPECT_EQ(out.statements[1].error->procName, "broken");
  EXPECT_EQ(out.statements[1].error->number, 208);
  EXPECT_EQ(out.statements[1].error->line, 4);
  EXPECT_NE(out.returnStatus, 0);
  EXPECT_EQ(f.Error("create procedure broken as select 2").number, 2714);
  f.Ok("drop procedure broken");
  EXPECT_EQ(f.Error("broken").number, 2812);
}

TEST(EngineBatch, StatementsAreSplitWithoutSemicolons) {
  Fixture f;
  BatchOutput out = f.Ok(
      "SET NOCOUNT OFF\n"
      "IF NOT EXISTS (select 1 from T_totals where day = '2026-01-01') insert into T_totals "
      "values('2026-01-01', 1, 1)\n"
      "IF NOT EXISTS (select 1 from T_totals where day = '2026-01-01') insert into T_totals "
      "values('2026-01-01', 2, 2)\n"
      "update T_totals set cards = cards + 1 select cards from T_totals\n"
      "select top 1 cards from T_totals union all select 5 order by 1");
  ASSERT_EQ(out.statements.size(), 5u);
  EXPECT_EQ(out.statements[1].rowCount, 1);
  EXPECT_EQ(out.statements[2].rowCount, 1);
  EXPECT_EQ(out.statements[3].rows.at(0).at(0).i, 2);
  EXPECT_EQ(out.statements[4].rows.size(), 1u);
}

TEST(EngineBatch, NocountHidesCountsButNotRows) {
  Fixture f;
  BatchOutput out = f.Ok(
      "set nocount on; insert into T_totals values('2026-01-01', 1, 1); select * from T_totals");
  ASSERT_EQ(out.statements.size(), 3u);
  EXPECT_FALSE(out.statements[1].rowCount);
  EXPECT_FALSE(out.statements[2].rowCount);
  EXPECT_EQ(out.statements[2].rows.size(), 1u);
  // The option belongs to the session and lasts into its next batch.
  EXPECT_FALSE(f.Ok("delete from T_totals").statements.at(0).rowCount);
}

TEST(EngineBatch, ScriptsSplitAtGoAndReportTheFailingLine) {
  Fixture f;
  std::string path = ::testing::TempDir() + "engine_script_test.sql";
  struct Case {
    const char* text;
    int errorLine;  // 0: runs cleanly
  };
  const Case cases[] = {
      {"create table s1(a int)\ngo\ninsert into s1 values(1)\n  Go  \r\nselect * from s1\n", 0},
      {"create procedure p1 as\nselect 1\nGO\nexec p1\nGO\n", 0},
      {"select 1\nGO\n\nselect 2\nselect * from T_nothing\nGO\nselect 3\n", 5},
      {"select 1\n\nselect 'abc\nGO\n", 3},
      {"create table s2(a int)\ngo\ninsert into s2 values('x')\n", 3},
      {"-- only a comment\nGO\n", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << c.text;
    }
    if (c.errorLine == 0) {
      EXPECT_NO_THROW(f.engine->RunScript(path));
      continue;
    }
    try {
      f.engine->RunScript(path);
      ADD_FAILURE() << "no ScriptError";
    } catch (const ScriptError& e) {
      EXPECT_EQ(e.file, path);
      EXPECT_EQ(e.line, c.errorLine);
    }
  }
  EXPECT_EQ(f.Column("select a from s1"), std::vector<std::string>{"1"});
  std::remove(path.c_str());
  EXPECT_THROW(f.engine->RunScript(path), ScriptError);
}

TEST(EngineBatch, GarbageNeverCrashesAndAlwaysAnswers) {
  Fixture f;
  const char* garbage[] = {
      "",
      "   ",
      ";;;",
      "(",
      ")",
      "select",
      "select (((",
      "'",
      "N'",
      "[unclosed",
      "/* open",
      "--",
      "@@",
      "@",
      "begin",
      "end",
      "if",
      "if 1=1",
      "else select 1",
      "exec",
      "create procedure",
      "create table",
      "create table x(",
      "create table x(a)",
      "set",
      "cast(",
      "select cast(1 as)",
      "select convert(int)",
      "select top",
      "insert into",
      "update T_totals set",
      "declare @x int",
      "\x01\x02\xff\xfe",
      "select 1 select",
      "begin tran tran tran",
      "drop procedure",
      "use nowhere",
      "select getdate(",
      "select * from [T_totals",
      "while 1=1 select 1",
      "go",
      "exec @r = ",
      "create procedure q @a int as select 1",
      "select '\xe4\xb8'",
  };
  for (const char* sql : garbage) {
    SCOPED_TRACE(sql);
    BatchOutput out = f.session->Execute(sql);
    for (const auto& s : out.statements)
      if (s.error) {
        EXPECT_FALSE(s.error->text.empty());
      }
  }
  // The session is still usable afterwards.
  EXPECT_EQ(f.Column("select 1 + 1"), std::vector<std::string>{"2"});
}

#ifdef CARDSYNC_SOURCE_DIR
TEST(EngineBatch, ProjectSchemaAndDemoDataLoadAndAnswerTheJobsQueries) {
  auto engine = Engine::Open({":memory:", "2026-12-08 02:00:00"});
  for (const char* script : {"/schema/reporting.sql", "/schema/demo-data.sql"}) {
    SCOPED_TRACE(script);
    EXPECT_NO_THROW(engine->RunScript(std::string(CARDSYNC_SOURCE_DIR) + script));
  }
  auto s = engine->NewSession();
  BatchOutput pass1 = s->Execute(kPreviousDayOrdinary);
  ASSERT_FALSE(pass1.statements.at(0).error);
  ASSERT_FALSE(pass1.statements[0].rows.empty());
  for (const auto& row : pass1.statements[0].rows) EXPECT_EQ(row.at(0).s.substr(0, 1), "D");
  BatchOutput pass2 = s->Execute(kCurrentDaySpecial);
  ASSERT_FALSE(pass2.statements.at(0).error);
  ASSERT_FALSE(pass2.statements[0].rows.empty());
  for (const auto& row : pass2.statements[0].rows) EXPECT_EQ(row.at(0).s.substr(0, 1), "S");
  BatchOutput totals = s->Execute("totals\r\n");
  ASSERT_FALSE(totals.statements.empty());
  EXPECT_FALSE(totals.statements.back().error);
}
#endif

}  // namespace
}  // namespace standin
