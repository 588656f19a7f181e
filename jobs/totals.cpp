// The totals job. The procedure's bare name is the whole batch, so the server
// treats it as a call; whatever the procedure does takes effect by itself.
#include "jobs/totals.h"

namespace cardsync::jobs {
namespace {

constexpr const char* kTotalsStatement = "totals";

}  // namespace

JobOutcome RunTotals(db::Database& database) {
  JobOutcome outcome;
  if (!database.OpenDatabase()) {
    outcome.status = JobOutcome::Status::CouldNotConnect;
    outcome.message = database.LastConnectError();
    return outcome;
  }
  try {
    db::Statement& reader = database.ADOQuww();
    reader.Close();
    reader.SetText(kTotalsStatement);
    reader.ExecSQL();
  } catch (const Error& e) {
    outcome.status = JobOutcome::Status::Failed;
    outcome.message = e.what();
  }
  database.CloseDatabase();
  return outcome;
}

}  // namespace cardsync::jobs
