// The daily schedule check. Readings are reduced to (day, second of day) with the
// clock library's own split, so a check agrees with the clock text the label shows.
#include "schedule/schedule.h"

#include <cmath>
#include <string>

#include "base/error.h"

namespace cardsync::schedule {

namespace {

int ParseClockText(std::string_view text) {
  auto bad = [&] {
    return cardsync::Error("'" + std::string(text) + "' is not a valid time of day");
  };
  if (text.size() != 6) throw bad();
  int digits[6];
  for (int i = 0; i < 6; ++i) {
    if (text[i] < '0' || text[i] > '9') throw bad();
    digits[i] = text[i] - '0';
  }
  const int hour = digits[0] * 10 + digits[1];
  const int minute = digits[2] * 10 + digits[3];
  const int second = digits[4] * 10 + digits[5];
  if (hour > 23 || minute > 59 || second > 59) throw bad();
  return hour * 3600 + minute * 60 + second;
}

}  // namespace

Schedule::Schedule(std::string_view clockText) : second_(ParseClockText(clockText)) {}

Schedule::Reading Schedule::Split(DateTime value) {
  const DateTimeParts parts = SplitDateTime(value);
  // The day number of the rounded value: rounding may carry 23:59:59.9996 into the next
  // day, so it is rebuilt from the split date rather than taken from the raw value.
  const DateTime midnight = EncodeDateTime(parts.year, parts.month, parts.day, 0, 0, 0, 0);
  return Reading{static_cast<long long>(std::llround(midnight)),
                 parts.hour * 3600 + parts.minute * 60 + parts.second};
}

bool Schedule::Due(DateTime reading) {
  const Reading now = Split(reading);
  const std::optional<Reading> before = previous_;
  previous_ = now;

  if (lastRunDay_ && *lastRunDay_ == now.day) return false;
  const bool inItsSecond = now.second == second_;
  const bool steppedOver =
      before && before->day == now.day && before->second < second_ && second_ <= now.second;
  if (!inItsSecond && !steppedOver) return false;
  lastRunDay_ = now.day;
  return true;
}

}  // namespace cardsync::schedule
