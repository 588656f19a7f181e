// The stand-in's engine: one SQLite connection per session on a shared
// database, so each client connection keeps its own transaction. A batch is
// split into T-SQL statements (sql_lexer); control statements (transactions,
// SET, IF, procedures) are handled here, the rest is rewritten for SQLite
// (sql_translate) and run with SQL Server's functions and conversions
// (sql_functions) installed on the connection.
#include "engine.h"

#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cctype>
#include <fstream>
#include <sstream>

#include "sql_convert.h"
#include "sql_functions.h"
#include "sql_lexer.h"
#include "sql_translate.h"
#include "sql_types.h"

namespace standin {
namespace {

constexpr const char* kProcTable =
    "CREATE TABLE IF NOT EXISTS __standin_procs(name TEXT PRIMARY KEY COLLATE NOCASE, "
    "body TEXT NOT NULL, line INTEGER NOT NULL)";
constexpr int kMaxNesting = 32;
constexpr int kProcErrorStatus = -6;  // what SQL Server returns after an error in a procedure
constexpr int kFirstSpid = 51;

std::atomic<int> gMemoryDatabases{0};
std::atomic<int> gNextSpid{kFirstSpid};

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

std::string After(const std::string& s, std::string_view prefix) {
  std::string rest = s.substr(prefix.size());
  if (size_t dot = rest.rfind('.'); dot != std::string::npos && StartsWith(rest, "main."))
    rest = rest.substr(dot + 1);
  return rest;
}

bool IsIdentifierLike(const char* name) {
  if (!name || !*name) return false;
  if (std::isdigit(static_cast<unsigned char>(*name))) return false;
  if (Lower(name) == "null") return false;
  for (const char* p = name; *p; ++p) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if (!(std::isalnum(ch) || ch == '_' || ch == '#' || ch == '$' || ch == ' ' || ch >= 0x80)) return false;
  }
  return true;
}

// SQLite's error for a statement, as SQL Server would have reported it.
ServerMessage MapSqliteError(sqlite3* db, int code, const std::vector<Token>& stmt, bool prepare) {
  std::string msg = sqlite3_errmsg(db);
  if (std::optional<ServerMessage> coded = DecodeError(msg)) return *coded;
  std::string verb = stmt.empty() ? "" : Lower(stmt.front().text);
  if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED)
    return MakeMessage(1222, 16, 45, "Lock request time out period exceeded.");
  if (StartsWith(msg, "no such table: "))
    return MakeMessage(208, 16, 1, "Invalid object name '" + After(msg, "no such table: ") + "'.");
  if (StartsWith(msg, "no such column: ")) {
    std::string name = msg.substr(16);
    if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
    return MakeMessage(207, 16, 1, "Invalid column name '" + name + "'.");
  }
  if (size_t at = msg.find(" has no column named "); StartsWith(msg, "table ") && at != std::string::npos)
    return MakeMessage(207, 16, 1, "Invalid column name '" + msg.substr(at + 21) + "'.");
  if (StartsWith(msg, "table ") && msg.find(" already exists") != std::string::npos) {
    std::string name = msg.substr(6, msg.find(" already exists") - 6);
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    return MakeMessage(2714, 16, 6, "There is already an object named '" + name + "' in the database.");
  }
  if (StartsWith(msg, "no such function: "))
    return MakeMessage(195, 15, 10, "'" + msg.substr(18) + "' is not a recognized built-in function name.");
  if (StartsWith(msg, "NOT NULL constraint failed: ")) {
    std::string target = msg.substr(28);
    size_t dot = target.find('.');
    std::string table = target.substr(0, dot), column = dot == std::string::npos ? target : target.substr(dot + 1);
    return MakeMessage(515, 16, 2, "Cannot insert the value NULL into column '" + column + "', table '" +
                                       kDatabaseName + ".dbo." + table + "'; column does not allow nulls. " +
                                       (verb == "update" ? "UPDATE" : "INSERT") + " fails.");
  }
  if (StartsWith(msg, "UNIQUE constraint failed: ")) {
    std::string table = msg.substr(26, msg.find('.', 26) - 26);
    return MakeMessage(2627, 14, 1, "Violation of UNIQUE KEY constraint. Cannot insert duplicate key in object 'dbo." +
                                        table + "'.");
  }
  if (msg.find(" values for ") != std::string::npos && msg.find(" columns") != std::string::npos)
    return MakeMessage(213, 16, 1, "Column name or number of supplied values does not match table definition.");
  if (StartsWith(msg, "near \"")) {
    std::string near = msg.substr(6, msg.find('"', 6) - 6);
    return MakeMessage(102, 15, 1, "Incorrect syntax near '" + near + "'.");
  }
  if (prepare || msg == "incomplete input") return SyntaxError(stmt, stmt.size());
  return MakeMessage(50000, 16, 1, msg);
}

