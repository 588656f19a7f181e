// Listener and worker threads. A worker's socket is closed only after its
// thread has been joined, so shutting it down from here on stop can never
// hit a descriptor number the system has already handed to someone else.
#include "tds_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "tds_connection.h"

namespace standin::tds {

namespace {
constexpr int kFirstBackOffMs = 50;
constexpr int kLongestBackOffMs = 1000;
}  // namespace

Server::Server(Engine& engine, ServerOptions options, EventLog& log)
    : engine_(engine), options_(std::move(options)), log_(log) {}

Server::~Server() {
  if (listenFd_ >= 0) ::close(listenFd_);
  Reap(true);
}

int Server::Listen() {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listenFd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
  int one = 1;
  ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(options_.port));
  if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    throw std::runtime_error("cannot bind 127.0.0.1:" + std::to_string(options_.port) + ": " +
                             std::strerror(errno));
  }
  if (::listen(listenFd_, 64) < 0)
    throw std::runtime_error(std::string("listen: ") + std::strerror(errno));
  socklen_t len = sizeof addr;
  ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len);
  return ntohs(addr.sin_port);
}

void Server::Run(int stopFd) {
  for (;;) {
    pollfd fds[2] = {{listenFd_, POLLIN, 0}, {stopFd, POLLIN, 0}};
    int r = ::poll(fds, 2, 1000);
    if (r < 0 && errno != EINTR)
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    if (fds[1].revents) break;
    Reap(false);
    if (r <= 0 || !(fds[0].revents & POLLIN)) continue;
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) &&
          !BackOff(stopFd, errno))
        break;
      continue;
    }
    backOffMs_ = 0;
    if (workers_.size() >= size_t(options_.maxConnections)) {
      log_.Write("server", "refused a client: " + std::to_string(workers_.size()) +
                               " connections are open, the limit set by --max-connections");
      ::close(fd);
      continue;
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    auto worker = std::make_unique<Worker>();
    Worker* w = worker.get();
    w->fd = fd;
    uint16_t spid = nextSpid_++;
    auto newSession = [this] {
      std::lock_guard lock(sessionMutex_);
      return engine_.NewSession();
    };
    w->thread = std::thread([this, w, spid, newSession] {
      Connection(w->fd, spid, options_, log_, newSession).Run();
      w->done = true;
    });
    workers_.push_back(std::move(worker));
  }
}

bool Server::BackOff(int stopFd, int error) {
  backOffMs_ = std::clamp(backOffMs_ * 2, kFirstBackOffMs, kLongestBackOffMs);
  log_.Write("server", std::string("accept failed: ") + std::strerror(error) + "; waiting " +
                           std::to_string(backOffMs_) + " ms");
  pollfd stop{stopFd, POLLIN, 0};
  return ::poll(&stop, 1, backOffMs_) <= 0;
}

void Server::Reap(bool all) {
  for (auto it = workers_.begin(); it != workers_.end();) {
    Worker& w = **it;
    if (!all && !w.done) {
      ++it;
      continue;
    }
    if (!w.done) ::shutdown(w.fd, SHUT_RDWR);
    if (w.thread.joinable()) w.thread.join();
    ::close(w.fd);
    it = workers_.erase(it);
  }
}

}  // namespace standin::tds
