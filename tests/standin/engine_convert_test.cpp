// SQL Server's conversions as the engine applies them when values are stored
// into typed columns: accepted forms with what they become, rejected forms with
// SQL Server's error, nulls of every type, and Chinese text with its lengths.
#include <gtest/gtest.h>

#include "engine.h"
#include "sql_convert.h"

namespace standin {
namespace {

struct Db {
  Db() {
    engine = Engine::Open({":memory:", "2026-12-08 02:00:00"});
    session = engine->NewSession();
    BatchOutput out = session->Execute(
        "create table v(id int primary key, i int null, b bigint null, si smallint null, "
        "ti tinyint null, bt bit null, m money null, sm smallmoney null, d decimal(6,2) null, "
        "f float null, r real null, dt datetime null, sdt smalldatetime null, dd date null, "
        "c char(6) null, vc varchar(6) null, nc nchar(3) null, nv nvarchar(3) null, "
        "vm varchar(max) null)");
    EXPECT_FALSE(out.statements.at(0).error);
  }
  // Stores text into one column of a fresh row, as a literal or an nvarchar parameter.
  BatchOutput Store(const std::string& column, const std::string& text, bool asParam) {
    ++id;
    std::string sql = "insert into v(id, " + column + ") values(" + std::to_string(id) + ", ";
    if (!asParam) return session->Execute(sql + "'" + text + "')");
    Param p;
    p.name = "@P1";
    p.value.null = false;
    p.value.s = text;
    return session->Execute(sql + "@P1)", {p});
  }
  Value Read(const std::string& column) {
    BatchOutput out =
        session->Execute("select " + column + " from v where id = " + std::to_string(id));
    return out.statements.at(0).rows.at(0).at(0);
  }
  std::unique_ptr<Engine> engine;
  std::unique_ptr<Session> session;
  int id = 0;
};

int32_t Days(int y, int m, int d) { return DaysFromCivil(y, m, d); }
int32_t Ms(int h, int mi, int s, int ms = 0) { return ((h * 60 + mi) * 60 + s) * 1000 + ms; }

TEST(EngineConvert, TextThatConverts) {
  struct Case {
    const char* column;
    const char* text;
    int64_t i;      // integer, money/decimal unscaled, or days for dates
    int32_t ms;     // dates only
    const char* s;  // character types only
  };
  const Case cases[] = {
      {"i", "42", 42, 0, nullptr},
      {"i", "  -7 ", -7, 0, nullptr},
      {"i", "", 0, 0, nullptr},
      {"i", "+2147483647", 2147483647, 0, nullptr},
      {"b", "9000000000", 9000000000, 0, nullptr},
      {"si", "-32768", -32768, 0, nullptr},
      {"ti", "255", 255, 0, nullptr},
      {"bt", "1", 1, 0, nullptr},
      {"bt", "5", 1, 0, nullptr},
      {"bt", "TRUE", 1, 0, nullptr},
      {"m", "", 0, 0, nullptr},
      {"m", "120", 1200000, 0, nullptr},
      {"m", "120.5", 1205000, 0, nullptr},
      {"m", "$1,234.56789", 12345679, 0, nullptr},
      {"m", " -0.0001 ", -1, 0, nullptr},
      {"sm", "214748.3647", 2147483647, 0, nullptr},
      {"d", "1234.565", 123457, 0, nullptr},
      {"d", "-.5", -50, 0, nullptr},
      {"dt", "", Days(1900, 1, 1), 0, nullptr},
      {"dt", "2026-12-07 08:00:00", Days(2026, 12, 7), Ms(8, 0, 0), nullptr},
      {"dt", "2026-12-07T08:00:00.123", Days(2026, 12, 7), Ms(8, 0, 0, 123), nullptr},
      {"dt", "2026-12-07 08:00:00.001", Days(2026, 12, 7), Ms(8, 0, 0, 0), nullptr},
      {"dt", "2026-12-07 08:00:00.002", Days(2026, 12, 7), Ms(8, 0, 0, 3), nullptr},
      {"dt", "2026-12-07 23:59:59.999", Days(2026, 12, 8), 0, nullptr},
      {"dt", "12/7/26 8:00:00 am", Days(2026, 12, 7), Ms(8, 0, 0), nullptr},
      {"dt", "12/7/26 12:30:00 AM", Days(2026, 12, 7), Ms(0, 30, 0), nullptr},
      {"dt", "12/7/26 12:30 pm", Days(2026, 12, 7), Ms(12, 30, 0), nullptr},
      {"dt", "1/2/49 1:00 PM", Days(2049, 1, 2), Ms(13, 0, 0), nullptr},
      {"dt", "1/2/50", Days(1950, 1, 2), 0, nullptr},
      {"dt", "12/7/2026", Days(2026, 12, 7), 0, nullptr},
      {"dt", "12-07-2026 8:05", Days(2026, 12, 7), Ms(8, 5, 0), nullptr},
      {"dt", "20261207", Days(2026, 12, 7), 0, nullptr},
      {"dt", "2024/2/29", Days(2024, 2, 29), 0, nullptr},
      {"dt", "8:15:30", Days(1900, 1, 1), Ms(8, 15, 30), nullptr},
      {"dt", "2026-12-07 3PM", Days(2026, 12, 7), Ms(15, 0, 0), nullptr},
      {"sdt", "2026-12-07 08:00:29", Days(2026, 12, 7), Ms(8, 0, 0), nullptr},
      {"sdt", "2026-12-07 08:00:30", Days(2026, 12, 7), Ms(8, 1, 0), nullptr},
      {"dd", "2026-12-07 08:00:00", Days(2026, 12, 7), 0, nullptr},
      {"dd", "", Days(1900, 1, 1), 0, nullptr},
      {"c", "111111", 0, 0, "111111"},
      {"c", "ab", 0, 0, "ab    "},
      {"c", "浙K12", 0, 0, "浙K12 "},  // 浙 takes two of the six bytes
      {"vc", "浙K123", 0, 0, "浙K123"},
      {"vc", "abc      ", 0, 0, "abc   "},  // blanks past the length go silently
      {"nc", "浙江", 0, 0, "浙江 "},
      {"nv", "浙江省", 0, 0, "浙江省"},
      {"vm", "月卡月卡月卡月卡月卡", 0, 0, "月卡月卡月卡月卡月卡"},
  };
  for (bool asParam : {false, true}) {
    Db db;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.column) + " <- '" + c.text + (asParam ? "' as a parameter" : "'"));
      BatchOutput out = db.Store(c.column, c.text, asParam);
      ASSERT_FALSE(out.statements.at(0).error) << out.statements[0].error->text;
      Value v = db.Read(c.column);
      ASSERT_FALSE(v.null);
      if (c.s) {
        EXPECT_EQ(v.s, c.s);
      } else if (std::string(c.column) == "dt" || std::string(c.column) == "sdt" ||
                 std::string(c.column) == "dd") {
        EXPECT_EQ(v.days, c.i);
        EXPECT_EQ(v.ms, c.ms);
      } else {
        EXPECT_EQ(v.i, c.i);
      }
    }
  }
}

