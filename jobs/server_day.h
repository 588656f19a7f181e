// Which calendar day of the server's clock a transfer selects. The run in the job's
// own second asks GETDATE() in its statements; every other run of the same day (caught
// up, retried, --run --day, --verify) must select what that run selected, so it binds
// the date the server's clock showed at the run's due moment. The workstation's clock
// may be hours off the server's (another time zone, a drifting clock): the offset
// between the two is read at connect.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "clock/datetime.h"
#include "db/database.h"

namespace cardsync::jobs {

// The server's clock and the workstation's, read together. Two differences matter and
// are told apart by comparing UTC: the time zones (a server on UTC, a workstation on
// UTC+8: both right) and a clock that is wrong (a CMOS reset, a clock set a day ahead),
// for which the server's is taken as the right one.
struct ServerClock {
  DateTime server = 0;         // GETDATE(): the server's local time
  DateTime serverUtc = 0;      // GETUTCDATE()
  DateTime workstation = 0;    // the workstation's local time, halfway through the request
  double workstationZone = 0;  // the workstation's local time minus its UTC, in days

  // How far the workstation's clock is behind the server's, time zones aside, in days.
  double SkewDays() const { return serverUtc - (workstation - workstationZone); }
  // How far the server's local time is ahead of the workstation's, both right, in days.
  double ZoneDays() const { return (server - serverUtc) - workstationZone; }
  // The workstation's local time as it would read were its clock right.
  DateTime RightWorkstationTime() const { return workstation + SkewDays(); }
};

// Sets the session's lock wait ([database] lock_timeout) and asks the server for
// GETDATE() and GETUTCDATE(), in one request, reading `workstationClock` halfway
// through the round trip. Throws DatabaseError.
ServerClock ReadServerClock(db::Database& database,
                            const std::function<DateTime()>& workstationClock = NowDateTime);

// The jobs' due seconds of the day: the transfer at 02:00:00, the totals at 01:00:00.
constexpr int kTransferDueSecond = 2 * 3600;
constexpr int kTotalsDueSecond = 1 * 3600;

// A clock this far from the server's earns a warning, and a run in the job's own second
// then binds its day instead of trusting GETDATE(): five minutes.
constexpr double kClockToleranceDays = 5.0 / (24 * 60);

// The server's date (day number, whole days since 1899-12-30) at the due moment of run
// day `runDay` (a day number on the workstation's calendar), the workstation's clock
// taken as right.
long long ServerDayOfRun(long long runDay, const ServerClock& clock);

// "YYYY-MM-DD HH:MM:SS" of a date-time value, whatever the regional settings.
std::string ClockStamp(DateTime value);

// "the workstation's clock reads ... and the server's ...": when the two are more than
// kClockToleranceDays apart, time zones aside.
std::optional<std::string> ClockWarning(const ServerClock& clock);

// yyyymmdd of a day number, as the selections compare dates.
long long YearMonthDay(long long dayNumber);

}  // namespace cardsync::jobs
