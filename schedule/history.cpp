// The history file through Qt SQL's SQLite driver: WAL so a reader (--history, the
// window at start) never blocks the scheduler, a busy timeout for two writers (the
// scheduler and a --run), and one migration step per schema version.
#include "schedule/history.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace cardsync::schedule {
namespace {

using namespace Qt::StringLiterals;

constexpr char kDriver[] = "QSQLITE";

// Step i brings a file from user_version i to i + 1.
const std::vector<std::vector<std::string>> kMigrations = {
    {"CREATE TABLE IF NOT EXISTS runs(id INTEGER PRIMARY KEY, job TEXT NOT NULL, run_day TEXT NOT "
     "NULL, "
     "trigger TEXT NOT NULL, started REAL NOT NULL, ended REAL, outcome TEXT NOT NULL, "
     "read_count INTEGER NOT NULL DEFAULT 0, inserted INTEGER NOT NULL DEFAULT 0, "
     "updated INTEGER NOT NULL DEFAULT 0, skipped INTEGER NOT NULL DEFAULT 0, "
     "skipped_records TEXT NOT NULL DEFAULT '', message TEXT NOT NULL DEFAULT '', "
     "server TEXT NOT NULL, port INTEGER NOT NULL, database TEXT NOT NULL)",
     "CREATE INDEX IF NOT EXISTS runs_by_target ON runs(server, port, database, job, run_day)",
     "CREATE INDEX IF NOT EXISTS runs_by_start ON runs(started)",
     "CREATE TABLE IF NOT EXISTS schedulers(server TEXT NOT NULL, port INTEGER NOT NULL, database "
     "TEXT NOT "
     "NULL, first_start REAL NOT NULL, PRIMARY KEY(server, port, database))"},
    // The server's date whose cards a transfer selected, YYYY-MM-DD; '' when not known.
    {"ALTER TABLE runs ADD COLUMN server_day TEXT NOT NULL DEFAULT ''"},
    // The skipped records as a JSON array of {"id", "reason"}: an order_id may hold ": "
    // or a line break, which the "id: reason" lines of skipped_records cannot carry.
    {"ALTER TABLE runs ADD COLUMN skipped_list TEXT NOT NULL DEFAULT ''"},
    // Warnings said beside the outcome (a workstation clock far from the server's), one a line.
    {"ALTER TABLE runs ADD COLUMN warnings TEXT NOT NULL DEFAULT ''"},
};

std::atomic<int> connectionCount{0};

// A history another process is creating: tried again this often, this long apart.
constexpr int kBusyAttempts = 20;
constexpr unsigned long kBusyPauseMs = 250;

bool Damaged(const QSqlError& error) {
  // SQLITE_NOTADB, SQLITE_CORRUPT
  return error.nativeErrorCode() == u"26" || error.nativeErrorCode() == u"11";
}

bool Busy(const QSqlError& error) {
  // SQLITE_BUSY, SQLITE_LOCKED
  return error.nativeErrorCode() == u"5" || error.nativeErrorCode() == u"6";
}

// Missing folders made 0700, whatever the umask; existing ones are left as they are.
bool MakeFolderPrivately(const std::string& folder, std::string& why) {
  if (QFileInfo(QString::fromStdString(folder)).isDir()) return true;
  const std::size_t slash = folder.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolderPrivately(folder.substr(0, slash), why))
    return false;
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = "cannot create the folder " + folder + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// The file made 0600 when missing, never through a symbolic link; one of ours that others
// may read is narrowed to 0600.
bool CreateFilePrivately(const std::string& file, std::string& why) {
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    why = "cannot open " + file + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
    ::fchmod(fd, st.st_mode & 0700);
  ::close(fd);
  return true;
}

QString SkippedListJson(const std::vector<jobs::SkippedRecord>& records) {
  QJsonArray list;
  for (const jobs::SkippedRecord& record : records) {
    list.append(QJsonObject{{"id", QString::fromStdString(record.orderId)},
                            {"reason", QString::fromStdString(record.reason)}});
  }
  return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

// Rows written before the JSON column existed keep "id: reason" lines.
std::vector<jobs::SkippedRecord> SkippedListFrom(const QString& json, const std::string& lines) {
  std::vector<jobs::SkippedRecord> records;
  if (!json.isEmpty()) {
    for (const QJsonValue& item : QJsonDocument::fromJson(json.toUtf8()).array()) {
      records.push_back(
          {item[u"id"_s].toString().toStdString(), item[u"reason"_s].toString().toStdString()});
    }
    return records;
  }
  for (const QString& line : QString::fromStdString(lines).split(u'\n', Qt::SkipEmptyParts)) {
    records.push_back(
        {line.section(u": "_s, 0, 0).toStdString(), line.section(u": "_s, 1).toStdString()});
  }
  return records;
}

ino_t InodeOf(const std::string& file) {
  struct stat st {};
  return ::stat(file.c_str(), &st) == 0 ? st.st_ino : 0;
}

// yyyymmdd as YYYY-MM-DD; '' for 0.
std::string ServerDayText(long long yearMonthDay) {
  if (yearMonthDay <= 0) return {};
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", yearMonthDay / 10000,
                yearMonthDay / 100 % 100, yearMonthDay % 100);
  return text;
}

void BindTarget(QSqlQuery& query, const Target& target) {
  query.addBindValue(QString::fromStdString(target.server));
  query.addBindValue(target.port);
  query.addBindValue(QString::fromStdString(target.database));
}

}  // namespace

