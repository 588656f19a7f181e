// The daily totals job: has the reporting database run its stored procedure
// `totals`. Called by the window's schedule and button and by the one-shot run.
#pragma once

#include "db/database.h"
#include "jobs/outcome.h"

namespace cardsync::jobs {

// Opens the connection, runs "totals" on the reader, closes the connection. A
// failed open is CouldNotConnect; an error from the procedure is Failed, and the
// connection is closed then too.
JobOutcome RunTotals(db::Database& database);

}  // namespace cardsync::jobs
