// Field texts and date-time values of every column kind, without a server: the
// values are the QVariants Qt's ODBC driver hands over for each kind.
#include "db/field_text.h"

#include <gtest/gtest.h>

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <cmath>
#include <limits>

#include "base/error.h"
#include "db/db_error.h"
#include "db/odbc_direct.h"

namespace cardsync::db {
namespace {

FormatSettings CommaSettings() {
  FormatSettings settings = DefaultFormatSettings();
  settings.decimalSeparator = ",";
  return settings;
}

TEST(ExactNumberText, RoundsToFourDecimalsAndDropsTrailingZeros) {
  struct Case {
    const char* driverText;
    const char* separator;
    const char* expected;
  };
  const Case cases[] = {
      {"120.0000", ".", "120"},
      {"120.5000", ".", "120.5"},
      {"120.5000", ",", "120,5"},
      {"-0.0001", ".", "-0.0001"},
      {"0.0000", ".", "0"},
      {"-0.0000", ".", "0"},
      {".5000", ".", "0.5"},
      {"-.5", ".", "-0.5"},
      {"007", ".", "7"},
      {"12.34565", ".", "12.3457"},  // half rounds away from zero
      {"12.34564", ".", "12.3456"},
      {"-12.99995", ".", "-13"},                              // carry through the decimal point
      {"999.99999", ".", "1000"},                             // carry adds a digit
      {"922337203685477.5807", ".", "922337203685477.5807"},  // largest money, exact
      {"-922337203685477.5808", ".", "-922337203685477.5808"},
      {"1E3", ".", "1000"},
      {" 42 ", ".", "42"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driverText);
    EXPECT_EQ(ExactNumberText(c.driverText, c.separator), c.expected);
  }
}

TEST(FloatNumberText, GeneralFormWithFifteenDigits) {
  struct Case {
    double value;
    const char* separator;
    const char* expected;
  };
  const Case cases[] = {
      {0.1, ".", "0.1"},
      {0.1 + 0.2, ".", "0.3"},  // 0.30000000000000004 beyond 15 digits
      {1.0 / 3, ".", "0.333333333333333"},
      {2.0 / 3, ".", "0.666666666666667"},
      {1.5, ",", "1,5"},
      {-42, ".", "-42"},
      {123456789012345.0, ".", "123456789012345"},
      {1e15, ".", "1E15"},
      {1234567890123456789.0, ".", "1.23456789012346E18"},
      {0.0001, ".", "0.0001"},
      {0.00001, ".", "1E-5"},
      {-1.5e-7, ",", "-1,5E-7"},
      {2.5e300, ".", "2.5E300"},
      {-0.0, ".", "0"},
      {std::numeric_limits<double>::infinity(), ".", "INF"},
      {std::nan(""), ".", "NAN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(FloatNumberText(c.value, c.separator), c.expected);
  }
}

TEST(FieldText, EveryColumnKind) {
  const FormatSettings defaults = DefaultFormatSettings();
  struct Case {
    const char* name;
    QVariant value;
    ColumnKind kind;
    const FormatSettings& settings;
    std::string expected;
  };
  const FormatSettings comma = CommaSettings();
  const Case cases[] = {
      {"integer", QVariant(qlonglong(-42)), ColumnKind::Integer, defaults, "-42"},
      {"bigint", QVariant(qlonglong(9223372036854775807LL)), ColumnKind::Integer, defaults,
       "9223372036854775807"},
      {"integer as text", QVariant(QString("17")), ColumnKind::Integer, defaults, "17"},
      {"money 120", QVariant(QString("120.0000")), ColumnKind::Exact, defaults, "120"},
      {"money 120.5 comma", QVariant(QString("120.5000")), ColumnKind::Exact, comma, "120,5"},
      {"float", QVariant(QString("1.5")), ColumnKind::Float, comma, "1,5"},
      {"float as double", QVariant(0.1 + 0.2), ColumnKind::Float, defaults, "0.3"},
      {"char keeps blanks", QVariant(QString("111111    ")), ColumnKind::Text, defaults,
       "111111    "},
      {"nvarchar chinese", QVariant(QString::fromUtf8("浙K123")), ColumnKind::Text, defaults,
       "浙K123"},
      {"bit true", QVariant(true), ColumnKind::Bit, defaults, "True"},
      {"bit false", QVariant(false), ColumnKind::Bit, defaults, "False"},
      {"bit as int", QVariant(0), ColumnKind::Bit, defaults, "False"},
      {"datetime", QVariant(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9))), ColumnKind::DateTime,
       defaults, "3/5/24 2:07:09 pm"},
      {"datetime at midnight", QVariant(QDateTime(QDate(2024, 3, 5), QTime(0, 0))),
       ColumnKind::DateTime, defaults, "3/5/24"},
      {"date only", QVariant(QDate(1999, 12, 31)), ColumnKind::Date, defaults, "12/31/99"},
      {"time only", QVariant(QTime(8, 0, 0)), ColumnKind::Time, defaults, "8:00:00 am"},
      {"time(7) as text", QVariant(QString("14:30:15.1234567")), ColumnKind::Time, defaults,
       "2:30:15 pm"},
      {"null integer", QVariant(QMetaType::fromType<int>()), ColumnKind::Integer, defaults, ""},
      {"null money", QVariant(QMetaType::fromType<QString>()), ColumnKind::Exact, defaults, ""},
      {"null datetime", QVariant(QMetaType::fromType<QDateTime>()), ColumnKind::DateTime, defaults,
       ""},
      {"null bit", QVariant(QMetaType::fromType<bool>()), ColumnKind::Bit, defaults, ""},
      {"null text", QVariant(QMetaType::fromType<QString>()), ColumnKind::Text, defaults, ""},
      {"invalid variant", QVariant(), ColumnKind::Float, defaults, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(FieldText(c.value, c.kind, c.settings), c.expected);
  }
}

TEST(FieldDateTime, ValuesOfDateTimeAndCharacterColumns) {
  const FormatSettings defaults = DefaultFormatSettings();
  struct Case {
    const char* name;
    QVariant value;
    ColumnKind kind;
    DateTime expected;
  };
  const Case cases[] = {
      {"datetime", QVariant(QDateTime(QDate(2024, 3, 5), QTime(14, 7, 9, 500))),
       ColumnKind::DateTime, EncodeDateTime(2024, 3, 5, 14, 7, 9, 500)},
      {"null datetime is day zero", QVariant(QMetaType::fromType<QDateTime>()),
       ColumnKind::DateTime, 0},
      {"date", QVariant(QDate(2024, 3, 5)), ColumnKind::Date, EncodeDateTime(2024, 3, 5)},
      {"time", QVariant(QTime(6, 0)), ColumnKind::Time, 0.25},
      {"text parsed", QVariant(QString("3/5/2024 2:07:09 pm")), ColumnKind::Text,
       EncodeDateTime(2024, 3, 5, 14, 7, 9)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DOUBLE_EQ(FieldDateTime(c.value, c.kind, defaults, "ADOQuww", "siji"), c.expected);
  }
}

TEST(FieldDateTime, RefusesWhatIsNoDate) {
  const FormatSettings defaults = DefaultFormatSettings();
  struct Case {
    const char* name;
    QVariant value;
    ColumnKind kind;
    const char* message;
  };
  const Case cases[] = {
      {"bad text", QVariant(QString("abc")), ColumnKind::Text,
       "'abc' is not a valid date and time"},
      {"null text", QVariant(QMetaType::fromType<QString>()), ColumnKind::Text,
       "'' is not a valid date and time"},
      {"integer", QVariant(12), ColumnKind::Integer,
       "ADOQuww: Cannot access field 'siji' as type DateTime"},
      {"money", QVariant(QString("1.0000")), ColumnKind::Exact,
       "ADOQuww: Cannot access field 'siji' as type DateTime"},
      {"bit", QVariant(true), ColumnKind::Bit,
       "ADOQuww: Cannot access field 'siji' as type DateTime"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    try {
      FieldDateTime(c.value, c.kind, defaults, "ADOQuww", "siji");
      ADD_FAILURE() << "no error";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(CleanServerText, LeavesTheServersOwnWords) {
  struct Case {
    const char* raw;
    const char* expected;
  };
  const Case cases[] = {
      {"[FreeTDS][SQL Server]Invalid object name 'T_x'.", "Invalid object name 'T_x'"},
      {"[unixODBC][Driver Manager]Can't open lib 'NoSuch' : file not found",
       "Can't open lib 'NoSuch' : file not found"},
      {"[FreeTDS][SQL Server]Unable to connect to data source "
       "[FreeTDS][SQL Server]Unable to connect: Adaptive Server is unavailable or does not exist",
       "Unable to connect to data source; Unable to connect: Adaptive Server is unavailable or "
       "does not exist"},
      {"Login failed for user 'cardsync'.  \r\n", "Login failed for user 'cardsync'"},
      {"line one\r\nline two...", "line one line two"},
      {"Column [x] is bad", "Column [x] is bad"},
      {"[FreeTDS][SQL Server]无效的对象名 'T_x'。", "无效的对象名 'T_x'。"},
      {"", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    EXPECT_EQ(CleanServerText(c.raw), c.expected);
  }
}

TEST(DatabaseError, KnowsWhenTheLinkIsGone) {
  struct Case {
    const char* sqlState;
    bool linkGone;
    bool lost;
  };
  const Case cases[] = {
      {"08S01", false, true},  {"08003", false, true}, {"HYT00", false, true},
      {"HYT01", false, true},  {"S1T00", false, true}, {"42S02", false, false},
      {"23000", false, false}, {"HY000", true, true},  {"", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sqlState);
    EXPECT_EQ(DatabaseError("x", c.sqlState, 0, c.linkGone).ConnectionLost(), c.lost);
  }
}

// A record the server refuses is skipped, whatever SQLSTATE the driver gave its number.
TEST(DatabaseError, KnowsAnErrorAboutOneRecordsValues) {
  struct Case {
    const char* sqlState;
    int native;
    bool aboutTheValues;
  };
  const Case cases[] = {
      {"42000", 8114, true},   // error converting data type
      {"HY000", 515, true},    // cannot insert NULL
      {"42S02", 208, false},   // a missing table ends the run
      {"08S01", 8114, false},  // so does a lost link, whatever came with it
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.sqlState) + " " + std::to_string(c.native));
    EXPECT_EQ(DatabaseError("x", c.sqlState, c.native).AboutTheValues(), c.aboutTheValues);
  }
}

// Warnings (class 01) that come before the error are not taken for it.
TEST(ErrorFrom, TheFirstRecordThatIsNoWarning) {
  struct Case {
    const char* name;
    std::vector<odbc::DiagRecord> records;
    const char* sqlState;
    int native;
    const char* text;
  };
  const Case cases[] = {
      {"a warning, then the error",
       {{"01000", 5701, "[FreeTDS][SQL Server]Changed database context to 'reporting'."},
        {"42S02", 208, "[FreeTDS][SQL Server]Invalid object name 'T_x'."}},
       "42S02",
       208,
       "Invalid object name 'T_x'"},
      {"warnings only", {{"01000", 5703, "Changed language setting"}}, "", 0, "no statement"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DatabaseError error = odbc::ErrorFrom(c.records, "no statement", false);
    EXPECT_EQ(error.SqlState(), c.sqlState);
    EXPECT_EQ(error.NativeError(), c.native);
    EXPECT_STREQ(error.what(), c.text);
  }
}

}  // namespace
}  // namespace cardsync::db
