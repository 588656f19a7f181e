// Date-time values and texts: splitting and encoding against Qt's calendar, the
// pattern elements, the texts of real locales (Qt's locale data on this
// machine), the rounding traps around midnight and the parser.
#include <gtest/gtest.h>

#include <QDate>
#include <QLocale>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

#include "base/error.h"
#include "clock/datetime.h"
#include "clock/format_settings.h"
#include "convert/gbk_text.h"
#include "convert/unixtime.h"

namespace cardsync {
namespace {

constexpr double kMsPerDay = 86'400'000.0;

// 2024-03-05 14:07:09.045, a Tuesday in a leap year.
DateTime Sample() { return EncodeDateTime(2024, 3, 5, 14, 7, 9, 45); }

std::string Describe(const DateTimeParts& p) {
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d w%d", p.year, p.month, p.day,
                p.hour, p.minute, p.second, p.millisecond, p.dayOfWeek);
  return text;
}

TEST(SplitDateTime, KnownValues) {
  struct Case {
    DateTime value;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {0.0, "1899-12-30 00:00:00.000 w7"},
      {25569.0, "1970-01-01 00:00:00.000 w5"},
      {25569.0 + 1.0 / 3, "1970-01-01 08:00:00.000 w5"},
      {0.75, "1899-12-30 18:00:00.000 w7"},
      {-1.25, "1899-12-29 06:00:00.000 w6"},  // the fraction counts forward from the day
      {-0.5, "1899-12-30 12:00:00.000 w7"},
      {-693593.0, "0001-01-01 00:00:00.000 w2"},
      {2958465.0 + 86399999.0 / kMsPerDay, "9999-12-31 23:59:59.999 w6"},
      {45351.0 + 86399999.6 / kMsPerDay, "2024-03-01 00:00:00.000 w6"},  // 02-29 23:59:59.9996
      {45351.0 + 86399999.4 / kMsPerDay, "2024-02-29 23:59:59.999 w5"},
      {45356.0 + 0.4 / kMsPerDay, "2024-03-05 00:00:00.000 w3"},
      {45356.0 + 0.6 / kMsPerDay, "2024-03-05 00:00:00.001 w3"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(Describe(SplitDateTime(c.value)), c.expected);
  }
}

TEST(SplitDateTime, ValuesNoDateCanShowAreErrors) {
  const std::vector<double> values = {
      std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::infinity(),
      -std::numeric_limits<double>::infinity(),
      2958466.0,  // 10000-01-01
      -693594.0,  // 0000-12-31
      -693594.5,
      1e300,
      -1e300,
      UnixToLocalDateTime(std::numeric_limits<int64_t>::max()),
      UnixToLocalDateTime(std::numeric_limits<int64_t>::min()),
  };
  for (double value : values) {
    SCOPED_TRACE(value);
    EXPECT_THROW(SplitDateTime(value), Error);
    EXPECT_THROW(DateTimeText(value, DefaultFormatSettings()), Error);
    EXPECT_THROW(ClockText(value), Error);
  }
}

TEST(EncodeDateTime, AgreesWithQtsCalendarOnEveryDay) {
  const qint64 dayZero = QDate(1899, 12, 30).toJulianDay();
  for (QDate date(1, 1, 1); date.year() <= 9999; date = date.addDays(1)) {
    const DateTime value = EncodeDateTime(date.year(), date.month(), date.day());
    ASSERT_EQ(value, static_cast<double>(date.toJulianDay() - dayZero))
        << qPrintable(date.toString());
    const DateTimeParts parts = SplitDateTime(value);
    ASSERT_EQ(parts.year, date.year());
    ASSERT_EQ(parts.month, date.month());
    ASSERT_EQ(parts.day, date.day());
    ASSERT_EQ(parts.dayOfWeek, date.dayOfWeek() % 7 + 1) << qPrintable(date.toString());
  }
}

TEST(EncodeDateTime, TimeOfDayRoundTripsToTheMillisecond) {
  struct Case {
    int year, month, day, hour, minute, second, ms;
  };
  const std::vector<Case> cases = {
      {1970, 1, 1, 8, 0, 0, 0},       {2024, 3, 5, 14, 7, 9, 45}, {2024, 2, 29, 23, 59, 59, 999},
      {1899, 12, 29, 6, 0, 0, 0},     {1, 1, 1, 0, 0, 0, 1},      {9999, 12, 31, 23, 59, 59, 999},
      {1800, 6, 15, 12, 30, 30, 500}, {2038, 1, 19, 3, 14, 7, 0},
  };
  for (const auto& c : cases) {
    const DateTime value = EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second, c.ms);
    const DateTimeParts p = SplitDateTime(value);
    SCOPED_TRACE(Describe(p));
    EXPECT_EQ(std::vector<int>({p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond}),
              std::vector<int>({c.year, c.month, c.day, c.hour, c.minute, c.second, c.ms}));
  }
  EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6), -1.25);
  EXPECT_EQ(EncodeDateTime(1970, 1, 1, 8), UnixToLocalDateTime(0));
}

