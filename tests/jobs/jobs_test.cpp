// The transfer and totals jobs against the SQL Server stand-in, checking what
// lands in T_quindale and T_totals; plus the log lines.
// The stand-in's clock is fixed at 2024-03-15 02:00:00 unless a test says else.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "db/odbc_direct.h"
#include "jobs/connected_run.h"
#include "jobs/totals.h"
#include "jobs/transfer.h"
#include "reporting_server.h"

namespace cardsync::jobs {
namespace {

using testing::SourceDir;
using testing::StandinServer;
using Rows = std::vector<std::vector<std::string>>;

constexpr const char* kYesterday = "2024-03-14 10:00:00";
constexpr const char* kToday = "2024-03-15 01:30:00";

using testing::ReportingOptions;

db::ConnectionSettings SettingsFor(const StandinServer& server) {
  return testing::SettingsFor(server, /*loginTimeoutSeconds=*/2, /*queryTimeoutSeconds=*/10);
}

// One T_sendbase row; every text is put in as a literal with its quotes doubled.
struct Source {
  std::string orderId;
  std::optional<std::string> kahao;
  std::string siji;
  std::optional<std::string> startdate = "0";
  std::optional<std::string> enddate = "86400";
  std::optional<std::string> months = "12";
  std::optional<std::string> moneys = "120.5";
  std::string kexNo = "kx";
  std::string types = "t";
};

std::string Literal(const std::optional<std::string>& text, bool national = false) {
  if (!text) return "NULL";
  std::string quoted = national ? "N'" : "'";
  for (char c : *text) {
    quoted += c;
    if (c == '\'') quoted += '\'';
  }
  return quoted + "'";
}

void Seed(StandinServer& server, const std::vector<Source>& rows) {
  for (const Source& row : rows) {
    server.Exec(
        "insert into T_sendbase(order_id, kahao, months, moneys, kex_no, startdate, enddate, "
        "types, siji) "
        "values(" +
        Literal(row.orderId) + "," + Literal(row.kahao, true) + "," + row.months.value_or("NULL") +
        "," + row.moneys.value_or("NULL") + "," + Literal(row.kexNo) + "," +
        Literal(row.startdate) + "," + Literal(row.enddate) + "," + Literal(row.types) + "," +
        Literal(row.siji) + ")");
  }
}

// Log lines holding `piece`, from line `from` on (the fixture's own seeding and
// checking connections log too, so a test marks where the job began).
std::size_t CountLog(const StandinServer& server, std::string_view piece, std::size_t from = 0) {
  const auto lines = server.LogLines();
  return std::size_t(std::count_if(
      lines.begin() + std::ptrdiff_t(std::min(from, lines.size())), lines.end(),
      [piece](const std::string& line) { return line.find(piece) != std::string::npos; }));
}

// True once every login in the log has its logout: nothing, the job included,
// left a connection open. The server notes a logout when it sees the socket
// close, a moment after the client closed it.
bool AllConnectionsClosed(const StandinServer& server) {
  for (int i = 0; i < 100; ++i) {
    if (CountLog(server, "logout") == CountLog(server, "login: ")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

std::size_t LogMark(const StandinServer& server) { return server.LogLines().size(); }

// T_sendbase again, without one column.
std::string SourceTableWithout(std::string_view column) {
  std::string columns;
  for (const char* definition :
       {"order_id varchar(32) not null primary key", "kahao nvarchar(20) null", "months int null",
        "moneys money null", "kex_no varchar(32) null", "startdate varchar(20) null",
        "enddate varchar(20) null", "types varchar(10) null", "siji datetime null"}) {
    if (std::string_view(definition).starts_with(std::string(column) + " ")) continue;
    columns += (columns.empty() ? "" : ", ") + std::string(definition);
  }
  return "create table T_sendbase (" + columns + ")";
}

class TransferTest : public ::testing::Test {
 protected:
  explicit TransferTest(StandinServer::Options options = ReportingOptions())
      : server_(std::move(options)), database_([this] { return SettingsFor(server_); }) {}

  Rows Destination() {
    return server_.Query(
        "select order_id, kex_no, startdate, enddate, months, moneys, types, kahao, siji from "
        "T_quindale "
        "order by order_id");
  }
  std::string DestinationKahao(const std::string& orderId) {
    const Rows rows =
        server_.Query("select kahao from T_quindale where order_id=" + Literal(orderId));
    return rows.empty() ? "<no row>" : rows[0][0];
  }

  StandinServer server_;
  db::Database database_;
};

TEST_F(TransferTest, CardNumbersOfThePreviousDay) {
  struct Case {
    const char* kahao;
    const char* written;
  };
  const Case cases[] = {
      {"0AK123", "浙K123"},
      {"02K123", "K123"},                    // no province for "02"
      {"1BK123", "27K123"},                  // two digits, not a character
      {"0A浙K12", "浙浙K12"},                // a Chinese character inside the plate
      {"浙A12345", "A12345"},                // a Chinese character where the code should be
      {"000A123456789012", "京0A12345678"},  // bytes 3 to 12 only
      {"0", ""},
      {"0A", "浙"},
  };
  std::vector<Source> rows;
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    rows.push_back(
        {.orderId = "P" + std::to_string(i), .kahao = cases[i].kahao, .siji = kYesterday});
  }
  Seed(server_, rows);
  const JobOutcome outcome = RunTransfer(database_);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_EQ(outcome.read, int(std::size(cases)));
  EXPECT_EQ(outcome.inserted, int(std::size(cases)));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].kahao);
    EXPECT_EQ(DestinationKahao("P" + std::to_string(i)), cases[i].written);
  }
}

TEST_F(TransferTest, SelectionsReachTheServerAsWritten) {
  // Written out here rather than shared with the job, so a slip in either shows.
  const std::string passes[] = {
      "batch: select * from T_sendbase where year(siji)*10000+month(siji)*100+DAY(siji)="
      "year(GETDATE()-1)*10000+month(GETDATE()-1)*100+DAY(GETDATE()-1) and  kahao not in "
      "('000000','111111','222222','333333','444444')\\r\\n",
      "batch: select * from T_sendbase where year(siji)*10000+month(siji)*100+DAY(siji)="
      "year(GETDATE()-1)*10000+month(GETDATE()-1)*100+DAY(GETDATE()-1) and  kahao  in "
      "('000000','111111','222222','333333','444444')\\r\\n",
      "batch: select * from T_sendbase where year(siji)*10000+month(siji)*100+DAY(siji)="
      "year(GETDATE())*10000+month(GETDATE())*100+DAY(GETDATE()) and  kahao  in "
      "('000000','111111','222222','333333','444444')\\r\\n",
  };
  const std::size_t mark = LogMark(server_);
  ASSERT_EQ(RunTransfer(database_).status, JobOutcome::Status::Done);
  const auto lines = server_.LogLines();
  std::vector<std::string> selections;
  for (std::size_t i = mark; i < lines.size(); ++i) {
    if (lines[i].find("T_sendbase") != std::string::npos) selections.push_back(lines[i]);
  }
  EXPECT_EQ(selections, (std::vector<std::string>{passes[0], passes[1], passes[2]}));
}

TEST_F(TransferTest, WhichRecordsEachPassSelects) {
  struct Case {
    const char* orderId;
    std::optional<std::string> kahao;
    const char* siji;
    bool copied;
  };
  const Case cases[] = {
      {"ordinary yesterday", "0AK1", "2024-03-14 00:00:00", true},
      {"ordinary yesterday late", "0AK2", "2024-03-14 23:59:59", true},
      {"ordinary today", "0AK3", "2024-03-15 00:00:00", false},
      {"ordinary two days ago", "0AK4", "2024-03-13 23:59:59", false},
      {"special today", "111111", "2024-03-15 01:00:00", true},
      {"special later today", "222222", "2024-03-15 23:00:00", true},
      {"special yesterday", "000000", "2024-03-14 12:00:00", true},  // stamped after its run
      {"special two days ago", "000000", "2024-03-13 23:59:59", false},
      {"null kahao yesterday", std::nullopt, "2024-03-14 12:00:00", false},
      {"null kahao today", std::nullopt, "2024-03-15 01:00:00", false},
  };
  std::vector<Source> rows;
  for (const Case& c : cases)
    rows.push_back({.orderId = c.orderId, .kahao = c.kahao, .siji = c.siji});
  Seed(server_, rows);
  const JobOutcome outcome = RunTransfer(database_);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.orderId);
    EXPECT_EQ(DestinationKahao(c.orderId) != "<no row>", c.copied);
  }
  EXPECT_EQ(DestinationKahao("special today"), "111111");  // special cards as read
}

