// The transfer job: two passes over T_sendbase, each record checked, inserted when
// new and updated in T_quindale. Values are bound, not pasted into the text, so
// quotes and Chinese text arrive exactly as read, and typed by their destination
// column (transfer_values.h). An error about one record's values skips it; any
// other ends the job, so a run that cannot write is never reported as done.
#include "jobs/transfer.h"

#include <QDate>
#include <charconv>

#include "jobs/connected_run.h"

namespace cardsync::jobs {
namespace {

// The day tests follow the server's clock (GETDATE()), not the workstation's.
// Both texts are kept exactly, two blanks before kahao included.
constexpr const char* kPreviousDayOrdinaryCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)="
    "year(GETDATE()-1)*10000+month(GETDATE()-1)*100+DAY(GETDATE()-1) and  "
    "kahao not in ('000000','111111','222222','333333','444444')";
constexpr const char* kCurrentDaySpecialCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)="
    "year(GETDATE())*10000+month(GETDATE())*100+DAY(GETDATE()) and  "
    "kahao  in ('000000','111111','222222','333333','444444')";

// A run serving an earlier day D keeps each selection but for its day, bound as the
// number yyyymmdd: D-1 for the ordinary cards, D for the special cards.
constexpr const char* kDayOrdinaryCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and  "
    "kahao not in ('000000','111111','222222','333333','444444')";
constexpr const char* kDaySpecialCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and  "
    "kahao  in ('000000','111111','222222','333333','444444')";

constexpr const char* kExistenceCheck = "select count(*) from T_quindale where order_id=?";
constexpr const char* kInsertStatement = "insert into T_quindale(order_id) values(?)";
constexpr const char* kUpdateStatement =
    "update T_quindale set kex_no=?,startdate=?,enddate=?,months=?,moneys=?,types=?,kahao=?,siji=? "
    "where order_id=?";

struct TransferPass {
  const char* selection;
  const char* daySelection;  // the same for a run that serves an earlier day
  bool convertPlate;         // ordinary cards get their province code rewritten
  int dayOffset;             // the day selected, relative to the run's day
};

constexpr TransferPass kPasses[] = {
    {kPreviousDayOrdinaryCards, kDayOrdinaryCards, true, -1},
    {kCurrentDaySpecialCards, kDaySpecialCards, false, 0},
};

// yyyymmdd of `day` moved by `offset` days, as the selections compare it.
std::int64_t DayNumber(const TransferOptions::Day& day, int offset) {
  const QDate date = QDate(day.year, day.month, day.day).addDays(offset);
  if (!date.isValid()) throw Error("the run's day is not a valid date");
  return std::int64_t(date.year()) * 10000 + date.month() * 100 + date.day();
}

bool StopAsked(const TransferOptions& options) {
  return options.stop != nullptr && options.stop->load(std::memory_order_relaxed);
}

// Statement failures are rolled back; the first error is the one worth reporting
// (a lost link fails the rollback too).
void RollBackQuietly(db::Database& database) {
  try {
    database.RollbackTransaction();
  } catch (const Error&) {
  }
}

void CopyRecord(db::Database& database, const PreparedRecord& record, JobOutcome& outcome) {
  std::string count;
  if (!database.QueryScalar(kExistenceCheck, count, {record.orderId})) {
    // Without a count we cannot tell insert from update: leave the record alone.
    throw *database.LastQueryError();
  }
  if (count == "0") {
    // Insert and update land together, so no row is left holding only order_id.
    database.BeginTransaction();
    try {
      database.ExecuteStatement(kInsertStatement, {record.orderId});
      database.ExecuteStatement(kUpdateStatement, record.update);
      database.CommitTransaction();
    } catch (const Error&) {
      RollBackQuietly(database);
      throw;
    }
    ++outcome.inserted;
  } else {
    database.ExecuteStatement(kUpdateStatement, record.update);
  }
  ++outcome.updated;
}

// A lock another session holds may be let go in a moment: the record is tried once
// more before the lock is taken for a fault of the whole run.
void CopyRecordRetryingLock(db::Database& database, const PreparedRecord& record,
                            JobOutcome& outcome) {
  try {
    CopyRecord(database, record, outcome);
  } catch (const db::DatabaseError& e) {
    if (!e.LockTimedOut()) throw;
    CopyRecord(database, record, outcome);
  }
}

// The message a job-ending database error leaves: a lost link says so and how far
// the run had got, since records written before it stay written.
std::string JobEndingMessage(const db::DatabaseError& error, const JobOutcome& outcome) {
  const std::string written = std::to_string(outcome.updated) + " records had been written";
  if (error.TimedOut()) {
    return "the server did not answer in time (query_timeout); " + written + ": " + error.what();
  }
  if (error.ConnectionLost()) {
    return "the connection to the server was lost; " + written + ": " + error.what();
  }
  return error.what();
}

// False when a stop was asked for before the pass's end.
bool RunPass(db::Database& database, const TransferPass& pass, const DestinationColumns& destination,
             const TransferOptions& options, int passNumber, JobOutcome& outcome) {
  // Errors while setting up a pass or moving between rows end the job.
  db::Statement& reader = database.ADOQuww();
  reader.Close();
  if (options.runDay) {
    reader.SetText(pass.daySelection);
    reader.Open({DayNumber(*options.runDay, pass.dayOffset)});
  } else {
    reader.SetText(pass.selection);
    reader.Open();
  }
  reader.First();
  // A source column the selection lacks would fail every record alike.
  reader.RequireFields(kSourceColumns);
  const int total = int(reader.RecordCount());
  int done = 0;
  if (options.progress) options.progress(done, total, passNumber);
  while (!reader.Eof()) {
    if (StopAsked(options)) return false;
    ++outcome.read;
    std::string orderId;
    try {
      orderId = reader.FieldText("order_id");
      CopyRecordRetryingLock(database, PrepareRecord(reader, pass.convertPlate, destination),
                             outcome);
    } catch (const db::DatabaseError& e) {
      if (!e.AboutTheValues()) throw Error(JobEndingMessage(e, outcome));
      outcome.skipped.push_back({orderId, e.what()});
    } catch (const Error& e) {
      // A value that could not be prepared: nothing of the record was written.
      outcome.skipped.push_back({orderId, e.what()});
    }
    reader.Next();
    if (options.progress) options.progress(++done, total, passNumber);
  }
  return true;
}

}  // namespace

JobOutcome RunTransfer(db::Database& database, const TransferOptions& options) {
  return RunConnected(database, [&](JobOutcome& outcome) {
    const DestinationColumns destination = LearnDestinationColumns(database);
    int passNumber = 0;
    for (const TransferPass& pass : kPasses) {
      if (!RunPass(database, pass, destination, options, ++passNumber, outcome)) {
        outcome.status = JobOutcome::Status::Interrupted;
        outcome.message = "stopped after " + std::to_string(outcome.read) + " records";
        return;
      }
    }
  });
}

}  // namespace cardsync::jobs