jobs::JobOutcome RunRow::Outcome() const {
  jobs::JobOutcome result;
  using Status = jobs::JobOutcome::Status;
  for (Status status :
       {Status::Done, Status::CouldNotConnect, Status::Failed, Status::Interrupted}) {
    if (OutcomeName(status) == outcome) result.status = status;
  }
  result.message = message;
  result.read = read;
  result.inserted = inserted;
  result.updated = updated;
  result.skipped = skippedList;
  result.warnings = warnings;
  return result;
}

std::string_view JobName(jobs::JobKind kind) {
  return kind == jobs::JobKind::Transfer ? "transfer" : "totals";
}

std::string OutcomeName(jobs::JobOutcome::Status status) {
  switch (status) {
    case jobs::JobOutcome::Status::Done:
      return "done";
    case jobs::JobOutcome::Status::CouldNotConnect:
      return "could not connect";
    case jobs::JobOutcome::Status::Failed:
      return "failed";
    case jobs::JobOutcome::Status::Interrupted:
      break;
  }
  return "interrupted";
}

History::History(const std::string& path, Warn warn, int busyMs)
    : path_(path), warn_(std::move(warn)), busyMs_(busyMs) {
  connection_ = "cardsync-history-" + std::to_string(++connectionCount) + "-" +
                std::to_string(reinterpret_cast<quintptr>(QThread::currentThreadId()));
  if (!QSqlDatabase::isDriverAvailable(QString::fromLatin1(kDriver))) {
    Fail("cannot be opened", "Qt's SQLite driver is not installed (libqt6sql6-sqlite)");
    return;
  }
  driverFound_ = true;
  open_ = OpenFile();
}

bool History::OpenFile() {
  const QFileInfo info(QString::fromStdString(path_));
  // The runs name order ids and carry the server's texts: nobody else's to read, whatever
  // the umask. SQLite gives its WAL and shared-memory files the database file's mode.
  std::string why;
  if (!MakeFolderPrivately(info.absolutePath().toStdString(), why) ||
      !CreateFilePrivately(info.absoluteFilePath().toStdString(), why)) {
    Fail("cannot be opened", why);
    return false;
  }
  for (int attempt = 0;; ++attempt) {
    switch (Connect(info.absoluteFilePath())) {
      case Opening::Opened:
        inode_ = InodeOf(path_);
        return true;
      case Opening::Failed:
        Disconnect();  // a later write opens it afresh
        return false;
      case Opening::Corrupt:
        // A file that is no SQLite database (overwritten, truncated) would turn the
        // owed-run catch-up off for good: keep it for whoever wants to look, start anew.
        Disconnect();
        if (attempt > 0 || !MoveAside(why)) {
          Fail("is damaged and cannot be replaced", why);
          return false;
        }
        Fail("was damaged", "moved aside to " + why + "; a new history was started");
        break;
      case Opening::Busy:
        // Another process is creating or migrating the same file; it will be done soon.
        Disconnect();
        if (attempt >= kBusyAttempts) {
          Fail("cannot be opened", "another process keeps it locked");
          return false;
        }
        QThread::msleep(kBusyPauseMs);
        break;
    }
  }
}

