// The history file through Qt SQL's SQLite driver: WAL so a reader (--history, the
// window at start) never blocks the scheduler, a busy timeout for two writers (the
// scheduler and a --run), and one migration step per schema version.
#include "schedule/history.h"

#include <QDir>
#include <QFileInfo>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>
#include <atomic>
#include <cstdio>

namespace cardsync::schedule {
namespace {

constexpr char kDriver[] = "QSQLITE";

// Step i brings a file from user_version i to i + 1.
const std::vector<std::vector<std::string>> kMigrations = {
    {"CREATE TABLE runs(id INTEGER PRIMARY KEY, job TEXT NOT NULL, run_day TEXT NOT NULL, "
     "trigger TEXT NOT NULL, started REAL NOT NULL, ended REAL, outcome TEXT NOT NULL, "
     "read_count INTEGER NOT NULL DEFAULT 0, inserted INTEGER NOT NULL DEFAULT 0, "
     "updated INTEGER NOT NULL DEFAULT 0, skipped INTEGER NOT NULL DEFAULT 0, "
     "skipped_records TEXT NOT NULL DEFAULT '', message TEXT NOT NULL DEFAULT '', "
     "server TEXT NOT NULL, port INTEGER NOT NULL, database TEXT NOT NULL)",
     "CREATE INDEX runs_by_target ON runs(server, port, database, job, run_day)",
     "CREATE INDEX runs_by_start ON runs(started)",
     "CREATE TABLE schedulers(server TEXT NOT NULL, port INTEGER NOT NULL, database TEXT NOT "
     "NULL, first_start REAL NOT NULL, PRIMARY KEY(server, port, database))"},
    // The server's date whose cards a transfer selected, YYYY-MM-DD; '' when not known.
    {"ALTER TABLE runs ADD COLUMN server_day TEXT NOT NULL DEFAULT ''"},
};

std::atomic<int> connectionCount{0};

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

History::History(const std::string& path, Warn warn) : path_(path), warn_(std::move(warn)) {
  connection_ = "cardsync-history-" + std::to_string(++connectionCount) + "-" +
                std::to_string(reinterpret_cast<quintptr>(QThread::currentThreadId()));
  if (!QSqlDatabase::isDriverAvailable(QString::fromLatin1(kDriver))) {
    Fail("cannot be opened", "Qt's SQLite driver is not installed (libqt6sql6-sqlite)");
    return;
  }
  const QFileInfo info(QString::fromStdString(path));
  if (!QDir().mkpath(info.absolutePath())) {
    Fail("cannot be opened", "cannot create the folder " + info.absolutePath().toStdString());
    return;
  }
  QSqlDatabase db =
      QSqlDatabase::addDatabase(QString::fromLatin1(kDriver), QString::fromStdString(connection_));
  db.setDatabaseName(info.absoluteFilePath());
  db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
  if (!db.open()) {
    Fail("cannot be opened", db.lastError().text().toStdString());
    return;
  }
  open_ = true;
  QSqlQuery version(db);
  if (!version.exec(QStringLiteral("PRAGMA user_version")) || !version.next()) {
    Fail("cannot be read", version.lastError().text().toStdString());
    open_ = false;
    return;
  }
  const int found = version.value(0).toInt();
  version.finish();  // an open read would keep the journal mode from changing
  if (found > static_cast<int>(kMigrations.size())) {
    Fail("cannot be used",
         "its schema version " + std::to_string(found) + " is newer than this program knows");
    open_ = false;
    return;
  }
  if (!Exec("PRAGMA journal_mode=WAL")) {
    open_ = false;
    return;
  }
  for (int step = found; step < static_cast<int>(kMigrations.size()); ++step) {
    bool ok = Exec("BEGIN");
    for (const std::string& sql : kMigrations[step]) ok = ok && Exec(sql);
    ok = ok && Exec("PRAGMA user_version=" + std::to_string(step + 1)) && Exec("COMMIT");
    if (!ok) {
      Exec("ROLLBACK");
      open_ = false;
      return;
    }
  }
}

History::~History() {
  {
    QSqlDatabase db = QSqlDatabase::database(QString::fromStdString(connection_), false);
    if (db.isValid()) db.close();
  }
  QSqlDatabase::removeDatabase(QString::fromStdString(connection_));
}

void History::Fail(const std::string& what, const std::string& error) {
  if (warn_) warn_("run history " + path_ + " " + what + ": " + error);
}

bool History::Exec(const std::string& sql) {
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  if (query.exec(QString::fromStdString(sql))) return true;
  Fail("cannot be written", query.lastError().text().toStdString());
  return false;
}

long long History::BeginRun(jobs::JobKind job, long long runDay, Trigger trigger, DateTime started,
                            const Target& target) {
  if (!open_) return 0;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "INSERT INTO runs(job, run_day, trigger, started, outcome, server, port, database) "
      "VALUES(?, ?, ?, ?, 'running', ?, ?, ?)"));
  query.addBindValue(QString::fromUtf8(JobName(job).data(), JobName(job).size()));
  query.addBindValue(QString::fromStdString(DayText(runDay)));
  query.addBindValue(QString::fromUtf8(TriggerName(trigger).data(), TriggerName(trigger).size()));
  query.addBindValue(started);
  BindTarget(query, target);
  if (!query.exec()) {
    Fail("cannot be written", query.lastError().text().toStdString());
    return 0;
  }
  return query.lastInsertId().toLongLong();
}

