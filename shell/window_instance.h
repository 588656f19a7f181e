// One window per target: the first window holds the scheduler lock and listens for
// later ones; a later one asks it to come to the front and then ends.
#pragma once

#include <QWidget>
#include <memory>

#include "schedule/locks.h"

namespace cardsync::shell {

class WindowInstance {
 public:
  WindowInstance();  // reads the target from the settings (empty when unreadable)
  // True when this is the first scheduler for the target; otherwise the holder was
  // asked to show itself (a --headless holder has no window, and says nothing).
  bool IsFirst() const { return first_; }
  // Brings `window` to the front whenever a later start asks.
  void ShowOnRequest(QWidget& window);

 private:
  std::unique_ptr<schedule::SchedulerLock> lock_;
  bool first_ = false;
};

}  // namespace cardsync::shell
