// One client connection's life: the stage it is in (PRELOGIN, login, logged
// in), which handler each message goes to, and the socket reads and writes.
// The handlers live by job in tds_connection_*.cpp.
#include "tds_connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace standin::tds {

Connection::Connection(int fd, uint16_t spid, const ServerOptions& options, EventLog& log,
                       std::function<std::unique_ptr<Session>()> newSession)
    : fd_(fd), spid_(spid), options_(options), log_(log), newSession_(std::move(newSession)) {}

void Connection::Run() {
  try {
    Serve();
  } catch (const WireError& e) {
    log_.Write("wire", std::string("closing connection: ") + e.what());
  } catch (const ClientGone&) {
  } catch (const std::exception& e) {
    log_.Write("wire", std::string("closing connection after an internal error: ") + e.what());
  }
  if (stage_ == Stage::LoggedIn) log_.Write("logout", "user=" + user_);
  session_.reset();  // rolls back what the client left open
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::Serve() {
  if (options_.hangLogin) {
    HangLogin();
    return;
  }
  for (;;) {
    std::optional<tds::Message> m = Read();
    if (!m) return;
    bool counted = false;
    switch (stage_) {
      case Stage::Prelogin:
        if (m->type == packet::kPrelogin) {
          if (!HandlePrelogin(*m)) return;
          stage_ = Stage::Login;
          continue;
        }
        [[fallthrough]];  // a client may skip PRELOGIN
      case Stage::Login:
        if (m->type != packet::kLogin7) {
          throw WireError(std::string("expected LOGIN7, got a ") + PacketTypeName(m->type) + " message");
        }
        if (!HandleLogin(*m)) return;
        stage_ = Stage::LoggedIn;
        continue;
      case Stage::LoggedIn:
        switch (m->type) {
          case packet::kSqlBatch: HandleBatch(*m); counted = true; break;
          case packet::kRpc: HandleRpc(*m); counted = true; break;
          case packet::kTransactionManager: HandleTransactionManager(*m); counted = true; break;
          case packet::kAttention: HandleAttention(); break;
          default:
            throw WireError(std::string("unsupported ") + PacketTypeName(m->type) + " message (type " +
                            std::to_string(m->type) + ")");
        }
        break;
    }
    if (counted && DropAfterRequest()) return;
  }
}

bool Connection::ReadMore() {
  uint8_t buf[16384];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      assembler_.Feed(std::span<const uint8_t>(buf, size_t(n)));
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    throw ClientGone(std::strerror(errno));
  }
}

std::optional<Message> Connection::Read() {
  if (!pending_.empty()) {
    Message m = std::move(pending_.front());
    pending_.pop_front();
    return m;
  }
  for (;;) {
    if (auto m = assembler_.Next()) return m;
    if (!ReadMore()) {
      if (assembler_.HasPartial()) throw WireError("client disconnected in the middle of a message");
      return std::nullopt;
    }
  }
}

void Connection::Send(const Bytes& payload) {
  Bytes frame = FrameMessage(packet::kReply, payload, packetSize_, spid_);
  size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ClientGone(std::strerror(errno));
    }
    sent += size_t(n);
  }
}

void Connection::Reply(const Bytes& payload) {
  if (DelayReply()) {
    log_.Write("attention", "request cancelled before its reply");
    Bytes done;
    WriteDone(done, token::kDone, done::kAttention, 0, 0);
    Send(done);
    return;
  }
  Send(payload);
}

void Connection::HandleAttention() {
  // The reply to the cancelled request has already gone out in full; the
  // client still waits for this acknowledgement before its next request.
  log_.Write("attention", "acknowledged");
  Bytes done;
  WriteDone(done, token::kDone, done::kAttention, 0, 0);
  Send(done);
}

}  // namespace standin::tds
