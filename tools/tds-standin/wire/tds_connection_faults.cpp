// Fault injection for tests: --hang-login, --drop-after and --delay-ms. Each
// mimics a server or network failure a client must survive; none of them
// changes what a reply contains, only whether and when it arrives.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tds_connection.h"

namespace standin::tds {

void Connection::HangLogin() {
  log_.Write("login", "hang: connection accepted, never answered");
  char buf[4096];
  while (::recv(fd_, buf, sizeof buf, 0) > 0) {
  }
}

bool Connection::DropAfterRequest() {
  if (options_.dropAfter <= 0 || ++requests_ < options_.dropAfter) return false;
  log_.Write("drop", "closing connection after request " + std::to_string(requests_));
  return true;
}

bool Connection::DelayReply() {
  if (options_.delayMs <= 0) return false;
  return WaitWatchingForAttention(options_.delayMs);
}

bool Connection::WaitWatchingForAttention(int ms) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  bool cancelled = false;
  for (;;) {
    // Rounded up: truncating would wake a fraction of a millisecond early and
    // cut every delay short by up to 1 ms.
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return cancelled;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) throw ClientGone(std::strerror(errno));
    if (r <= 0) continue;
    // Whatever arrives meanwhile is kept for later, except a cancel, which
    // replaces the reply that was due.
    if (!ReadMore()) throw ClientGone("client disconnected while a reply was held back");
    while (auto m = assembler_.Next()) {
      if (m->type == packet::kAttention) {
        cancelled = true;
      } else {
        pending_.push_back(std::move(*m));
      }
    }
    if (cancelled) return true;
  }
}

bool Connection::AttentionArrived() {
  if (attention_ || clientGone_) return true;
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  try {
    if (!ReadMore()) clientGone_ = true;
    while (auto m = assembler_.Next()) {
      if (m->type == packet::kAttention) {
        attention_ = true;
      } else {
        pending_.push_back(std::move(*m));
      }
    }
  } catch (const std::exception&) {
    // A malformed message or a broken socket: the request ends, and so does
    // the connection once the engine has let go of it.
    clientGone_ = true;
  }
  return attention_ || clientGone_;
}

}  // namespace standin::tds