void History::EndRun(long long id, DateTime ended, const jobs::JobOutcome& outcome) {
  if (!open_ || id == 0) return;
  std::string skipped;
  for (const jobs::SkippedRecord& record : outcome.skipped) {
    skipped += record.orderId + ": " + record.reason + "\n";
  }
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "UPDATE runs SET ended = ?, outcome = ?, read_count = ?, inserted = ?, updated = ?, "
      "skipped = ?, skipped_records = ?, message = ?, server_day = ? WHERE id = ?"));
  query.addBindValue(ended);
  query.addBindValue(QString::fromStdString(OutcomeName(outcome.status)));
  query.addBindValue(outcome.read);
  query.addBindValue(outcome.inserted);
  query.addBindValue(outcome.updated);
  query.addBindValue(static_cast<int>(outcome.skipped.size()));
  query.addBindValue(QString::fromStdString(skipped));
  query.addBindValue(QString::fromStdString(outcome.message));
  query.addBindValue(QString::fromStdString(ServerDayText(outcome.serverDay)));
  query.addBindValue(id);
  if (!query.exec()) Fail("cannot be written", query.lastError().text().toStdString());
}

std::vector<RunRow> History::Runs(DateTime since, const std::optional<Target>& target) {
  std::vector<RunRow> rows;
  if (!open_) return rows;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  std::string sql =
      "SELECT id, job, run_day, trigger, started, ended, outcome, read_count, inserted, "
      "updated, skipped, skipped_records, message, server, port, database, server_day FROM runs "
      "WHERE started >= ?";
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
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<long long> History::RunningRuns(jobs::JobKind job, const Target& target) {
  std::vector<long long> ids;
  if (!open_) return ids;
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
  if (!open_) return days;
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
  if (!open_) return now;
  QSqlQuery query(QSqlDatabase::database(QString::fromStdString(connection_), false));
  query.prepare(QStringLiteral(
      "SELECT first_start FROM schedulers WHERE server = ? AND port = ? AND database = ?"));
  BindTarget(query, target);
  if (query.exec() && query.next()) return query.value(0).toDouble();
  query.prepare(QStringLiteral(
      "INSERT OR IGNORE INTO schedulers(server, port, database, first_start) VALUES(?, ?, ?, ?)"));
  BindTarget(query, target);
  query.addBindValue(now);
  if (!query.exec()) Fail("cannot be written", query.lastError().text().toStdString());
  return now;
}

}  // namespace cardsync::schedule
