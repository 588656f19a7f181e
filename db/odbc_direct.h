// Statements run with the ODBC API itself, on the connection handle Qt's ODBC
// driver opened: diagnostics (SQLSTATE, native number), SQLExecDirect and row
// reading. Qt can bind values only to a prepared statement, which FreeTDS
// prepares afresh each time (sp_unprepare + sp_prepexec); executed directly it is
// one request (sp_executesql, or a plain batch without values) with its own query
// time-out. Qt also reads exact numbers as text cut to the column's precision
// ("-123.45" of a decimal(5,2) loses a digit) and real columns not at all, so
// rows are read here too, the same way for the reader and for scalar queries.
#pragma once

#include <sql.h>

#include <QVariant>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "db/db_error.h"
#include "db/field_text.h"
#include "db/params.h"
#include "db/server_link.h"

namespace cardsync::db::odbc {

// The SQLHANDLE inside a QVariant from QSqlDriver::handle() or QSqlResult::handle().
SQLHANDLE HandleOf(const QVariant& handle);

struct DiagRecord {
  std::string sqlState;
  int nativeError = 0;
  std::string text;
};
std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle);

// True when the driver says the connection is dead.
bool ConnectionDead(SQLHANDLE connection);

void SetQueryTimeout(SQLHANDLE statement, int seconds);

// The first record that is not a warning, as the error to throw; `fallback` when
// the driver left none.
DatabaseError ErrorFrom(const std::vector<DiagRecord>& records, const std::string& fallback,
                        bool linkGone);

struct ResultColumn {
  QString name;
  ColumnKind kind;
};

// A text value longer than this is not held (a server could send hundreds of MiB in
// one column, and no destination column takes it): the row carries a TooLongValue in
// its place, and the field's reader refuses it, which skips the record with a reason.
constexpr std::size_t kLongestValueBytes = std::size_t{1} << 20;
struct TooLongValue {
  std::size_t bytesRead = 0;  // read before giving up: the value is longer still
};

// The error a wait cut short by `link` ends with: a time-out (HYT00) or a stop
// (HY008), the connection given up either way.
DatabaseError CutError(ServerLink::Cut cut, int queryTimeoutSeconds);

// One statement handle, freed with the object; results are read to their end
// before it goes, so the driver never has to cancel a half-read answer. A request,
// from its sending to its last row, is bounded by the query time-out as a whole (a
// server that trickles rows cannot hold it longer) and by a stop, through `link`; a
// request is not sent on a link the server has closed.
class DirectStatement {
 public:
  DirectStatement(SQLHANDLE connection, ServerLink& link, int queryTimeoutSeconds);
  ~DirectStatement();
  DirectStatement(const DirectStatement&) = delete;
  DirectStatement& operator=(const DirectStatement&) = delete;

  // Runs `text` with `params` bound to its ? placeholders. Throws DatabaseError; one
  // with SQLSTATE 08S01 and nothing sent when the server has closed the link.
  void Execute(const std::string& text, const Params& params);
  // Rows affected by the statement (-1 when unknown).
  long long RowCount();
  // Reads every remaining result; an error raised later in a batch throws.
  void Drain();
  // Moves to the first row set, passing over row counts; false when there is none.
  bool SeekRowSet();
  // Names and kinds of the current row set's columns.
  std::vector<ResultColumn> Columns();
  // Moves to the next row; false past the last one.
  bool Fetch();
  // Column `index` (0-based) of the current row, read once, in column order; a
  // null QVariant for NULL. Date-times come as QDateTime/QDate, floats as double,
  // everything else as the driver's text, from which the field text is made.
  QVariant Value(std::size_t index, ColumnKind kind);

 private:
  // Makes a driver call that may wait for the server, with the link watched: until the
  // request's deadline, or for a time-out of its own when `ownLimit`.
  template <typename Call>
  SQLRETURN Waiting(Call call, bool ownLimit = false);
  [[noreturn]] void Fail(const char* what);
  void RefuseClosedLink();

  SQLHANDLE connection_;
  ServerLink& link_;
  int queryTimeoutSeconds_;
  SQLHANDLE statement_ = SQL_NULL_HANDLE;
  std::optional<std::chrono::steady_clock::time_point> deadline_;  // set by Execute
};

}  // namespace cardsync::db::odbc

Q_DECLARE_METATYPE(cardsync::db::odbc::TooLongValue)
