// The session behind engine.h's Session: one SQLite connection, its
// transaction count and SET options, and the batch being run. Its members are
// defined by job: batch control flow (engine_batch.cpp), statement handlers
// (engine_statements.cpp) and stored procedures (engine_procedures.cpp).
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "sql_convert.h"
#include "sql_functions.h"
#include "sql_lexer.h"
#include "sql_translate.h"
#include "statement_cache.h"

namespace standin {

// Creates the table that keeps procedure bodies; run when the engine opens.
extern const char* const kProcTableDdl;

class SqliteSession final : public Session {
 public:
  SqliteSession(sqlite3* db, std::optional<DateTime> fixedNow);
  ~SqliteSession() override;

  BatchOutput Execute(std::string_view sql, const std::vector<Param>& params) override;
  BatchOutput ExecuteDynamic(std::string_view sql, const std::vector<Param>& params) override;
  std::optional<ServerMessage> BeginTransaction() override { return Begin(); }
  std::optional<ServerMessage> CommitTransaction() override { return Commit(); }
  std::optional<ServerMessage> RollbackTransaction() override { return Rollback(); }
  int TransactionCount() const override { return tranCount_; }

 private:
  using StatementList = std::vector<std::vector<Token>>;

  // Batch control flow. Each statement handler returns false after an error
  // (recorded through Fail) or RETURN, which ends the statement list.
  bool RunList(const StatementList& stmts, size_t from, size_t to, int depth, const std::string& source);
  bool RunOne(const StatementList& stmts, size_t i, size_t to, int depth, const std::string& source,
              size_t& next);
  size_t Skip(const StatementList& stmts, size_t i, size_t to);
  std::optional<bool> Evaluate(const std::vector<Token>& s, int depth);
  bool RunStatement(const std::vector<Token>& s, int depth);
  StatementOutput RunSql(const std::vector<Token>& stmt, const std::string& sql, const Translated& t,
                         bool probe);
  StatementOutput& Emit(int depth);
  bool Fail(ServerMessage m, int depth, int line);
  SystemValues Sys();

  // Statements handled here rather than by SQLite.
  bool CreateTable(const std::vector<Token>& s, int depth);
  bool SetOption(const std::vector<Token>& s, int depth);
  bool TransactionStatement(const std::vector<Token>& s, int depth);
  bool Print(const std::vector<Token>& s, int depth);
  bool Use(const std::vector<Token>& s, int depth);

  // Transactions, by T-SQL statement or by the client's own request.
  std::optional<ServerMessage> Begin();
  std::optional<ServerMessage> Commit();
  std::optional<ServerMessage> Rollback();
  void SyncTransaction();

  // Stored procedures, kept as T-SQL text in their own table.
  bool CreateProcedure(const std::vector<Token>& s, size_t k, bool replace, int depth, const std::string& source);
  bool DropProcedureStatement(const std::vector<Token>& s, int depth);
  bool DropProcedure(const std::string& name);
  bool CallProcedure(const std::vector<Token>& s, size_t k, int depth);

  sqlite3* db_;
  StatementCache cache_;  // emptied before db_ closes
  FunctionContext ctx_;
  SystemValues sys_;
  int tranCount_ = 0;
  bool nocount_ = false;
  bool implicitTransactions_ = false;
  bool xactAbort_ = false;
  std::vector<std::string> procStack_;
  const std::vector<Param>* params_ = nullptr;
  BatchOutput* batch_ = nullptr;
};

}  // namespace standin