class TransferAtMonthStartTest : public TransferTest {
 protected:
  TransferAtMonthStartTest() : TransferTest(MonthStart()) {}
  static StandinServer::Options MonthStart() {
    StandinServer::Options options = ReportingOptions();
    options.now = "2024-03-01 02:00:00";
    return options;
  }
};

TEST_F(TransferAtMonthStartTest, PreviousDayCrossesTheMonth) {
  Seed(server_, {{.orderId = "leap day", .kahao = "0AK1", .siji = "2024-02-29 08:00:00"},
                 {.orderId = "first", .kahao = "0AK2", .siji = "2024-03-01 00:10:00"},
                 {.orderId = "special first", .kahao = "333333", .siji = "2024-03-01 00:10:00"}});
  ASSERT_EQ(RunTransfer(database_).status, JobOutcome::Status::Done);
  EXPECT_EQ(Destination().size(), 2u);
  EXPECT_EQ(DestinationKahao("leap day"), "浙K1");
  EXPECT_EQ(DestinationKahao("special first"), "333333");
}

TEST_F(TransferTest, ValuesWrittenForNewAndExistingRows) {
  Seed(server_, {{.orderId = "new",
                  .kahao = "0AK123",
                  .siji = kYesterday,
                  .startdate = "0",
                  .enddate = "1710000000",
                  .months = "12",
                  .moneys = "120",
                  .kexNo = "K1",
                  .types = "T1"},
                 {.orderId = "old",
                  .kahao = "111111",
                  .siji = kToday,
                  .startdate = "-28800",
                  .enddate = "86400",
                  .months = std::nullopt,
                  .moneys = std::nullopt,
                  .kexNo = "K2",
                  .types = "T2"}});
  server_.Exec(
      "insert into T_quindale(order_id, kex_no, months, kahao) values('old', 'stale', 99, "
      "N'stale')");
  const JobOutcome outcome = RunTransfer(database_);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_EQ(outcome.read, 2);
  EXPECT_EQ(outcome.inserted, 1);
  EXPECT_EQ(outcome.updated, 2);
  EXPECT_TRUE(outcome.skipped.empty());
  const Rows expected = {
      // Unix 0 is 1970-01-01 08:00 at UTC+8; 1710000000 is 2024-03-10 00:00.
      {"new", "K1", "1970-01-01 08:00:00.000", "2024-03-10 00:00:00.000", "12", "120.0000", "T1",
       "浙K123", "2024-03-14 10:00:00.000"},
      // null months is written as 0; null moneys as '', which the server reads as 0.
      {"old", "K2", "1970-01-01 00:00:00.000", "1970-01-02 08:00:00.000", "0", "0.0000", "T2",
       "111111", "2024-03-15 01:30:00.000"},
  };
  EXPECT_EQ(Destination(), expected);  // one row each: the old one was not inserted again
}

