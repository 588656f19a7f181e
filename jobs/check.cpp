// The checks behind `cardsync --check`. Each object is asked for by name through
// catalog functions, so the same queries work for a login that may not read
// INFORMATION_SCHEMA rows of objects it cannot use, and nothing is ever written.
#include "jobs/check.h"

#include <array>
#include <string_view>
#include <vector>

#include "jobs/transfer_values.h"

namespace cardsync::jobs {
namespace {

struct TableNeed {
  const char* table;
  const std::vector<std::string_view>& columns;  // those the transfer reads or writes
};

const TableNeed kSourceTable{"T_sendbase", kSourceColumns};
const TableNeed kDestinationTable{"T_quindale", kDestinationColumns};
constexpr const char* kTotalsProcedure = "totals";

struct RightNeed {
  const char* permission;
  const char* securable;
};
constexpr std::array<RightNeed, 4> kRights{{{"SELECT", "T_sendbase"},
                                            {"INSERT", "T_quindale"},
                                            {"UPDATE", "T_quindale"},
                                            {"EXECUTE", "totals"}}};

constexpr const char* kObjectQuery = "select object_id(?, ?)";
constexpr const char* kColumnQuery = "select col_length(?, ?)";
constexpr const char* kRightQuery = "select has_perms_by_name(?, 'OBJECT', ?)";

constexpr std::string_view kOk = "ok      ";
constexpr std::string_view kMissing = "MISSING ";
constexpr std::string_view kDenied = "DENIED  ";
constexpr std::string_view kUnknown = "unknown ";
constexpr std::string_view kFailed = "FAILED  ";

// The first column of the first row as text; "" for NULL or no row.
std::string Ask(db::Database& database, const char* query, const db::Params& params) {
  db::Statement& reader = database.ADOQuww();
  reader.Close();
  reader.SetText(query);
  reader.Open(params);
  const std::string text = reader.Eof() ? std::string() : reader.FieldText(std::size_t{0});
  reader.Close();
  return text;
}

class Checker {
 public:
  explicit Checker(db::Database& database) : database_(database) {}

  void Table(const TableNeed& need) {
    const std::string name = std::string("dbo.") + need.table;
    if (Ask(database_, kObjectQuery, {name, std::string("U")}).empty()) {
      Add(kMissing, std::string("table ") + need.table, CheckReport::Status::Missing);
      return;
    }
    std::string absent;
    for (std::string_view column : need.columns) {
      if (Ask(database_, kColumnQuery, {name, std::string(column)}).empty())
        absent += (absent.empty() ? "" : ", ") + std::string(column);
    }
    if (absent.empty()) {
      Add(kOk, std::string("table ") + need.table + " with its " +
                   std::to_string(need.columns.size()) + " columns");
    } else {
      Add(kMissing, std::string("table ") + need.table + " lacks column(s) " + absent,
          CheckReport::Status::Missing);
    }
  }

  void Procedure(const char* procedure) {
    if (Ask(database_, kObjectQuery, {std::string("dbo.") + procedure, std::string("P")}).empty())
      Add(kMissing, std::string("procedure ") + procedure, CheckReport::Status::Missing);
    else
      Add(kOk, std::string("procedure ") + procedure);
  }

  // HAS_PERMS_BY_NAME answers NULL for an object it cannot see, and older or
  // stripped-down servers lack it: neither is held against the login.
  void Right(const RightNeed& need) {
    const std::string what = std::string(need.permission) + " on " + need.securable;
    std::string answer;
    try {
      answer = Ask(database_, kRightQuery,
                   {std::string("dbo.") + need.securable, std::string(need.permission)});
    } catch (const db::DatabaseError& e) {
      if (e.ConnectionLost()) throw;
      Add(kUnknown, "right " + what + ": the server cannot tell (" + e.what() + ")");
      return;
    }
    if (answer == "1")
      Add(kOk, "right " + what);
    else if (answer == "0")
      Add(kDenied, "right " + what + " is not granted to this login", CheckReport::Status::Missing);
    else
      Add(kUnknown, "right " + what + ": the server cannot tell");
  }

  void Add(std::string_view mark, const std::string& text,
           CheckReport::Status status = CheckReport::Status::AllPresent) {
    report.lines.push_back(std::string(mark) + text);
    if (status != CheckReport::Status::AllPresent &&
        report.status == CheckReport::Status::AllPresent)
      report.status = status;
  }

  CheckReport report;

 private:
  db::Database& database_;
};

}  // namespace

console::Kind CheckLineKind(std::string_view line) {
  if (line.starts_with(kOk)) return console::Kind::Done;
  if (line.starts_with(kUnknown)) return console::Kind::Warning;
  return console::Kind::Failed;
}

CheckReport CheckDatabase(db::Database& database) {
  Checker checker(database);
  if (!database.OpenDatabase()) {
    checker.Add(kFailed, "login: " + database.LastConnectError(),
                CheckReport::Status::CouldNotConnect);
    return checker.report;
  }
  checker.Add(kOk, "login");
  try {
    checker.Table(kSourceTable);
    checker.Table(kDestinationTable);
    checker.Procedure(kTotalsProcedure);
    for (const RightNeed& right : kRights) checker.Right(right);
  } catch (const Error& e) {
    // A check that could not be asked is no answer about the object: say why and stop.
    checker.report.status = CheckReport::Status::Failed;
    checker.report.lines.push_back(std::string(kFailed) + e.what());
  }
  database.CloseDatabase();
  return checker.report;
}

}  // namespace cardsync::jobs
