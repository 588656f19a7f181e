// Direct ODBC calls on the connection Qt opened. The wide (W) functions are used
// throughout: Qt opened the connection wide, and Chinese texts must survive.
#include "db/odbc_direct.h"

#include <sqlext.h>
#include <sqlucode.h>

#include <QDate>
#include <QDateTime>
#include <QString>
#include <QTime>
#include <algorithm>

namespace cardsync::db::odbc {
namespace {

// Longer texts go as the long types, which FreeTDS declares as nvarchar(max).
constexpr SQLULEN kLongestShortText = 4000;

// The driver's own query time-out fires first and sends the server a cancel, which
// keeps the connection when the server answers it; the watch ends the wait a moment
// later when it does not.
constexpr auto kWatchMargin = std::chrono::milliseconds(200);

constexpr const char* kServerClosed = "the server closed the connection";

std::u16string Utf16(const std::string& utf8) {
  const QString text = QString::fromStdString(utf8);
  return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), std::size_t(text.size()));
}

}  // namespace

SQLHANDLE HandleOf(const QVariant& handle) {
  if (!handle.isValid() || handle.metaType().sizeOf() != sizeof(SQLHANDLE)) return SQL_NULL_HANDLE;
  return *static_cast<const SQLHANDLE*>(handle.constData());
}

std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
  std::vector<DiagRecord> records;
  if (handle == SQL_NULL_HANDLE) return records;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc = SQLGetDiagRecW(handleType, handle, i, state, &native, message,
                                        SQLSMALLINT(std::size(message)), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    const qsizetype used = std::clamp<qsizetype>(length, 0, qsizetype(std::size(message)) - 1);
    records.push_back(
        {QString::fromUtf16(reinterpret_cast<const char16_t*>(state), 5).toStdString(), int(native),
         QString::fromUtf16(reinterpret_cast<const char16_t*>(message), used).toStdString()});
  }
  return records;
}

bool ConnectionDead(SQLHANDLE connection) {
  if (connection == SQL_NULL_HANDLE) return false;
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN rc =
      SQLGetConnectAttrW(connection, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
  return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

void SetQueryTimeout(SQLHANDLE statement, int seconds) {
  if (statement == SQL_NULL_HANDLE) return;
  SQLSetStmtAttrW(statement, SQL_ATTR_QUERY_TIMEOUT,
                  reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), SQL_IS_UINTEGER);
}

DatabaseError ErrorFrom(const std::vector<DiagRecord>& records, const std::string& fallback,
                        bool linkGone) {
  for (const DiagRecord& record : records) {
    if (!record.sqlState.starts_with("01")) {
      return DatabaseError(CleanServerText(record.text), record.sqlState, record.nativeError,
                           linkGone);
    }
  }
  return DatabaseError(CleanServerText(fallback), {}, 0, linkGone);
}

DatabaseError CutError(ServerLink::Cut cut, int queryTimeoutSeconds) {
  if (cut == ServerLink::Cut::Stopped) {
    return DatabaseError("stopped while waiting for the server's answer", "HY008", 0, true);
  }
  return DatabaseError(
      "no answer within " + std::to_string(queryTimeoutSeconds) + " s; the connection was given up",
      "HYT00", 0, true);
}

DirectStatement::DirectStatement(SQLHANDLE connection, ServerLink& link, int queryTimeoutSeconds)
    : connection_(connection), link_(link), queryTimeoutSeconds_(queryTimeoutSeconds) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, connection_, &statement_))) {
    statement_ = SQL_NULL_HANDLE;
    throw ErrorFrom(ReadDiagnostics(SQL_HANDLE_DBC, connection_),
                    "no statement handle could be allocated", ConnectionDead(connection_));
  }
  SetQueryTimeout(statement_, queryTimeoutSeconds);
}

