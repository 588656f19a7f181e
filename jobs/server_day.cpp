// One request sets the session up and reads the server's clock. The workstation's clock is read
// before and after it and the middle taken, so a slow reply does not count as clock difference.
#include "jobs/server_day.h"

#include <QDateTime>
#include <cmath>
#include <cstdio>

namespace cardsync::jobs {
namespace {

// The session's lock wait is set in the same request: a blocked write then fails with
// 1222 after [database] lock_timeout rather than waiting out query_timeout.
constexpr const char* kSessionStart = "set lock_timeout ";
constexpr const char* kServerNow =
    ";\r\nselect getdate() as server_now, getutcdate() as server_utc";
constexpr double kSecondsPerDay = 86400.0;

// The workstation's UTC offset at local time `local`, in days.
double ZoneOffsetDays(DateTime local) {
  const DateTimeParts p = SplitDateTime(local);
  const QDateTime at(QDate(p.year, p.month, p.day), QTime(p.hour, p.minute, p.second),
                     Qt::LocalTime);
  return at.offsetFromUtc() / kSecondsPerDay;
}

}  // namespace

ServerClock ReadServerClock(db::Database& database,
                            const std::function<DateTime()>& workstationClock) {
  db::Statement& executor = database.ADOQuexec();
  executor.Close();
  executor.SetText(kSessionStart +
                   std::to_string(std::int64_t(database.Settings().lockTimeoutSeconds) * 1000) +
                   kServerNow);
  const DateTime before = workstationClock();
  executor.Open();
  const DateTime after = workstationClock();
  ServerClock clock;
  clock.server = executor.FieldDateTime("server_now");
  clock.serverUtc = executor.FieldDateTime("server_utc");
  clock.workstation = before + (after - before) / 2;
  clock.workstationZone = ZoneOffsetDays(clock.workstation);
  executor.Close();
  return clock;
}

long long ServerDayOfRun(long long runDay, const ServerClock& clock) {
  const DateTime due = DateTime(runDay) + kTransferDueSecond / kSecondsPerDay;
  return static_cast<long long>(std::floor(due + clock.ZoneDays()));
}

std::optional<std::string> ClockWarning(const ServerClock& clock) {
  const double skew = clock.SkewDays();
  if (std::fabs(skew) <= kClockToleranceDays) return std::nullopt;
  const long long seconds = std::llround(std::fabs(skew) * kSecondsPerDay);
  return "the workstation's clock reads " + ClockStamp(clock.workstation) + " and the server's " +
         ClockStamp(clock.server) + ": the workstation's is " + std::to_string(seconds) + " s " +
         (skew > 0 ? "behind" : "ahead") +
         " (time zones aside); runs are timed and their days chosen by the server's clock";
}

std::string ClockStamp(DateTime value) {
  const DateTimeParts p = SplitDateTime(value);
  char text[48];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", p.year, p.month, p.day, p.hour,
                p.minute, p.second);
  return text;
}

long long YearMonthDay(long long dayNumber) {
  const DateTimeParts p = SplitDateTime(static_cast<DateTime>(dayNumber));
  return static_cast<long long>(p.year) * 10000 + p.month * 100 + p.day;
}

}  // namespace cardsync::jobs
