// The session behind engine.h's Session: one SQLite connection, its
// transaction count and SET options, and the batch being run. Its members are
// defined by job: batch control flow (engine_batch.cpp), statement handlers
// (engine_statements.cpp) and stored procedures (engine_procedures.cpp).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine.h"
#include "lock_manager.h"
#include "sql_catalog.h"
#include "sql_convert.h"
#include "sql_functions.h"
#include "sql_lexer.h"
#include "sql_translate.h"
#include "sql_types.h"
#include "sql_typing.h"
#include "sql_variables.h"
#include "statement_cache.h"

namespace standin {

// What a batch cancelled by its client ends with internally (SQL Server's own
// number for it); the client is sent no error, only the acknowledgement.
constexpr int kCancelledNumber = 3617;

// Creates the table that keeps procedure bodies; run when the engine opens.
extern const char* const kProcTableDdl;

enum class Isolation { ReadUncommitted, ReadCommitted, RepeatableRead, Serializable };

class SqliteSession final : public Session {
 public:
  SqliteSession(sqlite3* db, std::optional<DateTime> fixedNow, std::shared_ptr<LockManager> locks,
                int lockTimeoutMs);
  ~SqliteSession() override;

  BatchOutput Execute(std::string_view sql, const std::vector<Param>& params) override;
  BatchOutput ExecuteDynamic(std::string_view sql, const std::vector<Param>& params) override;
  std::optional<ServerMessage> BeginTransaction() override { return Begin(); }
  std::optional<ServerMessage> CommitTransaction() override { return Commit(); }
  std::optional<ServerMessage> RollbackTransaction() override { return Rollback(); }
  int TransactionCount() const override { return tranCount_; }
  void SetInterruptCheck(std::function<bool()> interrupted) override {
    interrupted_ = std::move(interrupted);
  }

 private:
  using StatementList = std::vector<std::vector<Token>>;

  // A batch's statements as split, kept by the batch's text together with
  // each statement's translation once made (and the schema version it was
  // made for): drivers send the same texts request after request, and
  // splitting and translating them cost more than running them.
  struct BatchPlan {
    StatementList stmts;
    std::optional<Scope> scope;  // its variables, once worked out
    std::vector<std::optional<std::pair<int64_t, Translated>>> translated;
  };
  struct KeptPlan {
    std::shared_ptr<BatchPlan> plan;
    uint64_t lastUse = 0;
  };
  // A few texts in use at once (a chunk's two requests, the last chunk's),
  // kept from their second run on; longer batches are not kept.
  static constexpr size_t kMaxPlans = 16;
  static constexpr size_t kMaxPlannedBatch = 128 * 1024;

  void Run(const BatchPlan& plan, std::string_view sql, BatchOutput& out);
  void KeepPlan(std::string sql, std::shared_ptr<BatchPlan> plan);
  const Translated* KeptTranslation(const std::vector<Token>& s, int64_t& version, size_t& index);
  int64_t SchemaVersion();

  // Batch control flow. Each statement handler returns false after an error
  // (recorded through Fail) or RETURN, which ends the statement list.
  bool RunList(const StatementList& stmts, size_t from, size_t to, int depth,
               const std::string& source);
  bool RunOne(const StatementList& stmts, size_t i, size_t to, int depth, const std::string& source,
              size_t& next);
  size_t Skip(const StatementList& stmts, size_t i, size_t to);
  std::optional<bool> Evaluate(const std::vector<Token>& s, int depth);
  bool RunStatement(const std::vector<Token>& s, int depth);
  StatementOutput RunSql(const std::vector<Token>& stmt, const std::string& sql,
                         const Translated& t, bool probe,
                         std::vector<std::vector<Scalar>>* raw = nullptr);
  StatementOutput& Emit(int depth);
  bool Fail(ServerMessage m, int depth, int line);
  SystemValues Sys();

