// The daily totals job: has the reporting database run its stored procedure
// `totals`. Called by the window's schedule and button and by the one-shot run.
#pragma once

#include <functional>
#include <optional>

#include "clock/datetime.h"
#include "db/database.h"
#include "jobs/outcome.h"

namespace cardsync::jobs {

// Opens the connection, runs "totals" on the reader, closes the connection. A
// failed open is CouldNotConnect; an error from the procedure is Failed, and the
// connection is closed then too. Given `runDay` (a day number: the run stands for that
// day's 01:00:00 run), a day not yet come by the server's clock is not run (Interrupted).
JobOutcome RunTotals(db::Database& database, std::optional<long long> runDay = std::nullopt,
                     std::function<DateTime()> clock = NowDateTime);

}  // namespace cardsync::jobs