class SqliteSession final : public Session {
 public:
  SqliteSession(sqlite3* db, std::optional<DateTime> fixedNow) : db_(db) {
    ctx_.fixedNow = fixedNow;
    ctx_.spid = gNextSpid++;
    sys_.spid = ctx_.spid;
    RegisterFunctions(db_, &ctx_);
  }
  ~SqliteSession() override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
  }

  BatchOutput Execute(std::string_view sql, const std::vector<Param>& params) override {
    BatchOutput out;
    params_ = &params;
    batch_ = &out;
    bool unterminated = false;
    std::vector<Token> tokens = Tokenize(sql, &unterminated);
    if (unterminated) {
      StatementOutput so;
      bool quote = !tokens.empty() &&
                   (tokens.back().kind == Token::String || tokens.back().kind == Token::QuotedName);
      if (quote) {
        so.error = MakeMessage(105, 15, 1,
                               "Unclosed quotation mark after the character string '" + tokens.back().text + "'.");
        so.error->line = tokens.back().line;
      } else {
        so.error = MakeMessage(113, 15, 1, "Missing end comment mark '*/'.");
      }
      out.statements.push_back(std::move(so));
      return out;
    }
    std::vector<std::vector<Token>> stmts = SplitStatements(tokens);
    if (!stmts.empty() && IsBareCall(stmts.front())) {
      // A batch that is only a procedure's name calls it.
      CallProcedure(stmts.front(), 0, 0);
      if (stmts.size() == 1) return out;
      stmts.erase(stmts.begin());
      if (HasError(out)) return out;
    }
    RunList(stmts, 0, stmts.size(), 0, std::string(sql));
    return out;
  }

  std::optional<ServerMessage> BeginTransaction() override { return Begin(); }
  std::optional<ServerMessage> CommitTransaction() override { return Commit(); }
  std::optional<ServerMessage> RollbackTransaction() override { return Rollback(); }
  int TransactionCount() const override { return tranCount_; }

 private:
  static bool HasError(const BatchOutput& out) {
    return !out.statements.empty() && out.statements.back().error.has_value();
  }

  static bool IsBareCall(const std::vector<Token>& stmt) {
    static const char* kNotCalls[] = {"select", "insert", "update", "delete", "create", "drop", "alter",
                                      "set", "begin", "commit", "rollback", "exec", "execute", "if",
                                      "else", "print", "declare", "use", "truncate", "end", "save",
                                      "return", "with", "merge", "grant", "while"};
    const Token& t = stmt.front();
    if (t.kind != Token::Word && t.kind != Token::QuotedName) return false;
    for (const char* w : kNotCalls)
      if (t.Is(w)) return false;
    return true;
  }

  // Runs statements [from, to) of a list; stops at the first error.
  // Returns false after an error or RETURN.
  bool RunList(const std::vector<std::vector<Token>>& stmts, size_t from, size_t to, int depth,
               const std::string& source) {
    size_t i = from;
    while (i < to) {
      size_t next = i;
      if (!RunOne(stmts, i, to, depth, source, next)) return false;
      i = next;
    }
    return true;
  }

  // The index after the statement at i (a block, or an IF with its branches).
  size_t Skip(const std::vector<std::vector<Token>>& stmts, size_t i, size_t to) {
    if (i >= to) return to;
    const auto& s = stmts[i];
    if (s.front().Is("begin") && !(s.size() > 1 && (s[1].Is("tran") || s[1].Is("transaction")))) {
      int level = 0;
      for (size_t j = i; j < to; ++j) {
        const auto& t = stmts[j];
        if (t.front().Is("begin") && !(t.size() > 1 && (t[1].Is("tran") || t[1].Is("transaction")))) ++level;
        if (t.front().Is("end") && --level == 0) return j + 1;
      }
      return to;
    }
    if (s.front().Is("if")) {
      size_t after = Skip(stmts, i + 1, to);
      if (after < to && stmts[after].size() == 1 && stmts[after].front().Is("else"))
        after = Skip(stmts, after + 1, to);
      return after;
    }
    return i + 1;
  }

  StatementOutput& Emit(int depth) {
    batch_->statements.emplace_back();
    batch_->statements.back().inProc = depth > 0;
    return batch_->statements.back();
  }

  bool Fail(ServerMessage m, int depth, int line) {
    if (m.line <= 1) m.line = line;
    if (depth > 0) m.procName = procStack_.back();
    sys_.error = m.number;
    StatementOutput& so = Emit(depth);
    so.error = std::move(m);
    SyncTransaction();
    return false;
  }

  bool RunOne(const std::vector<std::vector<Token>>& stmts, size_t i, size_t to, int depth,
              const std::string& source, size_t& next) {
    const std::vector<Token>& s = stmts[i];
    const Token& head = s.front();
    int line = head.line;
    next = i + 1;
    if (head.Is("begin") && !(s.size() > 1 && (s[1].Is("tran") || s[1].Is("transaction")))) {
      if (s.size() > 1) return Fail(SyntaxError(s, 1), depth, line);
      size_t end = Skip(stmts, i, to);
      next = end;
      if (end == to && !(end > i + 1 && stmts[end - 1].front().Is("end")))
        return Fail(SyntaxError(stmts[end - 1], stmts[end - 1].size()), depth, line);
      return RunList(stmts, i + 1, end - 1, depth, source);
    }
    if (head.Is("if")) {
      if (i + 1 >= to) return Fail(SyntaxError(s, s.size()), depth, line);
      std::optional<bool> cond = Evaluate(s, depth);
      if (!cond) return false;
      size_t bodyEnd = Skip(stmts, i + 1, to);
      size_t elseEnd = bodyEnd;
      bool hasElse = bodyEnd < to && stmts[bodyEnd].size() == 1 && stmts[bodyEnd].front().Is("else");
      if (hasElse) elseEnd = Skip(stmts, bodyEnd + 1, to);
      next = elseEnd;
      if (*cond) return RunList(stmts, i + 1, bodyEnd, depth, source);
      if (hasElse) return RunList(stmts, bodyEnd + 1, elseEnd, depth, source);
      return true;
    }
    if (head.Is("return")) {
      next = to;
      return false;
    }
    if (head.Is("create") || head.Is("alter")) {
      size_t k = 1;
      if (k + 1 < s.size() && s[k].Is("or") && s[k + 1].Is("alter")) k += 2;
      if (k < s.size() && (s[k].Is("procedure") || s[k].Is("proc")))
        return CreateProcedure(s, k + 1, !(head.Is("create") && k == 1), depth, source);
      if (head.Is("create") && k < s.size() && s[k].Is("table")) return CreateTable(s, depth);
    }
    if (head.Is("exec") || head.Is("execute")) {
      size_t k = 1;
      if (k + 1 < s.size() && s[k].kind == Token::Variable && s[k + 1].Is("=")) k += 2;  // @rc =
      if (k >= s.size()) return Fail(SyntaxError(s, k), depth, line);
      return CallProcedure(s, k, depth);
    }
    if (head.Is("set")) return SetOption(s, depth);
    if (head.Is("begin") || head.Is("commit") || head.Is("rollback") || head.Is("save")) {
      if (s.size() > 1 && !(s[1].Is("tran") || s[1].Is("transaction") || s[1].Is("work")))
        return Fail(SyntaxError(s, 1), depth, line);
      if (s.size() > 3) return Fail(SyntaxError(s, 3), depth, line);
      std::optional<ServerMessage> err;
      if (head.Is("begin")) err = Begin();
      else if (head.Is("commit")) err = Commit();
      else if (head.Is("rollback")) err = Rollback();
      if (err) return Fail(*err, depth, line);
      Emit(depth);
      return true;
    }
    if (head.Is("print")) {
      Translated t = TranslateTokens(s, 1, s.size(), Sys());
      std::string text;
      if (!t.error) {
        StatementOutput probe = RunSql(s, "SELECT " + t.sql, t, depth, true);
        if (probe.error) return Fail(*probe.error, depth, line);
        if (!probe.rows.empty() && !probe.rows[0].empty()) text = probe.rows[0][0].s;
      }
      StatementOutput& so = Emit(depth);
      ServerMessage info = MakeMessage(0, 0, 1, text);
      info.line = line;
      so.infos.push_back(info);
      return true;
    }
    if (head.Is("use")) {
      std::string name;
      ReadObjectName(s, 1, name);
      std::string l = Lower(name);
      if (l != kDatabaseName && l != "master" && l != "tempdb")
        return Fail(MakeMessage(911, 16, 1, "Database '" + name + "' does not exist. Make sure that the name is entered correctly."),
                    depth, line);
      StatementOutput& so = Emit(depth);
      so.infos.push_back(MakeMessage(5701, 0, 2, "Changed database context to '" + std::string(kDatabaseName) + "'."));
      return true;
    }
    if (head.Is("drop") && s.size() > 2 && (s[1].Is("procedure") || s[1].Is("proc"))) {
      size_t k = 2;
      bool ifExists = k + 1 < s.size() && s[k].Is("if") && s[k + 1].Is("exists");
      if (ifExists) k += 2;
      std::string name;
      if (ReadObjectName(s, k, name) == k) return Fail(SyntaxError(s, k), depth, line);
      if (!DropProcedure(name) && !ifExists)
        return Fail(MakeMessage(3701, 11, 5, "Cannot drop the procedure '" + name +
                                                 "', because it does not exist or you do not have permission."),
                    depth, line);
      Emit(depth);
      return true;
    }
    if (head.Is("select") || head.Is("insert") || head.Is("update") || head.Is("delete") || head.Is("with") ||
        head.Is("drop") || head.Is("truncate") || head.Is("create") || head.Is("alter")) {
      return RunStatement(s, depth);
    }
    if (head.Is("end") || head.Is("else")) return Fail(SyntaxError(s, 0), depth, line);
    return Fail(SyntaxError(s, head.kind == Token::Word && s.size() > 1 ? 1 : 0), depth, line);
  }

  SystemValues Sys() {
    sys_.tranCount = tranCount_;
    return sys_;
  }

  std::optional<bool> Evaluate(const std::vector<Token>& s, int depth) {
    Translated t = TranslateTokens(s, 1, s.size(), Sys());
    if (t.error) {
      Fail(*t.error, depth, s.front().line);
      return std::nullopt;
    }
    StatementOutput probe = RunSql(s, "SELECT CASE WHEN " + t.sql + " THEN 1 ELSE 0 END", t, depth, true);
    if (probe.error) {
      Fail(*probe.error, depth, s.front().line);
      return std::nullopt;
    }
    return !probe.rows.empty() && probe.rows[0][0].i == 1;
  }

  bool RunStatement(const std::vector<Token>& s, int depth) {
    const Token& head = s.front();
    std::vector<Token> tokens = s;
    if (head.Is("truncate") && s.size() > 1 && s[1].Is("table")) {
      tokens[0].text = "DELETE";
      tokens[1].text = "FROM";
    }
    if (head.Is("insert") || head.Is("update")) tokens = ConvertAssignedValues(tokens);
    Translated t = TranslateTokens(tokens, 0, tokens.size(), Sys());
    if (t.error) return Fail(*t.error, depth, head.line);
    bool data = !head.Is("select") || std::any_of(s.begin(), s.end(), [](const Token& x) { return x.Is("from"); });
    if (implicitTransactions_ && tranCount_ == 0 && data) {
      if (auto err = Begin()) return Fail(*err, depth, head.line);
    }
    StatementOutput so = RunSql(s, t.sql, t, depth, false);
    if (so.error) {
      if (head.Is("drop") && so.error->number == 208 && s.size() > 2) {
        std::string name;
        ReadObjectName(s, 2, name);
        so.error = MakeMessage(3701, 11, 5, "Cannot drop the table '" + name +
                                                "', because it does not exist or you do not have permission.");
      }
      return Fail(*so.error, depth, head.line);
    }
    if (head.Is("drop") || head.Is("create") || head.Is("alter")) so.rowCount.reset();
    sys_.rowCount = so.rowCount.value_or(0);
    sys_.error = 0;
    if (nocount_) so.rowCount.reset();
    so.inProc = depth > 0;
    batch_->statements.push_back(std::move(so));
    return true;
  }

  // The declared types of a table's columns, by name.
  std::vector<std::pair<std::string, std::string>> TableColumns(const std::string& table) {
    std::vector<std::pair<std::string, std::string>> out;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT name, type FROM pragma_table_info(?1)", -1, &st, nullptr) != SQLITE_OK)
      return out;
    sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
    while (sqlite3_step(st) == SQLITE_ROW)
      out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                       reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
    sqlite3_finalize(st);
    return out;
  }

  // In INSERT ... VALUES and UPDATE ... SET, each value is converted to its
  // column's type before SQLite sees it: SQLite's column affinity would
  // otherwise turn '1.5' or '20261207' into numbers first, and SQL Server
  // judges the text as written. (The table's triggers convert what other
  // forms, such as INSERT ... SELECT, store.)
  std::vector<Token> ConvertAssignedValues(const std::vector<Token>& s) {
    auto findColumn = [](const std::vector<std::pair<std::string, std::string>>& cols,
                         const std::string& name) -> const std::pair<std::string, std::string>* {
      for (const auto& c : cols)
        if (Lower(c.first) == Lower(name)) return &c;
      return nullptr;
    };
    auto quote = [](const std::string& v) {
      std::string out = "'";
      for (char ch : v) {
        out += ch;
        if (ch == '\'') out += '\'';
      }
      return out + "'";
    };
    struct Wrap {
      size_t from, to;
      std::string decl, column;
    };
    std::vector<Wrap> wraps;
    std::string table;
    size_t k = 1;
    if (s.front().Is("insert")) {
      if (k < s.size() && s[k].Is("into")) ++k;
      size_t after = ReadObjectName(s, k, table);
      if (after == k) return s;
      auto cols = TableColumns(table);
      if (cols.empty()) return s;
      k = after;
      std::vector<std::string> names;
      if (k < s.size() && s[k].Is("(")) {
        size_t close = k;
        for (int depth = 0; close < s.size(); ++close) {
          if (s[close].Is("(")) ++depth;
          if (s[close].Is(")") && --depth == 0) break;
        }
        for (size_t j = k + 1; j < close; ++j)
          if (s[j].kind == Token::Word || s[j].kind == Token::QuotedName) names.push_back(s[j].text);
        k = close + 1;
      } else {
        for (const auto& c : cols) names.push_back(c.first);
      }
      if (k >= s.size() || !s[k].Is("values")) return s;
      ++k;
      while (k < s.size() && s[k].Is("(")) {
        size_t start = k + 1, col = 0;
        int depth = 0;
        size_t j = k;
        for (; j < s.size(); ++j) {
          if (s[j].Is("(")) ++depth;
          bool closes = s[j].Is(")") && --depth == 0;
          if ((depth == 1 && s[j].Is(",")) || closes) {
            if (col < names.size() && start < j)
              if (const auto* c = findColumn(cols, names[col])) wraps.push_back({start, j, c->second, c->first});
            ++col;
            start = j + 1;
          }
          if (closes) break;
        }
        k = j + 1;
        if (k < s.size() && s[k].Is(",")) ++k;
      }
    } else {
      size_t after = ReadObjectName(s, k, table);
      if (after == k || after >= s.size() || !s[after].Is("set")) return s;
      auto cols = TableColumns(table);
      k = after + 1;
      int depth = 0;
      size_t itemStart = k;
      for (size_t j = k; j <= s.size(); ++j) {
        bool end = j == s.size() || (depth == 0 && (s[j].Is("where") || s[j].Is("from") || s[j].Is("output")));
        if (j < s.size() && s[j].Is("(")) ++depth;
        if (j < s.size() && s[j].Is(")")) --depth;
        if (end || (depth == 0 && s[j].Is(","))) {
          // name = expr, where name may carry a table prefix
          size_t eq = itemStart;
          while (eq < j && !s[eq].Is("=")) ++eq;
          if (eq > itemStart && eq + 1 < j)
            if (const auto* c = findColumn(cols, s[eq - 1].text)) wraps.push_back({eq + 1, j, c->second, c->first});
          itemStart = j + 1;
        }
        if (end) break;
      }
    }
    if (wraps.empty()) return s;
    std::vector<Token> out;
    size_t w = 0;
    for (size_t j = 0; j < s.size(); ++j) {
      if (w < wraps.size() && wraps[w].from == j) {
        Token open = s[j];
        open.kind = Token::Word;
        open.text = "ss_conv(";
        out.push_back(open);
        out.back().spaceBefore = s[j].spaceBefore;
        Token first = s[j];
        first.spaceBefore = false;
        out.push_back(first);
      } else {
        out.push_back(s[j]);
      }
      if (w < wraps.size() && wraps[w].to == j + 1) {
        Token close = s[j];
        close.kind = Token::Word;
        close.spaceBefore = false;
        close.text = ", " + quote(wraps[w].decl) + ", " + quote(table) + ", " + quote(wraps[w].column) + ")";
        out.push_back(close);
        ++w;
      }
    }
    return out;
  }

  // Prepares, binds and steps one SQLite statement, collecting typed rows.
  StatementOutput RunSql(const std::vector<Token>& stmt, const std::string& sql, const Translated& t, int depth,
                         bool probe) {
    (void)depth;
    StatementOutput so;
    sqlite3_stmt* st = nullptr;
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, &tail);
    if (rc != SQLITE_OK || !st) {
      so.error = rc != SQLITE_OK ? MapSqliteError(db_, rc, stmt, true) : SyntaxError(stmt, 0);
      sqlite3_finalize(st);
      return so;
    }
    for (const char* p = tail; p && *p; ++p) {
      if (!std::isspace(static_cast<unsigned char>(*p))) {
        sqlite3_finalize(st);
        so.error = MakeMessage(102, 15, 1, "Incorrect syntax near ';'.");
        return so;
      }
    }
    ctx_.nationalText = t.national;
    for (const std::string& name : t.variables) {
      const Param* param = nullptr;
      for (const Param& p : *params_) {
        std::string pn = p.name.empty() || p.name[0] != '@' ? "@" + p.name : p.name;
        if (Lower(pn) == Lower(name)) param = &p;
      }
      if (!param) {
        sqlite3_finalize(st);
        so.error = MakeMessage(137, 15, 2, "Must declare the scalar variable \"" + name + "\".");
        return so;
      }
      if (param->type == SqlType::NChar || param->type == SqlType::NVarChar) ctx_.nationalText = true;
      Bind(st, sqlite3_bind_parameter_index(st, name.c_str()), *param);
    }
    int ncol = sqlite3_column_count(st);
    std::vector<std::vector<Scalar>> raw;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
      std::vector<Scalar> row(ncol);
      for (int i = 0; i < ncol; ++i) row[i] = ColumnScalar(st, i);
      raw.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
      so.error = MapSqliteError(db_, rc, stmt, false);
      sqlite3_finalize(st);
      return so;
    }
    if (ncol > 0) {
      for (int i = 0; i < ncol; ++i) {
        const char* decl = sqlite3_column_decltype(st, i);
        std::optional<Column> c = decl ? ParseDeclaredType(decl) : std::nullopt;
        if (!c) {
          std::vector<const Scalar*> values;
          for (const auto& row : raw) values.push_back(&row[i]);
          c = InferColumn(values);
        }
        const char* name = sqlite3_column_name(st, i);
        // An expression without an alias has no name in SQL Server.
        if (!sqlite3_column_origin_name(st, i) && !IsIdentifierLike(name)) name = "";
        c->name = name ? name : "";
        c->nullable = true;
        so.columns.push_back(*c);
      }
      for (const auto& row : raw) {
        std::vector<Value> values;
        for (int i = 0; i < ncol; ++i) values.push_back(ToValue(row[i], so.columns[i]));
        so.rows.push_back(std::move(values));
      }
      so.rowCount = static_cast<int64_t>(raw.size());
    } else if (!probe && !sqlite3_stmt_readonly(st)) {
      so.rowCount = sqlite3_changes64(db_);
    }
    sqlite3_finalize(st);
    return so;
  }

  static Scalar ColumnScalar(sqlite3_stmt* st, int i) {
    Scalar s;
    switch (sqlite3_column_type(st, i)) {
      case SQLITE_INTEGER:
        s.kind = Scalar::Int;
        s.i = sqlite3_column_int64(st, i);
        break;
      case SQLITE_FLOAT:
        s.kind = Scalar::Real;
        s.f = sqlite3_column_double(st, i);
        break;
      case SQLITE_NULL:
        break;
      default:
        s.kind = Scalar::Text;
        s.s.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, i)), sqlite3_column_bytes(st, i));
    }
    return s;
  }

  // Binds a parameter in the storage form of its type.
  static void Bind(sqlite3_stmt* st, int idx, const Param& p) {
    if (idx == 0) return;
    const Value& v = p.value;
    if (v.null) {
      sqlite3_bind_null(st, idx);
      return;
    }
    switch (p.type) {
      case SqlType::Int:
      case SqlType::BigInt:
      case SqlType::SmallInt:
      case SqlType::TinyInt:
      case SqlType::Bit:
        sqlite3_bind_int64(st, idx, v.i);
        break;
      case SqlType::Money:
      case SqlType::SmallMoney:
        if (v.i % 10000 == 0) sqlite3_bind_int64(st, idx, v.i / 10000);
        else sqlite3_bind_double(st, idx, static_cast<double>(v.i) / 10000.0);
        break;
      case SqlType::Decimal: {
        double scale = 1;
        for (int k = 0; k < p.scale; ++k) scale *= 10;
        if (p.scale == 0) sqlite3_bind_int64(st, idx, v.i);
        else sqlite3_bind_double(st, idx, static_cast<double>(v.i) / scale);
        break;
      }
      case SqlType::Float:
      case SqlType::Real:
        sqlite3_bind_double(st, idx, v.f);
        break;
      case SqlType::DateTime:
      case SqlType::SmallDateTime:
      case SqlType::Date: {
        std::string text = p.type == SqlType::Date ? FormatDate(v.days) : FormatDateTime({v.days, v.ms});
        sqlite3_bind_text(st, idx, text.c_str(), -1, SQLITE_TRANSIENT);
        break;
      }
      default:
        sqlite3_bind_text(st, idx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
    }
  }

  bool CreateTable(const std::vector<Token>& s, int depth) {
    std::optional<ServerMessage> err;
    std::optional<TableDdl> ddl = TranslateCreateTable(s, err);
    if (!ddl) return Fail(err.value_or(SyntaxError(s, 0)), depth, s.front().line);
    if (implicitTransactions_ && tranCount_ == 0) {
      if (auto e = Begin()) return Fail(*e, depth, s.front().line);
    }
    // The table and its triggers appear together or not at all.
    sqlite3_exec(db_, "SAVEPOINT create_table", nullptr, nullptr, nullptr);
    for (const std::string& sql : ddl->statements) {
      Translated none;
      StatementOutput so = RunSql(s, sql, none, depth, true);
      if (so.error) {
        sqlite3_exec(db_, "ROLLBACK TO create_table; RELEASE create_table", nullptr, nullptr, nullptr);
        return Fail(*so.error, depth, s.front().line);
      }
    }
    sqlite3_exec(db_, "RELEASE create_table", nullptr, nullptr, nullptr);
    Emit(depth);
    return true;
  }

  bool CreateProcedure(const std::vector<Token>& s, size_t k, bool replace, int depth, const std::string& source) {
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
    // The body's end is the end of the batch: CREATE PROCEDURE stands alone in it.
    sqlite3_stmt* st = nullptr;
    const char* sql = replace ? "INSERT OR REPLACE INTO __standin_procs(name, body, line) VALUES(?1, ?2, ?3)"
                              : "INSERT INTO __standin_procs(name, body, line) VALUES(?1, ?2, ?3)";
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
        return Fail(MakeMessage(2714, 16, 3, "There is already an object named '" + name + "' in the database."),
                    depth, s.front().line);
      return Fail(MapSqliteError(db_, rc, s, false), depth, s.front().line);
    }
    Emit(depth);
    return true;
  }

  bool DropProcedure(const std::string& name) {
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, "DELETE FROM __standin_procs WHERE name = ?1", -1, &st, nullptr);
    sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_step(st);
    sqlite3_finalize(st);
    return sqlite3_changes(db_) > 0;
  }

  bool CallProcedure(const std::vector<Token>& s, size_t k, int depth) {
    int line = s.front().line;
    std::string name;
    size_t after = ReadObjectName(s, k, name);
    if (after == k) return Fail(SyntaxError(s, k), depth, line);
    if (after < s.size() && s[after].kind != Token::String && s[after].kind != Token::Number &&
        s[after].kind != Token::Variable && !s[after].Is("-"))
      return Fail(SyntaxError(s, after), depth, line);
    if (depth >= kMaxNesting)
      return Fail(MakeMessage(217, 16, 1,
                              "Maximum stored procedure, function, trigger, or view nesting level exceeded (limit 32)."),
                  depth, line);
    std::string body;
    int bodyLine = 1;
    {
      sqlite3_stmt* st = nullptr;
      sqlite3_prepare_v2(db_, "SELECT name, body, line FROM __standin_procs WHERE name = ?1", -1, &st, nullptr);
      sqlite3_bind_text(st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
      bool found = sqlite3_step(st) == SQLITE_ROW;
      if (found) {
        name = reinterpret_cast<const char*>(sqlite3_column_text(st, 0));
        body = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        bodyLine = sqlite3_column_int(st, 2);
      }
      sqlite3_finalize(st);
      if (!found) return Fail(MakeMessage(2812, 16, 62, "Could not find stored procedure '" + name + "'."), depth, line);
    }
    if (after < s.size())
      return Fail(MakeMessage(8146, 16, 2, "Procedure " + name + " has no parameters and arguments were supplied."),
                  depth, line);
    if (!batch_->procName) batch_->procName = name;
    std::vector<Token> tokens = Tokenize(body);
    for (Token& t : tokens) t.line += bodyLine - 1;
    std::vector<std::vector<Token>> stmts = SplitStatements(tokens);
    // SET options changed inside a procedure end with it.
    bool savedNocount = nocount_;
    procStack_.push_back(name);
    size_t before = batch_->statements.size();
    RunList(stmts, 0, stmts.size(), depth + 1, body);
    procStack_.pop_back();
    nocount_ = savedNocount;
    bool failed = false;
    for (size_t j = before; j < batch_->statements.size(); ++j)
      failed = failed || batch_->statements[j].error.has_value();
    if (depth == 0) batch_->returnStatus = failed ? kProcErrorStatus : 0;
    return !failed;
  }

  bool SetOption(const std::vector<Token>& s, int depth) {
    if (s.size() < 2) return Fail(SyntaxError(s, 1), depth, s.front().line);
    if (s[1].kind == Token::Variable) return Fail(SyntaxError(s, 0), depth, s.front().line);
    bool on = s.back().Is("on");
    if (s[1].Is("nocount")) nocount_ = on;
    if (s[1].Is("implicit_transactions")) implicitTransactions_ = on;
    // Every other option (ANSI_NULLS, TEXTSIZE, DATEFORMAT ...) is accepted and
    // has no effect: the stand-in always behaves as a us_english session.
    Emit(depth);
    return true;
  }

  std::optional<ServerMessage> Begin() {
    if (tranCount_ == 0) {
      if (std::optional<ServerMessage> e = ExecRaw("BEGIN")) return e;
    }
    ++tranCount_;
    return std::nullopt;
  }

  std::optional<ServerMessage> Commit() {
    SyncTransaction();
    if (tranCount_ == 0)
      return MakeMessage(3902, 16, 1, "The COMMIT TRANSACTION request has no corresponding BEGIN TRANSACTION.");
    if (tranCount_ == 1) {
      if (std::optional<ServerMessage> e = ExecRaw("COMMIT")) return e;
    }
    --tranCount_;
    return std::nullopt;
  }

  std::optional<ServerMessage> Rollback() {
    SyncTransaction();
    if (tranCount_ == 0)
      return MakeMessage(3903, 16, 1, "The ROLLBACK TRANSACTION request has no corresponding BEGIN TRANSACTION.");
    std::optional<ServerMessage> e = ExecRaw("ROLLBACK");
    tranCount_ = 0;
    return e;
  }

  // SQLite ends a transaction by itself after some errors; the count follows.
  void SyncTransaction() {
    if (tranCount_ > 0 && sqlite3_get_autocommit(db_)) tranCount_ = 0;
  }

  std::optional<ServerMessage> ExecRaw(const char* sql) {
    int rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK) return std::nullopt;
    return MapSqliteError(db_, rc, {}, false);
  }

  sqlite3* db_;
  FunctionContext ctx_;
  SystemValues sys_;
  int tranCount_ = 0;
  bool nocount_ = false;
  bool implicitTransactions_ = false;
  std::vector<std::string> procStack_;
  const std::vector<Param>* params_ = nullptr;
  BatchOutput* batch_ = nullptr;

  friend class SqliteEngine;
};