// Record by record, so the per-record statements can be looked for in the log.
TEST_F(TransferTest, QuotesInEveryTextColumnArriveAsRead) {
  Seed(server_,
       {{.orderId = "Q'1\"`",
         .kahao = "0AK'\"`",
         .siji = kYesterday,
         .kexNo = "it's \"x\" `y`",
         .types = "t'\"`"},
        {.orderId = "Q2", .kahao = "444444", .siji = kToday, .kexNo = "');--", .types = "`"}});
  const JobOutcome outcome = RunTransfer(database_, {.batchSize = 1});
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_TRUE(outcome.skipped.empty()) << outcome.skipped.front().reason;
  const Rows rows =
      server_.Query("select order_id, kex_no, types, kahao from T_quindale order by order_id");
  EXPECT_EQ(rows, (Rows{{"Q'1\"`", "it's \"x\" `y`", "t'\"`", "浙K'\"`"},
                        {"Q2", "');--", "`", "444444"}}));
  // The values travel apart from the statement texts, which keep their shape.
  EXPECT_GE(CountLog(server_, "select count(*) from T_quindale where order_id=@P1"), 2u);
  EXPECT_EQ(CountLog(server_, "order_id='"), 0u);
}

TEST_F(TransferTest, ARecordThatCannotBePreparedIsSkippedAndTheNextGoesOn) {
  struct Case {
    const char* orderId;
    std::optional<std::string> startdate;
    std::optional<std::string> enddate;
    const char* reason;  // nullptr: copied
  };
  const Case cases[] = {
      {"a bad start", "bad", "0", "'bad' is not a valid integer value"},
      {"b good", "0", "0", nullptr},
      {"c null start", std::nullopt, "0", "'' is not a valid integer value"},
      {"d bad end", "0", "1.0", "'1.0' is not a valid integer value"},
      {"e blank after", "42 ", "0", "'42 ' is not a valid integer value"},
      {"f hex start", "$10", "0", nullptr},
  };
  std::vector<Source> rows;
  for (const Case& c : cases) {
    rows.push_back({.orderId = c.orderId,
                    .kahao = "0AK1",
                    .siji = kYesterday,
                    .startdate = c.startdate,
                    .enddate = c.enddate});
  }
  Seed(server_, rows);
  const JobOutcome outcome = RunTransfer(database_);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_EQ(outcome.read, int(std::size(cases)));
  for (const Case& c : cases) {
    SCOPED_TRACE(c.orderId);
    const auto skipped =
        std::find_if(outcome.skipped.begin(), outcome.skipped.end(),
                     [&c](const SkippedRecord& s) { return s.orderId == c.orderId; });
    if (c.reason) {
      ASSERT_NE(skipped, outcome.skipped.end());
      EXPECT_EQ(skipped->reason, c.reason);
      EXPECT_EQ(DestinationKahao(c.orderId), "<no row>");  // not even the insert
    } else {
      EXPECT_EQ(skipped, outcome.skipped.end());
      EXPECT_EQ(DestinationKahao(c.orderId), "浙K1");
    }
  }
}

