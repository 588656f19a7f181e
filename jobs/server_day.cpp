// One request for the server's clock. The workstation's clock is read before and after
// it and the middle taken, so a slow reply does not count as clock difference.
#include "jobs/server_day.h"

#include <cmath>

namespace cardsync::jobs {
namespace {

constexpr const char* kServerNow = "select getdate() as server_now";
constexpr double kSecondsPerDay = 86400.0;

}  // namespace

ServerClock ReadServerClock(db::Database& database,
                            const std::function<DateTime()>& workstationClock) {
  db::Statement& executor = database.ADOQuexec();
  executor.Close();
  executor.SetText(kServerNow);
  const DateTime before = workstationClock();
  executor.Open();
  const DateTime after = workstationClock();
  ServerClock clock;
  clock.server = executor.FieldDateTime("server_now");
  clock.workstation = before + (after - before) / 2;
  executor.Close();
  return clock;
}

long long ServerDayOfRun(long long runDay, const ServerClock& clock) {
  const DateTime due = DateTime(runDay) + kTransferDueSecond / kSecondsPerDay;
  return static_cast<long long>(std::floor(due + clock.OffsetDays()));
}

long long YearMonthDay(long long dayNumber) {
  const DateTimeParts p = SplitDateTime(static_cast<DateTime>(dayNumber));
  return static_cast<long long>(p.year) * 10000 + p.month * 100 + p.day;
}

}  // namespace cardsync::jobs
