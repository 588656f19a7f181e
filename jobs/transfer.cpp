// The transfer job: two passes over T_sendbase, each record checked, inserted when
// new and updated in T_quindale. Values are bound, not pasted into the text, so
// quotes and Chinese text arrive exactly as read.
#include "jobs/transfer.h"

#include <QDate>
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

// A run serving an earlier day D keeps each selection but for its day, bound as the
// number yyyymmdd: D-1 for the ordinary cards, D for the special cards.
constexpr const char* kDayOrdinaryCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and  "
    "kahao not in ('000000','111111','222222','333333','444444')";
constexpr const char* kDaySpecialCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and  "
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
  const char* daySelection;  // the same for a run that serves an earlier day
  bool convertPlate;         // ordinary cards get their province code rewritten
  int dayOffset;             // the day selected, relative to the run's day
};

constexpr TransferPass kPasses[] = {
    {kPreviousDayOrdinaryCards, kDayOrdinaryCards, true, -1},
    {kCurrentDaySpecialCards, kDaySpecialCards, false, 0},
};

// yyyymmdd of `day` moved by `offset` days, as the selections compare it.
std::int64_t DayNumber(const TransferOptions::Day& day, int offset) {
  const QDate date = QDate(day.year, day.month, day.day).addDays(offset);
  if (!date.isValid()) throw Error("the run's day is not a valid date");
  return std::int64_t(date.year()) * 10000 + date.month() * 100 + date.day();
}

bool StopAsked(const TransferOptions& options) {
  return options.stop != nullptr && options.stop->load(std::memory_order_relaxed);
}

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

// False when a stop was asked for before the pass's end.
bool RunPass(db::Database& database, const TransferPass& pass, const TransferOptions& options,
             int passNumber, JobOutcome& outcome) {
  // Errors while setting up a pass or moving between rows end the job.
  db::Statement& reader = database.ADOQuww();
  reader.Close();
  if (options.runDay) {
    reader.SetText(pass.daySelection);
    reader.Open({DayNumber(*options.runDay, pass.dayOffset)});
  } else {
    reader.SetText(pass.selection);
    reader.Open();
  }
  reader.First();
  const int total = int(reader.RecordCount());
  int done = 0;
  if (options.progress) options.progress(done, total, passNumber);
  while (!reader.Eof()) {
    if (StopAsked(options)) return false;
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
    if (options.progress) options.progress(++done, total, passNumber);
  }
  return true;
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

JobOutcome RunTransfer(db::Database& database, const TransferOptions& options) {
  return RunConnected(database, [&](JobOutcome& outcome) {
    int passNumber = 0;
    for (const TransferPass& pass : kPasses) {
      if (!RunPass(database, pass, options, ++passNumber, outcome)) {
        outcome.status = JobOutcome::Status::Interrupted;
        outcome.message = "stopped after " + std::to_string(outcome.read) + " records";
        return;
      }
    }
  });
}

}  // namespace cardsync::jobs
