// Locks between sessions, as SQL Server takes them at table granularity: a
// read waits for another transaction's write unless it reads uncommitted,
// a write waits for any other lock on its table, LOCK_TIMEOUT bounds the
// wait, a cancel ends it, and a cycle of waits picks a deadlock victim.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "engine.h"

namespace standin {
namespace {

struct Pair {
  Pair()
      : engine(Engine::Open({":memory:", std::nullopt})),
        a(engine->NewSession()),
        b(engine->NewSession()) {
    Run(*a, "create table t(k int primary key, v varchar(10)) create table u(k int primary key)");
  }
  // The batch's last error number, or 0.
  static int Run(Session& s, const std::string& sql) {
    BatchOutput out = s.Execute(sql);
    for (auto it = out.statements.rbegin(); it != out.statements.rend(); ++it)
      if (it->error) return it->error->number;
    return 0;
  }
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Session> a, b;
};

TEST(EngineLocks, WhatWaitsForWhat) {
  struct Case {
    const char* name;
    const char* first;   // session a, left open
    const char* second;  // session b, which may wait 100 ms
    int error;
  };
  const Case cases[] = {
      {"a read waits for a write", "begin tran insert into t values(1, 'a')",
       "select count(*) from t", 1222},
      {"NOLOCK does not wait", "begin tran insert into t values(1, 'a')",
       "select count(*) from t with (nolock)", 0},
      {"nor does READ UNCOMMITTED", "begin tran insert into t values(1, 'a')",
       "set transaction isolation level read uncommitted select count(*) from t", 0},
      {"a write waits for a write", "begin tran update t set v = 'x'",
       "insert into t values(2, 'b')", 1222},
      {"a write waits for REPEATABLE READ's read",
       "set transaction isolation level repeatable read begin tran select count(*) from t",
       "delete from t", 1222},
      {"READ COMMITTED's read is let go", "begin tran select count(*) from t",
       "insert into t values(2, 'b')", 0},
      {"HOLDLOCK keeps it", "begin tran select count(*) from t with (holdlock)",
       "insert into t values(2, 'b')", 1222},
      {"another table's write does not stop a read", "begin tran insert into u values(1)",
       "select count(*) from t", 0},
      {"a lock timeout of 0 does not wait", "begin tran insert into t values(1, 'a')",
       "set lock_timeout 0 select * from t", 1222},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair p;
    ASSERT_EQ(Pair::Run(*p.a, c.first), 0);
    EXPECT_EQ(Pair::Run(*p.b, std::string("set lock_timeout 100 ") + c.second), c.error);
    EXPECT_EQ(p.b->TransactionCount(), 0);
    EXPECT_EQ(p.a->TransactionCount(), 1)
        << "a statement's time-out leaves others' transactions alone";
  }
}

TEST(EngineLocks, LockTimeoutIsTheSessionsUntilItSetsAnother) {
  auto engine = Engine::Open({":memory:", std::nullopt, 250});
  auto s = engine->NewSession();
  struct Case {
    const char* sql;
    int64_t value;
  };
  const Case cases[] = {{"select @@lock_timeout", 250},
                        {"set lock_timeout -1 select @@lock_timeout", -1},
                        {"set lock_timeout 1800 select @@lock_timeout", 1800}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sql);
    EXPECT_EQ(s->Execute(c.sql).statements.back().rows.at(0).at(0).i, c.value);
  }
  // Inside sp_executesql it ends with the call.
  s->ExecuteDynamic("set lock_timeout 5", {});
  EXPECT_EQ(s->Execute("select @@lock_timeout").statements.back().rows.at(0).at(0).i, 1800);
}

TEST(EngineLocks, AWaitWithoutTimeoutEndsWhenGrantedOrCancelled) {
  for (bool cancel : {false, true}) {
    SCOPED_TRACE(cancel ? "cancelled" : "granted");
    Pair p;
    ASSERT_EQ(Pair::Run(*p.a, "begin tran insert into t values(1, 'a')"), 0);
    ASSERT_EQ(Pair::Run(*p.b, "begin tran"), 0);
    std::atomic<bool> asked{false};
    p.b->SetInterruptCheck([&] { return cancel && asked.exchange(true); });
    std::thread committer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (!cancel) Pair::Run(*p.a, "commit");
    });
    BatchOutput out = p.b->Execute("select count(*) from t select 2");
    committer.join();
    EXPECT_EQ(out.cancelled, cancel);
    EXPECT_EQ(out.statements.size(), cancel ? 0u : 2u)
        << "a cancel ends the batch without an error";
    EXPECT_EQ(p.b->TransactionCount(), 1) << "and leaves the transaction open";
  }
}

TEST(EngineLocks, ADeadlockChoosesAVictimAndRollsItBack) {
  Pair p;
  ASSERT_EQ(
      Pair::Run(
          *p.a,
          "set transaction isolation level repeatable read begin tran select count(*) from u"),
      0);
  ASSERT_EQ(Pair::Run(*p.b, "begin tran insert into t values(1, 'b')"), 0);
  BatchOutput blocked;
  std::thread reader([&] { blocked = p.a->Execute("select count(*) from t"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  BatchOutput victim = p.b->Execute("insert into u values(1) select 'not run'");
  reader.join();
  ASSERT_EQ(victim.statements.size(), 1u) << "the victim's batch ends";
  ASSERT_TRUE(victim.statements[0].error);
  EXPECT_EQ(victim.statements[0].error->number, 1205);
  EXPECT_EQ(victim.statements[0].error->severity, 13);
  EXPECT_NE(victim.statements[0].error->text.find(
                "was deadlocked on lock resources with another process and has "
                "been chosen as the deadlock victim. Rerun the transaction."),
            std::string::npos);
  EXPECT_EQ(p.b->TransactionCount(), 0);
  ASSERT_FALSE(blocked.statements.at(0).error);
  EXPECT_EQ(blocked.statements[0].rows.at(0).at(0).i, 0) << "the victim's insert was rolled back";
}

}  // namespace
}  // namespace standin