TEST(EncodeDateTime, InvalidArguments) {
  struct Case {
    int year, month, day, hour, minute, second, ms;
    const char* message;
  };
  const char* date = "Invalid argument to date encode";
  const char* time = "Invalid argument to time encode";
  const std::vector<Case> cases = {
      {0, 1, 1, 0, 0, 0, 0, date},       {10000, 1, 1, 0, 0, 0, 0, date},
      {2023, 2, 29, 0, 0, 0, 0, date},   {1900, 2, 29, 0, 0, 0, 0, date},
      {2024, 2, 30, 0, 0, 0, 0, date},   {2024, 4, 31, 0, 0, 0, 0, date},
      {2024, 13, 1, 0, 0, 0, 0, date},   {2024, 0, 1, 0, 0, 0, 0, date},
      {2024, 1, 0, 0, 0, 0, 0, date},    {2024, 1, 1, 24, 0, 0, 0, time},
      {2024, 1, 1, 0, 60, 0, 0, time},   {2024, 1, 1, 0, 0, 60, 0, time},
      {2024, 1, 1, 0, 0, 0, 1000, time}, {2024, 1, 1, -1, 0, 0, 0, time},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.year << "-" << c.month << "-" << c.day << " " << c.hour
                                    << ":" << c.minute << ":" << c.second << "." << c.ms);
    try {
      EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second, c.ms);
      ADD_FAILURE() << "accepted";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

struct PatternCase {
  const char* pattern;
  const char* expected;
};

void ExpectPatterns(const std::vector<PatternCase>& cases, DateTime value,
                    const FormatSettings& settings) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern);
    EXPECT_EQ(FormatDateTime(c.pattern, value, settings), c.expected);
  }
}

TEST(FormatDateTime, DateAndTimeElements) {
  ExpectPatterns(
      {
          {"d", "5"},
          {"dd", "05"},
          {"ddd", "Tue"},
          {"dddd", "Tuesday"},
          {"DDDD", "Tuesday"},
          {"m", "3"},
          {"mm", "03"},
          {"mmm", "Mar"},
          {"mmmm", "March"},
          {"MMMMMM", "March"},
          {"y", "24"},
          {"yy", "24"},
          {"yyy", "2024"},
          {"yyyy", "2024"},
          {"YYYYY", "2024"},
          {"h", "14"},
          {"hh", "14"},
          {"n", "7"},
          {"nn", "07"},
          {"nnn", "07"},
          {"s", "9"},
          {"ss", "09"},
          {"z", "45"},
          {"zz", "45"},
          {"zzz", "045"},
          {"e", "2024"},
          {"g", "A.D."},
          {"c", "c"},
          {"x#!", "x#!"},
          {"Hh", "1414"},
          {"yyyy-mm-dd", "2024-03-05"},
      },
      Sample(), DefaultFormatSettings());
  ExpectPatterns({{"z", "5"},
                  {"zz", "05"},
                  {"zzz", "005"},
                  {"yy", "05"},
                  {"yyyy", "0905"},
                  {"d", "1"},
                  {"m", "2"},
                  {"h:n:s", "1:2:3"},
                  {"ee", "905"}},
                 EncodeDateTime(905, 2, 1, 1, 2, 3, 5), DefaultFormatSettings());
}

TEST(FormatDateTime, MinutesFollowAnHourElement) {
  ExpectPatterns(
      {
          {"h:m", "14:7"},
          {"hh:mm", "14:07"},
          {"h mm", "14 07"},
          {"hh'h'mm", "14h07"},       // quoted text is not a letter element
          {"hdm", "1453"},            // a d in between: the month
          {"h\u65F6m", "14\u65F63"},  // a multi-byte character in between clears the h
          {"h\u20ACm", "14\u20AC7"},  // ... but the euro sign is one byte in GBK: it does not
          {"hh:mmm", "14:Mar"},       // three or more m are always the month name
          {"m/d h:m", "3/5 14:7"},
          {"HH:MM", "14:07"},
      },
      Sample(), DefaultFormatSettings());
}

