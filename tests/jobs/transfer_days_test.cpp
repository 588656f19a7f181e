// Which days' records a transfer copies and whether --verify can prove it: special
// cards stamped after their day's run, the server's calendar against a workstation
// hours away, and the comparison that names what is missing or different.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>

#include "jobs/prepared_records.h"
#include "jobs/server_day.h"
#include "jobs/transfer.h"
#include "jobs/verify.h"
#include "reporting_server.h"

namespace cardsync::jobs {
namespace {

using testing::ReportingOptions;
using testing::StandinServer;
using Rows = std::vector<std::vector<std::string>>;

DateTime At(const char* text) {
  int y, mo, d, h, mi, s;
  std::sscanf(text, "%d-%d-%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s);
  return EncodeDateTime(y, mo, d, h, mi, s);
}

long long Day(const char* text) { return static_cast<long long>(std::floor(At(text))); }

void AddCard(StandinServer& server, const std::string& orderId, const char* kahao,
             const std::string& siji) {
  const std::string card = kahao ? std::string("N'") + kahao + "'" : "NULL";
  server.Exec("insert into T_sendbase values('" + orderId + "', " + card +
              ", 1, 1, 'k', '0', '0', 't', '" + siji + "')");
}

db::ConnectionSettings SettingsFor(const StandinServer& server) {
  return testing::SettingsFor(server, 2, 10);
}

std::vector<std::string> CopiedIds(StandinServer& server) {
  std::vector<std::string> ids;
  for (const auto& row : server.Query("select order_id from T_quindale order by order_id"))
    ids.push_back(row[0]);
  return ids;
}

// Special cards stamped after their day's 02:00:00 run arrive with the next day's run.
TEST(TransferDays, LateSpecialCardsArriveWithTheNextDaysRun) {
  struct Case {
    bool previousDaySpecialCards;
    std::vector<std::string> copied;
  };
  const Case cases[] = {
      {true, {"early", "late insert", "noon", "one past", "last second", "on the second"}},
      {false, {"early"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.previousDaySpecialCards);
    QTemporaryDir folder;
    StandinServer::Options options = ReportingOptions();
    options.dbPath = folder.filePath("reporting.db").toStdString();
    options.now = "2024-03-15 02:00:00";
    {
      StandinServer day(options);
      AddCard(day, "early", "111111", "2024-03-15 01:00:00");
      db::Database database([&day] { return SettingsFor(day); });
      ASSERT_EQ(RunTransfer(database).status, JobOutcome::Status::Done);
      // Stamped during or after the run, or stamped before it but inserted after.
      AddCard(day, "on the second", "222222", "2024-03-15 02:00:00");
      AddCard(day, "one past", "333333", "2024-03-15 02:00:01");
      AddCard(day, "noon", "000000", "2024-03-15 12:00:00");
      AddCard(day, "last second", "444444", "2024-03-15 23:59:59");
      AddCard(day, "late insert", "111111", "2024-03-15 01:30:00");
    }
    options.schemaFiles.clear();
    options.now = "2024-03-16 02:00:00";
    StandinServer nextDay(options);
    db::Database database([&nextDay] { return SettingsFor(nextDay); });
    const JobOutcome outcome =
        RunTransfer(database, {.previousDaySpecialCards = c.previousDaySpecialCards});
    ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
    std::vector<std::string> expected = c.copied;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(CopiedIds(nextDay), expected);
    EXPECT_EQ(outcome.read, c.previousDaySpecialCards ? 6 : 0);  // all of 03-15's, or none
  }
}

// The workstation in another time zone than the server for one test: TZ set and read
// again, put back at the end.
class WorkstationZone {
 public:
  explicit WorkstationZone(const char* tz) {
    if (const char* was = std::getenv("TZ")) before_ = was;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~WorkstationZone() {
    if (before_) {
      ::setenv("TZ", before_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> before_;
};

// Every way of running day D selects what its on-time run selected: the server's date
// at D's 02:00:00, with the workstation 8 hours east or west of a server on UTC.
TEST(TransferDays, EveryRunOfADaySelectsByTheServersCalendar) {
  struct Run {
    const char* name;
    const char* workstation;  // the workstation's clock when it runs
    bool onTime;              // asked in the job's own second
  };
  const Run runs[] = {
      {"on time", "2024-03-15 02:00:00", true},
      {"retried", "2024-03-15 03:00:00", false},
      {"caught up", "2024-03-16 05:00:00", false},
      {"--day", "2024-03-18 14:00:00", false},
  };
  for (double offsetHours : {-8.0, 8.0}) {
    // POSIX TZ signs run west-positive: "UTC-8" is eight hours ahead of UTC.
    const WorkstationZone zone(offsetHours < 0 ? "UTC-8" : "UTC+8");
    std::vector<std::string> onTime;
    long long onTimeServerDay = 0;
    for (const Run& run : runs) {
      SCOPED_TRACE(std::string(run.name) + " server offset " + std::to_string(offsetHours));
      const DateTime workstation = At(run.workstation);
      StandinServer::Options options = ReportingOptions();
      options.now = ClockStamp(workstation + offsetHours / 24);  // both clocks right
      StandinServer server(options);
      for (const char* day : {"2024-03-13", "2024-03-14", "2024-03-15", "2024-03-16"}) {
        for (const char* time : {"00:30:00", "10:00:00", "20:00:00"}) {
          const std::string siji = std::string(day) + " " + time;
          AddCard(server, "o " + siji, "0AK1", siji);
          AddCard(server, "s " + siji, "111111", siji);
        }
      }
      db::Database database([&server] { return SettingsFor(server); });
      TransferOptions transfer{.runDay = Day("2024-03-15 00:00:00"),
                               .onTime = run.onTime,
                               .clock = [workstation] { return workstation; }};
      const JobOutcome outcome = RunTransfer(database, transfer);
      ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
      EXPECT_TRUE(outcome.warnings.empty());  // time zones are no clock fault
      if (run.onTime) {
        onTime = CopiedIds(server);
        onTimeServerDay = outcome.serverDay;
        EXPECT_EQ(onTime.size(), 9u);  // a day's ordinary and special cards, the next day's special
        EXPECT_EQ(outcome.serverDay, offsetHours < 0 ? 20240314 : 20240315);
      } else {
        EXPECT_EQ(CopiedIds(server), onTime);
        EXPECT_EQ(outcome.serverDay, onTimeServerDay);
      }
    }
  }
}

class VerifyTest : public ::testing::Test {
 protected:
  VerifyTest() : server_(ReportingOptions()), database_([this] { return SettingsFor(server_); }) {}

  // The workstation's clock agrees with the server's.
  static DateTime Now() { return At("2024-03-15 02:00:05"); }
  VerifyReport Verify() { return VerifyTransfers(database_, {.days = 1, .clock = Now}); }

  StandinServer server_;
  db::Database database_;
};

TEST_F(VerifyTest, NamesEveryGapAndARerunOfTheDayClosesIt) {
  AddCard(server_, "A changed", "0AK1", "2024-03-14 10:00:00");
  AddCard(server_, "B deleted", "0AK2", "2024-03-14 11:00:00");
  AddCard(server_, "C equal", "111111", "2024-03-15 01:00:00");
  AddCard(server_, "D late special", "222222", "2024-03-14 23:00:00");
  AddCard(server_, "N null kahao", nullptr, "2024-03-14 12:00:00");
  // A null amount went as '' and is kept as 0: equal.
  server_.Exec(
      "insert into T_sendbase values('E null money', N'0AK5', NULL, NULL, 'k', '0', '0', "
      "'t', '2024-03-14 13:00:00')");
  ASSERT_EQ(RunTransfer(database_).status, JobOutcome::Status::Done);
  server_.Exec("delete from T_quindale where order_id='B deleted'");
  server_.Exec("update T_quindale set kex_no='other', moneys=7 where order_id='A changed'");
  AddCard(server_, "L late insert", "0AK3", "2024-03-14 09:00:00");

  VerifyReport report = Verify();
  ASSERT_EQ(report.status, VerifyReport::Status::Differences) << report.message;
  EXPECT_EQ(report.Lines(),
            (std::vector<std::string>{
                "2024-03-15: selected 6, equal 3, missing 2, different 1, null kahao 1",
                "  missing: B deleted, L late insert", "  different: A changed (kex_no, moneys)"}));

  ASSERT_EQ(RunTransfer(database_, {.runDay = Day("2024-03-15 00:00:00"), .clock = Now}).status,
            JobOutcome::Status::Done);
  report = Verify();
  EXPECT_EQ(report.status, VerifyReport::Status::AllEqual);
  EXPECT_EQ(report.Lines(),
            (std::vector<std::string>{"2024-03-15: selected 6, equal 6, missing 0, different 0, "
                                      "null kahao 1"}));
}

// Records come back from the packed store as they went in, whatever their texts' lengths
// (a length of 128 bytes or more takes a second length byte, 16 384 a third) and kinds.
TEST(PreparedRecords, EveryValueComesBackAsAdded) {
  PreparedRecords records;
  std::vector<PreparedRecord> added;
  int index = 0;
  for (std::size_t length : {0, 1, 127, 128, 129, 255, 16383, 16384, 70000}) {
    PreparedRecord record{"id" + std::to_string(length), {}};
    record.update = {std::string(length, 'x'),
                     db::Timestamp{2024, 3, 14, 23, 59, 59},
                     std::int64_t(-12),
                     db::Decimal{std::string(length % 200 + 1, '9')},
                     std::monostate{},
                     std::string("浙K1"),
                     std::string(length, 'y'),
                     std::string(),
                     record.orderId};
    records.Add(index++, record);
    added.push_back(record);
  }
  ASSERT_EQ(records.Size(), added.size());
  for (std::size_t i = 0; i < added.size(); ++i) {
    SCOPED_TRACE(added[i].orderId);
    const PreparedRecord back = records.At(i);
    EXPECT_EQ(back.orderId, added[i].orderId);
    EXPECT_TRUE(back.update == added[i].update);
    EXPECT_EQ(records.ReadIndex(i), int(i));
  }
}

}  // namespace
}  // namespace cardsync::jobs
