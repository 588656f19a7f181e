// When a daily job is due: one Schedule per job, asked at every timer tick with a
// fresh clock reading. No widgets and no jobs here, so the rules are tested headless.
#pragma once

#include <optional>
#include <string_view>

#include "clock/datetime.h"

namespace cardsync::schedule {

class Schedule {
 public:
  // `clockText` is the job's second of the day as six digits "hhnnss", e.g. "020000".
  // Throws cardsync::Error when it is not a valid time of day.
  explicit Schedule(std::string_view clockText);

  // Called once per check with that check's own clock reading; true when the job is to
  // run now. A run is due when the reading falls inside the job's second, or when the
  // job's second lies after the previous reading and at or before this one on the same
  // day (a tick that came late, e.g. after another job held the window). At most one run
  // a calendar day, so two ticks in the same second, or a clock stepping back over the
  // job's second, do not run it twice.
  bool Due(DateTime reading);

  int SecondOfDay() const { return second_; }

 private:
  struct Reading {
    long long day;
    int second;  // of the day, after rounding to the millisecond like the clock texts
  };
  static Reading Split(DateTime value);

  int second_;
  std::optional<Reading> previous_;
  std::optional<long long> lastRunDay_;
};

}  // namespace cardsync::schedule
