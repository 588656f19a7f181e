// The owed-runs rule. Readings are compared in whole milliseconds of the same rounding
// the clock texts use, so "due" agrees with what the clock label shows.
#include "schedule/owed.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace cardsync::schedule {
namespace {

constexpr long long kMsPerDay = 86'400'000;

struct Trigger_ {
  Trigger trigger;
  std::string_view name;
};
constexpr Trigger_ kTriggers[] = {{Trigger::Scheduled, "scheduled"},
                                  {Trigger::CatchUp, "catch-up"},
                                  {Trigger::Retry, "retry"},
                                  {Trigger::Clicked, "clicked"},
                                  {Trigger::CommandLine, "command line"}};

constexpr int kRetryMinutes[] = {1, 2, 4, 8, 15};

long long Millis(DateTime reading) {
  const DateTimeParts p = SplitDateTime(reading);
  return DayNumber(reading) * kMsPerDay + ((p.hour * 60LL + p.minute) * 60 + p.second) * 1000 +
         p.millisecond;
}

long long DueMillis(long long day, int dueSecond) { return day * kMsPerDay + dueSecond * 1000LL; }

}  // namespace

std::string_view TriggerName(Trigger trigger) {
  for (const Trigger_& t : kTriggers) {
    if (t.trigger == trigger) return t.name;
  }
  return "?";
}

std::optional<Trigger> TriggerNamed(std::string_view name) {
  for (const Trigger_& t : kTriggers) {
    if (t.name == name) return t.trigger;
  }
  return std::nullopt;
}

bool SettlesOwedRuns(Trigger trigger) {
  return trigger == Trigger::Scheduled || trigger == Trigger::CatchUp || trigger == Trigger::Retry;
}

long long DayNumber(DateTime reading) {
  const DateTimeParts p = SplitDateTime(reading);
  return std::llround(EncodeDateTime(p.year, p.month, p.day));
}

std::string DayText(long long day) {
  const DateTimeParts p = SplitDateTime(static_cast<DateTime>(day));
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", p.year, p.month, p.day);
  return text;
}

std::optional<long long> DayFromText(std::string_view text) {
  int year = 0, month = 0, day = 0;
  const std::string copy(text);
  if (copy.size() != 10 || std::sscanf(copy.c_str(), "%4d-%2d-%2d", &year, &month, &day) != 3) {
    return std::nullopt;
  }
  try {
    return std::llround(EncodeDateTime(year, month, day));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::vector<long long> OwedDays(const OwedQuery& q) {
  const long long now = Millis(q.now);
  const long long first = Millis(q.firstStart);
  const long long today = DayNumber(q.now);
  std::vector<long long> owed;
  for (long long day = today - q.catchUpDays; day <= today; ++day) {
    const long long due = DueMillis(day, q.dueSecond);
    // A start inside the due second still counts as before it, as the label would show.
    if (due > now || due / 1000 < first / 1000) continue;
    if (q.settled != nullptr) {
      const bool settled = q.laterSettlesEarlier ? q.settled->lower_bound(day) != q.settled->end()
                                                 : q.settled->count(day) != 0;
      if (settled) continue;
    }
    owed.push_back(day);
  }
  return owed;
}

bool InDueSecond(DateTime reading, int dueSecond) {
  const long long ms = Millis(reading);
  return ms / 1000 == DueMillis(DayNumber(reading), dueSecond) / 1000;
}

int RetryDelayMinutes(int failures) {
  const int last = static_cast<int>(std::size(kRetryMinutes)) - 1;
  return kRetryMinutes[std::clamp(failures - 1, 0, last)];
}

}  // namespace cardsync::schedule
