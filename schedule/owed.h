// Which runs a job owes: a run for day D is owed from D's due time until a run for D
// ends done. Pure rules on day numbers and clock readings, so they are tested with a
// hand-set clock; the scheduler feeds them what the history says.
#pragma once

#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "clock/datetime.h"
#include "jobs/outcome.h"

namespace cardsync::schedule {

// Why a run happened. Only the first three can settle an owed day.
enum class Trigger { Scheduled, CatchUp, Retry, Clicked, CommandLine };
std::string_view TriggerName(Trigger trigger);  // "scheduled", "catch-up", ... as stored
std::optional<Trigger> TriggerNamed(std::string_view name);
bool SettlesOwedRuns(Trigger trigger);

// Whole days since 1899-12-30 of the reading's date, after the clock library's
// millisecond rounding (so 23:59:59.9996 belongs to the next day).
long long DayNumber(DateTime reading);
// "YYYY-MM-DD" of a day number, and back (nullopt for anything else).
std::string DayText(long long day);
std::optional<long long> DayFromText(std::string_view text);

struct OwedQuery {
  DateTime now;
  int dueSecond;  // the job's second of the day
  // When the scheduler first ran for this target: nothing due before it is owed.
  DateTime firstStart;
  int catchUpDays;
  // Days that a scheduled, caught-up or retried run ended done for.
  const std::set<long long>* settled;
  // Totals recount everything, so a done run for a day also settles every day before it.
  bool laterSettlesEarlier = false;
};

// The owed days, oldest first: due at or before `now`, at or after `firstStart`, not
// more than catchUpDays before today, and not settled.
std::vector<long long> OwedDays(const OwedQuery& query);

// True when the reading falls inside the due second of its own day: that run keeps the
// job's selection texts exactly as they are, every other run names its day.
bool InDueSecond(DateTime reading, int dueSecond);

// Minutes to wait before the next attempt after `failures` failed attempts (1 or more)
// at the same owed run: 1, 2, 4, 8, 15, then every 15.
int RetryDelayMinutes(int failures);

// Settled days of `kind`, for a job's entry in the history.
inline bool LaterSettlesEarlier(jobs::JobKind kind) { return kind == jobs::JobKind::Totals; }

}  // namespace cardsync::schedule