TEST(EngineConvert, TextThatFails) {
  struct Case {
    const char* column;
    const char* text;
    int number;
    const char* message;  // for a varchar literal; nvarchar parameters differ where marked by %s
  };
  const Case cases[] = {
      {"i", "abc", 245, "Conversion failed when converting the %s value 'abc' to data type int."},
      {"i", "1.5", 245, "Conversion failed when converting the %s value '1.5' to data type int."},
      {"i", "-", 245, "Conversion failed when converting the %s value '-' to data type int."},
      {"i", "2147483648", 248,
       "The conversion of the %s value '2147483648' overflowed an int column."},
      {"ti", "x", 245, "Conversion failed when converting the %s value 'x' to data type tinyint."},
      {"m", "abc", 235,
       "Cannot convert a char value to money. The char value has incorrect syntax."},
      {"m", "1.2.3", 235,
       "Cannot convert a char value to money. The char value has incorrect syntax."},
      {"d", "", 8114, "Error converting data type %s to numeric."},
      {"d", "12x", 8114, "Error converting data type %s to numeric."},
      {"d", "12345", 8115, "Arithmetic overflow error converting %s to data type numeric."},
      {"f", "one", 8114, "Error converting data type %s to float."},
      {"dt", "yesterday", 241,
       "Conversion failed when converting date and/or time from character string."},
      {"dt", "2026-12-07 25:00", 241,
       "Conversion failed when converting date and/or time from character string."},
      {"dt", "13:00 PM", 241,
       "Conversion failed when converting date and/or time from character string."},
      {"dt", "2026-12-07 08:00:00.1234", 241,
       "Conversion failed when converting date and/or time from character string."},
      {"dt", "2/30/2026", 242,
       "The conversion of a %s data type to a datetime data type resulted in an out-of-range "
       "value."},
      {"dt", "1/1/1700", 242,
       "The conversion of a %s data type to a datetime data type resulted in an out-of-range "
       "value."},
      {"dd", "12/7/26 x", 241,
       "Conversion failed when converting date and/or time from character string."},
      {"vc", "1234567", 2628,
       "String or binary data would be truncated in table 'reporting.dbo.v', column 'vc'. "
       "Truncated value: '123456'."},
      {"vc", "浙江K1234", 2628,
       "String or binary data would be truncated in table 'reporting.dbo.v', column 'vc'. "
       "Truncated value: '浙江K1'."},
      {"c", "浙江省K", 2628,
       "String or binary data would be truncated in table 'reporting.dbo.v', column 'c'. Truncated "
       "value: '浙江省'."},
      {"nv", "浙江省K", 2628,
       "String or binary data would be truncated in table 'reporting.dbo.v', column 'nv'. "
       "Truncated value: '浙江省'."},
  };
  for (bool asParam : {false, true}) {
    Db db;
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.column) + " <- '" + c.text + (asParam ? "' as a parameter" : "'"));
      BatchOutput out = db.Store(c.column, c.text, asParam);
      ASSERT_TRUE(out.statements.at(0).error);
      std::string expected = c.message;
      if (size_t at = expected.find("%s"); at != std::string::npos)
        expected.replace(at, 2, asParam ? "nvarchar" : "varchar");
      EXPECT_EQ(out.statements[0].error->number, c.number);
      EXPECT_EQ(out.statements[0].error->severity, 16);
      EXPECT_EQ(out.statements[0].error->text, expected);
      EXPECT_TRUE(db.session->Execute("select id from v where id = " + std::to_string(db.id))
                      .statements.at(0)
                      .rows.empty())
          << "the failed insert left a row";
    }
  }
}

