// One scheduler and one run of each job at a time, per target: lock files in the
// runtime folder (a dead owner's lock is taken over), and the local socket over
// which a second window asks the first to show itself.
#pragma once

#include <QLockFile>
#include <QObject>
#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "jobs/outcome.h"
#include "schedule/settings.h"

class QLocalServer;

namespace cardsync::schedule {

// The lock every run of `kind` against `target` holds, from any trigger and process.
class JobLock {
 public:
  JobLock(const Target& target, jobs::JobKind kind);
  // Takes the lock, waiting while another run holds it. `waiting` is called once when
  // it has to wait; true when taken, false when `stop` was set first.
  bool Acquire(const std::atomic<bool>* stop, const std::function<void()>& waiting);
  bool TryAcquire();
  void Release() { file_.unlock(); }

 private:
  QLockFile file_;
};

// The scheduler's lock for a target (the window or --headless holds it all along).
class SchedulerLock : public QObject {
  Q_OBJECT
 public:
  explicit SchedulerLock(const Target& target, QObject* parent = nullptr);
  ~SchedulerLock() override;
  bool TryAcquire();
  // Held: listen for a second window's request; `show` is called for each.
  void ListenForShowRequests(std::function<void()> show);
  // Not held: ask the holder to show its window; false when nobody answered.
  bool AskHolderToShow();

 private:
  QLockFile file_;
  std::string socketPath_;
  QLocalServer* server_ = nullptr;
};

}  // namespace cardsync::schedule