TEST_F(TransferTest, AFailedWriteLeavesNoHalfRow) {
  // A narrower destination column makes the update of one record fail after its insert.
  server_.Exec("drop table T_quindale");
  server_.Exec(
      "create table T_quindale (order_id varchar(32) not null primary key, kex_no varchar(32) "
      "null, "
      "startdate datetime null, enddate datetime null, months int null, moneys money null, types "
      "varchar(3) null, "
      "kahao nvarchar(20) null, siji datetime null)");
  Seed(server_, {{.orderId = "a too long", .kahao = "0AK1", .siji = kYesterday, .types = "toolong"},
                 {.orderId = "b fits", .kahao = "0AK2", .siji = kYesterday, .types = "ok"}});
  const JobOutcome outcome = RunTransfer(database_);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  ASSERT_EQ(outcome.skipped.size(), 1u);
  EXPECT_EQ(outcome.skipped[0].orderId, "a too long");
  EXPECT_NE(outcome.skipped[0].reason.find("truncated"), std::string::npos)
      << outcome.skipped[0].reason;
  EXPECT_EQ(DestinationKahao("a too long"), "<no row>");
  EXPECT_EQ(DestinationKahao("b fits"), "浙K2");
  EXPECT_EQ(outcome.inserted, 1);
}

// Skipped records are listed in the order they were read, whether found while preparing
// (a bad Unix time) or while writing (a text too long), record by record and chunked.
TEST(TransferSkips, ListedInReadOrder) {
  for (int batchSize : {1, 200}) {
    SCOPED_TRACE(batchSize);
    StandinServer server(ReportingOptions());
    server.Exec("drop table T_quindale");
    server.Exec(
        "create table T_quindale (order_id varchar(32) not null primary key, kex_no varchar(32), "
        "startdate datetime, enddate datetime, months int, moneys money, types varchar(3), kahao "
        "nvarchar(20), siji datetime)");
    Seed(server,
         {{.orderId = "a write fails", .kahao = "0AK1", .siji = kYesterday, .types = "long"},
          {.orderId = "b bad start", .kahao = "0AK1", .siji = kYesterday, .startdate = "x"},
          {.orderId = "c write fails", .kahao = "0AK1", .siji = kYesterday, .types = "long"},
          {.orderId = "d bad end", .kahao = "0AK1", .siji = kYesterday, .enddate = "y"}});
    db::Database database([&server] { return SettingsFor(server); });
    const JobOutcome outcome = RunTransfer(database, {.batchSize = batchSize});
    ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
    std::vector<std::string> ids;
    for (const SkippedRecord& record : outcome.skipped) ids.push_back(record.orderId);
    EXPECT_EQ(ids, (std::vector<std::string>{"a write fails", "b bad start", "c write fails",
                                             "d bad end"}));
  }
}

