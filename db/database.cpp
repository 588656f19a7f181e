// The connection and the two statement objects. Qt SQL opens and closes the
// connection; statements run and their rows are read straight through ODBC on
// Qt's connection handle (see odbc_direct.h for why).
#include "db/database.h"

#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QString>
#include <QVariant>
#include <atomic>
#include <chrono>
#include <optional>

#include "clock/format_settings.h"
#include "db/field_text.h"
#include "db/freetds_tls.h"
#include "db/odbc_direct.h"

namespace cardsync::db {
namespace {

constexpr const char* kQtDriver = "QODBC";
constexpr const char* kLineEnd = "\r\n";  // every statement reaches the server with one
constexpr const char* kBeginTransaction = "begin transaction";
constexpr const char* kCommitTransaction = "commit transaction";
constexpr const char* kRollbackTransaction = "rollback transaction";

std::atomic<unsigned> connectionCounter{0};

using Clock = ServerLink::Clock;

std::chrono::milliseconds Left(Clock::time_point deadline) {
  return std::max(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()),
                  std::chrono::milliseconds(0));
}

std::string ConnectCutText(ServerLink::Cut cut, const ConnectionSettings& settings) {
  if (cut == ServerLink::Cut::Stopped) return "stopped while connecting to the server";
  return "the server did not answer within login_timeout (" +
         std::to_string(settings.loginTimeoutSeconds) + " s) while the connection was opened";
}

// Which server a connection was for, as "host:port/database"; with the data source
// first when the settings name one, since what it resolved to is what was tried.
std::string ServerPlace(const ConnectionSettings& settings) {
  const std::string place = AddressText(settings);
  return settings.dsn.empty() ? place : "data source '" + settings.dsn + "' (" + place + ")";
}

std::string QtErrorText(const QSqlError& error) {
  return (error.databaseText().isEmpty() ? error.text() : error.databaseText()).toStdString();
}

bool ContainsNoCase(const std::string& text, const char* needle) {
  return QString::fromStdString(text).contains(QLatin1String(needle), Qt::CaseInsensitive);
}

}  // namespace

// ---- statement objects ----

struct Statement::Held {
  std::vector<odbc::ResultColumn> columns;
  std::vector<std::vector<QVariant>> rows;
  std::size_t position = 0;
  bool eof = true;
};

Statement::Statement(Database& owner, std::string name) : owner_(owner), name_(std::move(name)) {}

Statement::~Statement() = default;

void Statement::Close() { held_.reset(); }

void Statement::SetText(std::string text) { text_ = std::move(text); }

void Statement::Open(const Params& params) {
  Close();
  odbc::DirectStatement statement(owner_.OdbcConnection(), owner_.link_,
                                  owner_.queryTimeoutSeconds_);
  statement.Execute(text_ + kLineEnd, params);
  // Row counts ahead of the first row set are passed over.
  if (!statement.SeekRowSet())
    throw DatabaseError(name_ + ": CommandText does not return a result set");
  auto held = std::make_unique<Held>();
  held->columns = statement.Columns();
  while (statement.Fetch()) {
    std::vector<QVariant>& row = held->rows.emplace_back();
    row.reserve(held->columns.size());
    for (std::size_t i = 0; i < held->columns.size(); ++i)
      row.push_back(statement.Value(i, held->columns[i].kind));
  }
  // Later results are read off so the connection is free for the other statement;
  // what they hold is not this statement's answer, unless the link went with them.
  try {
    statement.Drain();
  } catch (const DatabaseError& e) {
    if (e.ConnectionLost()) throw;
  }
  held->eof = held->rows.empty();
  held_ = std::move(held);
}

void Statement::OpenEach(const Params& params, const std::function<void(const Statement&)>& onRow) {
  Close();
  odbc::DirectStatement statement(owner_.OdbcConnection(), owner_.link_,
                                  owner_.queryTimeoutSeconds_);
  statement.Execute(text_ + kLineEnd, params);
  if (!statement.SeekRowSet())
    throw DatabaseError(name_ + ": CommandText does not return a result set");
  // One row at a time in a holder of one row: a pass of any size costs one row.
  held_ = std::make_unique<Held>();
  held_->columns = statement.Columns();
  held_->rows.resize(1);
  std::vector<QVariant>& row = held_->rows.front();
  while (statement.Fetch()) {
    row.clear();
    for (std::size_t i = 0; i < held_->columns.size(); ++i)
      row.push_back(statement.Value(i, held_->columns[i].kind));
    held_->eof = false;
    onRow(*this);
  }
  Close();
  try {
    statement.Drain();
  } catch (const DatabaseError& e) {
    if (e.ConnectionLost()) throw;
  }
}

