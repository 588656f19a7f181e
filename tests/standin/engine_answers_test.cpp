// Answers SQL Server gives where SQLite's own would differ: result types as
// COLMETADATA describes them, exact numbers with SQL Server's rounding and
// limits, errors that end a statement or the batch, #temp tables, and the
// T-SQL forms clients send (INSERT without INTO, '+' on strings, CHAR()).
#include <gtest/gtest.h>

#include "engine.h"
#include "sql_decimal.h"

namespace standin {
namespace {

struct Fixture {
  Fixture() : engine(Engine::Open({":memory:", std::nullopt})), session(engine->NewSession()) {
    session->Execute(
        "create table T_n(id int primary key, m money, d decimal(10,2), v varchar(8), n "
        "nvarchar(4))\n"
        "insert into T_n values(1, 1.10, 2.25, 'ab', N'cd'), (2, 2.20, 3.33, 'x', N'y')");
  }
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Session> session;
};

// A value as a client would print it.
std::string Text(const Value& v, const Column& c) {
  if (v.null) return "NULL";
  switch (c.type) {
    case SqlType::Money:
    case SqlType::SmallMoney:
      return FormatDecimal(Decimal{v.i, 4});
    case SqlType::Decimal:
      return FormatDecimal(Decimal{Unscaled(v), c.scale});
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
      return v.s;
    case SqlType::Float:
    case SqlType::Real:
      return std::to_string(v.f);
    default:
      return std::to_string(v.i);
  }
}

// The last statement's first value, or "error N: text".
std::string Answer(Session& s, const std::string& sql) {
  BatchOutput out = s.Execute(sql);
  for (const auto& st : out.statements)
    if (st.error) return "error " + std::to_string(st.error->number) + ": " + st.error->text;
  const StatementOutput& last = out.statements.back();
  return last.rows.empty() ? "no rows" : Text(last.rows[0][0], last.columns[0]);
}

TEST(EngineAnswers, ResultTypesAreSqlServers) {
  struct Case {
    const char* sql;
    SqlType type;
    int length, precision, scale;
  };
  const Case cases[] = {
      {"select cast(1 as bit)", SqlType::Bit, 0, 0, 0},
      {"select cast(1 as bigint)", SqlType::BigInt, 0, 0, 0},
      {"select col_length('T_n', 'v')", SqlType::SmallInt, 0, 0, 0},
      {"select cast(2 as money)", SqlType::Money, 0, 0, 0},
      {"select cast(1 as decimal(12,3))", SqlType::Decimal, 0, 12, 3},
      {"select convert(varchar(5), 12)", SqlType::VarChar, 5, 0, 0},
      {"select cast(12 as varchar)", SqlType::VarChar, 30, 0, 0},
      {"select N'ab' + N'c'", SqlType::NVarChar, 3, 0, 0},
      {"select v + n from T_n", SqlType::NVarChar, 12, 0, 0},
      {"select 1.5 + 1", SqlType::Decimal, 0, 12, 1},
      {"select d / 3 from T_n", SqlType::Decimal, 0, 21, 13},
      {"select m * 2 from T_n", SqlType::Money, 0, 0, 0},
      {"select sum(m) from T_n", SqlType::Money, 0, 0, 0},
      {"select sum(d) from T_n", SqlType::Decimal, 0, 38, 2},
      {"select case when id = 1 then 'a' else 'bcd' end from T_n", SqlType::VarChar, 3, 0, 0},
  };
  Fixture f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    BatchOutput out = f.session->Execute(c.sql);
    ASSERT_FALSE(out.statements.back().error) << out.statements.back().error->text;
    const Column& col = out.statements.back().columns.at(0);
    EXPECT_EQ(col.type, c.type);
    EXPECT_EQ(col.length, c.length);
    EXPECT_EQ(col.precision, c.precision);
    EXPECT_EQ(col.scale, c.scale);
  }
}

TEST(EngineAnswers, ExactNumbersRoundAndOverflowAsSqlServers) {
  struct Case {
    const char* sql;
    std::string answer;
  };
  const Case cases[] = {
      {"select cast(12.34565 as money)", "12.3457"},
      {"select cast(-12.34565 as money)", "-12.3457"},
      {"select cast('922337203685477.5807' as money)", "922337203685477.5807"},
      {"select cast('-922337203685477.5808' as money)", "-922337203685477.5808"},
      {"select cast('922337203685477.5808' as money)",
       "error 8115: Arithmetic overflow error converting expression to data type money."},
      {"select cast(214748.3648 as smallmoney)",
       "error 8115: Arithmetic overflow error converting expression to data type smallmoney."},
      {"select cast(cast(12.345 as money) as varchar)", "12.35"},
      {"select cast(d as varchar(10)) from T_n", "2.25"},
      {"select 0.1 + 0.2", "0.3"},
      {"select cast(2.5 as decimal(10,2)) / 3", "0.8333333333333"},
      {"select cast(12345.678 as decimal(5,1))",
       "error 8115: Arithmetic overflow error converting numeric to data "
       "type numeric."},
      {"select sum(m) from T_n", "3.3000"},
      {"select 1 / 0", "error 8134: Divide by zero error encountered."},
      {"select 7 % 0", "error 8134: Divide by zero error encountered."},
      {"select 7 / 2", "3"},
  };
  Fixture f;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(Answer(*f.session, c.sql), c.answer);
  }
}

