// flock() locks belong to an open file description, so every JobLock opens the file for
// itself: two runs in this process exclude each other as two processes do. A gate per
// lock file in front of it lets this process's runs take turns in the order they asked
// and tells a waiter which run it waits for. Lock files stay in place when released:
// removing one would let a late opener lock a file nobody else sees any more.
#include "schedule/locks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLocalServer>
#include <QLocalSocket>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include "schedule/history.h"
#include "schedule/state_folder.h"

namespace cardsync::schedule {

struct JobGate {
  std::mutex mutex;
  std::condition_variable changed;
  std::list<const JobLock*> queue;  // waiting, first come first
  const JobLock* holder = nullptr;
};

namespace {

// How often a waiter looks again at a lock another process holds, and at its stop flag.
constexpr std::chrono::milliseconds kPoll{100};
constexpr int kAnswerMs = 2000;
constexpr char kShowRequest[] = "show\n";
constexpr char kJobLockSuffix[] = ".job.lock";
constexpr char kSchedulerLockSuffix[] = ".scheduler.lock";
constexpr char kSocketPrefix[] = "/cardsync-";
constexpr char kSocketSuffix[] = ".socket";
constexpr std::size_t kHolderBytes = 128;

// One gate per lock file for the life of the process: a handful at most.
JobGate& GateOf(const std::string& path) {
  static std::mutex mutex;
  static std::map<std::string, std::unique_ptr<JobGate>> gates;
  const std::lock_guard lock(mutex);
  std::unique_ptr<JobGate>& gate = gates[path];
  if (!gate) gate = std::make_unique<JobGate>();
  return *gate;
}

// O_NOFOLLOW: a symbolic link planted at the lock's place would otherwise have the lock
// make or rewrite a file elsewhere.
int OpenLockFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0 && errno == ELOOP) {
    throw StateError("the lock file " + path +
                     " is a symbolic link; cardsync does not follow it (remove it)");
  }
  if (fd < 0) throw StateError("cannot open the lock file " + path + ": " + std::strerror(errno));
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
    ::close(fd);
    throw StateError("the lock file " + path + " is not a file of this user's; cardsync " +
                     "will not use it (remove it)");
  }
  return fd;
}

// True when taken; false when another open file description holds it.
bool TryFlock(int fd, const std::string& path) {
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) return false;
    throw StateError("cannot lock " + path + ": " + std::strerror(errno));
  }
  return true;
}

bool Stopped(const std::atomic<bool>* stop) { return stop != nullptr && stop->load(); }

}  // namespace

JobLock::JobLock(const Target& target, jobs::JobKind kind, Trigger trigger)
    : path_(LockFolder() + "/" + target.Key() + kJobLockSuffix),
      kind_(kind),
      trigger_(trigger),
      gate_(&GateOf(path_)),
      fd_(OpenLockFile(path_)) {}

JobLock::~JobLock() {
  Release();
  ::close(fd_);
}

bool JobLock::TryAcquire() {
  {
    const std::lock_guard lock(gate_->mutex);
    if (gate_->holder != nullptr || !gate_->queue.empty()) return false;
    gate_->holder = this;
    inGate_ = true;
  }
  locked_ = TryFlock(fd_, path_);
  if (!locked_) {
    LeaveGate();
    return false;
  }
  WriteHolder();
  return true;
}

bool JobLock::Acquire(const std::atomic<bool>* stop,
                      const std::function<void(const LockHolder&)>& waiting) {
  bool told = false;
  const auto tell = [&](const LockHolder& holder) {
    if (!told && waiting) waiting(holder);
    told = true;
  };
  if (!EnterGate(stop, tell)) return false;
  while (!(locked_ = TryFlock(fd_, path_))) {
    if (Stopped(stop)) {
      LeaveGate();
      return false;
    }
    tell(ReadHolder());
    std::this_thread::sleep_for(kPoll);
  }
  WriteHolder();
  return true;
}

bool JobLock::EnterGate(const std::atomic<bool>* stop,
                        const std::function<void(const LockHolder&)>& tell) {
  std::unique_lock lock(gate_->mutex);
  gate_->queue.push_back(this);
  while (gate_->holder != nullptr || gate_->queue.front() != this) {
    if (Stopped(stop)) {
      gate_->queue.remove(this);
      gate_->changed.notify_all();
      return false;
    }
    if (gate_->holder != nullptr) tell(gate_->holder->Holder());
    gate_->changed.wait_for(lock, kPoll);
  }
  gate_->queue.pop_front();
  gate_->holder = this;
  inGate_ = true;
  return true;
}