// The destination's column names are matched as the server matches them, whatever their case.
TEST(TransferColumns, UpperCaseDestinationColumnsAreFound) {
  StandinServer server(ReportingOptions());
  server.Exec("drop table T_quindale");
  server.Exec(
      "create table T_quindale (ORDER_ID varchar(32) not null primary key, KEX_NO varchar(32), "
      "StartDate datetime, ENDDATE datetime, MONTHS int, Moneys money, TYPES varchar(10), KAHAO "
      "nvarchar(20), SIJI datetime)");
  Seed(server, {{.orderId = "A1", .kahao = "0AK1", .siji = kYesterday}});
  db::Database database([&server] { return SettingsFor(server); });
  const JobOutcome outcome = RunTransfer(database);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_EQ(server.Query("select KEX_NO, KAHAO from T_quindale"), (Rows{{"kx", "浙K1"}}));
}

TEST_F(TransferTest, WithoutTheDestinationNothingIsTriedAndTheRunFails) {
  server_.Exec("drop table T_quindale");
  Seed(server_, {{.orderId = "A1", .kahao = "0AK1", .siji = kYesterday},
                 {.orderId = "A2", .kahao = "111111", .siji = kToday}});
  const JobOutcome outcome = RunTransfer(database_);
  EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
  EXPECT_EQ(outcome.message, "Invalid object name 'T_quindale'");
  EXPECT_TRUE(outcome.skipped.empty());
  EXPECT_EQ(CountLog(server_, "insert into T_quindale"), 0u);
  EXPECT_EQ(CountLog(server_, "update T_quindale"), 0u);
  EXPECT_EQ(CountLog(server_, "begin transaction"), 0u);
}

TEST_F(TransferTest, NoMatchingRowsOnlyOpensAndCloses) {
  const std::size_t mark = LogMark(server_);
  const JobOutcome outcome = RunTransfer(database_);
  EXPECT_EQ(outcome.status, JobOutcome::Status::Done);
  EXPECT_EQ(outcome.read, 0);
  EXPECT_EQ(CountLog(server_, "login: ", mark), 1u);
  EXPECT_TRUE(AllConnectionsClosed(server_));
  // Only the question for the destination's column types.
  EXPECT_EQ(CountLog(server_, "T_quindale", mark), 1u);
  EXPECT_EQ(CountLog(server_, "T_quindale with (nolock) where 1=0", mark), 1u);
  EXPECT_FALSE(database_.Connected());
}

