// The run history as `cardsync --history` prints it: a table for people, one run a
// row under a header, or (--json) every field of every run for scripts.
#pragma once

#include <string>
#include <vector>

#include "clock/datetime.h"
#include "schedule/history.h"

namespace cardsync::shell {

// The table: a header, then one row per run and its "  warning: " lines under it. A
// value with blanks in it (the trigger "command line", the outcome "could not connect")
// is printed with hyphens, so a row splits on blanks into its columns, the message last.
// `withTarget`: a target column, for runs of every target. No runs: "no runs in the last
// N days".
std::string HistoryTable(const std::vector<schedule::RunRow>& runs, int days, bool withTarget);

// A JSON array of the runs, oldest first, every field of each; times in ISO 8601 with
// the local offset ("2026-03-01T02:00:00+08:00"), an unfinished run's end null.
std::string HistoryJson(const std::vector<schedule::RunRow>& runs);

// `value` (local wall-clock time) in ISO 8601 to the second with its UTC offset.
std::string IsoLocalTime(DateTime value);

}  // namespace cardsync::shell
