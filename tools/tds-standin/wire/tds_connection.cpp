// One client connection's life: the stage it is in (PRELOGIN, login, logged
// in), which handler each message goes to, and the socket reads and writes.
// The handlers live by job in tds_connection_*.cpp. Until the client has
// logged in it gets little: a deadline and a small message size.
#include "tds_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace standin::tds {

namespace {
// Nothing a client sends before its login (PRELOGIN, the TLS handshake,
// LOGIN7) comes near this; a larger message is an attempt to eat memory.
constexpr size_t kPreloginMessageLimit = 1u << 20;
constexpr size_t kMessageLimit = 64u << 20;
}  // namespace

Connection::Connection(int fd, uint16_t spid, const ServerOptions& options, EventLog& log,
                       std::function<std::unique_ptr<Session>()> newSession)
    : fd_(fd),
      spid_(spid),
      loginDeadline_(std::chrono::steady_clock::now() +
                     std::chrono::milliseconds(options.preloginTimeoutMs)),
      options_(options),
      log_(log),
      newSession_(std::move(newSession)) {
  assembler_.SetLimit(kPreloginMessageLimit);
}

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
        if (options_.tls) {
          log_.Write("login",
                     "refused: the client skipped PRELOGIN, and this server requires encryption");
          return;
        }
        [[fallthrough]];  // a client may skip PRELOGIN
      case Stage::Login:
        if (m->type != packet::kLogin7) {
          throw WireError(std::string("expected LOGIN7, got a ") + PacketTypeName(m->type) +
                          " message");
        }
        if (!HandleLogin(*m)) return;
        stage_ = Stage::LoggedIn;
        assembler_.SetLimit(kMessageLimit);
        continue;
      case Stage::LoggedIn:
        switch (m->type) {
          case packet::kSqlBatch:
            HandleBatch(*m);
            counted = true;
            break;
          case packet::kRpc:
            HandleRpc(*m);
            counted = true;
            break;
          case packet::kTransactionManager:
            HandleTransactionManager(*m);
            counted = true;
            break;
          case packet::kAttention:
            HandleAttention();
            break;
          default:
            throw WireError(std::string("unsupported ") + PacketTypeName(m->type) +
                            " message (type " + std::to_string(m->type) + ")");
        }
        break;
    }
    if (counted && DropAfterRequest()) return;
  }
}

void Connection::AwaitBytes() {
  if (stage_ == Stage::LoggedIn) return;  // recv blocks; a logged-in client may idle
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        loginDeadline_ - std::chrono::steady_clock::now());
    pollfd p{fd_, POLLIN, 0};
    int r = left.count() > 0 ? ::poll(&p, 1, static_cast<int>(left.count())) : 0;
    if (r > 0) return;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw ClientGone(std::strerror(errno));
    log_.Write("login",
               "timed out: no login within " + std::to_string(options_.preloginTimeoutMs) + " ms");
    throw ClientGone("login time-out");
  }
}

bool Connection::ReadMore() {
  uint8_t buf[16384];
  for (;;) {
    AwaitBytes();
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0 && tls_) {
      tls_->Feed(std::span<const uint8_t>(buf, size_t(n)));
      bool closed = false;
      Bytes plain = tls_->Read(closed);
      assembler_.Feed(plain);
      return !closed || !plain.empty();
    }
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
      if (assembler_.HasPartial())
        throw WireError("client disconnected in the middle of a message");
      return std::nullopt;
    }
  }
}

void Connection::Send(const Bytes& payload) {
  Bytes frame = FrameMessage(packet::kReply, payload, packetSize_, spid_);
  if (tls_) {
    tls_->Write(frame);
    frame = tls_->TakeOutput();
  }
  SendRaw(frame);
}

void Connection::SendRaw(const Bytes& frame) {
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
  const std::vector<size_t> rowEnds = std::exchange(rowEnds_, {});
  if (clientGone_) throw ClientGone("the client went away while its request waited");
  if (attention_) {
    attention_ = false;
    log_.Write("attention", "request cancelled while it waited for a lock");
    Bytes done;
    WriteDone(done, token::kDone, done::kAttention, 0, 0);
    Send(done);
    return;
  }
  if (DelayReply()) {
    log_.Write("attention", "request cancelled before its reply");
    Bytes done;
    WriteDone(done, token::kDone, done::kAttention, 0, 0);
    Send(done);
    return;
  }
  if (rowEnds.empty()) {
    Send(payload);
  } else {
    SendTrickled(payload, rowEnds);
  }
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
