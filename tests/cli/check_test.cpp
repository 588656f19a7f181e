// `cardsync --check` against the SQL Server stand-in: every object the jobs need
// is reported, each missing one by name, and the check neither writes nor runs
// anything on the server (its event log is the witness).
#include "jobs/check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <regex>

#include "reporting_server.h"

namespace cardsync::jobs {
namespace {

using testing::StandinServer;

constexpr const char* kSourceColumns[] = {"order_id varchar(32) not null primary key",
                                          "kahao nvarchar(20) null",
                                          "months int null",
                                          "moneys money null",
                                          "kex_no varchar(32) null",
                                          "startdate varchar(20) null",
                                          "enddate varchar(20) null",
                                          "types varchar(10) null",
                                          "siji datetime null"};

// T_sendbase made again without one column.
std::string SourceWithout(const std::string& column) {
  std::string columns;
  for (const std::string definition : kSourceColumns) {
    if (definition.starts_with(column + " ")) continue;
    columns += (columns.empty() ? "" : ", ") + definition;
  }
  return "create table T_sendbase (" + columns + ")";
}

struct Case {
  const char* name;
  std::vector<std::string> setup;  // run on the stand-in before the check
  CheckReport::Status status;
  std::string expectedLine;  // "" when every line is "ok"
};

// True for a logged request that only reads: a batch, or a statement sent through
// sp_executesql or a cursor, that is a SELECT or a SET. Procedure calls,
// transactions and any other statement are false.
bool ReadsOnly(const std::string& line) {
  static const std::regex kBatch(R"(^batch: \s*(select|set)\b.*)", std::regex::icase);
  static const std::regex kRpc(
      R"(^rpc: (sp_executesql|sp_cursoropen|sp_prepexec|sp_prepare) [^']*N'\s*(select|set)\b.*)",
      std::regex::icase);
  static const std::regex kCursor(
      R"(^rpc: (sp_cursorfetch|sp_cursorclose|sp_cursoroption|sp_unprepare) .*)");
  return std::regex_match(line, kBatch) || std::regex_match(line, kRpc) ||
         std::regex_match(line, kCursor);
}

TEST(CheckTest, ReportsEachMissingObjectByNameAndWritesNothing) {
  const std::vector<Case> cases = {
      {"all present", {}, CheckReport::Status::AllPresent, ""},
      {"no destination table",
       {"drop table T_quindale"},
       CheckReport::Status::Missing,
       "MISSING table T_quindale"},
      {"no source table",
       {"drop table T_sendbase"},
       CheckReport::Status::Missing,
       "MISSING table T_sendbase"},
      {"source column",
       {"drop table T_sendbase", SourceWithout("kahao")},
       CheckReport::Status::Missing,
       "MISSING table T_sendbase lacks column(s) kahao"},
      {"two source columns",
       {"drop table T_sendbase", SourceWithout("months"), "drop table T_sendbase",
        "create table T_sendbase (order_id varchar(32), kahao nvarchar(20), moneys money, kex_no "
        "varchar(32), "
        "startdate varchar(20), enddate varchar(20), types varchar(10))"},
       CheckReport::Status::Missing,
       "MISSING table T_sendbase lacks column(s) months, siji"},
      {"destination column",
       {"drop table T_quindale",
        "create table T_quindale (order_id varchar(32) not null primary key, kex_no varchar(32), "
        "startdate datetime, "
        "enddate datetime, months int, moneys money, types varchar(10), kahao nvarchar(20))"},
       CheckReport::Status::Missing,
       "MISSING table T_quindale lacks column(s) siji"},
      {"no procedure",
       {"drop procedure totals"},
       CheckReport::Status::Missing,
       "MISSING procedure totals"},
      {"a table named like the procedure does not stand in for it",
       {"drop procedure totals", "create table totals (n int)"},
       CheckReport::Status::Missing,
       "MISSING procedure totals"},
      {"insert refused",
       {"create table __standin_denied (permission varchar(20), securable varchar(128))",
        "insert into __standin_denied values ('INSERT', 'T_quindale')"},
       CheckReport::Status::Missing,
       "DENIED  right INSERT on T_quindale is not granted to this login"},
      {"update refused",
       {"create table __standin_denied (permission varchar(20), securable varchar(128))",
        "insert into __standin_denied values ('UPDATE', 'T_quindale')"},
       CheckReport::Status::Missing,
       "DENIED  right UPDATE on T_quindale is not granted to this login"},
      {"execute refused",
       {"create table __standin_denied (permission varchar(20), securable varchar(128))",
        "insert into __standin_denied values ('EXECUTE', 'totals')"},
       CheckReport::Status::Missing,
       "DENIED  right EXECUTE on totals is not granted to this login"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer server(testing::ReportingOptions());
    for (const std::string& sql : c.setup) server.Exec(sql);
    const std::size_t mark = server.LogLines().size();
    db::Database database([&server] { return testing::SettingsFor(server, 2, 10); });

    const CheckReport report = CheckDatabase(database);

    EXPECT_EQ(report.status, c.status);
    EXPECT_EQ(report.lines.front(), "ok      login");
    // Two tables, the procedure and four rights after the login, one line each.
    EXPECT_EQ(report.lines.size(), 8u);
    for (const std::string& line : report.lines) {
      const bool expected = line == c.expectedLine;
      if (!expected) {
        EXPECT_TRUE(line.starts_with("ok ") || line.starts_with("unknown ")) << line;
      }
    }
    if (!c.expectedLine.empty()) {
      EXPECT_NE(std::find(report.lines.begin(), report.lines.end(), c.expectedLine),
                report.lines.end());
    }
    const auto log = server.LogLines();
    std::size_t requests = 0;
    for (std::size_t i = mark; i < log.size(); ++i) {
      if (log[i].starts_with("batch: ") || log[i].starts_with("rpc: ") ||
          log[i].starts_with("tm: ")) {
        ++requests;
        EXPECT_TRUE(ReadsOnly(log[i])) << log[i];
      }
    }
    EXPECT_GE(requests, 7u);  // the log did see the check's own queries
  }
}

TEST(CheckTest, ConnectionFailuresAreToldApartFromMissingObjects) {
  // A server that is gone at login, and one that drops the link once the check has begun.
  StandinServer::Options dropping = testing::ReportingOptions();
  dropping.dropAfter = 3;
  StandinServer::Options droppingInRights = testing::ReportingOptions();
  droppingInRights.dropAfter = 24;  // the third right asked
  StandinServer gone(testing::ReportingOptions());
  StandinServer dropper(dropping);
  StandinServer rightsDropper(droppingInRights);
  const int deadPort = gone.port();
  gone.Stop();
  struct Row {
    const char* name;
    std::function<db::ConnectionSettings()> settings;
    CheckReport::Status status;
    std::string lastLineStart;
    std::string earlierLine = "";  // a line before the failure, "" for none
  };
  const std::vector<Row> rows = {
      {"no server",
       [&] {
         db::ConnectionSettings s = testing::SettingsFor(dropper, 2, 10);
         s.port = deadPort;
         return s;
       },
       CheckReport::Status::CouldNotConnect, "FAILED  login: "},
      {"link dropped", [&] { return testing::SettingsFor(dropper, 2, 10); },
       CheckReport::Status::Failed, "FAILED  "},
      // The tables and the procedure were found; the link went while the rights were asked.
      {"link dropped during the rights", [&] { return testing::SettingsFor(rightsDropper, 2, 10); },
       CheckReport::Status::Failed, "FAILED  ", "ok      procedure totals"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    db::Database database(row.settings);
    const CheckReport report = CheckDatabase(database);
    EXPECT_EQ(report.status, row.status);
    ASSERT_FALSE(report.lines.empty());
    EXPECT_TRUE(report.lines.back().starts_with(row.lastLineStart)) << report.lines.back();
    EXPECT_GT(report.lines.back().size(), row.lastLineStart.size());  // the reason is given
    if (!row.earlierLine.empty()) {
      EXPECT_NE(std::find(report.lines.begin(), report.lines.end(), row.earlierLine),
                report.lines.end());
    }
  }
}

}  // namespace
}  // namespace cardsync::jobs
