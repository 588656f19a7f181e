// The window's side of the scheduler lock. The lock file says nothing of its holder; a
// window holding it listens on the target's socket and --headless does not, so a holder
// that does not answer there is taken for the service.
#include "shell/window_instance.h"

#include <iostream>

#include "db/connection_settings.h"
#include "schedule/settings.h"

namespace cardsync::shell {

WindowInstance::WindowInstance() {
  schedule::Target target;
  try {
    target = schedule::ReadTarget(db::SettingsFilePath());
  } catch (const std::exception&) {
    // The window opens anyway and its jobs report the settings fault.
  }
  lock_ = std::make_unique<schedule::SchedulerLock>(target);
  if (lock_->TryAcquire()) {
    role_ = Role::Scheduler;
  } else if (lock_->AskHolderToShow()) {
    role_ = Role::Raised;
  } else {
    // A window that took the lock a moment ago and does not listen yet is taken for the
    // service too: two windows then, one of them scheduling, which is still one scheduler.
    role_ = Role::BesideService;
  }
}

void WindowInstance::ShowOnRequest(QWidget& window) {
  if (role_ != Role::Scheduler) return;  // the lock's holder answers, not this window
  // The line tells whoever started the later copy (and its test) that the hand-over
  // reached this window.
  lock_->ListenForShowRequests([&window] {
    std::cerr << "cardsync: another start asked for this window; bringing it to the front"
              << std::endl;
    window.showNormal();
    window.raise();
    window.activateWindow();
  });
}

}  // namespace cardsync::shell
