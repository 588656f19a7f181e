// Batches through the stand-in's engine without the wire: plain statements,
// result typing, row counts and errors as a TDS client would receive them.
#include <gtest/gtest.h>

#include "engine.h"

namespace standin {
namespace {

std::unique_ptr<Engine> MemoryEngine() { return Engine::Open({":memory:", "2026-12-08 02:00:00"}); }

TEST(EngineBatch, DeclaredTypesComeBackOnResultColumns) {
  auto engine = MemoryEngine();
  auto s = engine->NewSession();
  BatchOutput out = s->Execute(
      "create table t(a int, b varchar(20), c money, d decimal(10,2), e datetime, f nchar(4));"
      "insert into t values(7, 'x', 1.5, 2.25, '2026-12-07 08:00:00.000', 'ab');"
      "select a, b, c, d, e, f, count(*) over () from t");
  ASSERT_EQ(out.statements.size(), 3u);
  const StatementOutput& sel = out.statements[2];
  ASSERT_FALSE(sel.error) << sel.error->text;
  struct Expect { SqlType type; int length; };
  const Expect expect[] = {{SqlType::Int, 0},   {SqlType::VarChar, 20}, {SqlType::Money, 0},
                           {SqlType::Decimal, 0}, {SqlType::DateTime, 0}, {SqlType::NChar, 4},
                           {SqlType::Int, 0}};
  ASSERT_EQ(sel.columns.size(), std::size(expect));
  for (size_t i = 0; i < std::size(expect); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(sel.columns[i].type, expect[i].type);
    EXPECT_EQ(sel.columns[i].length, expect[i].length);
  }
  ASSERT_EQ(sel.rows.size(), 1u);
  EXPECT_EQ(sel.rows[0][0].i, 7);
  EXPECT_EQ(sel.rows[0][1].s, "x");
  EXPECT_EQ(sel.rows[0][2].i, 15000);
  EXPECT_EQ(sel.rows[0][3].i, 225);
  EXPECT_EQ(sel.rows[0][4].ms, 8 * 3600 * 1000);
  EXPECT_EQ(sel.rowCount, 1);
  EXPECT_EQ(out.statements[1].rowCount, 1);
}

}  // namespace
}  // namespace standin
