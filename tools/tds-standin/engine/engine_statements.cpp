// Statements the session carries out itself rather than handing to SQLite:
// CREATE TABLE (a table and its triggers), SET (and its scope in dynamic SQL),
// transactions, PRINT and USE.
// SQL Server's transaction count is kept here; SQLite has one level only.
#include "engine_session.h"
#include "sqlite_run.h"
#include "text_case.h"

namespace standin {

bool SqliteSession::CreateTable(const std::vector<Token>& s, int depth) {
  std::optional<ServerMessage> err;
  std::optional<TableDdl> ddl = TranslateCreateTable(s, err);
  if (!ddl) return Fail(err.value_or(SyntaxError(s, 0)), depth, s.front().line);
  if (implicitTransactions_ && tranCount_ == 0) {
    if (auto e = Begin()) return Fail(*e, depth, s.front().line);
  }
  if (auto refused = TakeLocks(s)) return Fail(*refused, depth, s.front().line);
  // The table and its triggers appear together or not at all.
  sqlite3_exec(db_, "SAVEPOINT create_table", nullptr, nullptr, nullptr);
  for (const std::string& sql : ddl->statements) {
    Translated none;
    StatementOutput so = RunSql(s, sql, none, true);
    if (so.error) {
      sqlite3_exec(db_, "ROLLBACK TO create_table; RELEASE create_table", nullptr, nullptr,
                   nullptr);
      return Fail(*so.error, depth, s.front().line);
    }
  }
  sqlite3_exec(db_, "RELEASE create_table", nullptr, nullptr, nullptr);
  Emit(depth);
  return true;
}

bool SqliteSession::SetOption(const std::vector<Token>& s, int depth) {
  if (s.size() < 2) return Fail(SyntaxError(s, 1), depth, s.front().line);
  if (s[1].Is("transaction")) return SetIsolation(s, depth);
  if (s[1].Is("lock_timeout")) return SetLockTimeout(s, depth);
  bool on = s.back().Is("on");
  if (s[1].Is("nocount")) nocount_ = on;
  if (s[1].Is("implicit_transactions")) implicitTransactions_ = on;
  if (s[1].Is("xact_abort")) xactAbort_ = on;
  // Every other option (ANSI_NULLS, TEXTSIZE, DATEFORMAT ...) is accepted and
  // has no effect: the stand-in always behaves as a us_english session.
  sys_.rowCount = 0;
  Emit(depth);
  return true;
}

BatchOutput SqliteSession::ExecuteDynamic(std::string_view sql, const std::vector<Param>& params) {
  const bool nocount = nocount_, implicitTransactions = implicitTransactions_,
             xactAbort = xactAbort_;
  const int lockTimeout = lockTimeoutMs_;
  const Isolation isolation = isolation_;
  BatchOutput out = Execute(sql, params);
  nocount_ = nocount;
  implicitTransactions_ = implicitTransactions;
  xactAbort_ = xactAbort;
  lockTimeoutMs_ = lockTimeout;
  isolation_ = isolation;
  return out;
}

bool SqliteSession::TransactionStatement(const std::vector<Token>& s, int depth) {
  const Token& head = s.front();
  int line = head.line;
  if (s.size() > 1 && !(s[1].Is("tran") || s[1].Is("transaction") || s[1].Is("work")))
    return Fail(SyntaxError(s, 1), depth, line);
  if (s.size() > 3) return Fail(SyntaxError(s, 3), depth, line);
  std::optional<ServerMessage> err;
  if (head.Is("begin"))
    err = Begin();
  else if (head.Is("commit"))
    err = Commit();
  else if (head.Is("rollback"))
    err = Rollback();
  if (err) return Fail(*err, depth, line);
  sys_.rowCount = 0;
  Emit(depth);
  return true;
}

bool SqliteSession::Print(const std::vector<Token>& s, int depth) {
  int line = s.front().line;
  TypeScope scope = ScopeFor(s);
  Translated t = TranslateTokens(s, 1, s.size(), Sys(), &scope);
  std::string text;
  if (!t.error) {
    StatementOutput probe = RunSql(s, "SELECT " + t.sql, t, true);
    if (probe.error) return Fail(*probe.error, depth, line);
    if (!probe.rows.empty() && !probe.rows[0].empty()) text = probe.rows[0][0].s;
  }
  sys_.rowCount = 0;
  StatementOutput& so = Emit(depth);
  ServerMessage info = MakeMessage(0, 0, 1, text);
  info.line = line;
  so.infos.push_back(info);
  return true;
}

bool SqliteSession::Use(const std::vector<Token>& s, int depth) {
  int line = s.front().line;
  std::string name;
  ReadObjectName(s, 1, name);
  std::string l = Lower(name);
  if (l != kDatabaseName && l != "master" && l != "tempdb")
    return Fail(MakeMessage(911, 16, 1,
                            "Database '" + name +
                                "' does not exist. Make sure that the name is entered correctly."),
                depth, line);
  StatementOutput& so = Emit(depth);
  so.infos.push_back(
      MakeMessage(5701, 0, 2, "Changed database context to '" + std::string(kDatabaseName) + "'."));
  return true;
}

// SQL Server's BEGIN only counts: SQLite's transaction begins with the first
// write (TakeLocks), so reads before it see what others have committed.
std::optional<ServerMessage> SqliteSession::Begin() {
  ++tranCount_;
  return std::nullopt;
}

std::optional<ServerMessage> SqliteSession::Commit() {
  SyncTransaction();
  if (tranCount_ == 0)
    return MakeMessage(3902, 16, 1,
                       "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
  if (tranCount_ == 1 && sqliteTransaction_) {
    if (std::optional<ServerMessage> e = ExecSql(db_, "COMMIT")) return e;
    sqliteTransaction_ = false;
  }
  if (--tranCount_ == 0) ReleaseLocks();
  return std::nullopt;
}

std::optional<ServerMessage> SqliteSession::Rollback() {
  SyncTransaction();
  if (tranCount_ == 0)
    return MakeMessage(3903, 16, 1,
                       "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
  std::optional<ServerMessage> e;
  if (sqliteTransaction_) e = ExecSql(db_, "ROLLBACK");
  sqliteTransaction_ = false;
  tranCount_ = 0;
  ReleaseLocks();
  return e;
}

// SQLite ends a transaction by itself after some errors; the count follows.
void SqliteSession::SyncTransaction() {
  if (sqliteTransaction_ && sqlite3_get_autocommit(db_)) {
    sqliteTransaction_ = false;
    tranCount_ = 0;
    ReleaseLocks();
  }
}

}  // namespace standin
