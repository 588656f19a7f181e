// Runs one job without a window, for `cardsync --run transfer|totals` (cron,
// checks by hand). Prints the same log lines the window would add.
#pragma once

#include <ostream>

#include "jobs/outcome.h"

namespace cardsync::jobs {

// Runs `kind` once with the deployment settings and prints its log lines, each
// stamped with the date-time text of the moment the run began. Returns 0 when the
// job is done, 2 when it could not connect, 1 when it failed.
int RunOnce(JobKind kind, std::ostream& out);

}  // namespace cardsync::jobs
