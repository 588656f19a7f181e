// The connection and the two statement objects on Qt SQL's ODBC driver. Qt gives
// no SQLSTATE, no query time-out and no dead-link test, so three small calls go to
// the ODBC API directly, on the handles Qt owns: diagnostics, time-out, link state.
#include "db/database.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlField>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QSqlResult>
#include <QString>
#include <QVariant>
#include <algorithm>
#include <atomic>

#include "db/field_text.h"
#include "shell/format_settings.h"

namespace cardsync::db {
namespace {

constexpr const char* kQtDriver = "QODBC";
constexpr const char* kLineEnd = "\r\n";  // every statement reaches the server with one
constexpr std::size_t kMaxPreparedPerStatement = 8;

std::atomic<unsigned> connectionCounter{0};

// ---- the ODBC API, on handles Qt owns ----

SQLHANDLE HandleOf(const QVariant& handle) {
  if (!handle.isValid() || handle.metaType().sizeOf() != sizeof(SQLHANDLE)) return SQL_NULL_HANDLE;
  return *static_cast<const SQLHANDLE*>(handle.constData());
}

struct DiagRecord {
  std::string sqlState;
  int nativeError = 0;
  std::string text;
};

// The wide form keeps Chinese server texts intact: Qt opened the connection wide.
std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
  std::vector<DiagRecord> records;
  if (handle == SQL_NULL_HANDLE) return records;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    const SQLRETURN rc =
        SQLGetDiagRecW(handleType, handle, i, state, &native, message, SQLSMALLINT(std::size(message)), &length);
    if (!SQL_SUCCEEDED(rc)) break;
    const qsizetype used = std::min<qsizetype>(length, qsizetype(std::size(message)) - 1);
    records.push_back({QString::fromUtf16(reinterpret_cast<const char16_t*>(state), 5).toStdString(), int(native),
                       QString::fromUtf16(reinterpret_cast<const char16_t*>(message), used).toStdString()});
  }
  return records;
}

void SetQueryTimeout(SQLHANDLE statement, int seconds) {
  if (statement == SQL_NULL_HANDLE) return;
  SQLSetStmtAttrW(statement, SQL_ATTR_QUERY_TIMEOUT, reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)),
                  SQL_IS_UINTEGER);
}

// The first record that is not a warning carries the server's error.
DatabaseError ErrorFrom(const std::vector<DiagRecord>& records, const QSqlError& qtError, bool linkGone) {
  for (const DiagRecord& record : records) {
    if (!record.sqlState.starts_with("01")) {
      return DatabaseError(CleanServerText(record.text), record.sqlState, record.nativeError, linkGone);
    }
  }
  const QString text = qtError.databaseText().isEmpty() ? qtError.text() : qtError.databaseText();
  return DatabaseError(CleanServerText(text.toStdString()), {}, qtError.nativeErrorCode().toInt(), linkGone);
}

QVariant ToVariant(const Value& value) {
  if (std::holds_alternative<std::int64_t>(value)) return QVariant(qlonglong(std::get<std::int64_t>(value)));
  if (std::holds_alternative<std::string>(value)) {
    // Built from a literal so an empty text stays an empty string, not a NULL.
    QString text = QStringLiteral("");
    text += QString::fromStdString(std::get<std::string>(value));
    return QVariant(text);
  }
  return QVariant(QMetaType::fromType<QString>());
}

bool ContainsNoCase(const std::string& text, std::string_view needle) {
  return QString::fromStdString(text).contains(QLatin1String(needle.data(), qsizetype(needle.size())),
                                               Qt::CaseInsensitive);
}

}  // namespace

// ---- held results and prepared statements ----

struct Statement::Held {
  struct Column {
    QString name;
    ColumnKind kind;
  };
  std::vector<Column> columns;
  std::vector<std::vector<QVariant>> rows;
  std::size_t position = 0;
  bool eof = true;
};

// A statement text prepared once and executed again with new values: FreeTDS then
// sends one request per execution instead of preparing afresh every time.
struct Statement::Prepared {
  std::string text;
  QSqlQuery query;
};

