// Sessions of the stand-in's engine: transactions begun in T-SQL or through the
// transaction-manager calls, implicit transactions, sessions on several
// threads at once, and a file database that outlives its engine.
#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "engine.h"

namespace standin {
namespace {

int64_t Count(Session& s, const char* table = "t") {
  BatchOutput out = s.Execute(std::string("select count(*) from ") + table);
  EXPECT_FALSE(out.statements.at(0).error);
  return out.statements.at(0).rows.at(0).at(0).i;
}

// A read from another session without waiting: SQL Server makes a read wait
// for a table another transaction wrote, so with no wait allowed it fails
// with 1222 (answered as -1222).
int64_t CountWithoutWaiting(Session& s, const char* table = "t") {
  BatchOutput out = s.Execute(std::string("set lock_timeout 0 select count(*) from ") + table);
  const StatementOutput& last = out.statements.back();
  return last.error ? -last.error->number : last.rows.at(0).at(0).i;
}

std::unique_ptr<Engine> EngineWithTable() {
  auto engine = Engine::Open({":memory:", std::nullopt});
  auto s = engine->NewSession();
  EXPECT_FALSE(
      s->Execute("create table t(k int primary key, v varchar(10))").statements.at(0).error);
  return engine;
}

// Each way of ending a transaction, in T-SQL and through the session calls.
TEST(EngineSession, TransactionsCommitOrRollBack) {
  enum class Via { Sql, Api };
  struct Case {
    const char* name;
    Via begin;
    Via end;
    bool commit;
  };
  const Case cases[] = {
      {"sql commit", Via::Sql, Via::Sql, true},
      {"sql rollback", Via::Sql, Via::Sql, false},
      {"api commit", Via::Api, Via::Api, true},
      {"api rollback", Via::Api, Via::Api, false},
      {"sql begin, api commit", Via::Sql, Via::Api, true},
      {"api begin, sql rollback", Via::Api, Via::Sql, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = EngineWithTable();
    auto s = engine->NewSession();
    auto other = engine->NewSession();
    if (c.begin == Via::Sql) {
      BatchOutput out = s->Execute("BEGIN TRANSACTION");
      ASSERT_FALSE(out.statements.at(0).error);
    } else {
      ASSERT_FALSE(s->BeginTransaction());
    }
    EXPECT_EQ(s->TransactionCount(), 1);
    EXPECT_EQ(s->Execute("select @@TRANCOUNT").statements.at(0).rows.at(0).at(0).i, 1);
    s->Execute("insert into t values(1, 'a')");
    EXPECT_EQ(Count(*s), 1);
    EXPECT_EQ(CountWithoutWaiting(*other), -1222) << "another session waits for uncommitted rows";
    std::optional<ServerMessage> err;
    if (c.end == Via::Sql) {
      BatchOutput out = s->Execute(c.commit ? "COMMIT TRAN" : "ROLLBACK");
      err = out.statements.at(0).error;
    } else {
      err = c.commit ? s->CommitTransaction() : s->RollbackTransaction();
    }
    EXPECT_FALSE(err);
    EXPECT_EQ(s->TransactionCount(), 0);
    EXPECT_EQ(Count(*other), c.commit ? 1 : 0);
  }
}

TEST(EngineSession, NestedBeginsNeedAsManyCommits) {
  auto engine = EngineWithTable();
  auto s = engine->NewSession();
  auto other = engine->NewSession();
  s->Execute("begin tran; begin tran; insert into t values(1, 'a'); commit");
  EXPECT_EQ(s->TransactionCount(), 1);
  EXPECT_EQ(CountWithoutWaiting(*other), -1222);
  s->Execute("commit");
  EXPECT_EQ(Count(*other), 1);
  // One ROLLBACK undoes every level.
  s->Execute("begin tran begin tran insert into t values(2, 'b') rollback");
  EXPECT_EQ(s->TransactionCount(), 0);
  EXPECT_EQ(Count(*s), 1);
}

TEST(EngineSession, StatementErrorLeavesTheTransactionOpen) {
  auto engine = EngineWithTable();
  auto s = engine->NewSession();
  BatchOutput out =
      s->Execute("begin tran insert into t values(1, 'a') insert into t values(1, 'b')");
  ASSERT_TRUE(out.statements.back().error);
  EXPECT_EQ(out.statements.back().error->number, 2627);
  EXPECT_EQ(s->TransactionCount(), 1);
  EXPECT_EQ(Count(*s), 1) << "only the failing statement is undone";
  EXPECT_FALSE(s->RollbackTransaction());
  EXPECT_EQ(Count(*s), 0);
}

TEST(EngineSession, XactAbortRollsBackTheWholeTransaction) {
  auto engine = EngineWithTable();
  auto s = engine->NewSession();
  BatchOutput out = s->Execute(
      "set xact_abort on begin tran insert into t values(1, 'a') insert into t values(1, 'b')");
  ASSERT_TRUE(out.statements.back().error);
  EXPECT_EQ(out.statements.back().error->number, 2627);
  EXPECT_EQ(s->TransactionCount(), 0);
  EXPECT_EQ(Count(*s), 0) << "the first insert goes with the failed one";
}

TEST(EngineSession, DestroyingASessionRollsBack) {
  auto engine = EngineWithTable();
  {
    auto s = engine->NewSession();
    s->Execute("begin tran insert into t values(1, 'a')");
    ASSERT_EQ(s->TransactionCount(), 1);
  }
  auto other = engine->NewSession();
  EXPECT_EQ(Count(*other), 0);
  // The write lock went with it.
  EXPECT_FALSE(other->Execute("insert into t values(2, 'b')").statements.at(0).error);
}

TEST(EngineSession, ImplicitTransactionsBeginOnTheFirstDataStatement) {
  auto engine = EngineWithTable();
  auto s = engine->NewSession();
  auto other = engine->NewSession();
  s->Execute("SET IMPLICIT_TRANSACTIONS ON");
  EXPECT_EQ(s->TransactionCount(), 0);
  s->Execute("insert into t values(1, 'a')");
  EXPECT_EQ(s->TransactionCount(), 1);
  EXPECT_EQ(CountWithoutWaiting(*other), -1222);
  s->Execute("insert into t values(2, 'b')");
  EXPECT_EQ(s->TransactionCount(), 1);
  s->Execute("commit");
  EXPECT_EQ(Count(*other), 2);
  s->Execute("SET IMPLICIT_TRANSACTIONS OFF");
  s->Execute("insert into t values(3, 'c')");
  EXPECT_EQ(s->TransactionCount(), 0);
  EXPECT_EQ(Count(*other), 3);
}

TEST(EngineSession, SessionsOnSeveralThreadsAtOnce) {
  auto engine = EngineWithTable();
  constexpr int kThreads = 4;
  constexpr int kRows = 50;
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int n = 0; n < kThreads; ++n) {
    threads.emplace_back([&, n] {
      auto s = engine->NewSession();
      for (int r = 0; r < kRows; ++r) {
        Param p;
        p.name = "@P1";
        p.type = SqlType::Int;
        p.value.null = false;
        p.value.i = n * 1000 + r;
        BatchOutput out = s->Execute("insert into t(k, v) values(@P1, 'x')", {p});
        if (out.statements.empty() || out.statements[0].error) ++failures[n];
        out = s->Execute("select count(*) from t where k = @P1", {p});
        if (out.statements.empty() || out.statements[0].error ||
            out.statements[0].rows.at(0).at(0).i != 1)
          ++failures[n];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int n = 0; n < kThreads; ++n) EXPECT_EQ(failures[n], 0) << "thread " << n;
  auto s = engine->NewSession();
  EXPECT_EQ(Count(*s), kThreads * kRows);
}

TEST(EngineSession, AWriterWaitsForAnotherSessionsTransaction) {
  auto engine = EngineWithTable();
  auto a = engine->NewSession();
  auto b = engine->NewSession();
  a->Execute("begin tran insert into t values(1, 'a')");
  std::thread committer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    a->Execute("commit");
  });
  BatchOutput out = b->Execute("insert into t values(2, 'b')");
  committer.join();
  EXPECT_FALSE(out.statements.at(0).error);
  EXPECT_EQ(Count(*b), 2);
}

TEST(EngineSession, FileDatabaseKeepsDataAndProcedures) {
  std::string path = ::testing::TempDir() + "engine_session_test.db";
  std::remove(path.c_str());
  {
    auto engine = Engine::Open({path, std::nullopt});
    auto s = engine->NewSession();
    s->Execute(
        "create table t(k int primary key, v nvarchar(10)) insert into t values(1, N'浙江')");
    s->Execute("create procedure p as select v from t");
    s->Execute("begin tran insert into t values(2, 'lost')");  // never committed
  }
  auto engine = Engine::Open({path, std::nullopt});
  auto s = engine->NewSession();
  BatchOutput out = s->Execute("p");
  ASSERT_EQ(out.statements.size(), 1u);
  ASSERT_EQ(out.statements[0].rows.size(), 1u);
  EXPECT_EQ(out.statements[0].rows[0][0].s, "浙江");
  s.reset();
  engine.reset();
  for (const char* suffix : {"", "-wal", "-shm"}) std::remove((path + suffix).c_str());
  EXPECT_THROW(Engine::Open({"/nonexistent-dir/x.db", std::nullopt}), std::runtime_error);
  EXPECT_THROW(Engine::Open({":memory:", std::string("tomorrow")}), std::runtime_error);
}

// A session keeps the statements and batches it runs again; one run again
// after its table changed, here or in another session, answers as
// if seen for the first time.
TEST(EngineSession, AStatementRunAgainAfterItsTableChangedAnswersAfresh) {
  struct Case {
    const char* name;
    const char* table;
    const char* change;
    bool otherSession;
    const char* query;
    int error;  // 0: none
    size_t columns;
  };
  const Case cases[] = {
      {"a column added", "c(a int)", "drop table c create table c(a int, b int)", false,
       "select * from c", 0, 2},
      {"added by another session", "c(a int)", "drop table c create table c(a int, b int)", true,
       "select * from c", 0, 2},
      {"the table dropped", "c(a int)", "drop table c", false, "select * from c", 208, 0},
      {"dropped by another session", "c(a int)", "drop table c", true, "select * from c", 208, 0},
      {"the column gone", "c(a int)", "drop table c create table c(b int)", true, "select a from c",
       207, 0},
      {"an insert's column gone", "c(a int)", "drop table c create table c(b int)", false,
       "insert into c(a) values(1)", 207, 0},
      // The value is converted as the column is now typed: '1.5' is no int.
      {"an insert's column retyped", "c(a varchar(10))", "drop table c create table c(a int)", true,
       "insert into c(a) values('1.5')", 245, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto engine = Engine::Open({":memory:", std::nullopt});
    auto s = engine->NewSession();
    auto other = engine->NewSession();
    ASSERT_FALSE(s->Execute(std::string("create table ") + c.table).statements.at(0).error);
    // Things are kept from their second run on.
    for (int run = 1; run <= 2; ++run)
      ASSERT_FALSE(s->Execute(c.query).statements.at(0).error) << "run " << run;
    ASSERT_FALSE((c.otherSession ? other : s)->Execute(c.change).statements.at(0).error);
    BatchOutput out = s->Execute(c.query);
    ASSERT_EQ(out.statements.size(), 1u);
    const StatementOutput& st = out.statements[0];
    EXPECT_EQ(st.error ? st.error->number : 0, c.error) << (st.error ? st.error->text : "");
    EXPECT_EQ(st.columns.size(), c.columns);
  }
}

}  // namespace
}  // namespace standin
