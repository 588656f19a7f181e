// Runs one job without a window, for `cardsync --run transfer|totals` (cron, checks by
// hand). Prints the same log lines the window would add, records the run in the
// history (trigger "command line") and waits for another run of the job to end first.
#pragma once

#include <QCoreApplication>
#include <iostream>
#include <memory>
#include <optional>
#include <ostream>

#include "jobs/outcome.h"

namespace cardsync::shell {

// Qt's SQL drivers are plugins, which want an application object: one made here
// (and returned, to live as long as the caller needs it) when there is none yet.
std::unique_ptr<QCoreApplication> ApplicationIfNone();

// Runs `kind` once with the deployment settings and prints its log lines on `out`,
// each stamped with the date-time text of the moment the run began; waits and
// progress (when stderr is a terminal) go to `err`. Returns 0 when the job is done,
// 2 when it could not connect, 1 when it failed or was stopped (SIGTERM or SIGINT end
// it after the record, or chunk, in hand, recorded interrupted), 73 when the lock
// folder is refused (nothing is recorded then). Settles no owed scheduled run. A
// transfer given `runDay` (a day number) stands for that day's 02:00:00 run and
// selects what it selected; it is recorded under that day.
int RunOnce(jobs::JobKind kind, std::ostream& out, std::ostream& err = std::cerr,
            std::optional<long long> runDay = std::nullopt);

}  // namespace cardsync::shell