Statement::Statement(Database& owner, std::string name) : owner_(owner), name_(std::move(name)) {}

Statement::~Statement() = default;

void Statement::Close() { held_.reset(); }

void Statement::SetText(std::string text) { text_ = std::move(text); }

void Statement::DropPrepared() {
  held_.reset();
  prepared_.clear();
}

Statement::Prepared& Statement::Run(const Params& params) {
  if (!owner_.Connected()) throw DatabaseError(name_ + ": the connection is not open", "08003");
  auto found = std::find_if(prepared_.begin(), prepared_.end(),
                            [this](const std::unique_ptr<Prepared>& p) { return p->text == text_; });
  if (found == prepared_.end()) {
    if (prepared_.size() >= kMaxPreparedPerStatement) prepared_.clear();
    auto fresh = std::make_unique<Prepared>(
        Prepared{text_, QSqlQuery(QSqlDatabase::database(QString::fromStdString(owner_.connectionName_), false))});
    fresh->query.setForwardOnly(true);
    fresh->query.setNumericalPrecisionPolicy(QSql::HighPrecision);
    if (!fresh->query.prepare(QString::fromStdString(text_ + kLineEnd))) {
      throw ErrorFrom(ReadDiagnostics(SQL_HANDLE_STMT, HandleOf(fresh->query.result()->handle())),
                      fresh->query.lastError(), owner_.LinkDead());
    }
    // Without a time-out a stopped server would hold the job for ever.
    SetQueryTimeout(HandleOf(fresh->query.result()->handle()), owner_.queryTimeoutSeconds_);
    prepared_.push_back(std::move(fresh));
    found = std::prev(prepared_.end());
  }
  QSqlQuery& query = (*found)->query;
  for (std::size_t i = 0; i < params.size(); ++i) query.bindValue(int(i), ToVariant(params[i]));
  if (!query.exec()) {
    const DatabaseError error = ErrorFrom(ReadDiagnostics(SQL_HANDLE_STMT, HandleOf(query.result()->handle())),
                                          query.lastError(), owner_.LinkDead());
    query.finish();
    throw error;
  }
  return **found;
}

void Statement::Open(const Params& params) {
  Close();
  QSqlQuery& query = Run(params).query;
  const auto fail = [&]() -> DatabaseError {
    DatabaseError error = ErrorFrom(ReadDiagnostics(SQL_HANDLE_STMT, HandleOf(query.result()->handle())),
                                    query.lastError(), owner_.LinkDead());
    query.finish();
    return error;
  };
  // Row counts ahead of the first row set are passed over.
  while (!query.isSelect()) {
    if (!query.nextResult()) {
      if (query.lastError().isValid()) throw fail();
      query.finish();
      throw DatabaseError(name_ + ": CommandText does not return a result set");
    }
  }
  auto held = std::make_unique<Held>();
  const QSqlRecord record = query.record();
  for (int i = 0; i < record.count(); ++i) {
    held->columns.push_back({record.fieldName(i), KindOfSqlType(record.field(i).typeID())});
  }
  const int columnCount = record.count();
  while (query.next()) {
    std::vector<QVariant>& row = held->rows.emplace_back();
    row.reserve(std::size_t(columnCount));
    for (int i = 0; i < columnCount; ++i) row.push_back(query.value(i));
  }
  if (query.lastError().isValid()) throw fail();
  // Later results are dropped so the connection is free for the other statement.
  query.finish();
  held->eof = held->rows.empty();
  held_ = std::move(held);
}

void Statement::ExecSQL(const Params& params) {
  Close();
  QSqlQuery& query = Run(params).query;
  rowsAffected_ = query.numRowsAffected();
  // An error raised later in a batch or procedure arrives with a later result.
  while (query.nextResult()) {
  }
  if (query.lastError().isValid()) {
    const DatabaseError error = ErrorFrom(ReadDiagnostics(SQL_HANDLE_STMT, HandleOf(query.result()->handle())),
                                          query.lastError(), owner_.LinkDead());
    query.finish();
    throw error;
  }
  query.finish();
}

bool Statement::Active() const { return held_ != nullptr; }

