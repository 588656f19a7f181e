// How a session locks: the tables a statement names are locked before it
// runs, shared for reads (unless READ UNCOMMITTED or NOLOCK) and exclusive for
// writes, and a write first takes the database's writer slot, because SQLite
// lets one connection write at a time. Waits last LOCK_TIMEOUT. The session's
// view of the schema (tables, column types) is kept here too.
#include "engine_session.h"
#include "sql_locks.h"
#include "sql_types.h"
#include "sqlite_run.h"
#include "text_case.h"

namespace standin {
namespace {

// Not a table: the turn to write, which every writing transaction holds.
constexpr const char* kWriterSlot = "\x01writer";

constexpr const char* kTablesSql =
    "SELECT lower(name) FROM main.sqlite_master WHERE type = 'table'";
constexpr const char* kColumnsSql = "SELECT name, type FROM pragma_table_info(?1)";

}  // namespace

std::optional<ServerMessage> SqliteSession::Take(const std::string& resource,
                                                 LockManager::Mode mode) {
  LockManager::Wait wait{lockTimeoutMs_, interrupted_};
  switch (locks_->Acquire(sys_.spid, resource, mode, wait)) {
    case LockManager::Outcome::Granted:
      return std::nullopt;
    case LockManager::Outcome::TimedOut:
      return MakeMessage(1222, 16, 45, "Lock request time out period exceeded.");
    case LockManager::Outcome::Deadlock:
      return MakeMessage(
          1205, 13, 51,
          "Transaction (Process ID " + std::to_string(sys_.spid) +
              ") was deadlocked on lock resources with another process and has been chosen "
              "as the deadlock victim. Rerun the transaction.");
    case LockManager::Outcome::Cancelled:
      break;
  }
  return MakeMessage(kCancelledNumber, 0, 0, "The client cancelled the request.");
}

void SqliteSession::RefreshSchema() {
  int64_t version = SchemaVersion();
  if (version == tablesVersion_) return;
  tables_.clear();
  columns_.clear();
  sqlite3_stmt* st = nullptr;
  if (sqlite3_prepare_v2(db_, kTablesSql, -1, &st, nullptr) == SQLITE_OK) {
    while (sqlite3_step(st) == SQLITE_ROW)
      tables_.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
  }
  sqlite3_finalize(st);
  tablesVersion_ = version;
}

std::optional<Column> SqliteSession::TableColumn(const std::string& table,
                                                 const std::string& column) {
  auto it = columns_.find(table);
  if (it == columns_.end()) {
    std::vector<Column> list;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, kColumnsSql, -1, &st, nullptr) == SQLITE_OK) {
      sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
      while (sqlite3_step(st) == SQLITE_ROW) {
        std::optional<Column> c =
            ParseDeclaredType(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        if (!c) continue;
        c->name = Lower(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        list.push_back(*c);
      }
    }
    sqlite3_finalize(st);
    it = columns_.emplace(table, std::move(list)).first;
  }
  for (const Column& c : it->second)
    if (c.name == column) return c;
  return std::nullopt;
}

TypeScope SqliteSession::ScopeFor(const std::vector<Token>& s) {
  RefreshSchema();
  TypeScope scope;
  scope.tables =
      StatementTables(s, [this](const std::string& name) { return tables_.count(name) > 0; });
  scope.column = [this](const std::string& table, const std::string& column) {
    return TableColumn(table, column);
  };
  scope.variable = [this](const std::string& name) -> std::optional<Column> {
    if (auto it = locals_.find(Lower(name)); it != locals_.end()) return it->second.type;
    const Param* p = FindParam(*params_, name);
    if (!p) return std::nullopt;
    Column c;
    c.type = p->type;
    // A parameter's declared length is not kept; the longest a request may declare stands in.
    c.length = p->type == SqlType::NVarChar || p->type == SqlType::NChar ? 4000 : 8000;
    c.precision = p->precision > 0 ? p->precision : 38;
    c.scale = p->scale;
    return c;
  };
  return scope;
}

std::optional<ServerMessage> SqliteSession::TakeLocks(const std::vector<Token>& s) {
  RefreshSchema();
  LockNeeds needs = LockNeedsOf(s, tables_);
  if (needs.writes) {
    if (auto e = Take(kWriterSlot, LockManager::Mode::Exclusive)) return e;
    if (tranCount_ > 0 && !sqliteTransaction_) {
      if (auto e = ExecSql(db_, "BEGIN IMMEDIATE")) return e;
      sqliteTransaction_ = true;
    }
  } else if (needs.tempWrites && tranCount_ > 0 && !sqliteTransaction_) {
    // Only the session's own temp database changes: a transaction, but no writer's turn.
    if (auto e = ExecSql(db_, "BEGIN")) return e;
    sqliteTransaction_ = true;
  }
  for (const TableLock& t : needs.tables) {
    if (t.kind == TableLock::None) continue;
    if (t.kind == TableLock::Write) {
      if (auto e = Take(t.table, LockManager::Mode::Exclusive)) return e;
      continue;
    }
    if (isolation_ == Isolation::ReadUncommitted) continue;
    if (auto e = Take(t.table, LockManager::Mode::Shared)) return e;
    if (t.kind == TableLock::Read && isolation_ == Isolation::ReadCommitted)
      statementShared_.push_back(t.table);
  }
  return std::nullopt;
}

void SqliteSession::EndStatementLocks() {
  if (tranCount_ == 0 && !sqliteTransaction_) return ReleaseLocks();
  for (const std::string& table : statementShared_) locks_->ReleaseShared(sys_.spid, table);
  statementShared_.clear();
}

void SqliteSession::ReleaseLocks() {
  statementShared_.clear();
  locks_->ReleaseAll(sys_.spid);
}

bool SqliteSession::SetIsolation(const std::vector<Token>& s, int depth) {
  // SET TRANSACTION ISOLATION LEVEL <level>; SNAPSHOT reads as READ COMMITTED
  // does here, without waiting being the difference left out.
  std::string level;
  for (size_t k = 4; k < s.size(); ++k) level += (level.empty() ? "" : " ") + Lower(s[k].text);
  if (s.size() < 5 || !s[2].Is("isolation") || !s[3].Is("level"))
    return Fail(SyntaxError(s, s.size() < 3 ? s.size() : 2), depth, s.front().line);
  if (level == "read uncommitted")
    isolation_ = Isolation::ReadUncommitted;
  else if (level == "read committed" || level == "snapshot")
    isolation_ = Isolation::ReadCommitted;
  else if (level == "repeatable read")
    isolation_ = Isolation::RepeatableRead;
  else if (level == "serializable")
    isolation_ = Isolation::Serializable;
  else
    return Fail(SyntaxError(s, 4), depth, s.front().line);
  sys_.rowCount = 0;
  Emit(depth);
  return true;
}

bool SqliteSession::SetLockTimeout(const std::vector<Token>& s, int depth) {
  size_t k = 2;
  bool negative = k < s.size() && s[k].Is("-");
  if (negative) ++k;
  if (k + 1 != s.size() || s[k].kind != Token::Number || s[k].text.find('.') != std::string::npos)
    return Fail(SyntaxError(s, std::min(k, s.size() - 1)), depth, s.front().line);
  long long ms = std::stoll(s[k].text);
  lockTimeoutMs_ = static_cast<int>(negative ? -ms : std::min<long long>(ms, INT32_MAX));
  if (lockTimeoutMs_ < -1) lockTimeoutMs_ = -1;
  sys_.rowCount = 0;
  Emit(depth);
  return true;
}

}  // namespace standin