template <typename Call>
SQLRETURN DirectStatement::Waiting(Call call, bool ownLimit) {
  using namespace std::chrono;
  milliseconds limit(0);  // none
  if (queryTimeoutSeconds_ > 0 && (ownLimit || !deadline_)) {
    limit = seconds(queryTimeoutSeconds_) + kWatchMargin;
  } else if (queryTimeoutSeconds_ > 0) {
    const auto left = duration_cast<milliseconds>(*deadline_ - steady_clock::now());
    if (left <= milliseconds(0)) throw CutError(ServerLink::Cut::TimedOut, queryTimeoutSeconds_);
    limit = left;
  }
  const ServerLink::Wait wait = link_.Arm(limit);
  return call();
}

DirectStatement::~DirectStatement() {
  if (statement_ == SQL_NULL_HANDLE) return;
  // Closing a statement whose answer is not read to its end cancels it, and waits.
  Waiting([this] { return SQLFreeStmt(statement_, SQL_CLOSE); }, true);
  SQLFreeHandle(SQL_HANDLE_STMT, statement_);
}

void DirectStatement::Fail(const char* what) {
  // A wait the watch cut short: the driver only saw its socket close.
  if (const ServerLink::Cut cut = link_.LastCut(); cut != ServerLink::Cut::None)
    throw CutError(cut, queryTimeoutSeconds_);
  const bool dead = ConnectionDead(connection_) || link_.PeerClosed();
  // The driver leaves no record when the server's end closed under a request.
  throw ErrorFrom(ReadDiagnostics(SQL_HANDLE_STMT, statement_), dead ? kServerClosed : what, dead);
}

// Why nothing is sent on a link the server has closed. FreeTDS 1.3.17, built with
// MARS support as Debian builds it, holds back ("freezes") the packets that carry
// sp_executesql's statement text and parameter definitions until their length is
// known, then sends them one by one (tds_freeze_close_len). When sending the last
// held packet but one fails, its error path hands the packet still being filled to
// the connection's packet cache (or frees it, the cache being full) while it stays
// the packet being filled: the parameter values go to freed memory and the process
// later aborts in free(), "double free or corruption (!prev)". A chunk's request
// holds a dozen and more packets back; a server that has closed the session makes
// the second write after its close fail, so which held packet failed was a matter
// of timing. Evidence: making exactly that packet's send() fail (an LD_PRELOAD'ed
// send) aborts every time and any other packet's never; valgrind then reports the
// writes into the freed packet. (FreeTDS's peer is this process's TLS relay, which
// closes FreeTDS's side once the server has closed and all it sent is passed on.)
// Refusing to send on a closed link takes the common case away; the socket's large
// send buffer and a watch that shuts only its reading side (server_link.cpp) keep a
// time-out or a stop from failing a request half-written. A server that closes the
// session while such a request is being written can still meet the driver's fault.
void DirectStatement::RefuseClosedLink() {
  if (const ServerLink::Cut cut = link_.LastCut(); cut != ServerLink::Cut::None)
    throw CutError(cut, queryTimeoutSeconds_);
  if (link_.PeerClosed()) throw DatabaseError(kServerClosed, "08S01", 0, true);
}

