// The daily transfer job: copies the previous day's ordinary cards, the previous and
// the current day's special cards from T_sendbase into T_quindale. Called by the
// window's schedule and button and by the one-shot run.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "clock/datetime.h"
#include "db/database.h"
#include "jobs/outcome.h"
#include "jobs/transfer_values.h"

namespace cardsync::jobs {

// How a run is asked for. Left as it is, a run selects by the server's clock
// (yesterday's cards, today's special cards), as the run in the job's own second
// always has.
struct TransferOptions {
  // A run that stands for the 02:00:00 run of run day D (a day number on the
  // workstation's calendar: caught up, retried, --day): it selects what that run
  // selected, the server's date at D's due moment bound as a parameter.
  std::optional<long long> runDay = std::nullopt;
  // With runDay: the run asked for in the job's own second, which keeps the GETDATE()
  // texts while the workstation's clock agrees with the server's. A run whose day has
  // not come yet by the server's clock is not done (Interrupted, saying so).
  bool onTime = false;
  // The workstation's clock, against which the server's is measured.
  std::function<DateTime()> clock = NowDateTime;
  // Checked between records: when set, the run ends Interrupted after the record in
  // hand (its transaction committed or rolled back).
  const std::atomic<bool>* stop = nullptr;
  // Records written per chunk, at most settings::kLargestBatchSize; 1 writes record by
  // record. Unset: the settings' [transfer] batch_size.
  std::optional<int> batchSize = std::nullopt;
  // Unset: the settings' [transfer] previous_day_special_cards.
  std::optional<bool> previousDaySpecialCards = std::nullopt;
  // Called as records are done: records done of the pass's total, and the pass (1 on).
  std::function<void(int done, int total, int pass)> progress = nullptr;
};

// Runs both passes. CouldNotConnect when the connection cannot be opened. Failed
// when the destination or a pass cannot be set up, or an error that is not about
// one record comes up mid-pass: a missing table or column, a refused permission, a
// lock time-out that a retry did not clear, a lost link or a time-out. Otherwise
// Done, with the records whose values the server refused listed as skipped.
JobOutcome RunTransfer(db::Database& database, const TransferOptions& options = {});

}  // namespace cardsync::jobs
