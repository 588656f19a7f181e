// The frame both jobs share: connect, read the server's clock, do the work, close. A
// connection that does not come up, and an error that ends the work, become the run's
// outcome; a workstation clock far from the server's earns a warning, and a run whose
// day has not come yet by the server's clock is not done at all.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "base/error.h"
#include "db/database.h"
#include "jobs/outcome.h"
#include "jobs/server_day.h"

namespace cardsync::jobs {

// The message of a database error that ends a run. A lost link and a time-out say
// so before the driver's own words (often only "Unknown error"), followed by
// `written` ("N records had been written") when given.
inline std::string RunEndingMessage(const db::DatabaseError& error, const std::string& written,
                                    int lockTimeoutSeconds = 0) {
  const std::string counted = written.empty() ? "" : "; " + written;
  if (error.LockTimedOut() && lockTimeoutSeconds > 0) {
    return "blocked by another session for " + std::to_string(lockTimeoutSeconds) + " s" + counted +
           ": " + error.what();
  }
  if (error.TimedOut()) {
    return "the server did not answer in time (query_timeout)" + counted + ": " + error.what();
  }
  if (error.ConnectionLost()) {
    return "the connection to the server was lost" + counted + ": " + error.what();
  }
  return error.what();
}

// When a run is asked for: the day it stands for, if any, and its job's second.
struct RunTiming {
  std::optional<long long> runDay;  // a day number on the workstation's calendar
  int dueSecond = 0;
  std::function<DateTime()> clock = NowDateTime;
};

// Empty when `timing`'s day is due by the server's clock, else why the run is not done.
inline std::string NotDueYet(const RunTiming& timing, const ServerClock& clock) {
  if (!timing.runDay) return {};
  const DateTime due = DateTime(*timing.runDay) + timing.dueSecond / 86400.0;
  // Within the tolerance a clock is taken as right, so the run in its own second goes.
  if (clock.RightWorkstationTime() + kClockToleranceDays >= due) return {};
  return "not run: the day's run is due at " + ClockStamp(due) +
         " by the server's clock, which reads " + ClockStamp(clock.RightWorkstationTime()) +
         " (workstation time, time zones aside)";
}

// `work(outcome, clock)` between connecting and closing.
template <typename Work>
JobOutcome RunConnected(db::Database& database, const RunTiming& timing, Work&& work) {
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
    const ServerClock clock = ReadServerClock(database, timing.clock);
    outcome.clockSkewDays = clock.SkewDays();
    if (auto warning = ClockWarning(clock)) outcome.warnings.push_back(std::move(*warning));
    if (std::string why = NotDueYet(timing, clock); !why.empty()) {
      outcome.status = JobOutcome::Status::Interrupted;
      outcome.message = std::move(why);
    } else {
      work(outcome, clock);
    }
  } catch (const db::DatabaseError& e) {
    // Records a transfer read before the link went: say how many it had written.
    outcome.status = failed();
    outcome.message = RunEndingMessage(
        e, outcome.read > 0 ? std::to_string(outcome.updated) + " records had been written" : "",
        database.Settings().lockTimeoutSeconds);
  } catch (const Error& e) {
    outcome.status = failed();
    outcome.message = e.what();
  }
  // Closed after a failure too: nothing is left half-open for the next run.
  database.CloseDatabase();
  return outcome;
}

}  // namespace cardsync::jobs