TEST(FormatDateTime, TwelveHourClockAndAmPmElements) {
  ExpectPatterns(
      {
          {"h AMPM", "2 pm"},
          {"hh ampm", "02 pm"},
          {"h am/pm", "2 pm"},
          {"h AM/PM", "2 PM"},
          {"h Am/pM", "2 pM"},  // the written half, as written
          {"h a/p", "2 p"},
          {"h A/P", "2 P"},
          {"AMPM h", "pm 2"},  // an AM/PM element earlier in the pattern
          {"h", "14"},
          {"h 'am/pm'", "14 am/pm"},  // quoted: no element
          {"h h a/p", "14 2 p"},      // the next h comes first
          {"h x a/p", "2 x p"},
          {"h aa/p", "14 ap"},  // the first a starts no element; "a/p" then does
          {"h:nn:ss AMPM", "2:07:09 pm"},
      },
      Sample(), DefaultFormatSettings());
  struct HourCase {
    int hour;
    const char* expected;
  };
  const std::vector<HourCase> hours = {{0, "12 am"},  {1, "1 am"},  {11, "11 am"},
                                       {12, "12 pm"}, {13, "1 pm"}, {23, "11 pm"}};
  for (const auto& c : hours) {
    SCOPED_TRACE(c.hour);
    EXPECT_EQ(FormatDateTime("h ampm", EncodeDateTime(2024, 1, 1, c.hour), DefaultFormatSettings()),
              c.expected);
  }
}

TEST(FormatDateTime, SeparatorsQuotesAndMultiByteText) {
  FormatSettings settings = DefaultFormatSettings();
  settings.dateSeparator = "-";
  settings.timeSeparator = ".";
  ExpectPatterns(
      {
          {"m/d/yy", "3-5-24"},
          {"h:nn", "14.07"},
          {"'d/m'", "d/m"},
          {"\"hh:nn\"", "hh:nn"},
          {"'it''s'", "its"},
          {"dd 'unterminated", "05 unterminated"},
          {"yyyy\u5E74m\u6708d\u65E5",
           "2024\u5E74"
           "3\u6708"
           "5\u65E5"},
      },
      Sample(), settings);
}

TEST(FormatSettingsFromLocale, CLocaleGivesTheDefaults) {
  const FormatSettings defaults = DefaultFormatSettings();
  EXPECT_EQ(defaults.shortDatePattern, "m/d/yy");
  EXPECT_EQ(defaults.longTimePattern, "h:mm:ss AMPM");
  EXPECT_EQ(defaults.longMonthNames[11], "December");
  EXPECT_EQ(defaults.shortDayNames[0], "Sun");
  EXPECT_TRUE(FormatSettingsFromLocale(QLocale::c()) == defaults);
  EXPECT_EQ(DateTimeText(UnixToLocalDateTime(0), defaults), "1/1/70 8:00:00 am");
}

struct LocaleCase {
  const char* name;
  const char* shortDate;
  const char* longTime;
  const char* dateSeparator;
  const char* timeSeparator;
  const char* decimalSeparator;
  const char* text;     // DateTimeText of the sample
  const char* morning;  // DateTimeText of 1970-01-01 08:00:00
  const char* names;    // "mmmm mmm dddd ddd" of the sample
};