const Statement::Held& Statement::Current() const {
  if (!held_) throw Error(name_ + ": Cannot perform this operation on a closed dataset");
  return *held_;
}

void Statement::First() {
  Current();
  held_->position = 0;
  held_->eof = held_->rows.empty();
}

bool Statement::Eof() const { return Current().eof; }

void Statement::Next() {
  Current();
  // Past the last row the last row stays readable; only the end test changes.
  if (held_->position + 1 < held_->rows.size()) {
    ++held_->position;
  } else {
    held_->eof = true;
  }
}

std::size_t Statement::RecordCount() const { return Current().rows.size(); }

std::size_t Statement::FieldCount() const { return Current().columns.size(); }

std::size_t Statement::IndexOf(std::string_view column) const {
  const Held& held = Current();
  const QString wanted = QString::fromUtf8(column.data(), qsizetype(column.size()));
  for (std::size_t i = 0; i < held.columns.size(); ++i) {
    if (held.columns[i].name.compare(wanted, Qt::CaseInsensitive) == 0) return i;
  }
  throw Error(name_ + ": Field '" + std::string(column) + "' not found");
}

std::string Statement::FieldText(std::string_view column) const { return FieldText(IndexOf(column)); }

std::string Statement::FieldText(std::size_t index) const {
  const Held& held = Current();
  if (index >= held.columns.size()) throw Error(name_ + ": Field index out of range");
  if (held.rows.empty()) return {};
  return db::FieldText(held.rows[held.position][index], held.columns[index].kind, CurrentFormatSettings());
}

DateTime Statement::FieldDateTime(std::string_view column) const {
  const std::size_t index = IndexOf(column);
  const Held& held = Current();
  const QVariant value = held.rows.empty() ? QVariant() : held.rows[held.position][index];
  return db::FieldDateTime(value, held.columns[index].kind, CurrentFormatSettings(), name_,
                           held.columns[index].name.toStdString());
}

// ---- the connection ----

Database::Database()
    : Database([] { return ReadConnectionSettings(SettingsFilePath()); }) {}

Database::Database(std::function<ConnectionSettings()> settingsSource)
    : settingsSource_(std::move(settingsSource)),
      connectionName_("cardsync-" + std::to_string(++connectionCounter)),
      reader_(*this, "ADOQuww"),
      executor_(*this, "ADOQuexec") {}

Database::~Database() {
  CloseDatabase();
  if (QSqlDatabase::contains(QString::fromStdString(connectionName_))) {
    QSqlDatabase::removeDatabase(QString::fromStdString(connectionName_));
  }
}

void Database::ForgetStatements() {
  // Qt wants every query gone before its connection closes.
  reader_.DropPrepared();
  executor_.DropPrepared();
}

bool Database::Connected() const {
  const QString name = QString::fromStdString(connectionName_);
  return QSqlDatabase::contains(name) && QSqlDatabase::database(name, false).isOpen();
}

bool Database::LinkDead() const {
  const QString name = QString::fromStdString(connectionName_);
  if (!QSqlDatabase::contains(name)) return false;
  const QSqlDatabase connection = QSqlDatabase::database(name, false);
  if (!connection.isOpen() || connection.driver() == nullptr) return false;
  const SQLHANDLE dbc = HandleOf(connection.driver()->handle());
  if (dbc == SQL_NULL_HANDLE) return false;
  SQLUINTEGER dead = SQL_CD_FALSE;
  const SQLRETURN rc = SQLGetConnectAttrW(dbc, SQL_ATTR_CONNECTION_DEAD, &dead, SQL_IS_UINTEGER, nullptr);
  return SQL_SUCCEEDED(rc) && dead == SQL_CD_TRUE;
}

DatabaseError Database::ConnectionError(const std::string& what) const {
  const QString name = QString::fromStdString(connectionName_);
  const QSqlDatabase connection = QSqlDatabase::database(name, false);
  const SQLHANDLE dbc = connection.driver() ? HandleOf(connection.driver()->handle()) : SQL_NULL_HANDLE;
  DatabaseError error = ErrorFrom(ReadDiagnostics(SQL_HANDLE_DBC, dbc), connection.lastError(), LinkDead());
  if (std::string(error.what()).empty()) return DatabaseError(what, error.SqlState(), error.NativeError(), LinkDead());
  return error;
}

