// The transfer job: two passes over T_sendbase, each record checked, inserted when
// new and updated in T_quindale. Values are bound, not pasted into the text, so
// quotes and Chinese text arrive exactly as read, and typed by their destination
// column (transfer_values.h). An error about one record's values skips it; any
// other ends the job, so a run that cannot write is never reported as done.
#include "jobs/transfer.h"

#include <QDate>
#include <algorithm>

#include "jobs/connected_run.h"
#include "jobs/prepared_records.h"
#include "jobs/transfer_write.h"

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

// Reads the pass's rows one at a time into prepared records, then writes them
// record by record or in chunks. False when a stop was asked for before its end.
bool RunPass(db::Database& database, const TransferPass& pass,
             const DestinationColumns& destination, const TransferOptions& options, int passNumber,
             int batchSize, JobOutcome& outcome) {
  // Errors while setting up a pass or reading its rows end the job.
  db::Statement& reader = database.ADOQuww();
  reader.Close();
  db::Params selectionParams;
  if (options.runDay) {
    reader.SetText(pass.daySelection);
    selectionParams = {DayNumber(*options.runDay, pass.dayOffset)};
  } else {
    reader.SetText(pass.selection);
  }
  RecordWriter writer(database, outcome);
  PreparedRecords records;
  int read = 0;
  reader.OpenEach(selectionParams, [&](const db::Statement& row) {
    // A source column the selection lacks would fail every record alike.
    if (read == 0) row.RequireFields(kSourceColumns);
    const int readIndex = read++;
    ++outcome.read;
    std::string orderId;
    try {
      orderId = row.FieldText("order_id");
      records.Add(readIndex, PrepareRecord(row, pass.convertPlate, destination));
    } catch (const Error& e) {
      // A value that could not be prepared: nothing of the record is written.
      writer.Skip(readIndex, orderId, e.what());
    }
  });

  const std::size_t step = std::size_t(std::clamp(batchSize, 1, db::kLargestBatchSize));
  int done = read - int(records.Size());
  bool whole = true;
  try {
    if (options.progress) options.progress(done, read, passNumber);
    for (std::size_t from = 0; from < records.Size(); from += step) {
      if (StopAsked(options)) {
        whole = false;
        break;
      }
      const std::size_t to = std::min(records.Size(), from + step);
      if (step == 1) {
        writer.WriteEach(records, from, to);
      } else {
        writer.WriteChunk(records, from, to);
      }
      done += int(to - from);
      if (options.progress) options.progress(done, read, passNumber);
    }
  } catch (...) {
    // Records skipped before the job ended are still reported.
    writer.ReportSkipped();
    throw;
  }
  writer.ReportSkipped();
  return whole;
}

}  // namespace

JobOutcome RunTransfer(db::Database& database, const TransferOptions& options) {
  return RunConnected(database, [&](JobOutcome& outcome) {
    const DestinationColumns destination = LearnDestinationColumns(database);
    const int batchSize = options.batchSize.value_or(database.Settings().batchSize);
    int passNumber = 0;
    for (const TransferPass& pass : kPasses) {
      if (!RunPass(database, pass, destination, options, ++passNumber, batchSize, outcome)) {
        outcome.status = JobOutcome::Status::Interrupted;
        // A pass is read whole before it is written: what counts is what was written.
        outcome.message = "stopped after " + std::to_string(outcome.updated) + " of " +
                          std::to_string(outcome.read) + " records were written";
        return;
      }
    }
  });
}

}  // namespace cardsync::jobs
