// The stand-in's engine: one SQLite connection per session on a shared
// database, so each client connection keeps its own transaction. T-SQL is
// translated statement by statement (sql_translate) and run here.
#include "engine.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "sql_convert.h"
#include "sql_types.h"

namespace standin {
namespace {

std::atomic<int> gMemoryDatabases{0};

class SqliteSession final : public Session {
 public:
  explicit SqliteSession(sqlite3* db) : db_(db) {}
  ~SqliteSession() override {
    if (!sqlite3_get_autocommit(db_)) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close_v2(db_);
  }

  BatchOutput Execute(std::string_view sql, const std::vector<Param>& params) override {
    BatchOutput out;
    std::string text(sql);
    const char* tail = text.c_str();
    while (*tail) {
      sqlite3_stmt* stmt = nullptr;
      const char* next = nullptr;
      int rc = sqlite3_prepare_v2(db_, tail, -1, &stmt, &next);
      if (rc != SQLITE_OK) {
        StatementOutput so;
        so.error = MakeMessage(102, 15, 1, sqlite3_errmsg(db_));
        out.statements.push_back(std::move(so));
        break;
      }
      tail = next;
      if (!stmt) continue;  // blanks or a comment
      StatementOutput so = Run(stmt, params);
      sqlite3_finalize(stmt);
      bool failed = so.error.has_value();
      out.statements.push_back(std::move(so));
      if (failed) break;
    }
    return out;
  }

  std::optional<ServerMessage> BeginTransaction() override { return Exec("BEGIN"); }
  std::optional<ServerMessage> CommitTransaction() override { return Exec("COMMIT"); }
  std::optional<ServerMessage> RollbackTransaction() override { return Exec("ROLLBACK"); }
  int TransactionCount() const override { return sqlite3_get_autocommit(db_) ? 0 : 1; }

 private:
  std::optional<ServerMessage> Exec(const char* sql) {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) == SQLITE_OK) return std::nullopt;
    ServerMessage m = MakeMessage(3902, 16, 1, err ? err : "error");
    sqlite3_free(err);
    return m;
  }

  StatementOutput Run(sqlite3_stmt* stmt, const std::vector<Param>& params) {
    StatementOutput so;
    for (const Param& p : params) {
      std::string name = p.name.empty() || p.name[0] != '@' ? "@" + p.name : p.name;
      int idx = sqlite3_bind_parameter_index(stmt, name.c_str());
      if (idx == 0) continue;
      if (p.value.null) sqlite3_bind_null(stmt, idx);
      else if (p.type == SqlType::Float || p.type == SqlType::Real)
        sqlite3_bind_double(stmt, idx, p.value.f);
      else if (p.type <= SqlType::Bit) sqlite3_bind_int64(stmt, idx, p.value.i);
      else sqlite3_bind_text(stmt, idx, p.value.s.data(), static_cast<int>(p.value.s.size()),
                             SQLITE_TRANSIENT);
    }
    int ncol = sqlite3_column_count(stmt);
    std::vector<std::vector<Scalar>> raw;
    int rc;
    while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
      std::vector<Scalar> row(ncol);
      for (int i = 0; i < ncol; ++i) {
        switch (sqlite3_column_type(stmt, i)) {
          case SQLITE_INTEGER:
            row[i].kind = Scalar::Int;
            row[i].i = sqlite3_column_int64(stmt, i);
            break;
          case SQLITE_FLOAT:
            row[i].kind = Scalar::Real;
            row[i].f = sqlite3_column_double(stmt, i);
            break;
          case SQLITE_NULL:
            break;
          default:
            row[i].kind = Scalar::Text;
            row[i].s.assign(reinterpret_cast<const char*>(sqlite3_column_text(stmt, i)),
                            sqlite3_column_bytes(stmt, i));
        }
      }
      raw.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) {
      so.error = MakeMessage(50000, 16, 1, sqlite3_errmsg(db_));
      return so;
    }
    if (ncol > 0) {
      for (int i = 0; i < ncol; ++i) {
        const char* decl = sqlite3_column_decltype(stmt, i);
        std::optional<Column> c = decl ? ParseDeclaredType(decl) : std::nullopt;
        if (!c) {
          std::vector<const Scalar*> values;
          for (const auto& row : raw) values.push_back(&row[i]);
          c = InferColumn(values);
        }
        const char* name = sqlite3_column_name(stmt, i);
        c->name = name ? name : "";
        so.columns.push_back(*c);
      }
      for (const auto& row : raw) {
        std::vector<Value> values;
        for (int i = 0; i < ncol; ++i) values.push_back(ToValue(row[i], so.columns[i]));
        so.rows.push_back(std::move(values));
      }
      so.rowCount = static_cast<int64_t>(raw.size());
    } else if (!sqlite3_stmt_readonly(stmt)) {
      so.rowCount = sqlite3_changes64(db_);
    }
    return so;
  }

  sqlite3* db_;
};

class SqliteEngine final : public Engine {
 public:
  SqliteEngine(std::string uri, Options options, sqlite3* keeper)
      : uri_(std::move(uri)), options_(std::move(options)), keeper_(keeper) {}
  ~SqliteEngine() override { sqlite3_close_v2(keeper_); }

  void RunScript(const std::string& path) override {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw ScriptError(path, 0, "cannot open the script");
    std::stringstream buf;
    buf << in.rdbuf();
    auto session = NewSession();
    BatchOutput out = session->Execute(buf.str(), {});
    for (const auto& s : out.statements)
      if (s.error) throw ScriptError(path, 1, s.error->text);
  }

  std::unique_ptr<Session> NewSession() override {
    return std::make_unique<SqliteSession>(OpenConnection(uri_));
  }

  static sqlite3* OpenConnection(const std::string& uri) {
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(uri.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close_v2(db);
      throw std::runtime_error("cannot open database " + uri + ": " + msg);
    }
    sqlite3_busy_timeout(db, 5000);
    return db;
  }

 private:
  std::string uri_;
  Options options_;
  sqlite3* keeper_;
};

}  // namespace

std::unique_ptr<Engine> Engine::Open(const Options& options) {
  std::string uri;
  if (options.dbPath == ":memory:" || options.dbPath.empty()) {
    // A named in-memory database that every session of this engine opens; the
    // engine's own connection keeps it alive.
    uri = "file:/standin-" + std::to_string(getpid()) + "-" + std::to_string(++gMemoryDatabases) +
          "?vfs=memdb";
  } else {
    uri = "file:";
    for (char ch : options.dbPath) {
      if (ch == '%') uri += "%25";
      else if (ch == '?') uri += "%3f";
      else if (ch == '#') uri += "%23";
      else uri += ch;
    }
  }
  sqlite3* keeper = SqliteEngine::OpenConnection(uri);
  return std::make_unique<SqliteEngine>(uri, options, keeper);
}

}  // namespace standin
