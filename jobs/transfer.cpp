// The transfer job: its passes over T_sendbase, each record checked, inserted when
// new and updated in T_quindale. Values are bound, not pasted into the text, so
// quotes and Chinese text arrive exactly as read, and typed by their destination
// column (transfer_values.h). An error about one record's values skips it; any
// other ends the job, so a run that cannot write is never reported as done.
#include "jobs/transfer.h"

#include <algorithm>
#include <cmath>

#include "jobs/connected_run.h"
#include "jobs/prepared_records.h"
#include "jobs/server_day.h"
#include "jobs/transfer_passes.h"
#include "jobs/transfer_write.h"

namespace cardsync::jobs {
namespace {

bool StopAsked(const TransferOptions& options) {
  return options.stop != nullptr && options.stop->load(std::memory_order_relaxed);
}

// Reads the pass's rows one at a time into prepared records, then writes them
// record by record or in chunks. False when a stop was asked for before its end.
bool RunPass(db::Database& database, const PassSelection& selection, bool convertPlate,
             const DestinationColumns& destination, const TransferOptions& options, int passNumber,
             int batchSize, JobOutcome& outcome) {
  // Errors while setting up a pass or reading its rows end the job.
  db::Statement& reader = database.ADOQuww();
  reader.Close();
  reader.SetText(selection.text);
  RecordWriter writer(database, outcome);
  PreparedRecords records;
  int read = 0;
  reader.OpenEach(selection.params, [&](const db::Statement& row) {
    // A source column the selection lacks would fail every record alike.
    if (read == 0) row.RequireFields(kSourceColumns);
    const int readIndex = read++;
    ++outcome.read;
    std::string orderId;
    try {
      orderId = row.FieldText("order_id");
      records.Add(readIndex, PrepareRecord(row, convertPlate, destination));
    } catch (const Error& e) {
      // A value that could not be prepared: nothing of the record is written.
      writer.Skip(readIndex, orderId, e.what());
    }
  });

  const std::size_t step = std::size_t(std::clamp(batchSize, 1, settings::kLargestBatchSize));
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
  const RunTiming timing{options.runDay, kTransferDueSecond, options.clock};
  return RunConnected(database, timing, [&](JobOutcome& outcome, const ServerClock& clock) {
    const DestinationColumns destination = LearnDestinationColumns(database);
    const int batchSize = options.batchSize.value_or(database.TransferSettings().batchSize);
    // The run in the job's own second keeps its GETDATE() texts, unless the workstation's
    // clock is off (then its second is not the server's); any other binds the day the
    // server's clock showed at its due moment.
    std::optional<long long> serverDay;
    const bool clockRight = std::fabs(clock.SkewDays()) <= kClockToleranceDays;
    if (options.runDay && !(options.onTime && clockRight)) {
      serverDay = ServerDayOfRun(*options.runDay, clock);
    }
    outcome.serverDay = YearMonthDay(serverDay.value_or(static_cast<long long>(clock.server)));
    const bool previousDaySpecial = options.previousDaySpecialCards.value_or(
        database.TransferSettings().previousDaySpecialCards);
    int passNumber = 0;
    for (const TransferPass& pass : TransferPasses(previousDaySpecial)) {
      if (!RunPass(database, SelectionFor(pass, serverDay), pass.convertPlate, destination, options,
                   ++passNumber, batchSize, outcome)) {
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