void JobLock::LeaveGate() {
  const std::lock_guard lock(gate_->mutex);
  if (gate_->holder == this) gate_->holder = nullptr;
  inGate_ = false;
  gate_->changed.notify_all();
}

void JobLock::Release() {
  // The file first: a run of this process let through the gate finds it free at once.
  if (locked_) {
    if (::ftruncate(fd_, 0) != 0) {
      // Only a stale holder's name stays behind, which the next holder overwrites.
    }
    ::flock(fd_, LOCK_UN);
    locked_ = false;
  }
  if (inGate_) LeaveGate();
}

LockHolder JobLock::Holder() const {
  return LockHolder{kind_, trigger_, static_cast<long long>(::getpid()), true};
}

// "<pid> <job> <trigger>", as JobName and TriggerName spell them; written once the lock is
// held, so only a waiter ever reads it.
void JobLock::WriteHolder() {
  const std::string text = std::to_string(::getpid()) + " " + std::string(JobName(kind_)) + " " +
                           std::string(TriggerName(trigger_)) + "\n";
  if (::ftruncate(fd_, 0) != 0) return;
  if (::pwrite(fd_, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    // A waiter then says it waits for a run it cannot name; the lock holds all the same.
  }
}

LockHolder JobLock::ReadHolder() const {
  LockHolder holder;
  char text[kHolderBytes] = {};
  const ssize_t size = ::pread(fd_, text, sizeof text - 1, 0);
  if (size <= 0) return holder;
  std::istringstream in(std::string(text, static_cast<std::size_t>(size)));
  std::string job, trigger;
  if (!(in >> holder.pid >> job) || !std::getline(in >> std::ws, trigger)) return LockHolder{};
  for (jobs::JobKind kind : {jobs::JobKind::Transfer, jobs::JobKind::Totals}) {
    if (JobName(kind) == job) holder.kind = kind;
  }
  holder.trigger = TriggerNamed(trigger).value_or(Trigger::Scheduled);
  holder.inThisProcess = holder.pid == ::getpid();
  return holder;
}

SchedulerLock::SchedulerLock(const Target& target, QObject* parent)
    : QObject(parent), key_(target.Key()) {}

SchedulerLock::~SchedulerLock() {
  if (server_ != nullptr) server_->close();
  if (fd_ >= 0) ::close(fd_);
}

bool SchedulerLock::TryAcquire() {
  try {
    const std::string path = LockFolder() + "/" + key_ + kSchedulerLockSuffix;
    if (fd_ < 0) fd_ = OpenLockFile(path);
    return TryFlock(fd_, path);
  } catch (const StateError& e) {
    refused_ = e.what();
    return true;
  }
}

std::string SchedulerLock::SocketPath() const {
  try {
    return RuntimeFolder() + kSocketPrefix + key_ + kSocketSuffix;
  } catch (const StateError&) {
    return {};  // the window shows why (FolderProblem), and cannot be reached meanwhile
  }
}

void SchedulerLock::ListenForShowRequests(std::function<void()> show) {
  const QString path = QString::fromStdString(SocketPath());
  if (path.isEmpty()) return;
  server_ = new QLocalServer(this);
  // Holding the lock means any socket left there belongs to a process that is gone.
  QLocalServer::removeServer(path);
  server_->listen(path);
  connect(server_, &QLocalServer::newConnection, this, [this, show = std::move(show)] {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
      connect(socket, &QLocalSocket::readyRead, socket, [socket, show] {
        if (socket->readAll().startsWith("show")) show();
        socket->disconnectFromServer();
      });
      connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    }
  });
}

bool SchedulerLock::AskHolderToShow() {
  const QString path = QString::fromStdString(SocketPath());
  if (path.isEmpty()) return false;
  QLocalSocket socket;
  socket.connectToServer(path);
  if (!socket.waitForConnected(kAnswerMs)) return false;
  socket.write(kShowRequest);
  const bool written = socket.waitForBytesWritten(kAnswerMs);
  socket.waitForDisconnected(kAnswerMs);
  return written;
}

std::string FolderProblem() {
  try {
    LockFolder();
    RuntimeFolder();
  } catch (const StateError& e) {
    return e.what();
  }
  return {};
}

}  // namespace cardsync::schedule