class SqliteEngine final : public Engine {
 public:
  SqliteEngine(std::string uri, std::optional<DateTime> fixedNow, sqlite3* keeper, std::string scratch)
      : uri_(std::move(uri)), fixedNow_(fixedNow), keeper_(keeper), scratch_(std::move(scratch)) {}
  // Sessions must be gone before their engine.
  ~SqliteEngine() override {
    sqlite3_close_v2(keeper_);
    if (!scratch_.empty())
      for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((scratch_ + suffix).c_str());
  }

  void RunScript(const std::string& path) override {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScriptError(path, 0, "cannot open the script");
    std::stringstream buf;
    buf << in.rdbuf();
    auto session = NewSession();
    for (const ScriptBatch& batch : SplitBatches(buf.str())) {
      BatchOutput out = session->Execute(batch.text, {});
      for (const auto& s : out.statements) {
        if (!s.error) continue;
        int line = batch.firstLine + (s.error->procName.empty() ? s.error->line - 1 : 0);
        throw ScriptError(path, line, "Msg " + std::to_string(s.error->number) + ": " + s.error->text);
      }
    }
  }

  std::unique_ptr<Session> NewSession() override {
    return std::make_unique<SqliteSession>(OpenConnection(uri_), fixedNow_);
  }

  static sqlite3* OpenConnection(const std::string& uri) {
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(uri.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close_v2(db);
      throw std::runtime_error("cannot open database " + uri + ": " + msg);
    }
    // A second client waits for a writer rather than failing at once.
    sqlite3_busy_timeout(db, 5000);
    return db;
  }

