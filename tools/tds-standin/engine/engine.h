// The SQL side of the stand-in: T-SQL batches run on SQLite, with results typed
// by the declared column types. The wire side (tds_*.cpp) turns what this
// returns into TDS tokens; nothing here knows about packets.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "sql_message.h"

namespace standin {

enum class SqlType {
  Int,
  BigInt,
  SmallInt,
  TinyInt,
  Bit,
  Money,
  SmallMoney,
  Decimal,
  Float,
  Real,
  DateTime,
  SmallDateTime,
  Date,
  Char,
  VarChar,
  NChar,
  NVarChar,
};

struct Column {
  std::string name;
  SqlType type = SqlType::VarChar;
  int length = 0;     // characters, for the character types; 0 means the type's maximum
  int precision = 0;  // Decimal only (1..18)
  int scale = 0;      // Decimal only
  bool nullable = true;
};

// One value. Which member holds it depends on the column's SqlType:
//   Int, BigInt, SmallInt, TinyInt, Bit: i
//   Money, SmallMoney: i, in ten-thousandths (120.5 is 1205000)
//   Decimal: wide, the unscaled value (value * 10^scale), up to 38 digits;
//            i holds it too when it fits in 64 bits
//   Float, Real: f
//   DateTime, SmallDateTime: days since 1900-01-01 and ms of the day
//   Date: days since 1900-01-01
//   character types: s, UTF-8
struct Value {
  bool null = true;
  int64_t i = 0;
  __int128 wide = 0;
  double f = 0;
  std::string s;
  int32_t days = 0;
  int32_t ms = 0;
};

// What one statement of a batch produced, in batch order.
struct StatementOutput {
  std::vector<Column> columns;  // non-empty when the statement returns rows
  std::vector<std::vector<Value>> rows;
  std::optional<int64_t> rowCount;  // rows affected or returned, when the statement counts
  std::vector<ServerMessage> infos;
  std::optional<ServerMessage> error;  // the statement failed; nothing of the batch runs after it
  bool inProc = false;                 // the statement ran inside a stored procedure
};

struct BatchOutput {
  std::vector<StatementOutput> statements;
  // Set when the batch was a stored-procedure call (bare name or EXEC).
  std::optional<std::string> procName;
  int returnStatus = 0;
  // The client cancelled while the batch waited (for a lock): what ran is
  // kept, the rest did not run, and the client is owed an acknowledgement.
  bool cancelled = false;
};

// A bound parameter of an RPC call, by its declared name ("@P1").
struct Param {
  std::string name;
  SqlType type = SqlType::NVarChar;
  Value value;
  int scale = 0;      // Decimal only: the value is value.wide / 10^scale
  int precision = 0;  // Decimal only, as declared by the client (0: not known)
};

// A decimal value's unscaled integer (wide, or i where only that was set).
inline __int128 Unscaled(const Value& v) { return v.wide != 0 ? v.wide : v.i; }

class ScriptError : public std::runtime_error {
 public:
  ScriptError(std::string file, int line, const std::string& message)
      : std::runtime_error(file + ":" + std::to_string(line) + ": " + message),
        file(std::move(file)),
        line(line) {}
  std::string file;
  int line;
};

// One client connection's state: its open transaction and its SET options.
// A session is used by one thread at a time; sessions may run on different
// threads at once.
class Session {
 public:
  virtual ~Session() = default;  // rolls back an open transaction
  virtual BatchOutput Execute(std::string_view sql, const std::vector<Param>& params = {}) = 0;
  // Runs sql as sp_executesql and sp_execute run their statement: SET options
  // it changes (NOCOUNT, XACT_ABORT, IMPLICIT_TRANSACTIONS) are restored when
  // it ends, as SQL Server restores them after dynamic SQL.
  virtual BatchOutput ExecuteDynamic(std::string_view sql, const std::vector<Param>& params) = 0;
  // Transaction-manager requests, which arrive as packets rather than T-SQL.
  virtual std::optional<ServerMessage> BeginTransaction() = 0;
  virtual std::optional<ServerMessage> CommitTransaction() = 0;
  virtual std::optional<ServerMessage> RollbackTransaction() = 0;
  virtual int TransactionCount() const = 0;
  // Polled while the session waits for another's lock; true cancels the
  // batch, as a client's attention does.
  virtual void SetInterruptCheck(std::function<bool()> interrupted) = 0;
};

class Engine {
 public:
  struct Options {
    std::string dbPath;                   // a file, or ":memory:"
    std::optional<std::string> fixedNow;  // "YYYY-MM-DD HH:MM:SS": what GETDATE() reads
    int defaultLockTimeoutMs = -1;        // a session's LOCK_TIMEOUT until it sets one; -1 waits on
  };
  // Throws std::runtime_error when the database cannot be opened.
  static std::unique_ptr<Engine> Open(const Options& options);
  virtual ~Engine() = default;
  // Runs a T-SQL script split into batches at lines holding only GO.
  // Throws ScriptError naming the file and the line of the failing batch.
  virtual void RunScript(const std::string& path) = 0;
  virtual std::unique_ptr<Session> NewSession() = 0;
};

}  // namespace standin