TEST(FormatSettingsFromLocale, RealLocales) {
  const std::vector<LocaleCase> cases = {
      {"en_US", "m/d/yy", "h:mm:ss AMPM", "/", ":", ".", "3/5/24 2:07:09 PM", "1/1/70 8:00:00 AM",
       "March Mar Tuesday Tue"},
      {"de_DE", "dd.mm.yy", "hh:mm:ss", ".", ":", ",", "05.03.24 14:07:09", "01.01.70 08:00:00",
       "M\u00E4rz M\u00E4r Dienstag Di"},
      {"zh_CN", "yyyy/m/d", "hh:mm:ss", "/", ":", ".", "2024/3/5 14:07:09", "1970/1/1 08:00:00",
       "\u4E09\u6708 3\u6708 \u661F\u671F\u4E8C \u5468\u4E8C"},
      {"ja_JP", "yyyy/mm/dd", "h:mm:ss", "/", ":", ".", "2024/03/05 14:07:09", "1970/01/01 8:00:00",
       "3\u6708 3\u6708 \u706B\u66DC\u65E5 \u706B"},
      // Qt's data marks this 12-hour clock with CLDR's day period, not AP.
      {"zh_TW", "yyyy/m/d", "AMPM h:mm:ss", "/", ":", ".", "2024/3/5 \u4E0B\u5348 2:07:09",
       "1970/1/1 \u4E0A\u5348 8:00:00", "3\u6708 3\u6708 \u661F\u671F\u4E8C \u9031\u4E8C"},
      {"ko_KR", "yy. m. d.", "AMPM h:mm:ss", ".", ":", ".", "24. 3. 5. \uC624\uD6C4 2:07:09",
       "70. 1. 1. \uC624\uC804 8:00:00", "3\uC6D4 3\uC6D4 \uD654\uC694\uC77C \uD654"},
      {"fi_FI", "d.m.yyyy", "h:mm:ss", ".", ".", ",", "5.3.2024 14.07.09", "1.1.1970 8.00.00",
       "maaliskuu maalis tiistai ti"},
      {"en_GB", "dd/mm/yyyy", "hh:mm:ss", "/", ":", ".", "05/03/2024 14:07:09",
       "01/01/1970 08:00:00", "March Mar Tuesday Tue"},
      // The short time format "HH:mm" decides, not the long one's "H 'h' mm 'min' ss 's' t".
      {"fr_BE", "d/mm/yy", "hh:mm:ss", "/", ":", ",", "5/03/24 14:07:09", "1/01/70 08:00:00",
       "mars mars mardi mar."},
      // "HH 'h' mm": the blank after the hour separates nothing, so ':' stays.
      {"fr_CA", "yyyy-mm-dd", "hh:mm:ss", "-", ":", ",", "2024-03-05 14:07:09",
       "1970-01-01 08:00:00", "mars mars mardi mar."},
      {"bg_BG", "d.mm.yy \"\u0433\".", "h:mm:ss", ".", ":", ",", "5.03.24 \u0433. 14:07:09",
       "1.01.70 \u0433. 8:00:00",
       "\u043C\u0430\u0440\u0442 \u043C\u0430\u0440\u0442 "
       "\u0432\u0442\u043E\u0440\u043D\u0438\u043A "
       "\u0432\u0442"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FormatSettings s = FormatSettingsFromLocale(QLocale(c.name));
    EXPECT_EQ(s.shortDatePattern, c.shortDate);
    EXPECT_EQ(s.longTimePattern, c.longTime);
    EXPECT_EQ(s.dateSeparator, c.dateSeparator);
    EXPECT_EQ(s.timeSeparator, c.timeSeparator);
    EXPECT_EQ(s.decimalSeparator, c.decimalSeparator);
    EXPECT_EQ(DateTimeText(Sample(), s), c.text);
    EXPECT_EQ(DateTimeText(UnixToLocalDateTime(0), s), c.morning);
    EXPECT_EQ(FormatDateTime("mmmm mmm dddd ddd", Sample(), s), c.names);
  }
}

TEST(FormatSettingsFromLocale, ShortDatesMatchQtsOwnRendering) {
  // Qt renders its own short date format; the translated pattern must print the
  // same text. Locales with their own digits are left out (the formatter writes
  // ASCII digits, as the program always has).
  const QDate date(2024, 3, 5);
  int compared = 0;
  for (const QLocale& locale :
       QLocale::matchingLocales(QLocale::AnyLanguage, QLocale::AnyScript, QLocale::AnyTerritory)) {
    if (locale.language() == QLocale::C || locale.zeroDigit() != u"0") continue;
    const QString qtFormat = locale.dateFormat(QLocale::ShortFormat);
    if (qtFormat.contains(u"MMM")) continue;  // Qt's text uses the declined month names
    SCOPED_TRACE(locale.name().toStdString() + " " + qtFormat.toStdString());
    const FormatSettings s = FormatSettingsFromLocale(locale);
    EXPECT_EQ(FormatDateTime(s.shortDatePattern, Sample(), s),
              locale.toString(date, qtFormat).toStdString());
    ++compared;
  }
  EXPECT_GT(compared, 100);
}

TEST(ShortDatePatternFromQt, Translation) {
  struct Case {
    const char* qtFormat;
    QLocale::Language language;
    const char* pattern;
    const char* text;  // of the sample, default settings
  };
  const std::vector<Case> cases = {
      {"dd.MM.yy", QLocale::German, "dd.mm.yy", "05.03.24"},
      {"d MMM yyyy", QLocale::English, "d mmm yyyy", "5 Mar 2024"},
      {"dddd, MMMM d, yyyy", QLocale::English, "dddd, mmmm d, yyyy", "Tuesday, March 5, 2024"},
      {"yyyy/M/d", QLocale::Chinese, "yyyy/m/d", "2024/3/5"},
      {"d.MM.yy 'г'.", QLocale::Bulgarian, "d.mm.yy \"г\".", "5.03.24 г."},
      {"dd 'de' MMMM", QLocale::Spanish, "dd \"de\" mmmm", "05 de March"},
      {"h 'o''clock'", QLocale::English, "\"h\" \"o'clock\"", "h o'clock"},
      {"'say \"hi\"' d", QLocale::English, "'say \"hi\"' d", "say \"hi\" 5"},
      {"d:M", QLocale::English, "d\":\"m", "5:3"},
      {"ggyyyy/M/d", QLocale::Japanese, "yyyy/m/d", "2024/3/5"},
      {"G yy.M.d", QLocale::Korean, " yy.m.d", " 24.3.5"},
      {"gg yyyy", QLocale::English, "\"gg\" yyyy", "gg 2024"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.qtFormat);
    const std::string pattern = ShortDatePatternFromQt(QString::fromUtf8(c.qtFormat), c.language);
    EXPECT_EQ(pattern, c.pattern);
    EXPECT_EQ(FormatDateTime(pattern, Sample(), DefaultFormatSettings()), c.text);
  }
}

TEST(LongTimePatternFromQt, HourStyleAndMarkerPosition) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"h:mm AP", "h:mm:ss AMPM"}, {"HH:mm", "hh:mm:ss"},         {"H:mm", "h:mm:ss"},
      {"AP h:mm", "AMPM h:mm:ss"}, {"hh:mm ap", "hh:mm:ss AMPM"}, {"H.mm", "h:mm:ss"},
      {"a h:mm", "AMPM h:mm:ss"},  {"HH 'h' mm", "hh:mm:ss"},     {"'ap' HH:mm", "hh:mm:ss"},
      {"Bh:mm", "AMPM h:mm:ss"},   {"h:mm B", "h:mm:ss AMPM"},    {"HH:mm 'B'", "hh:mm:ss"},
  };
  for (const auto& [qtFormat, pattern] : cases) {
    SCOPED_TRACE(qtFormat);
    EXPECT_EQ(LongTimePatternFromQt(QString::fromUtf8(qtFormat)), pattern);
  }
}

