// The daily schedule check: which readings make a job due, across seconds that are
// stepped over, repeated, crossed at midnight or stepped back.
#include "schedule/schedule.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/error.h"

namespace cardsync::schedule {
namespace {

struct Tick {
  int day;  // day of March 2024
  int hour, minute, second, millisecond;
  bool due;
};

struct ScheduleCase {
  std::string name;
  std::string time;
  std::vector<Tick> ticks;
};

DateTime At(const Tick& t) {
  return EncodeDateTime(2024, 3, t.day, t.hour, t.minute, t.second, t.millisecond);
}

TEST(ScheduleTest, DueOnlyWhenItsSecondIsReachedOnceADay) {
  const std::vector<ScheduleCase> cases = {
      {"tick inside 02:00:00",
       "020000",
       {{15, 1, 59, 59, 400, false}, {15, 2, 0, 0, 400, true}, {15, 2, 0, 1, 400, false}}},
      {"tick inside 01:00:00",
       "010000",
       {{15, 0, 59, 59, 999, false}, {15, 1, 0, 0, 0, true}, {15, 1, 0, 1, 0, false}}},
      {"the whole second counts, the one before does not",
       "020000",
       {{15, 1, 59, 59, 999, false}, {15, 2, 0, 0, 999, true}}},
      {"first reading of the program inside the second", "020000", {{15, 2, 0, 0, 500, true}}},
      {"first reading after the second", "020000", {{15, 2, 0, 3, 0, false}}},
      {"other seconds only",
       "020000",
       {{15, 12, 0, 0, 0, false}, {15, 12, 0, 1, 0, false}, {15, 1, 59, 58, 0, false}}},
      {"a skipped second is caught up",
       "020000",
       {{15, 1, 59, 59, 800, false}, {15, 2, 0, 1, 100, true}, {15, 2, 0, 2, 100, false}}},
      {"a job that held the window for minutes",
       "010000",
       {{15, 0, 59, 59, 500, false}, {15, 1, 7, 30, 0, true}}},
      {"two ticks in the same second run once",
       "020000",
       {{15, 2, 0, 0, 100, true}, {15, 2, 0, 0, 900, false}}},
      {"the next day runs again",
       "020000",
       {{15, 2, 0, 0, 200, true}, {16, 1, 59, 59, 300, false}, {16, 2, 0, 0, 300, true}}},
      {"midnight: a tick inside 00:00:00",
       "000000",
       {{15, 23, 59, 59, 500, false}, {16, 0, 0, 0, 500, true}, {16, 0, 0, 1, 500, false}}},
      {"a day change does not catch up the day before",
       "020000",
       {{15, 1, 0, 0, 0, false}, {16, 3, 0, 0, 0, false}}},
      {"clock stepped back over a run",
       "020000",
       {{15, 2, 0, 0, 500, true},
        {15, 1, 59, 58, 0, false},
        {15, 1, 59, 59, 0, false},
        {15, 2, 0, 0, 200, false},
        {15, 2, 0, 1, 0, false}}},
      {"clock stepped back before the run",
       "020000",
       {{15, 2, 0, 3, 0, false}, {15, 1, 59, 59, 0, false}, {15, 2, 0, 0, 100, true}}},
  };
  for (const ScheduleCase& c : cases) {
    SCOPED_TRACE(c.name);
    Schedule schedule(c.time);
    for (size_t i = 0; i < c.ticks.size(); ++i) {
      SCOPED_TRACE("tick " + std::to_string(i));
      EXPECT_EQ(schedule.Due(At(c.ticks[i])), c.ticks[i].due);
    }
  }
}

TEST(ScheduleTest, ReadingJustBeforeMidnightRoundsIntoTheNextDay) {
  Schedule schedule("000000");
  const DateTime almostMidnight = EncodeDateTime(2024, 3, 15, 23, 59, 59, 999) + 0.6 / 86400000.0;
  EXPECT_TRUE(schedule.Due(almostMidnight));
  EXPECT_FALSE(schedule.Due(EncodeDateTime(2024, 3, 16, 0, 0, 0, 200)));
}

TEST(ScheduleTest, RejectsTimesThatAreNoSecondOfTheDay) {
  for (const char* text :
       {"", "20000", "0200000", "240000", "016000", "010060", "01:000", "0a0000"}) {
    SCOPED_TRACE(text);
    EXPECT_THROW(Schedule{text}, cardsync::Error);
  }
  EXPECT_EQ(Schedule("235959").SecondOfDay(), 86399);
}

}  // namespace
}  // namespace cardsync::schedule