TEST(EngineConvert, NullOfEveryTypeStaysNull) {
  Db db;
  const char* columns[] = {"i", "b",  "si",  "ti", "bt", "m",  "sm", "d",  "f",
                           "r", "dt", "sdt", "dd", "c",  "vc", "nc", "nv", "vm"};
  db.session->Execute("insert into v(id) values(1)");
  db.id = 1;
  for (const char* column : columns) {
    SCOPED_TRACE(column);
    EXPECT_TRUE(db.Read(column).null);
    BatchOutput out =
        db.session->Execute(std::string("update v set ") + column + " = NULL where id = 1");
    ASSERT_FALSE(out.statements.at(0).error) << out.statements[0].error->text;
    EXPECT_TRUE(db.Read(column).null);
  }
}

TEST(EngineConvert, NumbersIntoOtherTypes) {
  struct Case {
    const char* column;
    const char* literal;
    int64_t i;
    const char* s;
    int error;
  };
  const Case cases[] = {
      {"i", "7.9", 7, nullptr, 0},           {"m", "7", 70000, nullptr, 0},
      {"d", "7.125", 713, nullptr, 0},       {"vc", "123", 0, "123", 0},
      {"i", "3000000000", 0, nullptr, 8115}, {"ti", "-1", 0, nullptr, 8115},
      {"dd", "5", 0, nullptr, 206},          {"dt", "1", Days(1900, 1, 2), nullptr, 0},
  };
  Db db;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.column) + " <- " + c.literal);
    ++db.id;
    BatchOutput out =
        db.session->Execute("insert into v(id, " + std::string(c.column) + ") values(" +
                            std::to_string(db.id) + ", " + c.literal + ")");
    if (c.error) {
      ASSERT_TRUE(out.statements.at(0).error);
      EXPECT_EQ(out.statements[0].error->number, c.error);
      continue;
    }
    ASSERT_FALSE(out.statements.at(0).error) << out.statements[0].error->text;
    Value v = db.Read(c.column);
    if (c.s)
      EXPECT_EQ(v.s, c.s);
    else if (std::string(c.column) == "dt")
      EXPECT_EQ(v.days, c.i);
    else
      EXPECT_EQ(v.i, c.i);
  }
}

TEST(EngineConvert, ChineseTextComparesAndRoundTrips) {
  Db db;
  db.session->Execute("insert into v(id, vc, nv, c) values(1, '浙K123', N'沪A', '京')");
  BatchOutput out =
      db.session->Execute("select id from v where vc = '浙K123' and nv = N'沪A' and c = '京'");
  ASSERT_EQ(out.statements.at(0).rows.size(), 1u);
  // Trailing blanks and letter case do not matter in comparisons, as under a _CI_ collation.
  out = db.session->Execute("select vc from v where vc = '浙k123  '");
  ASSERT_EQ(out.statements.at(0).rows.size(), 1u);
  EXPECT_EQ(out.statements[0].rows[0][0].s, "浙K123");
}

TEST(EngineConvert, CastAndConvertFollowTheSameRules) {
  Db db;
  struct Case {
    const char* expr;
    const char* text;  // expected text of the value, or the error number
    int error;
  };
  const Case cases[] = {
      {"CONVERT(date, '12/7/26 8:00:00 am')", "2026-12-07", 0},
      {"cast('2026-12-07 08:00' as datetime)", "2026-12-07 08:00:00.000", 0},
      {"cast('abcdef' as varchar(3))", "abc", 0},
      {"cast(' 12 ' as int)", "12", 0},
      {"cast('x' as int)", nullptr, 245},
      {"convert(datetime, 'nonsense')", nullptr, 241},
      {"year('12/7/26')", "2026", 0},
      {"month(GETDATE())", "12", 0},
      {"Day(GETDATE()-8)", "30", 0},
      {"day('bad')", nullptr, 241},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expr);
    // Stored in a varchar column so the value reads back as text whatever it looks like.
    ++db.id;
    BatchOutput out = db.session->Execute("insert into v(id, vm) values(" + std::to_string(db.id) +
                                          ", " + c.expr + ")");
    const StatementOutput& s = out.statements.at(0);
    if (c.error) {
      ASSERT_TRUE(s.error);
      EXPECT_EQ(s.error->number, c.error);
      continue;
    }
    ASSERT_FALSE(s.error) << s.error->text;
    EXPECT_EQ(db.Read("vm").s, c.text);
  }
}

}  // namespace
}  // namespace standin
