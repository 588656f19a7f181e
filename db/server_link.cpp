// Finding the driver's socket among the process's descriptors, and the watch thread
// that shuts it down. The driver never learns of either: it just finds its socket
// closed, as it would after a network fault, and fails the call it is in.
#include "db/server_link.h"

#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "base/thread_sanitizer.h"

namespace cardsync::db {
namespace {

// How often the watch looks at the clock and the stop flag.
constexpr auto kTick = std::chrono::milliseconds(50);
// A stop asked for during a wait lets an answer already under way arrive first (a
// healthy server answers a chunk well within it), and still ends a hung wait
// within a second of the signal.
constexpr auto kStopGrace = std::chrono::milliseconds(500);

// One driver connect at a time in the process, so that the socket that appears
// while it runs is known to be its own. A flag under a plain mutex, not a
// std::timed_mutex: ThreadSanitizer does not see the clock-based lock libstdc++
// takes for a timed mutex's try_lock_for, and would report every connect.
struct ConnectTurn {
  std::mutex mutex;
  std::condition_variable freed;
  bool taken = false;
};
ConnectTurn connectTurn;

// Every call here asks the kernel about a descriptor that another thread owns (the
// driver's socket, or whatever the process has open) and touches no memory but its
// caller's locals. ThreadSanitizer counts a call that takes a descriptor as an access
// to it, and one from another thread as a race; these looks are meant, so they go
// unwatched.
namespace descriptor_probe {

bool IsStreamSocket(int fd, ino_t* inode) {
  const thread_sanitizer::Unwatched looking;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISSOCK(status.st_mode)) return false;
  int type = 0;
  socklen_t length = sizeof type;
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
    return false;
  *inode = status.st_ino;
  return true;
}

// A TCP socket that connects, or is connected, somewhere (not a listener).
bool IsTcpClient(int fd) {
  const thread_sanitizer::Unwatched looking;
  sockaddr_storage own{};
  socklen_t length = sizeof own;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &length) != 0) return false;
  if (own.ss_family != AF_INET && own.ss_family != AF_INET6) return false;
  int listening = 0;
  length = sizeof listening;
  return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && !listening;
}

// The TCP port of the peer of `fd`; nullopt when it is not connected.
std::optional<int> PeerPort(int fd) {
  const thread_sanitizer::Unwatched looking;
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return std::nullopt;
  if (peer.ss_family == AF_INET) return ntohs(reinterpret_cast<sockaddr_in*>(&peer)->sin_port);
  if (peer.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&peer)->sin6_port);
  return std::nullopt;
}

// True while `fd` is still the socket with `inode` (not closed, or not reused).
bool SameSocket(int fd, ino_t inode) {
  const thread_sanitizer::Unwatched looking;
  struct stat status {};
  return ::fstat(fd, &status) == 0 && status.st_ino == inode;
}

// The peer has closed its end, or the socket failed; false when that cannot be told.
bool HungUp(int fd) {
  const thread_sanitizer::Unwatched looking;
  pollfd p{fd, POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

void ShutReading(int fd) {
  const thread_sanitizer::Unwatched looking;
  ::shutdown(fd, SHUT_RD);
}

void AskSendBuffer(int fd, int bytes) {
  const thread_sanitizer::Unwatched looking;
  ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

}  // namespace descriptor_probe

template <typename Each>
void ForEachDescriptor(Each each) {
  DIR* folder = ::opendir("/proc/self/fd");
  if (folder == nullptr) return;
  const int own = ::dirfd(folder);
  while (const dirent* entry = ::readdir(folder)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == own) continue;
    each(int(fd));
  }
  ::closedir(folder);
}

}  // namespace

ServerLink::~ServerLink() {
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  if (watcher_.joinable()) watcher_.join();
}

void ServerLink::SetStop(const std::atomic<bool>* stop) {
  std::lock_guard lock(mutex_);
  stop_ = stop;
  stopSeen_.reset();
}

bool ServerLink::StopAsked() const {
  std::lock_guard lock(mutex_);
  return stop_ != nullptr && stop_->load();
}

ServerLink::Connecting::Connecting(ServerLink& link, Clock::time_point deadline) : link_(link) {
  // Without the turn (another connect hung past our deadline) the socket may not be
  // told apart; the connect goes on regardless.
  {
    std::unique_lock turn(connectTurn.mutex);
    while (connectTurn.taken && Clock::now() < deadline && !link.StopAsked())
      connectTurn.freed.wait_for(turn, kTick);
    if (!connectTurn.taken) connectTurn.taken = ownTurn_ = true;
  }
  std::vector<Socket> before;
  ForEachDescriptor([&before](int fd) {
    ino_t inode = 0;
    if (descriptor_probe::IsStreamSocket(fd, &inode)) before.push_back({fd, inode});
  });
  std::lock_guard lock(link.mutex_);
  link.link_.reset();
  link.cut_ = Cut::None;
  link.before_ = std::move(before);
  link.connecting_ = true;
}

