// How a session locks: the tables a statement names are locked before it
// runs, shared for reads (unless READ UNCOMMITTED or NOLOCK) and exclusive for
// writes, and a write first takes the database's writer slot, because SQLite
// lets one connection write at a time. Waits last LOCK_TIMEOUT.
#include "engine_session.h"
#include "sql_locks.h"
#include "sqlite_run.h"
#include "text_case.h"

namespace standin {
namespace {

// Not a table: the turn to write, which every writing transaction holds.
constexpr const char* kWriterSlot = "\x01writer";

constexpr const char* kTablesSql =
    "SELECT lower(name) FROM main.sqlite_master WHERE type = 'table'";

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

std::optional<ServerMessage> SqliteSession::TakeLocks(const std::vector<Token>& s) {
  if (int64_t version = SchemaVersion(); version != tablesVersion_) {
    tables_.clear();
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, kTablesSql, -1, &st, nullptr) == SQLITE_OK) {
      while (sqlite3_step(st) == SQLITE_ROW)
        tables_.insert(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    }
    sqlite3_finalize(st);
    tablesVersion_ = version;
  }
  LockNeeds needs = LockNeedsOf(s, tables_);
  if (needs.writes) {
    if (auto e = Take(kWriterSlot, LockManager::Mode::Exclusive)) return e;
    if (tranCount_ > 0 && !sqliteTransaction_) {
      if (auto e = ExecSql(db_, "BEGIN IMMEDIATE")) return e;
      sqliteTransaction_ = true;
    }
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