TEST(EngineAnswers, ADecimalParameterKeepsAllItsDigits) {
  Fixture f;
  Param p;
  p.name = "@P1";
  p.type = SqlType::Decimal;
  p.scale = 4;
  p.precision = 38;
  p.value.null = false;
  p.value.wide = ParseDecimal("12345678901234567890123456789012.3456")->unscaled;
  BatchOutput echo = f.session->ExecuteDynamic("select @P1", {p});
  ASSERT_FALSE(echo.statements.back().error);
  EXPECT_EQ(Text(echo.statements.back().rows.at(0).at(0), echo.statements.back().columns.at(0)),
            "12345678901234567890123456789012.3456");
  BatchOutput into = f.session->ExecuteDynamic("update T_n set d = @P1 where id = 1", {p});
  ASSERT_TRUE(into.statements.back().error);
  EXPECT_EQ(into.statements.back().error->text,
            "Arithmetic overflow error converting numeric to data type numeric.");
}

TEST(EngineAnswers, AStatementErrorEndsTheBatchOnlyUnderXactAbort) {
  struct Case {
    const char* sql;
    size_t outputs;  // statements answered, the error's included
    int error;
    const char* rowsAfter;
  };
  const Case cases[] = {
      {"insert into T_n(id) values(1) insert into T_n(id) values(3)", 2, 2627, "3"},
      {"begin tran insert into T_n(id) values(3) insert into T_n(id) values(1) commit", 4, 2627,
       "3"},
      {"set xact_abort on begin tran insert into T_n(id) values(3) insert into T_n(id) values(1) "
       "commit",
       4, 2627, "2"},
      {"insert into T_n(id, v) values(3, 'much too long') insert into T_n(id) values(4)", 2, 2628,
       "3"},
      {"insert into T_n(id) values('x') insert into T_n(id) values(4)", 1, 245, "2"},
      {"select 1 / 0 insert into T_n(id) values(4)", 2, 8134, "3"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Fixture f;
    BatchOutput out = f.session->Execute(c.sql);
    EXPECT_EQ(out.statements.size(), c.outputs);
    int error = 0;
    for (const auto& st : out.statements)
      if (st.error && error == 0) error = st.error->number;
    EXPECT_EQ(error, c.error);
    EXPECT_EQ(f.session->TransactionCount(), 0);
    EXPECT_EQ(Answer(*f.session, "select count(*) from T_n"), c.rowsAfter);
  }
}

TEST(EngineAnswers, CommonTsqlForms) {
  struct Case {
    const char* sql;
    std::string answer;
  };
  const Case cases[] = {
      {"create table #t(a int) insert #t values(4) select a from #t", "4"},
      {"create table #t(a int) begin tran insert #t values(4) rollback select count(*) from #t",
       "0"},
      {"select 'a' + char(13) + char(10) + nchar(20013) + 'b'", "a\r\n中b"},
      {"select char(300)", "NULL"},
      {"select v + '-' + n from T_n where id = 1", "ab-cd"},
      {"select 'a' + 1",
       "error 245: Conversion failed when converting the varchar value 'a' to data type int."},
      {"select cast('2026-02-30' as smalldatetime)",
       "error 242: The conversion of a varchar data type to a smalldatetime data type resulted in "
       "an out-of-range "
       "value."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Fixture f;
    EXPECT_EQ(Answer(*f.session, c.sql), c.answer);
  }
  // A #temp table is its session's: another does not see it.
  Fixture f;
  f.session->Execute("create table #mine(a int)");
  auto other = f.engine->NewSession();
  EXPECT_EQ(Answer(*other, "select count(*) from #mine"),
            "error 208: Invalid object name '#mine'.");
  EXPECT_EQ(Answer(*f.session, "select count(*) from #mine"), "0");
}

}  // namespace
}  // namespace standin
