// Lock files never go stale by age (a transfer may run for long), only when their
// owning process is gone, which QLockFile checks by its recorded process id.
#include "schedule/locks.h"

#include <QLocalServer>
#include <QLocalSocket>

namespace cardsync::schedule {
namespace {

constexpr int kPollMs = 200;
constexpr int kAnswerMs = 2000;
constexpr char kShowRequest[] = "show\n";

QString LockPath(const Target& target, const std::string& what) {
  return QString::fromStdString(RuntimeFolder() + "/cardsync-" + target.Key() + "-" + what +
                                ".lock");
}

}  // namespace

JobLock::JobLock(const Target& target, jobs::JobKind kind)
    : file_(LockPath(target, kind == jobs::JobKind::Transfer ? "transfer" : "totals")) {
  file_.setStaleLockTime(0);
}

bool JobLock::TryAcquire() { return file_.tryLock(0); }

bool JobLock::Acquire(const std::atomic<bool>* stop, const std::function<void()>& waiting) {
  bool told = false;
  while (!file_.tryLock(kPollMs)) {
    if (stop != nullptr && stop->load()) return false;
    if (!told && waiting) waiting();
    told = true;
  }
  return true;
}

SchedulerLock::SchedulerLock(const Target& target, QObject* parent)
    : QObject(parent),
      file_(LockPath(target, "scheduler")),
      socketPath_(RuntimeFolder() + "/cardsync-" + target.Key() + ".socket") {
  file_.setStaleLockTime(0);
}

SchedulerLock::~SchedulerLock() {
  if (server_ != nullptr) server_->close();
}

bool SchedulerLock::TryAcquire() { return file_.tryLock(0); }

void SchedulerLock::ListenForShowRequests(std::function<void()> show) {
  server_ = new QLocalServer(this);
  const QString path = QString::fromStdString(socketPath_);
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
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(socketPath_));
  if (!socket.waitForConnected(kAnswerMs)) return false;
  socket.write(kShowRequest);
  const bool written = socket.waitForBytesWritten(kAnswerMs);
  socket.waitForDisconnected(kAnswerMs);
  return written;
}

}  // namespace cardsync::schedule