void Statement::ExecSQL(const Params& params) {
  Close();
  rowsAffected_ = -1;
  odbc::DirectStatement statement(owner_.OdbcConnection(), owner_.link_,
                                  owner_.queryTimeoutSeconds_);
  statement.Execute(text_ + kLineEnd, params);
  rowsAffected_ = statement.RowCount();
  // An error raised later in a batch or procedure arrives with a later result.
  statement.Drain();
}

std::string Statement::Scalar(const Params& params) {
  // Read like any opened row set, so a column's text never depends on which
  // statement object read it.
  Open(params);
  return FieldText(std::size_t{0});
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

const FormatSettings& Statement::Format() const { return *owner_.format_; }

const QVariant& Statement::Cell(std::size_t index) const {
  static const QVariant kNoRow;
  const Held& held = Current();
  if (held.rows.empty()) return kNoRow;
  const QVariant& value = held.rows[held.position][index];
  if (value.metaType() == QMetaType::fromType<odbc::TooLongValue>()) {
    throw Error(name_ + ": the value of " + held.columns[index].name.toStdString() +
                " is longer than " + std::to_string(odbc::kLongestValueBytes >> 20) +
                " MiB and was not read");
  }
  return value;
}

std::string Statement::FieldText(std::string_view column) const {
  return FieldText(IndexOf(column));
}

std::string Statement::FieldText(std::size_t index) const {
  const Held& held = Current();
  if (index >= held.columns.size()) throw Error(name_ + ": Field index out of range");
  if (held.rows.empty()) return {};
  return db::FieldText(Cell(index), held.columns[index].kind, *owner_.format_);
}

DateTime Statement::FieldDateTime(std::string_view column) const {
  const std::size_t index = IndexOf(column);
  const Held& held = Current();
  return db::FieldDateTime(Cell(index), held.columns[index].kind, *owner_.format_, name_,
                           held.columns[index].name.toStdString());
}

Statement::TypedValue Statement::FieldValue(std::string_view column) const {
  const std::size_t index = IndexOf(column);
  return {Cell(index), Current().columns[index].kind};
}

void Statement::RequireFields(const std::vector<std::string_view>& columns) const {
  for (std::string_view column : columns) IndexOf(column);
}

// ---- the connection ----

Database::Database()
    : Database([] {
        const settings::Settings file = settings::ReadSettings(SettingsFilePath());
        return OpenSettings(ConnectionFromSettings(file), file.transfer);
      }) {}

Database::Database(std::function<OpenSettings()> settingsSource)
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
  reader_.Close();
  executor_.Close();
}

bool Database::Connected() const {
  const QString name = QString::fromStdString(connectionName_);
  return QSqlDatabase::contains(name) && QSqlDatabase::database(name, false).isOpen();
}

void* Database::OdbcConnection() const {
  if (!Connected()) throw DatabaseError("the connection is not open", "08003");
  const QSqlDatabase connection =
      QSqlDatabase::database(QString::fromStdString(connectionName_), false);
  return connection.driver() ? odbc::HandleOf(connection.driver()->handle()) : nullptr;
}

bool Database::OpenDatabase() {
  lastConnectError_.clear();
  CloseDatabase();
  ConnectionSettings settings;
  try {
    OpenSettings read = settingsSource_();
    settings = std::move(read.connection);
    transfer_ = read.transfer;
  } catch (const std::exception& e) {
    lastConnectError_ = e.what();
    return false;
  }
  settings_ = settings;
  queryTimeoutSeconds_ = settings.queryTimeoutSeconds;
  format_ = CurrentFormatSettings();
  // The relay's PRELOGIN and TLS with the server, FreeTDS's login and Qt's set-up
  // queries after it keep to one deadline: FreeTDS's time-out bounds each of its
  // waits rather than the open, and Qt's queries have none; a stop ends any of them.
  const Clock::time_point deadline =
      Clock::now() + std::chrono::seconds(settings.loginTimeoutSeconds);
  ServerLink::Connecting connecting = link_.BeginConnect(deadline);
  std::optional<int> driverPort;
  {
    const ServerLink::Wait wait = link_.Arm(Left(deadline));
    driverPort = OpenBounded(settings, deadline);
  }
  // Qt's open() passes over failed set-up queries: a cut one still fails the open.
  if (const ServerLink::Cut cut = link_.LastCut(); cut != ServerLink::Cut::None) {
    const QString name = QString::fromStdString(connectionName_);
    if (QSqlDatabase::contains(name)) QSqlDatabase::database(name, false).close();
    link_.Forget();
    lastConnectError_ = ConnectCutText(cut, settings);
    if (cut != ServerLink::Cut::Stopped) lastConnectError_.insert(0, ServerPlace(settings) + ": ");
    return false;
  }
  // FreeTDS's "Adaptive Server is unavailable or does not exist" does not say which
  // server; whoever reads it beside several needs to know. A stop asked for is no fault
  // of the server's.
  if (!driverPort) {
    if (!StopAsked()) lastConnectError_.insert(0, ServerPlace(settings) + ": ");
    return false;
  }
  connecting.Identify(*driverPort);
  return true;
}