  // Statements handled here rather than by SQLite.
  bool CreateTable(const std::vector<Token>& s, int depth);
  bool SetOption(const std::vector<Token>& s, int depth);
  bool TransactionStatement(const std::vector<Token>& s, int depth);
  bool Print(const std::vector<Token>& s, int depth);
  bool Use(const std::vector<Token>& s, int depth);

  // Local variables (engine_variables.cpp). A batch's, a procedure's and an
  // sp_executesql statement's are each their own scope, declared before
  // anything of it runs, as SQL Server compiles them.
  bool OpenScope(const Scope& scope, int depth);
  bool Declare(const std::vector<Token>& s, int depth);
  bool SetVariable(const std::vector<Token>& s, int depth);
  bool SelectIntoVariables(const std::vector<Token>& s, int depth);
  bool EvaluateScalar(const std::vector<Token>& s, size_t from, size_t to, int depth, Scalar& out);
  bool Assign(const std::string& key, const Scalar& value, int depth, int line);

  // Locks (engine_locks.cpp): what a statement needs is taken before it runs;
  // shared ones of READ COMMITTED go when it ends, the rest with the
  // transaction. A session that writes holds the database's one writer slot
  // (SQLite keeps one writer) and opens its SQLite transaction only then, so
  // its reads before that see what others committed meanwhile.
  std::optional<ServerMessage> TakeLocks(const std::vector<Token>& s);
  std::optional<ServerMessage> Take(const std::string& resource, LockManager::Mode mode);
  void EndStatementLocks();
  void ReleaseLocks();
  bool SetIsolation(const std::vector<Token>& s, int depth);
  // The tables and their columns' types, read again when the schema changes;
  // what typing a statement's expressions needs of them.
  void RefreshSchema();
  std::optional<Column> TableColumn(const std::string& table, const std::string& column);
  TypeScope ScopeFor(const std::vector<Token>& s);
  bool SetLockTimeout(const std::vector<Token>& s, int depth);

  // Transactions, by T-SQL statement or by the client's own request.
  std::optional<ServerMessage> Begin();
  std::optional<ServerMessage> Commit();
  std::optional<ServerMessage> Rollback();
  void SyncTransaction();

  // Stored procedures, kept as T-SQL text in their own table.
  bool CreateProcedure(const std::vector<Token>& s, size_t k, bool replace, int depth,
                       const std::string& source);
  bool DropProcedureStatement(const std::vector<Token>& s, int depth);
  bool DropProcedure(const std::string& name);
  bool CallProcedure(const std::vector<Token>& s, size_t k, int depth);

  sqlite3* db_;
  Denials denials_;       // the refusals this session enforces
  StatementCache cache_;  // emptied before db_ closes
  FunctionContext ctx_;
  SystemValues sys_;
  int tranCount_ = 0;
  bool nocount_ = false;
  bool implicitTransactions_ = false;
  bool xactAbort_ = false;
  std::vector<std::string> procStack_;
  LocalVariables locals_;
  bool aborted_ = false;    // the running batch ends here
  bool returning_ = false;  // RETURN ends the running procedure or batch
  std::shared_ptr<LockManager> locks_;
  std::function<bool()> interrupted_;
  int lockTimeoutMs_ = -1;
  Isolation isolation_ = Isolation::ReadCommitted;
  bool sqliteTransaction_ = false;            // SQLite's own, begun at the first write
  std::vector<std::string> statementShared_;  // released when the statement ends
  std::unordered_set<std::string> tables_;    // the database's, lower case
  int64_t tablesVersion_ = -1;
  std::unordered_map<std::string, std::vector<Column>> columns_;  // by table, read on first use
  const std::vector<Param>* params_ = nullptr;
  BatchOutput* batch_ = nullptr;
  std::shared_ptr<BatchPlan> plan_;  // of the batch running
  std::unordered_map<std::string, KeptPlan> plans_;
  Sightings seenBatches_{256};
  uint64_t planClock_ = 0;
};

}  // namespace standin