TEST(DateTimeText, TimePartOnlyWhenHourMinuteOrSecondIsSet) {
  const FormatSettings s = DefaultFormatSettings();
  struct Case {
    DateTime value;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {EncodeDateTime(2024, 3, 5), "3/5/24"},
      {EncodeDateTime(2024, 3, 5, 0, 0, 0, 400), "3/5/24"},
      {EncodeDateTime(2024, 3, 5, 0, 0, 1), "3/5/24 12:00:01 am"},
      {EncodeDateTime(2024, 3, 5, 0, 1), "3/5/24 12:01:00 am"},
      {EncodeDateTime(2024, 3, 5, 12), "3/5/24 12:00:00 pm"},
      {UnixToLocalDateTime(-28800), "1/1/70"},
      {UnixToLocalDateTime(86400), "1/2/70 8:00:00 am"},
      // 23:59:59.9996 belongs to the next day in the date and in the time.
      {EncodeDateTime(2024, 2, 28) + 86399999.6 / kMsPerDay, "2/29/24"},
      {EncodeDateTime(2024, 2, 28) + 86399999.4 / kMsPerDay, "2/28/24 11:59:59 pm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(DateTimeText(c.value, s), c.expected);
  }
}

TEST(DateTimeText, CutAt256GbkBytesWithoutSplittingACharacter) {
  FormatSettings s = DefaultFormatSettings();
  std::string han;
  for (int i = 0; i < 200; ++i) han += "\u5E74";
  struct Case {
    std::string pattern;
    std::string expected;
  };
  std::string han127, han128;
  for (int i = 0; i < 127; ++i) han127 += "\u5E74";
  han128 = han127 + "\u5E74";
  const std::vector<Case> cases = {
      {"a" + han, "a" + han127},  // byte 256 is the first half of the 128th character
      {han, han128},              // exactly 256 bytes
      {"yyyy" + han, "2024" + han127.substr(3)},     // 4 + 252 bytes
      {"yyy'a'" + han, "2024a" + han127.substr(6)},  // 5 + 250, the next one would split
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pattern.substr(0, 5));
    s.shortDatePattern = c.pattern;
    const std::string text = DateTimeText(EncodeDateTime(2024, 3, 5), s);
    EXPECT_EQ(text, c.expected);
    EXPECT_LE(GbkByteLength(text), 256u);
  }
  // The time part is cut the same way.
  s.shortDatePattern = "m/d/yy";
  s.longTimePattern = "h" + han;
  EXPECT_EQ(DateTimeText(Sample(), s), "3/5/24 14" + han127.substr(0, 3 * 123));
}

