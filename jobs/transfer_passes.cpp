// The selection texts. The GETDATE() texts are kept exactly as DBAs have long seen them
// in traces, two blanks before kahao included; the server's calendar decides the day.
#include "jobs/transfer_passes.h"

#include "jobs/server_day.h"

namespace cardsync::jobs {
namespace {

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
// A special card stamped after its own day's run (at 02:00:00 only the day's first
// two hours exist) is copied by the next day's run: the special-card statement for
// the day before.
constexpr const char* kPreviousDaySpecialCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)="
    "year(GETDATE()-1)*10000+month(GETDATE()-1)*100+DAY(GETDATE()-1) and  "
    "kahao  in ('000000','111111','222222','333333','444444')";

// Every other run binds its day as the number yyyymmdd.
constexpr const char* kDayOrdinaryCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and  "
    "kahao not in ('000000','111111','222222','333333','444444')";
constexpr const char* kDaySpecialCards =
    "select * from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and  "
    "kahao  in ('000000','111111','222222','333333','444444')";

constexpr TransferPass kOrdinary{kPreviousDayOrdinaryCards, kDayOrdinaryCards, true, -1};
constexpr TransferPass kPreviousSpecial{kPreviousDaySpecialCards, kDaySpecialCards, false, -1};
constexpr TransferPass kCurrentSpecial{kCurrentDaySpecialCards, kDaySpecialCards, false, 0};

}  // namespace

std::vector<TransferPass> TransferPasses(bool previousDaySpecialCards) {
  if (previousDaySpecialCards) return {kOrdinary, kPreviousSpecial, kCurrentSpecial};
  return {kOrdinary, kCurrentSpecial};
}

PassSelection SelectionFor(const TransferPass& pass, std::optional<long long> serverDay) {
  if (!serverDay) return {pass.selection, {}};
  return {pass.daySelection, {std::int64_t(YearMonthDay(*serverDay + pass.dayOffset))}};
}

}  // namespace cardsync::jobs
