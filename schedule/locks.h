// One run at a time per target, whatever started it: one job lock per target that both
// jobs take, and the scheduler lock (one window or --headless per target), each a file
// in the lock folder under flock(), which the kernel releases when its process dies;
// and the local socket over which a second window asks the first to show itself.
#pragma once

#include <QObject>
#include <atomic>
#include <functional>
#include <optional>
#include <string>

#include "jobs/outcome.h"
#include "schedule/owed.h"
#include "schedule/settings.h"

class QLocalServer;

namespace cardsync::schedule {

// Who holds a job lock: as the holder took it when it is this process, else as the
// holder wrote it into the lock file.
struct LockHolder {
  std::optional<jobs::JobKind> kind;  // unset: not known (not written yet, or unreadable)
  Trigger trigger = Trigger::Scheduled;
  long long pid = 0;
  bool inThisProcess = false;
};

struct JobGate;  // this process's queue for one lock file

// The lock every run against `target` holds, transfer or totals, from any trigger,
// process or login session of this user.
class JobLock {
 public:
  // Opens (making) the target's lock file in LockFolder(); `kind` and `trigger` tell
  // whoever waits which run holds it. Throws StateError naming the folder or the file
  // when either is refused (a symbolic link at the file's place is never followed).
  JobLock(const Target& target, jobs::JobKind kind, Trigger trigger = Trigger::Scheduled);
  ~JobLock();  // releases
  JobLock(const JobLock&) = delete;
  JobLock& operator=(const JobLock&) = delete;

  // Takes the lock when no run holds it, in this process or another.
  bool TryAcquire();
  // Takes the lock, waiting while another run holds it; runs of this process take it in
  // the order they asked. `waiting` is called once, with the holder, when it has to
  // wait; true when taken, false when `stop` was set first.
  bool Acquire(const std::atomic<bool>* stop,
               const std::function<void(const LockHolder&)>& waiting);
  void Release();
  const std::string& Path() const { return path_; }

 private:
  bool EnterGate(const std::atomic<bool>* stop, const std::function<void(const LockHolder&)>& tell);
  void LeaveGate();
  bool LockFile();
  void WriteHolder();
  LockHolder ReadHolder() const;
  LockHolder Holder() const;

  std::string path_;
  jobs::JobKind kind_;
  Trigger trigger_;
  JobGate* gate_;
  int fd_ = -1;
  bool inGate_ = false;
  bool locked_ = false;
};

// The scheduler's lock for a target (the window or --headless holds it all along); a
// file apart from the job lock, so a scheduler never keeps a --run from running.
class SchedulerLock : public QObject {
  Q_OBJECT
 public:
  explicit SchedulerLock(const Target& target, QObject* parent = nullptr);
  ~SchedulerLock() override;
  // True when this process is the target's scheduler now. Also true when the lock folder
  // is refused (Refused() says why): no job can take its lock then, so nothing can
  // overlap, and the window opens to show the reason.
  bool TryAcquire();
  const std::string& Refused() const { return refused_; }
  // Held: listen for a second window's request; `show` is called for each.
  void ListenForShowRequests(std::function<void()> show);
  // Not held: ask the holder to show its window; false when nobody answered.
  bool AskHolderToShow();

 private:
  std::string SocketPath() const;  // empty when the runtime folder is refused

  std::string key_;
  int fd_ = -1;
  std::string refused_;
  QLocalServer* server_ = nullptr;
};

// Why the lock folder or the runtime folder cannot be used, naming it; empty when both can.
std::string FolderProblem();

}  // namespace cardsync::schedule