TEST(ClockText, SixDigitsOnTheTwentyFourHourClock) {
  struct Case {
    DateTime value;
    const char* expected;
  };
  const std::vector<Case> cases = {
      {EncodeDateTime(2024, 3, 5, 2, 0, 0, 0), "020000"},
      {EncodeDateTime(2024, 3, 5, 2, 0, 0, 999), "020000"},
      {EncodeDateTime(2024, 3, 5, 1, 59, 59, 999), "015959"},
      {EncodeDateTime(2024, 3, 5, 1, 0, 0, 0), "010000"},
      {EncodeDateTime(2024, 3, 5), "000000"},
      {Sample(), "140709"},
      {EncodeDateTime(2024, 3, 5, 23, 59, 59, 999), "235959"},
      {EncodeDateTime(2024, 3, 5) + 86399999.6 / kMsPerDay, "000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(ClockText(c.value), c.expected);
  }
}

// Switches the application's default locale for one test and back.
class DefaultLocale {
 public:
  explicit DefaultLocale(const QLocale& locale) {
    QLocale::setDefault(locale);
    ReloadFormatSettings();
  }
  ~DefaultLocale() {
    QLocale::setDefault(QLocale::system());
    ReloadFormatSettings();
  }
};

TEST(ProcessSettings, ReloadFollowsTheDefaultLocale) {
  {
    DefaultLocale english(QLocale("en_US"));
    EXPECT_EQ(DateTimeText(Sample()), "3/5/24 2:07:09 PM");
    EXPECT_EQ(ClockText(Sample()), "140709");  // never AM/PM, whatever the regional clock
    EXPECT_EQ(ClockText(EncodeDateTime(2024, 3, 5, 2)), "020000");
  }
  {
    // A run holds the snapshot it took: a locale change on another thread is the next
    // run's, never half of this one's.
    const FormatSnapshot taken = CurrentFormatSettings();
    DefaultLocale german(QLocale("de_DE"));
    EXPECT_EQ(taken->decimalSeparator, ".");
    EXPECT_EQ(CurrentFormatSettings()->decimalSeparator, ",");
    EXPECT_EQ(DateTimeText(Sample()), "05.03.24 14:07:09");
  }
  {
    DefaultLocale c(QLocale::c());
    EXPECT_EQ(DateTimeText(UnixToLocalDateTime(0)), "1/1/70 8:00:00 am");
  }
}

TEST(ProcessSettings, DefaultsWithoutLocaleEnvironment) {
  for (const char* name :
       {"LANG", "LANGUAGE", "LC_ALL", "LC_TIME", "LC_NUMERIC", "LC_CTYPE", "LC_MESSAGES"}) {
    if (std::getenv(name) != nullptr) GTEST_SKIP() << name << " is set";
  }
  EXPECT_TRUE(FormatSettingsFromLocale(QLocale::system()) == DefaultFormatSettings());
  EXPECT_EQ(DateTimeText(UnixToLocalDateTime(0)), "1/1/70 8:00:00 am");
}

struct ParseCase {
  const char* text;
  bool ok;
  DateTime expected;
};

void ExpectParses(const std::vector<ParseCase>& cases, const FormatSettings& s) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    DateTime value = -1;
    EXPECT_EQ(TryParseDateTimeText(c.text, s, value, 2024), c.ok);
    if (c.ok) {
      EXPECT_EQ(value, c.expected);
    }
  }
}

