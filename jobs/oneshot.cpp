// One job run from the command line. Qt's ODBC driver is a plugin, which wants an
// application object; the caller normally has one, and this makes one otherwise.
#include "jobs/oneshot.h"

#include <QCoreApplication>
#include <memory>

#include "db/database.h"
#include "jobs/totals.h"
#include "jobs/transfer.h"
#include "clock/datetime.h"

namespace cardsync::jobs {
namespace {

constexpr int kExitDone = 0;
constexpr int kExitFailed = 1;
constexpr int kExitCouldNotConnect = 2;

}  // namespace

int RunOnce(JobKind kind, std::ostream& out) {
  static int argc = 1;
  static char name[] = "cardsync";
  static char* argv[] = {name, nullptr};
  std::unique_ptr<QCoreApplication> application;
  if (QCoreApplication::instance() == nullptr)
    application = std::make_unique<QCoreApplication>(argc, argv);

  const std::string stamp = DateTimeText(NowDateTime());
  db::Database database;
  const JobOutcome outcome =
      kind == JobKind::Transfer ? RunTransfer(database) : RunTotals(database);
  for (const std::string& line : OutcomeLogLines(kind, outcome, stamp)) out << line << '\n';
  out.flush();
  switch (outcome.status) {
    case JobOutcome::Status::Done:
      return kExitDone;
    case JobOutcome::Status::CouldNotConnect:
      return kExitCouldNotConnect;
    case JobOutcome::Status::Failed:
    case JobOutcome::Status::Interrupted:
      break;
  }
  return kExitFailed;
}

}  // namespace cardsync::jobs