bool Database::OpenDatabase() {
  lastConnectError_.clear();
  CloseDatabase();
  ConnectionSettings settings;
  std::string qtName;
  try {
    settings = settingsSource_();
    qtName = QodbcDatabaseName(OdbcConnectionString(settings));
  } catch (const std::exception& e) {
    lastConnectError_ = e.what();
    return false;
  }
  queryTimeoutSeconds_ = settings.queryTimeoutSeconds;

  const QString name = QString::fromStdString(connectionName_);
  QSqlDatabase connection = QSqlDatabase::contains(name) ? QSqlDatabase::database(name, false)
                                                         : QSqlDatabase::addDatabase(QString::fromLatin1(kQtDriver), name);
  if (!connection.isValid()) {
    lastConnectError_ = "Qt's ODBC driver (QODBC) is not available";
    return false;
  }
  // The credentials travel inside the connection string, escaped there; handing
  // them to open() would have Qt append them unescaped.
  connection.setDatabaseName(QString::fromStdString(qtName));
  connection.setConnectOptions(QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(settings.loginTimeoutSeconds));
  if (!connection.open()) {
    const QSqlError error = connection.lastError();
    lastConnectError_ = CleanServerText(
        (error.databaseText().isEmpty() ? error.text() : error.databaseText()).toStdString());
    if (lastConnectError_.empty()) lastConnectError_ = "the connection could not be opened";
    return false;
  }
  return true;
}

bool Database::CloseDatabase() {
  ForgetStatements();
  const QString name = QString::fromStdString(connectionName_);
  if (!QSqlDatabase::contains(name)) return true;
  QSqlDatabase connection = QSqlDatabase::database(name, false);
  connection.close();
  return !connection.isOpen();
}

void Database::ExecuteStatement(const std::string& text, const Params& params) {
  executor_.Close();
  executor_.SetText(text);
  executor_.ExecSQL(params);
}

bool Database::QueryScalar(const std::string& text, std::string& result, const Params& params) {
  lastQueryError_.reset();
  executor_.Close();
  executor_.SetText(text);
  try {
    executor_.Open(params);
    std::string value = executor_.FieldCount() > 0 ? executor_.FieldText(std::size_t{0}) : std::string();
    result = std::move(value);
  } catch (const DatabaseError& e) {
    lastQueryError_ = e;
  } catch (const Error& e) {
    lastQueryError_ = DatabaseError(e.what());
  }
  executor_.Close();
  return !lastQueryError_.has_value();
}

void Database::BeginTransaction() {
  if (!Connected()) throw DatabaseError("the connection is not open", "08003");
  QSqlDatabase connection = QSqlDatabase::database(QString::fromStdString(connectionName_), false);
  if (!connection.transaction()) throw ConnectionError("the transaction could not be started");
}

void Database::CommitTransaction() {
  QSqlDatabase connection = QSqlDatabase::database(QString::fromStdString(connectionName_), false);
  if (!connection.commit()) throw ConnectionError("the transaction could not be committed");
}

void Database::RollbackTransaction() {
  QSqlDatabase connection = QSqlDatabase::database(QString::fromStdString(connectionName_), false);
  if (!connection.rollback()) throw ConnectionError("the transaction could not be rolled back");
}

std::string QodbcDatabaseName(const std::string& connectionString) {
  if (ContainsNoCase(connectionString, ".dsn")) {
    throw Error("the ODBC connection string may not contain '.dsn': Qt's ODBC driver would take it for a file data source");
  }
  if (ContainsNoCase(connectionString, "DRIVER=") || ContainsNoCase(connectionString, "SERVER=")) {
    return connectionString;
  }
  if (QString::fromStdString(connectionString).startsWith(QLatin1String("DSN="), Qt::CaseInsensitive)) {
    return connectionString.substr(4);
  }
  return connectionString;
}

}  // namespace cardsync::db