History::Opening History::Connect(const QString& file) {
  QSqlDatabase db =
      QSqlDatabase::addDatabase(QString::fromLatin1(kDriver), QString::fromStdString(connection_));
  db.setDatabaseName(file);
  db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=%1").arg(busyMs_));
  if (!db.open()) {
    Fail("cannot be opened", db.lastError().text().toStdString());
    return Opening::Failed;
  }
  QSqlQuery version(db);
  if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
    if (Damaged(version.lastError())) return Opening::Corrupt;
    Fail("cannot be read", version.lastError().text().toStdString());
    return Opening::Failed;
  }
  const int found = version.value(0).toInt();
  version.finish();  // an open read would keep the journal mode from changing
  if (found > static_cast<int>(kMigrations.size())) {
    Fail("cannot be used",
         "its schema version " + std::to_string(found) + " is newer than this program knows");
    return Opening::Failed;
  }
  QSqlQuery wal(db);
  if (!wal.exec(QStringLiteral("PRAGMA journal_mode=WAL"))) {
    if (Damaged(wal.lastError())) return Opening::Corrupt;
    if (Busy(wal.lastError())) return Opening::Busy;
    Fail("cannot be written", wal.lastError().text().toStdString());
    return Opening::Failed;
  }
  wal.finish();
  return Migrate(db);
}

// Each step in a write transaction taken before the version is read again, so two
// programs starting on a new file at once do not both create it.
History::Opening History::Migrate(QSqlDatabase& db) {
  QSqlQuery query(db);
  if (!query.exec(QStringLiteral("BEGIN IMMEDIATE"))) {
    if (Busy(query.lastError())) return Opening::Busy;
    if (Damaged(query.lastError())) return Opening::Corrupt;
    Fail("cannot be written", query.lastError().text().toStdString());
    return Opening::Failed;
  }
  int found = 0;
  if (query.exec(QStringLiteral("PRAGMA user_version")) && query.next())
    found = query.value(0).toInt();
  query.finish();
  bool ok = true;
  for (int step = found; ok && step < static_cast<int>(kMigrations.size()); ++step) {
    for (const std::string& sql : kMigrations[step])
      ok = ok && query.exec(QString::fromStdString(sql));
    ok =
        ok && query.exec(QString::fromStdString("PRAGMA user_version=" + std::to_string(step + 1)));
  }
  if (ok && query.exec(QStringLiteral("COMMIT"))) return Opening::Opened;
  const QSqlError error = query.lastError();
  query.exec(QStringLiteral("ROLLBACK"));
  if (Busy(error)) return Opening::Busy;
  Fail("cannot be written", error.text().toStdString());
  return Opening::Failed;
}

void History::Disconnect() {
  {
    QSqlDatabase db = QSqlDatabase::database(QString::fromStdString(connection_), false);
    if (db.isValid()) db.close();
  }
  QSqlDatabase::removeDatabase(QString::fromStdString(connection_));
}

bool History::MoveAside(std::string& movedTo) {
  const std::string aside =
      path_ + ".corrupt-" +
      QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss")).toStdString();
  if (std::rename(path_.c_str(), aside.c_str()) != 0) {
    movedTo = "cannot rename it to " + aside + ": " + std::strerror(errno);
    return false;
  }
  for (const char* companion : {"-wal", "-shm"}) std::remove((path_ + companion).c_str());
  movedTo = aside;
  std::string why;
  return CreateFilePrivately(path_, why) || (movedTo = why, false);
}

bool History::Usable() {
  // Not opened at start (a folder not writable yet, a lock that outlasted the waits): a
  // write tries again, so the history comes back once the cause is gone.
  if (!open_) return driverFound_ && (open_ = OpenFile());
  // Deleted (or replaced) while running: writing on would go to a file nobody sees again.
  if (InodeOf(path_) == inode_) return true;
  Disconnect();
  Fail("was deleted or replaced", "a new history was started at the same place");
  open_ = OpenFile();
  return open_;
}

History::~History() { Disconnect(); }

void History::Fail(const std::string& what, const std::string& error) {
  if (warn_) warn_("run history " + path_ + " " + what + ": " + error);
}

bool History::Write(QSqlQuery& query) {
  if (query.exec()) return true;
  lastWrite_ = Busy(query.lastError()) ? WriteState::Busy : WriteState::Failed;
  Fail("cannot be written", query.lastError().text().toStdString());
  return false;
}

