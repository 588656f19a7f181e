// The frame both jobs share: connect, do the work, close. A connection that does
// not come up, and an error that ends the work, become the run's outcome.
#pragma once

#include "convert/error.h"
#include "db/database.h"
#include "jobs/outcome.h"

namespace cardsync::jobs {

template <typename Work>
JobOutcome RunConnected(db::Database& database, Work&& work) {
  JobOutcome outcome;
  if (!database.OpenDatabase()) {
    outcome.status = JobOutcome::Status::CouldNotConnect;
    outcome.message = database.LastConnectError();
    return outcome;
  }
  try {
    work(outcome);
  } catch (const Error& e) {
    outcome.status = JobOutcome::Status::Failed;
    outcome.message = e.what();
  }
  // Closed after a failure too: nothing is left half-open for the next run.
  database.CloseDatabase();
  return outcome;
}

}  // namespace cardsync::jobs