ServerLink::Connecting::~Connecting() {
  {
    std::lock_guard lock(link_.mutex_);
    link_.connecting_ = false;
    link_.before_.clear();
  }
  if (!ownTurn_) return;
  {
    std::lock_guard turn(connectTurn.mutex);
    connectTurn.taken = false;
  }
  connectTurn.freed.notify_one();
}

ServerLink::Connecting ServerLink::BeginConnect(Clock::time_point deadline) {
  return Connecting(*this, deadline);
}

std::vector<ServerLink::Socket> ServerLink::NewSockets(std::optional<int> port) const {
  std::vector<Socket> found;
  ForEachDescriptor([&](int fd) {
    ino_t inode = 0;
    if (!descriptor_probe::IsStreamSocket(fd, &inode) || !descriptor_probe::IsTcpClient(fd)) return;
    if (std::any_of(before_.begin(), before_.end(),
                    [&](const Socket& old) { return old.fd == fd && old.inode == inode; }))
      return;
    if (!port || descriptor_probe::PeerPort(fd) == port) found.push_back({fd, inode});
  });
  return found;
}

bool ServerLink::Connecting::Identify(int port) {
  std::lock_guard lock(link_.mutex_);
  const std::vector<Socket> found = link_.NewSockets(port);
  if (found.size() != 1) return false;
  link_.link_ = found.front();
  // The driver mishandles a write that fails part way through a request's
  // parameter definitions (see odbc_direct.cpp). With room for a whole request
  // (a chunk of 209 records is some 250 KB) its writes are copies into the kernel:
  // a server that stops reading cannot leave one pending until a time-out or a
  // stop cuts it, and one closing meanwhile has a far smaller moment to fail one.
  // The kernel caps the size asked for (net.core.wmem_max).
  descriptor_probe::AskSendBuffer(found.front().fd, 4 << 20);
  return true;
}

void ServerLink::Forget() {
  std::lock_guard lock(mutex_);
  link_.reset();
  cut_ = Cut::None;
}

bool ServerLink::Current(const Socket& socket) const {
  return descriptor_probe::SameSocket(socket.fd, socket.inode);
}

bool ServerLink::PeerClosed() const {
  std::lock_guard lock(mutex_);
  if (!link_) return false;
  return !Current(*link_) || descriptor_probe::HungUp(link_->fd);
}

ServerLink::Wait ServerLink::Arm(std::chrono::milliseconds limit) {
  {
    std::lock_guard lock(mutex_);
    const std::optional<Clock::time_point> deadline =
        limit.count() > 0 ? std::optional(Clock::now() + limit) : std::nullopt;
    if (armed_++ == 0) {
      deadline_ = deadline;
    } else if (deadline && (!deadline_ || *deadline < *deadline_)) {
      deadline_ = deadline;
    }
    if (!watcher_.joinable()) watcher_ = std::thread([this] { Watch(); });
  }
  return Wait(*this);
}

ServerLink::Wait::~Wait() {
  std::lock_guard lock(link_.mutex_);
  if (--link_.armed_ == 0) link_.deadline_.reset();
}

ServerLink::Cut ServerLink::LastCut() const {
  std::lock_guard lock(mutex_);
  return cut_;
}

// Only the reading side is shut: a wait for the server ends at once (it reads the
// end of the stream), while writes still go out, so a request the driver is
// writing is finished whole before it notices, and never fails half-way (the
// driver's fault, odbc_direct.cpp). A socket still connecting is given up (Linux
// disconnects it whichever side is shut).
void ServerLink::FireLocked(Cut why) {
  cut_ = why;
  deadline_.reset();
  if (link_) {
    if (Current(*link_)) descriptor_probe::ShutReading(link_->fd);
  } else if (connecting_) {
    for (const Socket& socket : NewSockets(std::nullopt)) descriptor_probe::ShutReading(socket.fd);
  }
}

void ServerLink::Watch() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    wake_.wait_for(lock, kTick);
    if (quit_) break;
    const Clock::time_point now = Clock::now();
    if (stop_ != nullptr && stop_->load()) {
      if (!stopSeen_) stopSeen_ = now;
    } else {
      stopSeen_.reset();
    }
    if (armed_ == 0 || cut_ != Cut::None) continue;
    if (deadline_ && now >= *deadline_) {
      FireLocked(Cut::TimedOut);
    } else if (stopSeen_ && now >= *stopSeen_ + kStopGrace) {
      FireLocked(Cut::Stopped);
    }
  }
}

}  // namespace cardsync::db
