// The daily transfer job: copies the previous day's ordinary cards and the current
// day's special cards from T_sendbase into T_quindale, one record at a time.
// Called by the window's schedule and button and by the one-shot run.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "db/database.h"
#include "jobs/outcome.h"

namespace cardsync::jobs {

// The values written for one record, all prepared before anything is written.
struct TransferValues {
  std::string orderId;    // O
  std::string kexNo;      // K
  std::string startDate;  // S
  std::string endDate;    // E
  std::string months;     // M: "0" for a null column
  std::string moneys;     // Y: as read, "" for a null column
  std::string types;      // T
  std::string kahao;      // P
  std::string siji;       // J
};

// The card number written in the first pass: the province text of its first two
// GBK bytes followed by its bytes 3 to 12.
std::string ConvertedPlate(const std::string& kahao);

// Reads and converts the reader's current row. Throws cardsync::Error when a value
// cannot be prepared (missing column, startdate that is not an integer, ...).
TransferValues PrepareTransferValues(const db::Statement& reader, bool convertPlate);

// How a run is asked for. Left as it is, a run selects by the server's clock
// (yesterday's ordinary cards, today's special cards), as the run in the job's own
// second always has.
struct TransferOptions {
  // A run that serves an earlier day D (a caught-up or retried run): ordinary cards
  // of D-1 and special cards of D, with D bound as a parameter. Year, month, day.
  struct Day {
    int year, month, day;
  };
  std::optional<Day> runDay;
  // Checked between records: when set, the run ends Interrupted after the record in
  // hand (its transaction committed or rolled back).
  const std::atomic<bool>* stop = nullptr;
  // Records written per chunk; 1 writes record by record. Unset: the settings'
  // [transfer] batch_size.
  std::optional<int> batchSize;
  // Called as records are done: records done of the pass's total, and the pass (1, 2).
  std::function<void(int done, int total, int pass)> progress;
};

// Runs both passes. CouldNotConnect when the connection cannot be opened; Failed
// when a pass cannot be set up or the connection is lost or times out mid-pass;
// otherwise Done, with records that could not be copied listed as skipped.
JobOutcome RunTransfer(db::Database& database, const TransferOptions& options = {});

}  // namespace cardsync::jobs
