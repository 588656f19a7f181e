// Which calendar day of the server's clock a transfer selects. The run in the job's
// own second asks GETDATE() in its statements; every other run of the same day (caught
// up, retried, --run --day, --verify) must select what that run selected, so it binds
// the date the server's clock showed at the run's due moment. The workstation's clock
// may be hours off the server's (another time zone, a drifting clock): the offset
// between the two is read at connect.
#pragma once

#include <functional>

#include "clock/datetime.h"
#include "db/database.h"

namespace cardsync::jobs {

// The server's clock and the workstation's, read together.
struct ServerClock {
  DateTime server = 0;
  DateTime workstation = 0;
  // How far the server's clock is ahead of the workstation's, in days.
  double OffsetDays() const { return server - workstation; }
};

// Asks the server for GETDATE() (one request) and reads `workstationClock` halfway
// through the round trip. Throws DatabaseError.
ServerClock ReadServerClock(db::Database& database,
                            const std::function<DateTime()>& workstationClock = NowDateTime);

// The transfer's due second of the day, 02:00:00.
constexpr int kTransferDueSecond = 2 * 3600;

// The server's date (day number, whole days since 1899-12-30) at the due moment of run
// day `runDay` (a day number on the workstation's calendar).
long long ServerDayOfRun(long long runDay, const ServerClock& clock);

// yyyymmdd of a day number, as the selections compare dates.
long long YearMonthDay(long long dayNumber);

}  // namespace cardsync::jobs
