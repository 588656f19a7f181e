// The transfer's passes over T_sendbase and the selection each sends: the previous
// day's ordinary cards, the previous day's special cards (unless turned off) and the
// current day's special cards. The transfer writes what they select; --verify reads
// the same selections to compare with T_quindale.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "db/params.h"

namespace cardsync::jobs {

struct TransferPass {
  const char* selection;     // the run in the job's own second: the day from GETDATE()
  const char* daySelection;  // the same with the server day bound as yyyymmdd
  bool convertPlate;         // ordinary cards get their province code rewritten
  int dayOffset;             // the day selected, relative to the run's server day
};

// The passes in the order they run.
std::vector<TransferPass> TransferPasses(bool previousDaySpecialCards);

struct PassSelection {
  std::string text;
  db::Params params;
};

// What `pass` sends: its own GETDATE() text when `serverDay` is unset, else the day
// selection for `serverDay` (a day number) moved by the pass's offset.
PassSelection SelectionFor(const TransferPass& pass, std::optional<long long> serverDay);

}  // namespace cardsync::jobs
