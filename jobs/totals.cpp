// The totals job. The procedure's bare name is the whole batch, so the server
// treats it as a call; whatever the procedure does takes effect by itself.
#include "jobs/totals.h"

#include "jobs/connected_run.h"

namespace cardsync::jobs {
namespace {

constexpr const char* kTotalsStatement = "totals";

}  // namespace

JobOutcome RunTotals(db::Database& database, std::optional<long long> runDay,
                     std::function<DateTime()> clock) {
  const RunTiming timing{runDay, kTotalsDueSecond, std::move(clock)};
  return RunConnected(database, timing, [&database](JobOutcome&, const ServerClock&) {
    db::Statement& reader = database.ADOQuww();
    reader.Close();
    reader.SetText(kTotalsStatement);
    reader.ExecSQL();
  });
}

}  // namespace cardsync::jobs