 private:
  std::string uri_;
  std::optional<DateTime> fixedNow_;
  sqlite3* keeper_;
  std::string scratch_;  // the file behind ":memory:", removed at the end
};

}  // namespace

std::unique_ptr<Engine> Engine::Open(const Options& options) {
  std::optional<DateTime> fixedNow;
  if (options.fixedNow) {
    fixedNow = ParseStoredDateTime(*options.fixedNow);
    if (!fixedNow || options.fixedNow->empty())
      throw std::runtime_error("bad --now value '" + *options.fixedNow + "', expected YYYY-MM-DD HH:MM:SS");
  }
  std::string path = options.dbPath;
  std::string scratch;
  if (path == ":memory:" || path.empty()) {
    // ":memory:" is a scratch file in RAM where there is one, removed with the
    // engine: SQLite's in-memory databases lock out readers while any session
    // writes, where WAL lets them read the last committed state.
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    scratch = std::string(dir) + "/tds-standin-" + std::to_string(getpid()) + "-" +
              std::to_string(++gMemoryDatabases) + ".db";
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((scratch + suffix).c_str());
    path = scratch;
  }
  std::string uri = "file:";
  for (char ch : path) {
    if (ch == '%') uri += "%25";
    else if (ch == '?') uri += "%3f";
    else if (ch == '#') uri += "%23";
    else uri += ch;
  }
  sqlite3* keeper = SqliteEngine::OpenConnection(uri);
  // WAL lets readers go on while another session writes; a crash leaves the
  // file consistent either way.
  sqlite3_exec(keeper, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  char* err = nullptr;
  if (sqlite3_exec(keeper, kProcTable, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "error";
    sqlite3_free(err);
    sqlite3_close_v2(keeper);
    throw std::runtime_error("cannot open database " + options.dbPath + ": " + msg);
  }
  return std::make_unique<SqliteEngine>(uri, fixedNow, keeper, scratch);
}

}  // namespace standin