long long History::BeginRun(jobs::JobKind job, long long runDay, Trigger trigger, DateTime started,
                            const Target& target) {
  lastWrite_ = WriteState::Failed;
  if (!Usable()) return 0;
  lastWrite_ = WriteState::Landed;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "INSERT INTO runs(job, run_day, trigger, started, outcome, server, port, database) "
      "VALUES(?, ?, ?, ?, 'running', ?, ?, ?)"));
  query.addBindValue(QString::fromUtf8(JobName(job).data(), JobName(job).size()));
  query.addBindValue(QString::fromStdString(DayText(runDay)));
  query.addBindValue(QString::fromUtf8(TriggerName(trigger).data(), TriggerName(trigger).size()));
  query.addBindValue(started);
  BindTarget(query, target);
  if (!Write(query)) return 0;
  return query.lastInsertId().toLongLong();
}

void History::EndRun(long long id, DateTime ended, const jobs::JobOutcome& outcome) {
  lastWrite_ = WriteState::Failed;
  if (id == 0 || !Usable()) return;
  lastWrite_ = WriteState::Landed;
  std::string skipped;
  for (const jobs::SkippedRecord& record : outcome.skipped) {
    skipped += record.orderId + ": " + record.reason + "\n";
  }
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "UPDATE runs SET ended = ?, outcome = ?, read_count = ?, inserted = ?, updated = ?, "
      "skipped = ?, skipped_records = ?, message = ?, server_day = ?, skipped_list = ?, "
      "warnings = ? WHERE id = ?"));
  query.addBindValue(ended);
  query.addBindValue(QString::fromStdString(OutcomeName(outcome.status)));
  query.addBindValue(outcome.read);
  query.addBindValue(outcome.inserted);
  query.addBindValue(outcome.updated);
  query.addBindValue(static_cast<int>(outcome.skipped.size()));
  query.addBindValue(QString::fromStdString(skipped));
  query.addBindValue(QString::fromStdString(outcome.message));
  query.addBindValue(QString::fromStdString(ServerDayText(outcome.serverDay)));
  query.addBindValue(SkippedListJson(outcome.skipped));
  std::string warnings;
  for (const std::string& warning : outcome.warnings) warnings += warning + "\n";
  query.addBindValue(QString::fromStdString(warnings));
  query.addBindValue(id);
  Write(query);
}

std::vector<RunRow> History::Runs(DateTime since, const std::optional<Target>& target) {
  std::vector<RunRow> rows;
  if (!Usable()) return rows;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  std::string sql =
      "SELECT id, job, run_day, trigger, started, ended, outcome, read_count, inserted, "
      "updated, skipped, skipped_records, message, server, port, database, server_day, "
      "skipped_list, warnings FROM runs WHERE started >= ?";
  if (target) sql += " AND server = ? AND port = ? AND database = ?";
  query.prepare(QString::fromStdString(sql + " ORDER BY started, id"));
  query.addBindValue(since);
  if (target) BindTarget(query, *target);
  if (!query.exec()) {
    Fail("cannot be read", query.lastError().text().toStdString());
    return rows;
  }
  while (query.next()) {
    RunRow row;
    row.id = query.value(0).toLongLong();
    row.job =
        query.value(1).toString() == u"totals" ? jobs::JobKind::Totals : jobs::JobKind::Transfer;
    row.runDay = DayFromText(query.value(2).toString().toStdString()).value_or(0);
    row.trigger = TriggerNamed(query.value(3).toString().toStdString()).value_or(Trigger::Clicked);
    row.started = query.value(4).toDouble();
    if (!query.value(5).isNull()) row.ended = query.value(5).toDouble();
    row.outcome = query.value(6).toString().toStdString();
    row.read = query.value(7).toInt();
    row.inserted = query.value(8).toInt();
    row.updated = query.value(9).toInt();
    row.skipped = query.value(10).toInt();
    row.skippedRecords = query.value(11).toString().toStdString();
    row.message = query.value(12).toString().toStdString();
    row.target = {query.value(13).toString().toStdString(), query.value(14).toInt(),
                  query.value(15).toString().toStdString()};
    row.serverDay = query.value(16).toString().toStdString();
    row.skippedList = SkippedListFrom(query.value(17).toString(), row.skippedRecords);
    for (const QString& warning : query.value(18).toString().split(u'\n', Qt::SkipEmptyParts))
      row.warnings.push_back(warning.toStdString());
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<long long> History::RunningRuns(jobs::JobKind job, const Target& target) {
  std::vector<long long> ids;
  if (!Usable()) return ids;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "SELECT id FROM runs WHERE job = ? AND outcome = 'running' AND server = ? AND port = ? "
      "AND database = ? ORDER BY id"));
  query.addBindValue(QString::fromUtf8(JobName(job).data(), JobName(job).size()));
  BindTarget(query, target);
  if (!query.exec()) {
    Fail("cannot be read", query.lastError().text().toStdString());
    return ids;
  }
  while (query.next()) ids.push_back(query.value(0).toLongLong());
  return ids;
}

