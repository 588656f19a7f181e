// The scheduler without a window (`cardsync --headless`, e.g. a systemd user unit) and
// the history printout (`cardsync --history [--json] [--days N]`).
#pragma once

#include <ostream>

#include "base/exit_codes.h"

namespace cardsync::shell {

// Runs the schedule until SIGTERM or SIGINT: log lines on stdout, warnings on stderr.
// A signal stops a running job after its current record; the run is recorded as
// interrupted and the program ends with 0. Needs no display.
int RunHeadless(int argc, char** argv);

// The runs of the last `days` days for the settings' target (every target when the
// settings cannot be read), oldest first: a table, or with `json` a JSON array
// (history_report.h).
int PrintHistory(int days, std::ostream& out, std::ostream& err, bool json = false);

}  // namespace cardsync::shell
