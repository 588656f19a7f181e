// The transfer's values as the server stores them, whatever the workstation's
// language, and the errors that end a run instead of skipping a record.
#include <gtest/gtest.h>
#include <sqlext.h>

#include <QLocale>
#include <algorithm>

#include "clock/format_settings.h"
#include "jobs/transfer.h"
#include "jobs/transfer_values.h"
#include "odbc_handles.h"
#include "reporting_server.h"

namespace cardsync::jobs {
namespace {

using testing::StandinServer;
using Rows = std::vector<std::vector<std::string>>;

db::ConnectionSettings SettingsFor(const StandinServer& server) {
  return testing::SettingsFor(server, /*loginTimeoutSeconds=*/2, /*queryTimeoutSeconds=*/30);
}

// Pins the regional settings for one case and puts the C locale back after it.
class WorkstationLocale {
 public:
  explicit WorkstationLocale(const char* name) {
    QLocale::setDefault(QLocale(QString::fromLatin1(name)));
    ReloadFormatSettings();
  }
  ~WorkstationLocale() {
    QLocale::setDefault(QLocale::c());
    ReloadFormatSettings();
  }
};

// Yesterday for the stand-in's fixed clock (2024-03-15 02:00:00).
constexpr const char* kSeed =
    "insert into T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, types, "
    "siji) values "
    // 1940-06-01 00:00 and 2049-12-31 12:34:56 at UTC+8
    "('a', N'0AK1', 12, 120.5, 'k', '-933667200', '2524538096', 't', '2024-03-14 10:00:00'),"
    // 2050-01-01 00:00 (midnight) and 2100-02-28 23:59:59
    "('b', N'0AK2', NULL, 1234567.8912, 'k', '2524579200', '4107513599', 't', "
    "'2024-03-14 00:00:00'),"
    "('c', N'0AK3', 7, NULL, 'k', '0', '0', 't', '2024-03-14 23:59:59')";

TEST(TransferTyped, TheSameValuesUnderEveryWorkstationLanguage) {
  StandinServer server(testing::ReportingOptions());
  server.Exec(kSeed);
  // Worked out by hand from the seed: the server's own texts of datetime and money.
  const Rows expected = {
      {"a", "1940-06-01 00:00:00.000", "2049-12-31 12:34:56.000", "12", "120.5000",
       "2024-03-14 10:00:00.000"},
      {"b", "2050-01-01 00:00:00.000", "2100-02-28 23:59:59.000", "0", "1234567.8912",
       "2024-03-14 00:00:00.000"},
      {"c", "1970-01-01 08:00:00.000", "1970-01-01 08:00:00.000", "7", "0.0000",
       "2024-03-14 23:59:59.000"},
  };
  // C: two-digit years; de_DE: decimal comma, day first; en_GB and fr_FR: day first;
  // ar_EG: Arabic-Indic digits; th_TH: another calendar's habits; en_US: 12-hour clock;
  // zh_CN: the workstation the program was made for.
  for (const char* locale : {"C", "de_DE", "en_GB", "fr_FR", "ar_EG", "th_TH", "en_US", "zh_CN"}) {
    SCOPED_TRACE(locale);
    server.Exec("delete from T_quindale");
    WorkstationLocale pinned(locale);
    db::Database database([&server] { return SettingsFor(server); });
    const JobOutcome outcome = RunTransfer(database);
    ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
    EXPECT_TRUE(outcome.skipped.empty()) << outcome.skipped.front().reason;
    EXPECT_EQ(server.Query("select order_id, startdate, enddate, months, moneys, siji from "
                           "T_quindale order by order_id"),
              expected);
  }
}

TEST(TransferTyped, TextColumnsKeepTheRegionalText) {
  StandinServer server(testing::ReportingOptions());
  server.Exec("drop table T_quindale");
  server.Exec(
      "create table T_quindale (order_id varchar(32) not null primary key, kex_no varchar(32), "
      "startdate varchar(40), enddate varchar(40), months varchar(10), moneys varchar(20), "
      "types varchar(10), kahao nvarchar(20), siji varchar(40))");
  server.Exec(kSeed);
  WorkstationLocale pinned("de_DE");
  db::Database database([&server] { return SettingsFor(server); });
  const JobOutcome outcome = RunTransfer(database);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_EQ(server.Query("select order_id, startdate, enddate, months, moneys, siji from "
                         "T_quindale order by order_id"),
            (Rows{{"a", "01.06.40", "31.12.49 12:34:56", "12", "120,5", "14.03.24 10:00:00"},
                  {"b", "01.01.50", "28.02.00 23:59:59", "0", "1234567,8912", "14.03.24"},
                  {"c", "01.01.70 08:00:00", "01.01.70 08:00:00", "7", "", "14.03.24 23:59:59"}}));
}

// The typed form of months and moneys for each destination type, and the
// literal conversions the server used to apply to months.
TEST(TransferTyped, NumbersForEachDestinationType) {
  struct Case {
    const char* text;
    std::optional<std::string> plain;
  };
  const Case plain[] = {
      {"12", "12"},
      {"+12", "12"},
      {"-0", "0"},
      {" 2.50 ", "2.5"},
      {"1.5E-7", "0.00000015"},
      {"1E20", "100000000000000000000"},
      {".5", "0.5"},
      {"5.", "5"},
      {"-007.10", "-7.1"},
      {"abc", std::nullopt},
      {"1e", std::nullopt},
      {"", std::nullopt},
      {"1,5", std::nullopt},
      {"1E999", std::nullopt},
  };
  for (const Case& c : plain) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(PlainDecimal(c.text), c.plain);
  }
  struct Whole {
    const char* plain;
    std::int64_t whole;
  };
  // Cut toward zero, as the server makes a numeric literal whole.
  for (const Whole& c : std::initializer_list<Whole>{{"2.9", 2},
                                                     {"-2.9", -2},
                                                     {"0.5", 0},
                                                     {"9223372036854775807", INT64_MAX},
                                                     {"-9223372036854775808", INT64_MIN}}) {
    SCOPED_TRACE(c.plain);
    EXPECT_EQ(WholePart(c.plain), c.whole);
  }
  EXPECT_THROW(WholePart("9223372036854775808"), Error);
  EXPECT_THROW(WholePart("-9223372036854775809"), Error);
}

TEST(TransferTyped, MonthsThatAreNotWholeAreCutAsTheServerWouldCutTheLiteral) {
  StandinServer server(testing::ReportingOptions());
  server.Exec("drop table T_sendbase");
  server.Exec(
      "create table T_sendbase (order_id varchar(32) primary key, kahao nvarchar(20), months "
      "decimal(6,2), moneys float, kex_no varchar(32), startdate varchar(20), enddate "
      "varchar(20), types varchar(10), siji datetime)");
  server.Exec(
      "insert into T_sendbase values ('a', N'0AK1', 2.75, 0.1, 'k', '0', '0', 't', '2024-03-14 "
      "10:00:00'), ('b', N'0AK2', -3.5, 1e-7, 'k', '0', '0', 't', '2024-03-14 10:00:00')");
  WorkstationLocale pinned("de_DE");
  db::Database database([&server] { return SettingsFor(server); });
  const JobOutcome outcome = RunTransfer(database);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_TRUE(outcome.skipped.empty()) << outcome.skipped.front().reason;
  EXPECT_EQ(server.Query("select order_id, months, moneys from T_quindale order by order_id"),
            (Rows{{"a", "2", "0.1000"}, {"b", "-3", "0.0000"}}));
}

// A value no destination column could hold is not held in memory either: its record is
// skipped with the column named, and the records around it arrive.
TEST(TransferTyped, AValueTooLongToHoldSkipsOnlyItsRecord) {
  StandinServer server(testing::ReportingOptions());
  server.Exec("drop table T_sendbase");
  server.Exec(
      "create table T_sendbase (order_id varchar(32) primary key, kahao nvarchar(20), months int, "
      "moneys money, kex_no varchar(max), startdate varchar(20), enddate varchar(20), types "
      "varchar(10), siji datetime)");
  const auto row = [](const char* id, std::size_t kexBytes) {
    return "insert into T_sendbase values ('" + std::string(id) + "', N'0AK1', 1, 1, '" +
           std::string(kexBytes, 'k') + "', '0', '0', 't', '2024-03-14 10:00:00')";
  };
  server.Exec(row("a", 10));
  server.Exec(row("b", (1u << 20) + 4096));  // over the limit by a little: skipped
  server.Exec(row("c", 10));
  db::Database database([&server] { return SettingsFor(server); });
  const JobOutcome outcome = RunTransfer(database);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  ASSERT_EQ(outcome.skipped.size(), 1u);
  EXPECT_EQ(outcome.skipped[0].orderId, "b");
  EXPECT_NE(outcome.skipped[0].reason.find("kex_no"), std::string::npos)
      << outcome.skipped[0].reason;
  EXPECT_EQ(server.Query("select order_id from T_quindale order by order_id"),
            (Rows{{"a"}, {"c"}}));
}

// Holds a write transaction on T_quindale from another session until destroyed.
class OtherSessionLock {
 public:
  explicit OtherSessionLock(const StandinServer& server) {
    connection_.ConnectOrThrow(server.OdbcConnectionString());
    SQLSetConnectAttr(connection_.dbc(), SQL_ATTR_AUTOCOMMIT,
                      reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
    testing::OdbcHandle statement(SQL_HANDLE_STMT, connection_.dbc());
    SQLCHAR text[] = "insert into T_quindale(order_id) values('held')";
    if (!SQL_SUCCEEDED(SQLExecDirect(statement.get(), text, SQL_NTS)))
      throw std::runtime_error(testing::DiagnosticsText(SQL_HANDLE_STMT, statement.get()));
  }

 private:
  testing::OdbcConnection connection_;
};

TEST(TransferTyped, ErrorsNotAboutOneRecordFailTheRun) {
  struct Case {
    const char* name;
    std::vector<std::string> breakIt;  // statements run on the server before the job
    bool holdLock;
    const char* message;
  };
  const std::string withoutSiji =
      "create table T_quindale (order_id varchar(32) not null primary key, kex_no varchar(32), "
      "startdate datetime, enddate datetime, months int, moneys money, types varchar(10), "
      "kahao nvarchar(20))";
  const Case cases[] = {
      {"a destination column missing",
       {"drop table T_quindale", withoutSiji},
       false,
       "Invalid column name 'siji'"},
      {"another session holds a lock, also after one retry",
       {},
       true,
       "blocked by another session for 1 s; 0 records had been written: Lock request time out "
       "period exceeded"},
      {"the login may not insert",
       {"create table __standin_denied (permission varchar(20), securable varchar(128))",
        "insert into __standin_denied values ('INSERT', 'T_quindale')"},
       false,
       "The INSERT permission was denied on the object 'T_quindale', database 'reporting', "
       "schema 'dbo'"},
      {"the login may not update",
       {"create table __standin_denied (permission varchar(20), securable varchar(128))",
        "insert into __standin_denied values ('UPDATE', 'T_quindale')"},
       false,
       "The UPDATE permission was denied on the object 'T_quindale', database 'reporting', "
       "schema 'dbo'"},
  };
  for (const Case& c : cases) {
    for (const int batchSize : {1, 100}) {
      SCOPED_TRACE(std::string(c.name) + ", batch_size " + std::to_string(batchSize));
      StandinServer server(testing::ReportingOptions());
      server.Exec(kSeed);
      for (const std::string& statement : c.breakIt) server.Exec(statement);
      std::optional<OtherSessionLock> lock;
      if (c.holdLock) lock.emplace(server);
      db::ConnectionSettings settings = SettingsFor(server);
      settings.lockTimeoutSeconds = 1;  // the program's own bound on a lock wait
      db::Database database([settings] { return settings; });
      const JobOutcome outcome = RunTransfer(database, {.batchSize = batchSize});
      EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
      EXPECT_EQ(outcome.message, c.message);
      EXPECT_TRUE(outcome.skipped.empty());
      if (c.holdLock) {
        // Tried twice record by record (after the chunk) before the run gave up.
        const auto lines = server.LogLines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.starts_with("error: 1222"); }),
                  batchSize == 1 ? 2 : 3);
      }
      lock.reset();
      // Nothing was written before the run stopped.
      EXPECT_EQ(server.Query("select count(*) from T_quindale"), (Rows{{"0"}}));
    }
  }
}

}  // namespace
}  // namespace cardsync::jobs
