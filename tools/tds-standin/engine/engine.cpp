// Opening the stand-in's engine: one SQLite connection per session on a
// shared database, so each client connection keeps its own transaction. The
// sessions themselves (engine_session.h) run the batches; this file holds the
// database file, its procedure table, and scripts run at start-up.
#include "engine.h"

#include <sqlite3.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>

#include "engine_session.h"
#include "sql_convert.h"
#include "sql_lexer.h"

namespace standin {
namespace {

std::atomic<int> gMemoryDatabases{0};

class SqliteEngine final : public Engine {
 public:
  SqliteEngine(std::string uri, std::optional<DateTime> fixedNow, int lockTimeoutMs,
               sqlite3* keeper, std::string scratch)
      : uri_(std::move(uri)),
        fixedNow_(fixedNow),
        lockTimeoutMs_(lockTimeoutMs),
        keeper_(keeper),
        scratch_(std::move(scratch)) {}
  // Sessions must be gone before their engine.
  ~SqliteEngine() override {
    sqlite3_close_v2(keeper_);
    if (!scratch_.empty())
      for (const char* suffix : {"", "-wal", "-shm", "-journal"})
        unlink((scratch_ + suffix).c_str());
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
        throw ScriptError(path, line,
                          "Msg " + std::to_string(s.error->number) + ": " + s.error->text);
      }
    }
  }

  std::unique_ptr<Session> NewSession() override {
    return std::make_unique<SqliteSession>(OpenConnection(uri_), fixedNow_, locks_, lockTimeoutMs_);
  }

  static sqlite3* OpenConnection(const std::string& uri) {
    sqlite3* db = nullptr;
    // A session is used by one thread at a time, so its connection needs no
    // mutex of its own; locking on every call was a tenth of a write's time.
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(uri.c_str(), &db, flags, nullptr) != SQLITE_OK) {
      std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
      sqlite3_close_v2(db);
      throw std::runtime_error("cannot open database " + uri + ": " + msg);
    }
    // Sessions take turns to write through the lock manager before SQLite
    // sees a write; this covers only what runs outside it (start-up scripts).
    sqlite3_busy_timeout(db, 5000);
    return db;
  }

 private:
  std::string uri_;
  std::optional<DateTime> fixedNow_;
  int lockTimeoutMs_;
  std::shared_ptr<LockManager> locks_ = std::make_shared<LockManager>();
  sqlite3* keeper_;
  std::string scratch_;  // the file behind ":memory:", removed at the end
};

}  // namespace

std::unique_ptr<Engine> Engine::Open(const Options& options) {
  // SQLite's memory statistics take a global mutex on every allocation, and
  // nothing here reads them. This only takes effect before SQLite starts.
  static std::once_flag statisticsOff;
  std::call_once(statisticsOff, [] { sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0); });
  std::optional<DateTime> fixedNow;
  if (options.fixedNow) {
    fixedNow = ParseStoredDateTime(*options.fixedNow);
    if (!fixedNow || options.fixedNow->empty())
      throw std::runtime_error("bad --now value '" + *options.fixedNow +
                               "', expected YYYY-MM-DD HH:MM:SS");
  }
  std::string path = options.dbPath;
  std::string scratch;
  if (path == ":memory:" || path.empty()) {
    // ":memory:" is a scratch file in RAM where there is one, removed with the
    // engine: SQLite's in-memory databases lock out readers while any session
    // writes, where WAL lets them read the last committed state.
    const char* dir =
        access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    scratch = std::string(dir) + "/tds-standin-" + std::to_string(getpid()) + "-" +
              std::to_string(++gMemoryDatabases) + ".db";
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((scratch + suffix).c_str());
    path = scratch;
  }
  std::string uri = "file:";
  for (char ch : path) {
    if (ch == '%')
      uri += "%25";
    else if (ch == '?')
      uri += "%3f";
    else if (ch == '#')
      uri += "%23";
    else
      uri += ch;
  }
  sqlite3* keeper = SqliteEngine::OpenConnection(uri);
  // WAL lets readers go on while another session writes; a crash leaves the
  // file consistent either way.
  sqlite3_exec(keeper, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
  char* err = nullptr;
  if (sqlite3_exec(keeper, kProcTableDdl, nullptr, nullptr, &err) != SQLITE_OK) {
    std::string msg = err ? err : "error";
    sqlite3_free(err);
    sqlite3_close_v2(keeper);
    throw std::runtime_error("cannot open database " + options.dbPath + ": " + msg);
  }
  return std::make_unique<SqliteEngine>(uri, fixedNow, options.defaultLockTimeoutMs, keeper,
                                        scratch);
}

}  // namespace standin
