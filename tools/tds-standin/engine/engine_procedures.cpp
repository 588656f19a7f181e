// Stored procedures: CREATE [OR ALTER] PROCEDURE keeps the body's T-SQL text
// in a table of the database, so every session sees it; a call tokenizes
// the body again and runs it as a nested statement list.
#include "engine_session.h"
#include "sqlite_run.h"

namespace standin {
namespace {

constexpr int kMaxNesting = 32;
constexpr int kProcErrorStatus = -6;  // what SQL Server returns after an error in a procedure

// The procedure table; line is where the body starts in its batch, so errors
// inside a procedure name the line of the script that defined it.
constexpr const char* kInsertProc =
    "INSERT INTO __standin_procs(name, body, line) VALUES(?1, ?2, ?3)";
constexpr const char* kReplaceProc =
    "INSERT OR REPLACE INTO __standin_procs(name, body, line) VALUES(?1, ?2, ?3)";
constexpr const char* kDeleteProc = "DELETE FROM __standin_procs WHERE name = ?1";
constexpr const char* kFindProc = "SELECT name, body, line FROM __standin_procs WHERE name = ?1";

}  // namespace

const char* const kProcTableDdl =
    "CREATE TABLE IF NOT EXISTS __standin_procs(name TEXT PRIMARY KEY COLLATE NOCASE, "
    "body TEXT NOT NULL, line INTEGER NOT NULL)";

bool SqliteSession::CreateProcedure(const std::vector<Token>& s, size_t k, bool replace, int depth,
                                    const std::string& source) {
  std::string name;
  size_t after = ReadObjectName(s, k, name);
  if (after == k) return Fail(SyntaxError(s, k), depth, s.front().line);
  size_t as = after;
  while (as < s.size() && !s[as].Is("as")) ++as;
  if (as != after) {
    // Parameters and WITH options are not part of what the stand-in runs.
    return Fail(SyntaxError(s, after), depth, s.front().line);
  }
  if (as + 1 >= s.size()) return Fail(SyntaxError(s, s.size()), depth, s.front().line);
  std::string body = source.substr(s[as + 1].offset);
  if (auto refused = TakeLocks(s)) return Fail(*refused, depth, s.front().line);
  // The body's end is the end of the batch: CREATE PROCEDURE stands alone in it.
  sqlite3_stmt* st = nullptr;
  const char* sql = replace ? kReplaceProc : kInsertProc;
  if (sqlite3_prepare_v2(db_, sql, -1, &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return Fail(MakeMessage(50000, 16, 1, sqlite3_errmsg(db_)), depth, s.front().line);
  }
  sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_text(st, 2, body.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_int(st, 3, s[as + 1].line);
  int rc = sqlite3_step(st);
  sqlite3_finalize(st);
  if (rc != SQLITE_DONE) {
    if ((rc & 0xFF) == SQLITE_CONSTRAINT)
      return Fail(MakeMessage(2714, 16, 3,
                              "There is already an object named '" + name + "' in the database."),
                  depth, s.front().line);
    return Fail(MapSqliteError(db_, rc, s, false), depth, s.front().line);
  }
  Emit(depth);
  return true;
}

bool SqliteSession::DropProcedureStatement(const std::vector<Token>& s, int depth) {
  int line = s.front().line;
  size_t k = 2;
  bool ifExists = k + 1 < s.size() && s[k].Is("if") && s[k + 1].Is("exists");
  if (ifExists) k += 2;
  std::string name;
  if (ReadObjectName(s, k, name) == k) return Fail(SyntaxError(s, k), depth, line);
  if (auto refused = TakeLocks(s)) return Fail(*refused, depth, line);
  if (!DropProcedure(name) && !ifExists)
    return Fail(MakeMessage(3701, 11, 5,
                            "Cannot drop the procedure '" + name +
                                "', because it does not exist or you do not have permission."),
                depth, line);
  Emit(depth);
  return true;
}

bool SqliteSession::DropProcedure(const std::string& name) {
  sqlite3_stmt* st = nullptr;
  sqlite3_prepare_v2(db_, kDeleteProc, -1, &st, nullptr);
  sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_step(st);
  sqlite3_finalize(st);
  return sqlite3_changes(db_) > 0;
}

bool SqliteSession::CallProcedure(const std::vector<Token>& s, size_t k, int depth) {
  int line = s.front().line;
  std::string name;
  size_t after = ReadObjectName(s, k, name);
  if (after == k) return Fail(SyntaxError(s, k), depth, line);
  if (after < s.size() && s[after].kind != Token::String && s[after].kind != Token::Number &&
      s[after].kind != Token::Variable && !s[after].Is("-"))
    return Fail(SyntaxError(s, after), depth, line);
  if (depth >= kMaxNesting)
    return Fail(MakeMessage(217, 16, 1,
                            "Maximum stored procedure, function, trigger, or view nesting level "
                            "exceeded (limit 32)."),
                depth, line);
  std::string body;
  int bodyLine = 1;
  {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, kFindProc, -1, &st, nullptr);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    if (found) {
      name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
      body = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
      bodyLine = sqlite3_column_int(st, 2);
    }
    sqlite3_finalize(st);
    if (!found)
      return Fail(MakeMessage(2812, 16, 62, "Could not find stored procedure '" + name + "'."),
                  depth, line);
  }
  if (after < s.size())
    return Fail(
        MakeMessage(8146, 16, 2,
                    "Procedure " + name + " has no parameters and arguments were supplied."),
        depth, line);
  if (!batch_->procName) batch_->procName = name;
  std::vector<Token> tokens = Tokenize(body);
  for (Token& t : tokens) t.line += bodyLine - 1;
  std::vector<std::vector<Token>> stmts = SplitStatements(tokens);
  // SET options changed inside a procedure end with it.
  bool savedNocount = nocount_;
  bool savedXactAbort = xactAbort_;
  const int savedLockTimeout = lockTimeoutMs_;
  const Isolation savedIsolation = isolation_;
  procStack_.push_back(name);
  size_t before = batch_->statements.size();
  // The body's variables are its own; the caller's are out of its sight.
  LocalVariables callers;
  std::swap(callers, locals_);
  if (OpenScope(ScanScope(stmts), depth + 1)) RunList(stmts, 0, stmts.size(), depth + 1, body);
  std::swap(callers, locals_);
  procStack_.pop_back();
  returning_ = false;
  nocount_ = savedNocount;
  xactAbort_ = savedXactAbort;
  lockTimeoutMs_ = savedLockTimeout;
  isolation_ = savedIsolation;
  bool failed = false;
  for (size_t j = before; j < batch_->statements.size(); ++j)
    failed = failed || batch_->statements[j].error.has_value();
  if (depth == 0) batch_->returnStatus = failed ? kProcErrorStatus : 0;
  return !failed;
}

}  // namespace standin