void DirectStatement::Execute(const std::string& text, const Params& params) {
  // The buffers must stay put until SQLExecDirect has read them; reserved up front
  // so that no later value moves an earlier one.
  std::vector<std::u16string> texts;
  std::vector<std::string> decimals;
  std::vector<std::int64_t> numbers(params.size());
  std::vector<SQL_TIMESTAMP_STRUCT> stamps(params.size());
  std::vector<SQLLEN> indicators(params.size());
  texts.reserve(params.size());
  decimals.reserve(params.size());
  for (std::size_t i = 0; i < params.size(); ++i) {
    const SQLUSMALLINT position = SQLUSMALLINT(i + 1);
    SQLRETURN rc = SQL_SUCCESS;
    if (const auto* number = std::get_if<std::int64_t>(&params[i])) {
      numbers[i] = *number;
      indicators[i] = 0;
      rc = SQLBindParameter(statement_, position, SQL_PARAM_INPUT, SQL_C_SBIGINT, SQL_BIGINT, 0, 0,
                            &numbers[i], 0, &indicators[i]);
    } else if (const auto* stamp = std::get_if<Timestamp>(&params[i])) {
      stamps[i] = SQL_TIMESTAMP_STRUCT{SQLSMALLINT(stamp->year),
                                       SQLUSMALLINT(stamp->month),
                                       SQLUSMALLINT(stamp->day),
                                       SQLUSMALLINT(stamp->hour),
                                       SQLUSMALLINT(stamp->minute),
                                       SQLUSMALLINT(stamp->second),
                                       0};
      indicators[i] = sizeof(SQL_TIMESTAMP_STRUCT);
      // Whole seconds: 19 characters, no fraction digits.
      rc = SQLBindParameter(statement_, position, SQL_PARAM_INPUT, SQL_C_TYPE_TIMESTAMP,
                            SQL_TYPE_TIMESTAMP, 19, 0, &stamps[i], sizeof(SQL_TIMESTAMP_STRUCT),
                            &indicators[i]);
    } else if (const auto* decimal = std::get_if<Decimal>(&params[i])) {
      // The digits go as text declared a decimal of their own precision and scale;
      // the driver sends a numeric, which the server converts to the column's type.
      std::string& digits = decimals.emplace_back(decimal->digits);
      const std::size_t point = digits.find('.');
      const SQLSMALLINT scale =
          point == std::string::npos ? 0 : SQLSMALLINT(digits.size() - point - 1);
      const std::size_t figures =
          std::count_if(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
      const SQLULEN precision = std::clamp<SQLULEN>(figures, std::max<SQLULEN>(scale, 1), 38);
      indicators[i] = SQLLEN(digits.size());
      rc = SQLBindParameter(statement_, position, SQL_PARAM_INPUT, SQL_C_CHAR, SQL_DECIMAL,
                            precision, scale, digits.data(), SQLLEN(digits.size()), &indicators[i]);
    } else {
      const auto* utf8 = std::get_if<std::string>(&params[i]);
      std::u16string& value = texts.emplace_back(utf8 ? Utf16(*utf8) : std::u16string());
      const SQLULEN characters = std::max<SQLULEN>(value.size(), 1);
      indicators[i] = utf8 ? SQLLEN(value.size() * sizeof(char16_t)) : SQL_NULL_DATA;
      rc = SQLBindParameter(statement_, position, SQL_PARAM_INPUT, SQL_C_WCHAR,
                            characters > kLongestShortText ? SQL_WLONGVARCHAR : SQL_WVARCHAR,
                            characters, 0, value.data(), SQLLEN(value.size() * sizeof(char16_t)),
                            &indicators[i]);
    }
    if (!SQL_SUCCEEDED(rc)) Fail("a value could not be bound");
  }
  std::u16string statementText = Utf16(text);
  RefuseClosedLink();
  deadline_ =
      std::chrono::steady_clock::now() + std::chrono::seconds(queryTimeoutSeconds_) + kWatchMargin;
  const SQLRETURN rc = Waiting([&] {
    return SQLExecDirectW(statement_, reinterpret_cast<SQLWCHAR*>(statementText.data()),
                          SQLINTEGER(statementText.size()));
  });
  // A searched update or delete that touched no row answers SQL_NO_DATA.
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) Fail("the statement could not be run");
}

long long DirectStatement::RowCount() {
  SQLLEN rows = -1;
  if (!SQL_SUCCEEDED(SQLRowCount(statement_, &rows))) return -1;
  return rows;
}

void DirectStatement::Drain() {
  for (;;) {
    const SQLRETURN rc = Waiting([this] { return SQLMoreResults(statement_); });
    if (rc == SQL_NO_DATA) return;
    if (!SQL_SUCCEEDED(rc)) Fail("a later result could not be read");
  }
}

bool DirectStatement::SeekRowSet() {
  for (;;) {
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(statement_, &columns)))
      Fail("the result could not be read");
    if (columns > 0) return true;
    const SQLRETURN rc = Waiting([this] { return SQLMoreResults(statement_); });
    if (rc == SQL_NO_DATA) return false;
    if (!SQL_SUCCEEDED(rc)) Fail("a later result could not be read");
  }
}

