// `cardsync --check`: logs in and looks at the catalog for what the two jobs
// need (the tables and the columns the transfer uses, the totals procedure, the
// login's rights on them), without writing or running anything.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "base/console.h"
#include "db/database.h"

namespace cardsync::jobs {

struct CheckReport {
  // Missing: a table, column or procedure is absent, or a right is refused.
  // Failed: a catalog query itself failed (the link went, a time-out).
  enum class Status { AllPresent, Missing, CouldNotConnect, Failed };
  Status status = Status::AllPresent;
  // One line per check, in the order checked: "ok      ...", "MISSING ...",
  // "DENIED  ...", "unknown ..." (the server cannot tell), "FAILED  ...".
  std::vector<std::string> lines;
};

// Where a report line belongs: Done for "ok", Warning for "unknown", Failed for the rest.
console::Kind CheckLineKind(std::string_view line);

// Opens `database` (settings as it reads them), checks, and closes it again.
// Only catalog functions are queried: OBJECT_ID, COL_LENGTH, HAS_PERMS_BY_NAME.
CheckReport CheckDatabase(db::Database& database);

}  // namespace cardsync::jobs
