// `cardsync --verify`: proves that every record of the last days arrived. For each run
// day it selects what that day's transfer selects, works out the values the transfer
// would write (the same code), and compares them with T_quindale, matching order_ids
// under the server's collation. Reads only.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/console.h"
#include "clock/datetime.h"
#include "db/database.h"

namespace cardsync::jobs {

struct VerifyOptions {
  int days = 7;  // run days, the newest whose 02:00:00 has passed last; 1 to kMaxVerifyDays
  std::function<DateTime()> clock = NowDateTime;
  std::optional<bool> previousDaySpecialCards = std::nullopt;  // unset: the settings'
  std::optional<int> batchSize = std::nullopt;                 // ids compared a request
};

constexpr int kMaxVerifyDays = 31;

// One run day's comparison.
struct VerifiedDay {
  long long runDay = 0;     // day number on the workstation's calendar
  long long serverDay = 0;  // the server's date its transfer selects by
  int selected = 0;         // distinct order_ids selected by its passes
  int equal = 0, missing = 0, different = 0;
  int notWritable = 0;  // values the transfer cannot prepare: it skips them too
  int nullKahao = 0;    // rows of the ordinary day whose kahao is null: no pass selects them
  std::vector<std::string> missingIds;    // the first ten
  std::vector<std::string> differentIds;  // the first ten, "id (column, column)"
  bool Equal() const { return missing == 0 && different == 0; }
};

struct VerifyReport {
  enum class Status { AllEqual, Differences, CouldNotConnect, Failed };
  Status status = Status::AllEqual;
  std::string message;  // CouldNotConnect, Failed: why
  std::vector<VerifiedDay> days;
  // "YYYY-MM-DD: selected N, equal N, missing N, different N, ..." per day, oldest
  // first, each followed by its "  missing: ..." and "  different: ..." lines.
  std::vector<std::string> Lines() const;
  // The same lines with their kinds: a day that compared equal is Done, one with
  // records missing or different Failed, with its lists.
  std::vector<console::Line> KindedLines() const;
};

// Opens `database`, compares, closes it again.
VerifyReport VerifyTransfers(db::Database& database, const VerifyOptions& options = {});

}  // namespace cardsync::jobs