TEST(TryParseDateTimeText, DefaultSettings) {
  ExpectParses(
      {
          {"1/1/70 8:00:00 am", true,
           EncodeDateTime(2070, 1, 1, 8)},  // 70 is more than 50 years back
          {"1/1/1970 8:00:00 am", true, UnixToLocalDateTime(0)},
          {"3/5/2024", true, EncodeDateTime(2024, 3, 5)},
          {" 3/5/2024 ", true, EncodeDateTime(2024, 3, 5)},
          {"3/5/2024 14:07", true, EncodeDateTime(2024, 3, 5, 14, 7)},
          {"3/5/2024 14:07:09", true, EncodeDateTime(2024, 3, 5, 14, 7, 9)},
          {"3/5/2024 14:07:09.045", true, Sample()},
          {"3/5/2024 14:07:09.5", true, EncodeDateTime(2024, 3, 5, 14, 7, 9, 500)},
          {"3/5/2024 14:07:09.45", true, EncodeDateTime(2024, 3, 5, 14, 7, 9, 450)},
          {"3/5/2024 2:07:09 PM", true, EncodeDateTime(2024, 3, 5, 14, 7, 9)},
          {"3/5/2024 pm 2:07", true, EncodeDateTime(2024, 3, 5, 14, 7)},
          {"3/5/2024 12:00 am", true, EncodeDateTime(2024, 3, 5)},
          {"3/5/2024 12:30 pm", true, EncodeDateTime(2024, 3, 5, 12, 30)},
          {"2024/3/5", true, EncodeDateTime(2024, 3, 5)},  // a long first number is the year
          {"3/5", true, EncodeDateTime(2024, 3, 5)},
          {"1/1/74", true, EncodeDateTime(1974, 1, 1)},  // 50 years back from 2024 ...
          {"1/1/73", true, EncodeDateTime(2073, 1, 1)},  // ... and no further
          {"2/29/2024", true, EncodeDateTime(2024, 2, 29)},
          {"", false, 0},
          {"   ", false, 0},
          {"abc", false, 0},
          {"3", false, 0},
          {"13/1/2024", false, 0},
          {"2/29/2023", false, 0},
          {"3-5-2024", false, 0},
          {"3/5/2024 25:00", false, 0},
          {"3/5/2024 13:00 pm", false, 0},
          {"3/5/2024 8", false, 0},
          {"3/5/2024 8:", false, 0},
          {"3/5/2024 8:00 xx", false, 0},
          {"3/5/2024 8:60", false, 0},
          {"3/5/2024 8:00:00.1234", false, 0},
          {"3/5/2024/7", false, 0},
          {"3/5/99999", false, 0},
          {"3/5/2024x", false, 0},
      },
      DefaultFormatSettings());
}

TEST(TryParseDateTimeText, ReadsBackTheTextsOfRealLocales) {
  const std::vector<DateTime> values = {Sample(), EncodeDateTime(2024, 3, 5),
                                        EncodeDateTime(1999, 12, 31, 23, 59, 59),
                                        EncodeDateTime(2030, 1, 9, 0, 0, 1)};
  for (const char* name : {"en_US", "de_DE", "zh_CN", "ja_JP", "ko_KR", "fi_FI", "en_GB"}) {
    const FormatSettings s = FormatSettingsFromLocale(QLocale(name));
    for (DateTime value : values) {
      const std::string text = DateTimeText(value, s);
      SCOPED_TRACE(std::string(name) + " " + text);
      DateTime parsed = -1;
      ASSERT_TRUE(TryParseDateTimeText(text, s, parsed, 2024));
      // Texts carry whole seconds.
      EXPECT_EQ(ClockText(parsed), ClockText(value));
      EXPECT_EQ(DateTimeText(parsed, s), text);
      EXPECT_EQ(SplitDateTime(parsed).day, SplitDateTime(value).day);
    }
  }
  // Day before month in German settings.
  DateTime value = -1;
  ASSERT_TRUE(
      TryParseDateTimeText("05.03.24", FormatSettingsFromLocale(QLocale("de_DE")), value, 2024));
  EXPECT_EQ(value, EncodeDateTime(2024, 3, 5));
}

}  // namespace
}  // namespace cardsync
