// A desktop notification when an unattended run needs someone: a scheduled, caught-up or
// retried run that failed or could not connect, and any run that skipped records. Sent to
// the freedesktop notification service on the session bus; without one, nothing.
#pragma once

#include <optional>
#include <string>

#include "jobs/outcome.h"
#include "schedule/owed.h"

namespace cardsync::shell {

struct DesktopNotice {
  std::string title;
  std::string body;
};

// The notice for a run's end against `target` (its Text()), or nothing when the run
// needs no one: done without skips, stopped, or a click's failure (its box shows it).
std::optional<DesktopNotice> NoticeFor(jobs::JobKind kind, schedule::Trigger trigger,
                                       const jobs::JobOutcome& outcome, const std::string& target);

// Hands `notice` to org.freedesktop.Notifications without waiting for its answer.
void SendDesktopNotice(const DesktopNotice& notice);

}  // namespace cardsync::shell