TEST_F(TransferTest, ABrokenSelectionFailsTheJobAndClosesTheConnection) {
  struct Case {
    const char* name;
    const char* breakIt;
    const char* message;
  };
  const Case cases[] = {
      {"missing table", "", "Invalid object name 'T_sendbase'"},
      {"missing column", "siji", "Invalid column name 'siji'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server(ReportingOptions());
    server.Exec("drop table T_sendbase");
    if (*c.breakIt) server.Exec(SourceTableWithout(c.breakIt));
    db::Database database([&server] { return SettingsFor(server); });
    const JobOutcome outcome = RunTransfer(database);
    EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_FALSE(database.Connected());
    EXPECT_TRUE(AllConnectionsClosed(server));
  }
}

TEST_F(TransferTest, ASourceColumnMissingFailsTheRun) {
  server_.Exec("drop table T_sendbase");
  server_.Exec(SourceTableWithout("kex_no"));
  server_.Exec(
      "insert into T_sendbase(order_id, kahao, startdate, enddate, siji) values('A1', N'0AK1', "
      "'0', '0', '" +
      std::string(kYesterday) + "')");
  const JobOutcome outcome = RunTransfer(database_);
  EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
  EXPECT_EQ(outcome.message, "ADOQuww: Field 'kex_no' not found");
  EXPECT_TRUE(outcome.skipped.empty());
  EXPECT_TRUE(Destination().empty());
}

TEST(TransferFaults, AConnectionDroppedMidPassFailsTheJob) {
  StandinServer::Options options = ReportingOptions();
  // Requests: the destination's description, the server's clock, the selection, then
  // per new record count, begin, insert, update, commit: the drop lands after the
  // second record's insert, before its update.
  options.dropAfter = 11;
  StandinServer server(options);
  for (int i = 0; i < 5; ++i) {
    server.Exec("insert into T_sendbase values('R" + std::to_string(i) + "', N'0AK" +
                std::to_string(i) + "', 1, 1, 'k', '0', '0', 't', '2024-03-14 10:00:00')");
  }
  db::Database database([&server] { return SettingsFor(server); });
  const JobOutcome outcome = RunTransfer(database, {.batchSize = 1});
  EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
  EXPECT_TRUE(outcome.message.starts_with(
      "the connection to the server was lost; 1 records had been written: "))
      << outcome.message;
  EXPECT_EQ(outcome.updated, 1);  // it stopped instead of failing every later record
  EXPECT_TRUE(outcome.skipped.empty());
  EXPECT_FALSE(database.Connected());
  // Whatever was written is whole: no row holds only its order_id.
  const Rows rows = server.Query("select order_id, kex_no from T_quindale");
  EXPECT_LT(rows.size(), 5u);
  EXPECT_EQ(rows.size(), 1u);  // the second record's insert went with its transaction
  for (const auto& row : rows) EXPECT_EQ(row[1], "k") << row[0];
}

TEST(TransferFaults, AStalledServerTimesOut) {
  StandinServer server(ReportingOptions());
  server.Exec(
      "insert into T_sendbase values('R1', N'0AK1', 1, 1, 'k', '0', '0', 't', '2024-03-14 "
      "10:00:00')");
  db::ConnectionSettings settings = SettingsFor(server);
  settings.queryTimeoutSeconds = 1;
  db::Database database([settings] { return settings; });
  ASSERT_TRUE(database.OpenDatabase());
  server.Pause();
  std::this_thread::sleep_for(
      std::chrono::milliseconds(200));  // a stop signal lands asynchronously
  // RunTransfer opens afresh, which a stopped server cannot answer either.
  const JobOutcome outcome = RunTransfer(database);
  server.Resume();
  EXPECT_NE(outcome.status, JobOutcome::Status::Done);
  EXPECT_FALSE(database.Connected());
}

TEST(JobsConnect, EitherJobReportsThatItCouldNotConnect) {
  struct Case {
    const char* name;
    bool hangLogin;
    bool stop;
    const char* password;
  };
  const Case cases[] = {
      {"server not listening", false, true, nullptr},
      {"wrong password", false, false, "Wrong-1"},
      {"login never answered", true, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options = ReportingOptions();
    options.hangLogin = c.hangLogin;
    StandinServer server(options);
    db::ConnectionSettings settings = SettingsFor(server);
    settings.loginTimeoutSeconds = 1;
    if (c.password) settings.password = c.password;
    if (c.stop) server.Stop();
    db::Database database([settings] { return settings; });
    for (JobKind kind : {JobKind::Transfer, JobKind::Totals}) {
      const JobOutcome outcome =
          kind == JobKind::Transfer ? RunTransfer(database) : RunTotals(database);
      EXPECT_EQ(outcome.status, JobOutcome::Status::CouldNotConnect);
      EXPECT_FALSE(outcome.message.empty());
      EXPECT_EQ(outcome.read, 0);
    }
  }
}

TEST(Totals, RunsTheProcedureAsABareBatch) {
  StandinServer server(ReportingOptions());
  server.Exec(
      "insert into T_quindale(order_id, moneys, siji) values('A', 10, '2024-03-14 08:00:00'), "
      "('B', 5.5, '2024-03-14 23:00:00'), ('C', NULL, '2024-03-15 01:00:00'), ('D', 1, NULL)");
  db::Database database([&server] { return SettingsFor(server); });
  const std::size_t mark = LogMark(server);
  const JobOutcome outcome = RunTotals(database);
  ASSERT_EQ(outcome.status, JobOutcome::Status::Done) << outcome.message;
  EXPECT_FALSE(database.Connected());
  EXPECT_EQ(CountLog(server, "login: ", mark), 1u);
  EXPECT_TRUE(AllConnectionsClosed(server));
  EXPECT_EQ(CountLog(server, "batch: totals\\r\\n", mark), 1u);
  EXPECT_EQ(server.Query("select day, cards, money_total from T_totals order by day"),
            (Rows{{"2024-03-14", "2", "15.5000"}, {"2024-03-15", "1", "<NULL>"}}));
}

TEST(Totals, AFailedRecountKeepsThePreviousTotals) {
  StandinServer server(ReportingOptions());
  server.Exec(
      "insert into T_quindale(order_id, moneys, siji) values('A', 10, '2024-03-14 08:00:00')");
  db::Database database([&server] { return SettingsFor(server); });
  ASSERT_EQ(RunTotals(database).status, JobOutcome::Status::Done);
  // Two amounts whose sum no money column can hold make the recount fail after
  // the old totals were cleared.
  server.Exec(
      "insert into T_quindale(order_id, moneys, siji) values('B', 900000000000000, '2024-03-15 "
      "08:00:00'), ('C', 900000000000000, '2024-03-15 09:00:00')");
  const JobOutcome outcome = RunTotals(database);
  EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
  EXPECT_NE(outcome.message.find("overflow"), std::string::npos) << outcome.message;
  EXPECT_EQ(server.Query("select day, cards, money_total from T_totals order by day"),
            (Rows{{"2024-03-14", "1", "10.0000"}}));
}

TEST(Totals, AMissingProcedureFailsWithTheServersText) {
  StandinServer server(ReportingOptions());
  server.Exec("drop procedure totals");
  db::Database database([&server] { return SettingsFor(server); });
  const JobOutcome outcome = RunTotals(database);
  EXPECT_EQ(outcome.status, JobOutcome::Status::Failed);
  EXPECT_EQ(outcome.message, "Could not find stored procedure 'totals'");
  EXPECT_FALSE(database.Connected());
}

JobOutcome Made(JobOutcome::Status status, std::string message, int read,
                std::vector<SkippedRecord> skipped) {
  JobOutcome outcome;
  outcome.status = status;
  outcome.message = std::move(message);
  outcome.read = read;
  outcome.skipped = std::move(skipped);
  return outcome;
}

TEST(OutcomeLogLines, EveryOutcome) {
  const std::string stamp = "3/15/24 2:00:00 am";
  JobOutcome skipped;
  for (int i = 1; i <= 12; ++i) skipped.skipped.push_back({"R" + std::to_string(i), "why"});
  JobOutcome failedWithSkips = skipped;
  failedWithSkips.status = JobOutcome::Status::Failed;
  failedWithSkips.message = "link gone";
  struct Case {
    const char* name;
    JobKind kind;
    JobOutcome outcome;
    std::vector<std::string> lines;
  };
  const Case cases[] = {
      {"transfer done", JobKind::Transfer, {}, {stamp + "处理数据!"}},
      {"totals done", JobKind::Totals, {}, {stamp + "统计数据!"}},
      {"no connection",
       JobKind::Totals,
       Made(JobOutcome::Status::CouldNotConnect, "Login failed", 0, {}),
       {stamp + "数据库连接失败! Login failed"}},
      {"transfer failed",
       JobKind::Transfer,
       Made(JobOutcome::Status::Failed, "Invalid object name 'T_sendbase'", 0, {}),
       {stamp + "处理数据失败: Invalid object name 'T_sendbase'"}},
      {"totals failed",
       JobKind::Totals,
       Made(JobOutcome::Status::Failed, "x", 0, {}),
       {stamp + "统计数据失败: x"}},
      {"two skipped",
       JobKind::Transfer,
       Made(JobOutcome::Status::Done, "", 2, {{"A'1", "r"}, {"B", "r"}}),
       {stamp + "处理数据!", stamp + "跳过 2 条记录: A'1, B",
        stamp + "跳过原因: r (2 条): A'1, B"}},
      {"data cannot forge a line",
       JobKind::Transfer,
       Made(JobOutcome::Status::Failed, "gone\n3/15/24 处理数据!", 1,
            {{"A\n3/15/24 处理数据!", "bad \x1b[31m"}}),
       {stamp + "处理数据失败: gone\\n3/15/24 处理数据!",
        stamp + "跳过 1 条记录: A\\n3/15/24 处理数据!",
        stamp + "跳过原因: bad \\x1b[31m (1 条): A\\n3/15/24 处理数据!"}},
      {"two reasons, interleaved, in the order they first came up",
       JobKind::Transfer,
       Made(JobOutcome::Status::Done, "", 3, {{"A", "late"}, {"B", "early"}, {"C", "late"}}),
       {stamp + "处理数据!", stamp + "跳过 3 条记录: A, B, C",
        stamp + "跳过原因: late (2 条): A, C", stamp + "跳过原因: early (1 条): B"}},
      {"twelve skipped, ten named",
       JobKind::Transfer,
       skipped,
       {stamp + "处理数据!", stamp + "跳过 12 条记录: R1, R2, R3, R4, R5, R6, R7, R8, R9, R10",
        stamp + "跳过原因: why (12 条): R1, R2, R3, R4, R5, R6, R7, R8, R9, R10"}},
      {"failed after skips",
       JobKind::Transfer,
       failedWithSkips,
       {stamp + "处理数据失败: link gone",
        stamp + "跳过 12 条记录: R1, R2, R3, R4, R5, R6, R7, R8, R9, R10",
        stamp + "跳过原因: why (12 条): R1, R2, R3, R4, R5, R6, R7, R8, R9, R10"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(OutcomeLogLines(c.kind, c.outcome, stamp), c.lines);
  }
}

// Each line's kind decides its stream and journal priority on the command line.
TEST(OutcomeLines, KindOfEachLine) {
  using console::Kind;
  JobOutcome warnedAndSkipped = Made(JobOutcome::Status::Done, "", 1, {{"A", "r"}});
  warnedAndSkipped.warnings.push_back("clock far off");
  const std::pair<JobOutcome, std::vector<Kind>> cases[] = {
      {{}, {Kind::Done}},
      {Made(JobOutcome::Status::CouldNotConnect, "Login failed", 0, {}), {Kind::Failed}},
      {Made(JobOutcome::Status::Failed, "x", 0, {}), {Kind::Failed}},
      {Made(JobOutcome::Status::Interrupted, "stopped", 0, {}), {Kind::Warning}},
      {warnedAndSkipped, {Kind::Done, Kind::Warning, Kind::Skipped, Kind::Skipped}},
  };
  for (const auto& [outcome, kinds] : cases) {
    SCOPED_TRACE(OutcomeLogLines(JobKind::Transfer, outcome, "").front());
    std::vector<Kind> seen;
    for (const console::Line& line : OutcomeLines(JobKind::Transfer, outcome, ""))
      seen.push_back(line.kind);
    EXPECT_EQ(seen, kinds);
  }
}

// A time-out is told apart from a lost link, though either leaves the connection unusable.
TEST(RunEndingMessage, NamesWhatEndedTheRun) {
  struct Case {
    const char* name;
    db::DatabaseError error;
    std::string message;
  };
  const Case cases[] = {
      {"the driver's query time-out", db::DatabaseError("Timeout expired", "HYT00"),
       "the server did not answer in time (query_timeout); 3 records had been written: Timeout "
       "expired"},
      {"the watch's time-out", db::odbc::CutError(db::ServerLink::Cut::TimedOut, 30),
       "the server did not answer in time (query_timeout); 3 records had been written: no answer "
       "within 30 s; the connection was given up"},
      {"a lost link", db::DatabaseError("Write to the server failed", "08S01"),
       "the connection to the server was lost; 3 records had been written: Write to the server "
       "failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RunEndingMessage(c.error, "3 records had been written"), c.message);
  }
}

}  // namespace
}  // namespace cardsync::jobs
