// DECLARE, SET @v and SELECT @v = through the engine: values held in their
// declared type, the scope SQL Server compiles a batch with, @@ROWCOUNT after
// assignments, and the errors of undeclared and redeclared names.
#include <gtest/gtest.h>

#include "engine.h"

namespace standin {
namespace {

constexpr const char* kSchema =
    "create table T_v(id varchar(10) not null primary key, n int null)\n"
    "insert into T_v values('a', 1), ('b', 2)";

struct Session {
  Session() : engine(Engine::Open({":memory:", std::nullopt})), session(engine->NewSession()) {
    for (const auto& s : session->Execute(kSchema).statements) EXPECT_FALSE(s.error);
  }
  std::unique_ptr<Engine> engine;
  std::unique_ptr<standin::Session> session;
};

std::string Text(const Value& v, const Column& c) {
  if (v.null) return "NULL";
  if (c.type == SqlType::Char || c.type == SqlType::VarChar || c.type == SqlType::NVarChar)
    return v.s;
  return std::to_string(v.i);
}

TEST(EngineVariables, ValuesFollowTheirDeclaredTypeAndScope) {
  struct Case {
    const char* sql;
    std::string value;  // of the batch's last result
    SqlType type;
    int length;
  };
  const Case cases[] = {
      {"declare @a int; select @a", "NULL", SqlType::Int, 0},
      {"declare @s varchar(3) = 'abcdef'; select @s", "abc", SqlType::VarChar, 3},
      {"declare @a int = 1, @b int = 2; set @a = @a + @b; select @a", "3", SqlType::Int, 0},
      {"declare @s varchar(1000) = ''; set @s += 'x'; set @s = @s + '1'; select @s", "x1",
       SqlType::VarChar, 1000},
      {"declare @m money = 2; select @m", "20000", SqlType::Money, 0},
      {"declare @A int = 4; select @a", "4", SqlType::Int, 0},
      {"declare @n int; select @n = count(*) from T_v; select @n", "2", SqlType::Int, 0},
      {"declare @n int = 5; select @n = n from T_v where id = 'zz'; select @n", "5", SqlType::Int,
       0},
      {"declare @i varchar(10); select @i = id from T_v where id = 'A '; select @i", "a",
       SqlType::VarChar, 10},
      {"if 1 = 0 begin declare @late int = 5 end; select @late", "NULL", SqlType::Int, 0},
      {"declare @r varchar(9) = ''; update T_v set n = n where n > 0;"
       " set @r = @r + case when @@rowcount > 1 then '2' else '0' end; select @r, @@rowcount",
       "2", SqlType::VarChar, 9},
      {"declare @x int; set @x = 7; select @@rowcount", "1", SqlType::Int, 0},
      {"declare @v varchar(10) = 'B'; select count(*) from (select @v as id) as v"
       " where exists (select 1 from T_v as q where v.id = q.id)",
       "1", SqlType::Int, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Session s;
    BatchOutput out = s.session->Execute(c.sql);
    ASSERT_FALSE(out.statements.empty());
    for (const auto& st : out.statements) ASSERT_FALSE(st.error) << st.error->text;
    const StatementOutput& last = out.statements.back();
    ASSERT_EQ(last.rows.size(), 1u);
    EXPECT_EQ(Text(last.rows[0][0], last.columns[0]), c.value);
    EXPECT_EQ(last.columns[0].type, c.type);
    EXPECT_EQ(last.columns[0].length, c.length);
  }
}

TEST(EngineVariables, ScopeErrorsStopTheBatchBeforeItRuns) {
  struct Case {
    const char* sql;
    int number;
    std::string text;
    size_t statements;  // outputs, the error's included
  };
  const Case cases[] = {
      {"insert into T_v values('c', 3); select @x", 137, "Must declare the scalar variable \"@x\".",
       1},
      {"declare @a int; insert into T_v values('c', 3); declare @A int", 134,
       "The variable name '@A' has already been declared. Variable names must be unique within a "
       "query "
       "batch or stored procedure.",
       1},
      {"declare @a int = @a", 137, "Must declare the scalar variable \"@a\".", 1},
      {"declare @a foo", 2715, "Column, parameter, or variable #1: Cannot find data type foo.", 1},
      {"declare @a int = 'x'", 245,
       "Conversion failed when converting the varchar value 'x' to data type int.", 1},
      {"declare @a int; select @a = 1, n from T_v", 141,
       "A SELECT statement that assigns a value to a variable must not be combined with "
       "data-retrieval "
       "operations.",
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    Session s;
    BatchOutput out = s.session->Execute(c.sql);
    ASSERT_EQ(out.statements.size(), c.statements);
    ASSERT_TRUE(out.statements.back().error);
    EXPECT_EQ(out.statements.back().error->number, c.number);
    EXPECT_EQ(out.statements.back().error->text, c.text);
    EXPECT_EQ(s.session->Execute("select count(*) from T_v").statements.at(0).rows.at(0).at(0).i,
              2);
  }
}

TEST(EngineVariables, AParameterIsDeclaredAlready) {
  Session s;
  Param p;
  p.name = "@P1";
  p.type = SqlType::Int;
  p.value.null = false;
  p.value.i = 3;
  BatchOutput ok = s.session->ExecuteDynamic("declare @t int = @P1 + 1; select @t", {p});
  ASSERT_FALSE(ok.statements.back().error);
  EXPECT_EQ(ok.statements.back().rows.at(0).at(0).i, 4);
  BatchOutput twice = s.session->ExecuteDynamic("declare @p1 int", {p});
  ASSERT_TRUE(twice.statements.back().error);
  EXPECT_EQ(twice.statements.back().error->number, 134);
}

}  // namespace
}  // namespace standin
