// One scheduler per target: the first window holds the scheduler lock and listens for
// later ones; a later window asks it to come to the front and then ends. Beside
// cardsync --headless, which holds the lock but has no window to show, a window opens
// anyway and runs jobs only by hand.
#pragma once

#include <QWidget>
#include <memory>

#include "schedule/locks.h"

namespace cardsync::shell {

class WindowInstance {
 public:
  enum class Role {
    Scheduler,      // this window runs the target's schedule
    Raised,         // another window has it and was asked to show itself: end
    BesideService,  // cardsync --headless has it: open, and run jobs by hand only
  };

  WindowInstance();  // reads the target from the settings (empty when unreadable)
  Role WindowRole() const { return role_; }
  // Brings `window` to the front whenever a later start asks (only as the scheduler).
  void ShowOnRequest(QWidget& window);

 private:
  std::unique_ptr<schedule::SchedulerLock> lock_;
  Role role_ = Role::Scheduler;
};

}  // namespace cardsync::shell