std::optional<int> Database::OpenBounded(const ConnectionSettings& settings,
                                         Clock::time_point deadline) {
  ConnectionSettings relayed;
  std::string qtName;
  try {
    // FreeTDS connects to this process's TLS relay, never to the server itself.
    relayed = ThroughTlsRelay(settings);
    qtName = QodbcDatabaseName(OdbcConnectionString(relayed));
  } catch (const std::exception& e) {
    lastConnectError_ = e.what();
    return std::nullopt;
  }
  const QString name = QString::fromStdString(connectionName_);
  QSqlDatabase connection = QSqlDatabase::contains(name)
                                ? QSqlDatabase::database(name, false)
                                : QSqlDatabase::addDatabase(QString::fromLatin1(kQtDriver), name);
  if (!connection.isValid()) {
    lastConnectError_ = "Qt's ODBC driver (QODBC) is not available";
    return std::nullopt;
  }
  // The credentials travel inside the connection string, escaped there; handing
  // them to open() would have Qt append them unescaped.
  connection.setDatabaseName(QString::fromStdString(qtName));
  connection.setConnectOptions(
      QStringLiteral("SQL_ATTR_LOGIN_TIMEOUT=%1").arg(relayed.loginTimeoutSeconds));
  if (!connection.open()) {
    lastConnectError_ = CleanServerText(QtErrorText(connection.lastError()));
    if (lastConnectError_.empty()) lastConnectError_ = "the connection could not be opened";
    if (std::string why = ExplainTlsFailure(relayed, lastConnectError_, Left(deadline));
        !why.empty()) {
      lastConnectError_ = why;
    }
    return std::nullopt;
  }
  return relayed.port;
}

bool Database::CloseDatabase() {
  ForgetStatements();
  const QString name = QString::fromStdString(connectionName_);
  if (!QSqlDatabase::contains(name)) return true;
  QSqlDatabase connection = QSqlDatabase::database(name, false);
  {
    const ServerLink::Wait wait = link_.Arm(std::chrono::seconds(settings_.loginTimeoutSeconds));
    connection.close();
  }
  link_.Forget();
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
    result = executor_.Scalar(params);
  } catch (const DatabaseError& e) {
    lastQueryError_ = e;
  } catch (const Error& e) {
    lastQueryError_ = DatabaseError(e.what());
  }
  executor_.Close();
  return !lastQueryError_.has_value();
}

std::vector<Database::ColumnType> Database::DescribeColumns(const std::string& query) {
  executor_.Close();
  executor_.SetText(query);
  executor_.Open();
  std::vector<ColumnType> types;
  for (const odbc::ResultColumn& column : executor_.held_->columns)
    types.push_back({column.name.toStdString(), column.kind});
  executor_.Close();
  return types;
}

void Database::BeginTransaction() { ExecuteStatement(kBeginTransaction); }

void Database::CommitTransaction() { ExecuteStatement(kCommitTransaction); }

void Database::RollbackTransaction() { ExecuteStatement(kRollbackTransaction); }

std::string QodbcDatabaseName(const std::string& connectionString) {
  if (ContainsNoCase(connectionString, ".dsn")) {
    throw Error(
        "the ODBC connection string may not contain '.dsn': Qt's ODBC driver would take it for a "
        "file data source");
  }
  // The string reaches FreeTDS with one character past its end (Qt 6.4 over
  // unixODBC), which would join the last value (a password, when odbc_options
  // is empty); a closing ';' leaves that character outside every value.
  const std::string closed =
      connectionString.ends_with(';') ? connectionString : connectionString + ';';
  if (ContainsNoCase(closed, "DRIVER=") || ContainsNoCase(closed, "SERVER=")) return closed;
  if (QString::fromStdString(closed).startsWith(QLatin1String("DSN="), Qt::CaseInsensitive)) {
    return closed.substr(4);
  }
  return closed;
}

}  // namespace cardsync::db