std::set<long long> History::SettledDays(jobs::JobKind job, const Target& target,
                                         long long fromDay) {
  std::set<long long> days;
  if (!Usable()) return days;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "SELECT DISTINCT run_day FROM runs WHERE job = ? AND outcome = 'done' AND trigger IN "
      "('scheduled', 'catch-up', 'retry') AND run_day >= ? AND server = ? AND port = ? AND "
      "database = ?"));
  query.addBindValue(QString::fromUtf8(JobName(job).data(), JobName(job).size()));
  query.addBindValue(QString::fromStdString(DayText(fromDay)));
  BindTarget(query, target);
  if (!query.exec()) {
    Fail("cannot be read", query.lastError().text().toStdString());
    return days;
  }
  while (query.next()) {
    if (auto day = DayFromText(query.value(0).toString().toStdString())) days.insert(*day);
  }
  return days;
}

DateTime History::FirstStart(const Target& target, DateTime now) {
  if (const std::optional<DateTime> recorded = RecordedFirstStart(target)) return *recorded;
  RecordFirstStart(target, now);
  return now;
}

std::optional<DateTime> History::RecordedFirstStart(const Target& target) {
  if (!Usable()) return std::nullopt;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "SELECT first_start FROM schedulers WHERE server = ? AND port = ? AND database = ?"));
  BindTarget(query, target);
  if (query.exec() && query.next()) return query.value(0).toDouble();
  return std::nullopt;
}

void History::RecordFirstStart(const Target& target, DateTime when) {
  lastWrite_ = WriteState::Failed;
  if (!Usable()) return;
  lastWrite_ = WriteState::Landed;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "INSERT OR IGNORE INTO schedulers(server, port, database, first_start) VALUES(?, ?, ?, ?)"));
  BindTarget(query, target);
  query.addBindValue(when);
  Write(query);
}

void History::MoveFirstStart(const Target& target, DateTime when) {
  lastWrite_ = WriteState::Failed;
  if (!Usable()) return;
  lastWrite_ = WriteState::Landed;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "UPDATE schedulers SET first_start = ? WHERE server = ? AND port = ? AND database = ?"));
  query.addBindValue(when);
  BindTarget(query, target);
  Write(query);
}

int History::CloseLeftRunning(const Target& target, DateTime when, const std::string& foundBy) {
  int closed = 0;
  if (!Usable()) {
    lastWrite_ = WriteState::Failed;
    return 0;
  }
  jobs::JobOutcome outcome;
  outcome.status = jobs::JobOutcome::Status::Interrupted;
  // A power cut or a SIGKILL ended the process before it could complete its row.
  outcome.message = "the program ended during the run (found still running when " + foundBy + ")";
  WriteState worst = WriteState::Landed;
  for (jobs::JobKind job : {jobs::JobKind::Transfer, jobs::JobKind::Totals}) {
    for (long long id : RunningRuns(job, target)) {
      EndRun(id, when, outcome);
      if (lastWrite_ == WriteState::Landed)
        ++closed;
      else
        worst = lastWrite_;
    }
  }
  lastWrite_ = worst;
  return closed;
}

int History::UnsettleAfter(jobs::JobKind job, const Target& target, long long day) {
  lastWrite_ = WriteState::Failed;
  if (!Usable()) return 0;
  lastWrite_ = WriteState::Landed;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "UPDATE runs SET outcome = 'done early' WHERE job = ? AND outcome = 'done' AND trigger IN "
      "('scheduled', 'catch-up', 'retry') AND run_day > ? AND server = ? AND port = ? AND "
      "database = ?"));
  query.addBindValue(QString::fromUtf8(JobName(job).data(), JobName(job).size()));
  query.addBindValue(QString::fromStdString(DayText(day)));
  BindTarget(query, target);
  if (!Write(query)) return 0;
  return query.numRowsAffected();
}

}  // namespace cardsync::schedule
