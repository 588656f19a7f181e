// The one connection to the reporting database (ADOConww) and its two statement
// objects, the reader ADOQuww and the executor ADOQuexec. Qt SQL's ODBC driver opens
// the connection (through the program's TLS relay); statements run with the ODBC
// API itself on it (odbc_direct.h). Jobs open it, read with the reader, write with
// the executor, close it.
#pragma once

#include <QVariant>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "clock/datetime.h"
#include "clock/format_settings.h"
#include "db/connection_settings.h"
#include "db/db_error.h"
#include "db/field_text.h"
#include "db/params.h"
#include "db/server_link.h"

namespace cardsync::db {

class Database;

// A statement object. Opening it runs its text and holds the whole first row set
// on the client, so the other statement object can run while this one is read.
// Every text reaches the server with one trailing CR LF; ? placeholders take the
// values given to Open or ExecSQL.
class Statement {
 public:
  Statement(Database& owner, std::string name);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  const std::string& Name() const { return name_; }

  void Close();
  void SetText(std::string text);  // the whole statement, one line
  const std::string& Text() const { return text_; }

  // Runs the text and holds its first row set (after any row counts); the first
  // row is then current. Throws DatabaseError; "<name>: CommandText does not
  // return a result set" when there is none.
  void Open(const Params& params = {});
  // Runs the text and hands each row of its first row set to `onRow` as it arrives,
  // this statement showing that row; closed afterwards. Nothing but the current row
  // is held. An exception from `onRow` ends the reading and passes on.
  void OpenEach(const Params& params, const std::function<void(const Statement&)>& onRow);
  // Runs the text as a statement; rows and counts it returns are discarded. Sent
  // as it is (a bare procedure name stays a batch of its own), or as one
  // sp_executesql request when values are given.
  void ExecSQL(const Params& params = {});

  bool Active() const;
  void First();
  bool Eof() const;
  void Next();
  std::size_t RecordCount() const;
  std::size_t FieldCount() const;

  // Columns of the current row, by case-insensitive name (first match wins) or by
  // position. "<name>: Field 'x' not found" when no column has that name.
  std::string FieldText(std::string_view column) const;
  std::string FieldText(std::size_t index) const;
  DateTime FieldDateTime(std::string_view column) const;
  // The column's value as read (a null QVariant for NULL) and its kind, for callers
  // that need the value itself rather than its regional text.
  struct TypedValue {
    QVariant value;
    ColumnKind kind;
  };
  TypedValue FieldValue(std::string_view column) const;
  // Throws Error naming the first of `columns` the row set lacks.
  void RequireFields(const std::vector<std::string_view>& columns) const;

  // Rows affected by the last ExecSQL (-1 when the driver does not say).
  long long RowsAffected() const { return rowsAffected_; }
  // The regional settings this run's texts are made with (its connection's snapshot).
  const FormatSettings& Format() const;

 private:
  struct Held;
  // The field text of the first column of the first row ("" for no row).
  std::string Scalar(const Params& params);
  const Held& Current() const;
  // The current row's value at `index`; Error naming the column for one too long to hold.
  const QVariant& Cell(std::size_t index) const;
  std::size_t IndexOf(std::string_view column) const;

  Database& owner_;
  std::string name_;
  std::string text_;
  std::unique_ptr<Held> held_;
  long long rowsAffected_ = -1;

  friend class Database;
};

// What an open reads: the connection, and the [transfer] section the jobs run on it
// follow, taken from the same reading of the file so the two never disagree.
// Settings made in code give the connection alone, with [transfer]'s defaults.
struct OpenSettings {
  OpenSettings(ConnectionSettings connection, settings::Transfer transfer = {})
      : connection(std::move(connection)), transfer(transfer) {}
  ConnectionSettings connection;
  settings::Transfer transfer;
};

class Database {
 public:
  Database();  // reads the deployment settings file at every OpenDatabase
  explicit Database(std::function<OpenSettings()> settingsSource);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // A flag another thread raises to stop the job (a signal, the window closing).
  // Once raised, a wait for the server that is going on, or begins, ends within a
  // second: connecting fails, a statement throws DatabaseError (HY008).
  void SetStopFlag(const std::atomic<bool>* stop) { link_.SetStop(stop); }
  bool StopAsked() const { return link_.StopAsked(); }

  // Closes the connection if it is open, then opens it with fresh settings. False
  // on failure (nothing is thrown or shown); LastConnectError() says why. The
  // whole open (connect, TLS, login and the driver's own set-up queries) takes at
  // most the settings' login_timeout; a server that has not answered by then, or a
  // stop, ends it as a failure.
  bool OpenDatabase();
  const std::string& LastConnectError() const { return lastConnectError_; }
  // False when closing failed; the connection is given up either way.
  bool CloseDatabase();
  bool Connected() const;
  // The settings of the last OpenDatabase (defaults before the first).
  const ConnectionSettings& Settings() const { return settings_; }
  const settings::Transfer& TransferSettings() const { return transfer_; }

  // Runs a statement, or a batch of them in one request, that returns no rows on the
  // executor. An error from any statement of it throws DatabaseError.
  void ExecuteStatement(const std::string& text, const Params& params = {});
  // Runs a query on the executor and stores the field text of its first column in
  // its first row ("" when there is no row). On any error `result` keeps its value,
  // false is returned and LastQueryError() holds the error.
  bool QueryScalar(const std::string& text, std::string& result, const Params& params = {});
  // Names and kinds of the columns `query` returns, read from its result's
  // description (a query that selects no row costs the server nothing). Throws
  // DatabaseError.
  struct ColumnType {
    std::string name;
    ColumnKind kind;
  };
  std::vector<ColumnType> DescribeColumns(const std::string& query);
  const std::optional<DatabaseError>& LastQueryError() const { return lastQueryError_; }

  // Groups executor statements so they take effect together (one T-SQL request
  // each, on the executor). Throw DatabaseError.
  void BeginTransaction();
  void CommitTransaction();
  void RollbackTransaction();

  Statement& ADOQuww() { return reader_; }
  Statement& ADOQuexec() { return executor_; }

 private:
  friend class Statement;
  void ForgetStatements();
  void* OdbcConnection() const;  // Qt's SQLHDBC, null when not open
  // Starts the relay and opens Qt's connection through it, the link watched until
  // `deadline`. The port FreeTDS connected to, or nullopt (lastConnectError_ set).
  std::optional<int> OpenBounded(const ConnectionSettings& settings,
                                 ServerLink::Clock::time_point deadline);

  std::function<OpenSettings()> settingsSource_;
  std::string connectionName_;  // Qt keeps connections by name; one per Database
  std::string lastConnectError_;
  std::optional<DatabaseError> lastQueryError_;
  int queryTimeoutSeconds_ = 30;
  // The regional settings field texts are made with, taken at each open: a run reads
  // one set of them from start to end, whatever the window's locale does meanwhile.
  FormatSnapshot format_ = CurrentFormatSettings();
  ConnectionSettings settings_;
  settings::Transfer transfer_;
  ServerLink link_;
  Statement reader_;
  Statement executor_;
};

// Qt's ODBC driver prefixes "DSN=" to a connection string that names neither a
// driver nor a server; this undoes that for a DSN form. Throws Error when the
// string cannot be passed through unchanged.
std::string QodbcDatabaseName(const std::string& connectionString);

}  // namespace cardsync::db