std::vector<ResultColumn> DirectStatement::Columns() {
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(statement_, &count))) Fail("the result could not be read");
  std::vector<ResultColumn> columns;
  for (SQLUSMALLINT i = 1; i <= SQLUSMALLINT(std::max<SQLSMALLINT>(count, 0)); ++i) {
    SQLWCHAR name[256] = {};
    SQLSMALLINT nameLength = 0, dataType = 0, decimals = 0, nullable = 0;
    SQLULEN size = 0;
    if (!SQL_SUCCEEDED(SQLDescribeColW(statement_, i, name, SQLSMALLINT(std::size(name)),
                                       &nameLength, &dataType, &size, &decimals, &nullable))) {
      Fail("the result's columns could not be read");
    }
    const qsizetype used = std::clamp<qsizetype>(nameLength, 0, qsizetype(std::size(name)) - 1);
    columns.push_back({QString::fromUtf16(reinterpret_cast<const char16_t*>(name), used),
                       KindOfSqlType(dataType)});
  }
  return columns;
}

bool DirectStatement::Fetch() {
  const SQLRETURN rc = Waiting([this] { return SQLFetch(statement_); });
  if (rc == SQL_NO_DATA) return false;
  if (!SQL_SUCCEEDED(rc)) Fail("a row could not be read");
  return true;
}

QVariant DirectStatement::Value(std::size_t index, ColumnKind kind) {
  const SQLUSMALLINT column = SQLUSMALLINT(index + 1);
  SQLLEN indicator = 0;
  const auto get = [&](SQLSMALLINT cType, SQLPOINTER target, SQLLEN size) {
    // A long value may still be arriving: its packets are part of the request's time.
    const SQLRETURN rc =
        Waiting([&] { return SQLGetData(statement_, column, cType, target, size, &indicator); });
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) Fail("a value could not be read");
    return rc;
  };
  switch (kind) {
    case ColumnKind::DateTime: {
      SQL_TIMESTAMP_STRUCT stamp{};
      get(SQL_C_TYPE_TIMESTAMP, &stamp, sizeof stamp);
      if (indicator == SQL_NULL_DATA) return {};
      // UTC only so that no local daylight-saving gap can move a wall-clock time.
      return QDateTime(QDate(stamp.year, stamp.month, stamp.day),
                       QTime(stamp.hour, stamp.minute, stamp.second, int(stamp.fraction / 1000000)),
                       Qt::UTC);
    }
    case ColumnKind::Date: {
      SQL_DATE_STRUCT date{};
      get(SQL_C_TYPE_DATE, &date, sizeof date);
      if (indicator == SQL_NULL_DATA) return {};
      return QDate(date.year, date.month, date.day);
    }
    case ColumnKind::Float: {
      // As a double, not as text: the driver prints a real with 9 digits, where
      // the field text wants the double's 15.
      double number = 0;
      get(SQL_C_DOUBLE, &number, sizeof number);
      if (indicator == SQL_NULL_DATA) return {};
      return number;
    }
    default:
      break;
  }
  std::u16string text;
  SQLWCHAR buffer[4096];
  for (;;) {
    const SQLRETURN rc = get(SQL_C_WCHAR, buffer, sizeof buffer);
    if (rc == SQL_NO_DATA) break;
    if (indicator == SQL_NULL_DATA) return {};
    const std::size_t room = std::size(buffer) - 1;
    const std::size_t got =
        (indicator == SQL_NO_TOTAL || std::size_t(indicator) / sizeof(SQLWCHAR) > room)
            ? room
            : std::size_t(indicator) / sizeof(SQLWCHAR);
    text.append(reinterpret_cast<const char16_t*>(buffer), got);
    if (rc == SQL_SUCCESS) break;
    // The rest is left to the driver, which passes over it at the next column or row.
    if (text.size() * sizeof(char16_t) > kLongestValueBytes)
      return QVariant::fromValue(TooLongValue{text.size() * sizeof(char16_t)});
  }
  // Built from a literal so that an empty text stays apart from NULL.
  QString result = QStringLiteral("");
  result += QString::fromUtf16(text.data(), qsizetype(text.size()));
  return result;
}

}  // namespace cardsync::db::odbc
