// The transfer job: two passes over T_sendbase, each record checked, inserted when
// new and updated in T_quindale. Values are bound, not pasted into the text, so
// quotes and Chinese text arrive exactly as read.
#include "jobs/transfer.h"

#include <charconv>

#include "convert/chepaitoascii.h"
#include "convert/gbk_text.h"
#include "convert/unixtime.h"
#include "jobs/connected_run.h"
#include "clock/datetime.h"

namespace cardsync::jobs {
namespace {

// The day tests follow the server's clock (GETDATE()), not the workstation's.
// Both texts are kept exactly, two blanks before kahao included.
constexpr const char* kPreviousDayOrdinaryCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)="
    "year(GETDATE()-1)*10000+month(GETDATE()-1)*100+DAY(GETDATE()-1) and  "
    "kahao not in ('000000','111111','222222','333333','444444')";
constexpr const char* kCurrentDaySpecialCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)="
    "year(GETDATE())*10000+month(GETDATE())*100+DAY(GETDATE()) and  "
    "kahao  in ('000000','111111','222222','333333','444444')";

constexpr const char* kExistenceCheck = "select count(*) from T_quindale where order_id=?";
constexpr const char* kInsertStatement = "insert into T_quindale(order_id) values(?)";
constexpr const char* kUpdateStatement =
    "update T_quindale set kex_no=?,startdate=?,enddate=?,months=?,moneys=?,types=?,kahao=?,siji=? "
    "where order_id=?";

// Card-number positions count GBK bytes: a Chinese character takes two.
constexpr std::size_t kProvinceBytes = 2;
constexpr std::size_t kPlateStart = 3;
constexpr std::size_t kPlateBytes = 10;

struct TransferPass {
  const char* selection;
  bool convertPlate;  // ordinary cards get their province code rewritten
};

constexpr TransferPass kPasses[] = {
    {kPreviousDayOrdinaryCards, true},
    {kCurrentDaySpecialCards, false},
};

std::string UnixTimeText(const std::string& text) {
  return DateTimeText(UnixToLocalDateTime(StrToInt64(text)));
}

// months is an int column, so its text is digits; bound as a number it stays the
// unquoted numeric value the statement always had.
db::Value MonthsValue(const std::string& months) {
  std::int64_t number = 0;
  const char* end = months.data() + months.size();
  const auto [stop, error] = std::from_chars(months.data(), end, number);
  if (error == std::errc() && stop == end) return number;
  return months;
}

void CopyRecord(db::Database& database, const TransferValues& values, JobOutcome& outcome) {
  std::string count;
  if (!database.QueryScalar(kExistenceCheck, count, {values.orderId})) {
    // Without a count we cannot tell insert from update: leave the record alone.
    throw *database.LastQueryError();
  }
  const db::Params update = {
      values.kexNo,  values.startDate, values.endDate, MonthsValue(values.months),
      values.moneys, values.types,     values.kahao,   values.siji,
      values.orderId};
  if (count == "0") {
    // Insert and update land together, so no row is left holding only order_id.
    database.BeginTransaction();
    try {
      database.ExecuteStatement(kInsertStatement, {values.orderId});
      database.ExecuteStatement(kUpdateStatement, update);
      database.CommitTransaction();
    } catch (const Error&) {
      try {
        database.RollbackTransaction();
      } catch (const Error&) {
        // The first error is the one worth reporting; a lost link fails both.
      }
      throw;
    }
    ++outcome.inserted;
  } else {
    database.ExecuteStatement(kUpdateStatement, update);
  }
  ++outcome.updated;
}

void RunPass(db::Database& database, const TransferPass& pass, JobOutcome& outcome) {
  // Errors while setting up a pass or moving between rows end the job.
  db::Statement& reader = database.ADOQuww();
  reader.Close();
  reader.SetText(pass.selection);
  reader.Open();
  reader.First();
  while (!reader.Eof()) {
    ++outcome.read;
    std::string orderId;
    try {
      orderId = reader.FieldText("order_id");
      CopyRecord(database, PrepareTransferValues(reader, pass.convertPlate), outcome);
    } catch (const db::DatabaseError& e) {
      // A dead or stalled link would fail every later record the same way.
      if (e.ConnectionLost()) throw;
      outcome.skipped.push_back({orderId, e.what()});
    } catch (const Error& e) {
      outcome.skipped.push_back({orderId, e.what()});
    }
    reader.Next();
  }
}

}  // namespace

std::string ConvertedPlate(const std::string& kahao) {
  return ProvinceFromCode(GbkCopy(kahao, 1, kProvinceBytes)) +
         GbkCopy(kahao, kPlateStart, kPlateBytes);
}

TransferValues PrepareTransferValues(const db::Statement& reader, bool convertPlate) {
  TransferValues values;
  values.orderId = reader.FieldText("order_id");
  values.months = reader.FieldText("months");
  if (values.months.empty()) values.months = "0";
  values.moneys = reader.FieldText("moneys");
  values.kahao = reader.FieldText("kahao");
  if (convertPlate) values.kahao = ConvertedPlate(values.kahao);
  values.kexNo = reader.FieldText("kex_no");
  values.startDate = UnixTimeText(reader.FieldText("startdate"));
  values.endDate = UnixTimeText(reader.FieldText("enddate"));
  values.types = reader.FieldText("types");
  values.siji = DateTimeText(reader.FieldDateTime("siji"));
  return values;
}

JobOutcome RunTransfer(db::Database& database) {
  return RunConnected(database, [&database](JobOutcome& outcome) {
    for (const TransferPass& pass : kPasses) RunPass(database, pass, outcome);
  });
}

}  // namespace cardsync::jobs
