// The frame both jobs share: connect, do the work, close. A connection that does
// not come up, and an error that ends the work, become the run's outcome.
#pragma once

#include <string>

#include "convert/error.h"
#include "db/database.h"
#include "jobs/outcome.h"

namespace cardsync::jobs {

// The message of a database error that ends a run. A lost link and a time-out say
// so before the driver's own words (often only "Unknown error"), followed by
// `written` ("N records had been written") when given.
inline std::string RunEndingMessage(const db::DatabaseError& error, const std::string& written) {
  const std::string counted = written.empty() ? "" : "; " + written;
  if (error.TimedOut()) {
    return "the server did not answer in time (query_timeout)" + counted + ": " + error.what();
  }
  if (error.ConnectionLost()) {
    return "the connection to the server was lost" + counted + ": " + error.what();
  }
  return error.what();
}

template <typename Work>
JobOutcome RunConnected(db::Database& database, Work&& work) {
  JobOutcome outcome;
  // A stop that ended a wait for the server interrupts the run rather than failing it.
  const auto failed = [&database] {
    return database.StopAsked() ? JobOutcome::Status::Interrupted : JobOutcome::Status::Failed;
  };
  if (!database.OpenDatabase()) {
    outcome.status = database.StopAsked() ? JobOutcome::Status::Interrupted
                                          : JobOutcome::Status::CouldNotConnect;
    outcome.message = database.LastConnectError();
    return outcome;
  }
  try {
    work(outcome);
  } catch (const db::DatabaseError& e) {
    // Records a transfer read before the link went: say how many it had written.
    outcome.status = failed();
    outcome.message = RunEndingMessage(
        e, outcome.read > 0 ? std::to_string(outcome.updated) + " records had been written" : "");
  } catch (const Error& e) {
    outcome.status = failed();
    outcome.message = e.what();
  }
  // Closed after a failure too: nothing is left half-open for the next run.
  database.CloseDatabase();
  return outcome;
}

}  // namespace cardsync::jobs
