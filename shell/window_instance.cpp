// The window's side of the scheduler lock. A lock whose holder does not answer on the
// socket is a --headless scheduler: this window then does not open either, and says why.
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
  first_ = lock_->TryAcquire();
  if (!first_ && !lock_->AskHolderToShow()) {
    std::cerr << "cardsync: another scheduler (cardsync --headless) already runs for "
              << target.Text() << "\n";
  }
}

void WindowInstance::ShowOnRequest(QWidget& window) {
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
