// The relay: the server side is negotiated and encrypted in the caller's thread
// (so a refusal is the open's own error), the loopback side is served on a
// thread per connection. Every wait before the session runs ends at the open's
// deadline; the session itself waits as long as FreeTDS and the server do.
#include "db/tls_relay.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "base/error.h"
#include "db/tls_prelogin.h"

namespace cardsync::db {
namespace {

using Clock = std::chrono::steady_clock;
namespace tds = cardsync::db::tds;

constexpr const char* kCannotEncrypt =
    "the server cannot encrypt; set encrypt=no in [database] to allow an unencrypted connection";
constexpr const char* kLoginOnly =
    "the server's answer would leave the session unencrypted after the login (it offered to "
    "encrypt the login only), so cardsync did not log in; a SQL Server gives that answer to no "
    "client that asks to encrypt everything, as cardsync does: look for a device or program "
    "between this machine and the server that rewrites it";
constexpr const char* kNoPrelogin =
    "FreeTDS began without PRELOGIN, so it speaks a TDS version below 7.1, which cannot encrypt; "
    "remove the lower TDS_Version from odbc_options, the data source, freetds.conf or the TDSVER "
    "variable (TDS_Version=7.4 suits SQL Server 2012 and later)";
constexpr std::size_t kLargestPrelogin = 64 * 1024;
constexpr std::size_t kLargestHandshake = 1 << 20;
// FreeTDS's whole request is taken in even while the server stops reading: the
// driver mishandles a write that fails half way (see server_link.cpp).
constexpr std::size_t kBuffered = 8 << 20;
constexpr std::size_t kChunk = 16384;
// FreeTDS connects right after the open's own clock starts; a little grace past
// the deadline lets a slow but successful connect find the listener still there.
constexpr auto kAcceptGrace = std::chrono::seconds(2);
constexpr std::size_t kFailuresKept = 64;

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { Reset(); }
  Fd(Fd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      Reset();
      fd_ = other.fd_;
      other.fd_ = -1;
    }
    return *this;
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

int MsLeft(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? int(left) : 0;
}

// True when `fd` is ready for `events` before the deadline.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0 || errno != EINTR) return false;
  }
}

std::string Where(const RelayTarget& target) {
  return target.host + ":" + std::to_string(target.port);
}

// One address after another until one answers; the last failure is the reason.
// A request leaves FreeTDS in packets, and the relay passes each on as it comes: with
// Nagle's algorithm a packet would wait for the server's delayed acknowledgement of the
// one before (some 40 ms), once per request, so every chunk of a transfer would.
void NoDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

Fd ConnectTcp(const RelayTarget& target, Clock::time_point deadline) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (const int error =
          ::getaddrinfo(target.host.c_str(), std::to_string(target.port).c_str(), &hints, &found);
      error != 0) {
    throw Error("cannot find the server " + target.host + ": " + ::gai_strerror(error));
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> addresses(found, ::freeaddrinfo);
  std::string why = "no address";
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    Fd fd(::socket(a->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd) continue;
    NoDelay(fd.get());
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
      why = std::strerror(errno);
      continue;
    }
    if (!WaitFor(fd.get(), POLLOUT, deadline)) {
      throw Error("the server " + Where(target) +
                  " did not accept a connection within login_timeout");
    }
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length);
    if (error == 0) return fd;
    why = std::strerror(error);
  }
  throw Error("cannot reach the server " + Where(target) + ": " + why);
}

void SendAll(int fd, const tds::Bytes& bytes, Clock::time_point deadline, const char* what) {
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t sent = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
    if (sent > 0) {
      at += std::size_t(sent);
    } else if (sent < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(fd, POLLOUT, deadline))
        throw Error(std::string("timed out sending ") + what + " (login_timeout)");
    } else {
      throw Error(std::string("the connection broke while sending ") + what + ": " +
                  std::strerror(errno));
    }
  }
}

void ReadExactly(int fd, std::uint8_t* out, std::size_t size, Clock::time_point deadline,
                 const std::string& what) {
  while (size > 0) {
    const ssize_t got = ::recv(fd, out, size, 0);
    if (got > 0) {
      out += got;
      size -= std::size_t(got);
    } else if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
      if (!WaitFor(fd, POLLIN, deadline))
        throw Error("no answer within login_timeout during " + what);
    } else {
      throw Error("the connection was closed during " + what);
    }
  }
}

tds::Bytes ReadPacket(int fd, Clock::time_point deadline, const std::string& what,
                      tds::PacketHeader& header) {
  std::array<std::uint8_t, tds::kHeaderSize> head{};
  ReadExactly(fd, head.data(), head.size(), deadline, what);
  const auto parsed = tds::ReadHeader(head);
  if (!parsed) throw Error("a malformed packet came during " + what);
  header = *parsed;
  tds::Bytes payload(header.length - tds::kHeaderSize);
  ReadExactly(fd, payload.data(), payload.size(), deadline, what);
  return payload;
}

// A whole message: its packets' payloads joined; `type` is the last packet's.
tds::Bytes ReadMessage(int fd, Clock::time_point deadline, const std::string& what,
                       std::uint8_t& type) {
  tds::Bytes message;
  for (;;) {
    tds::PacketHeader header;
    const tds::Bytes payload = ReadPacket(fd, deadline, what, header);
    message.insert(message.end(), payload.begin(), payload.end());
    type = header.type;
    if (message.size() > kLargestPrelogin) throw Error("an oversized message came during " + what);
    if (header.status & tds::kStatusEndOfMessage) return message;
  }
}

tds::PreloginAnswer AskPrelogin(int fd, tds::Encryption asked, Clock::time_point deadline) {
  const tds::Bytes request = tds::PreloginRequest(asked);
  SendAll(fd, tds::Frame(tds::kTypePrelogin, request, tds::kHandshakePacketSize), deadline,
          "PRELOGIN");
  std::uint8_t type = 0;
  const tds::Bytes payload = ReadMessage(fd, deadline, "the server's PRELOGIN answer", type);
  const auto answer = tds::ParsePrelogin(payload);
  if (type != tds::kTypeReply || !answer || !answer->encryption) {
    throw Error(
        "the server's answer to PRELOGIN is not one a SQL Server gives (no encryption "
        "option); is the port a SQL Server's?");
  }
  return *answer;
}

void Handshake(int fd, TlsClient& tls, Clock::time_point deadline) {
  std::size_t received = 0;
  for (;;) {
    tds::Bytes out;
    const bool done = tls.Handshake(out);
    if (!out.empty()) {
      SendAll(fd, tds::Frame(tds::kTypePrelogin, out, tds::kHandshakePacketSize), deadline,
              "the TLS handshake");
    }
    if (done) return;
    tds::PacketHeader header;
    const tds::Bytes payload = ReadPacket(fd, deadline, "the TLS handshake", header);
    received += payload.size();
    if ((header.type != tds::kTypePrelogin && header.type != tds::kTypeReply) ||
        received > kLargestHandshake) {
      throw Error("the server sent something other than TLS during the TLS handshake");
    }
    tls.FromServer(payload);
  }
}

struct Negotiated {
  Fd server;
  tds::PreloginAnswer answer;
  std::unique_ptr<TlsClient> tls;  // null: a plain connection (encrypt=no only)
};

// Asks for encryption of everything and takes nothing less: "on" and "required"
// both mean the whole connection; "off" would encrypt only the login.
Negotiated Negotiate(const RelayTarget& target, Clock::time_point deadline) {
  Negotiated link{ConnectTcp(target, deadline), {}, nullptr};
  link.answer = AskPrelogin(link.server.get(), tds::Encryption::On, deadline);
  switch (*link.answer.encryption) {
    case std::uint8_t(tds::Encryption::On):
    case std::uint8_t(tds::Encryption::Required):
      link.tls = std::make_unique<TlsClient>(target.tls);
      Handshake(link.server.get(), *link.tls, deadline);
      return link;
    case std::uint8_t(tds::Encryption::Off):
      throw Error(kLoginOnly);
    case std::uint8_t(tds::Encryption::NotSupported):
      break;
    default:
      throw Error("the server's answer to PRELOGIN names no encryption a SQL Server knows");
  }
  if (target.requireEncryption) throw Error(kCannotEncrypt);
  // A server that cannot encrypt closes a connection that asked for it; a second
  // one says from the start that it will not.
  link.server = ConnectTcp(target, deadline);
  link.answer = AskPrelogin(link.server.get(), tds::Encryption::NotSupported, deadline);
  if (*link.answer.encryption != std::uint8_t(tds::Encryption::NotSupported)) {
    throw Error("the server first said it cannot encrypt, then that it must; try again");
  }
  return link;
}

Fd Listen(int& port) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(fd.get(), 4) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw Error(std::string("cannot listen on 127.0.0.1 for the driver: ") + std::strerror(errno));
  }
  port = ntohs(address.sin_port);
  return fd;
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_family == b.sin_family && a.sin_port == b.sin_port &&
         a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// True when the other end of `accepted` is a socket of this process: one of our
// descriptors is bound where the peer is and connected to where we accepted.
// Another local user connecting first to the port is turned away by this.
bool FromThisProcess(int accepted) {
  sockaddr_in local{}, peer{};
  socklen_t length = sizeof local;
  if (::getsockname(accepted, reinterpret_cast<sockaddr*>(&local), &length) != 0) return false;
  length = sizeof peer;
  if (::getpeername(accepted, reinterpret_cast<sockaddr*>(&peer), &length) != 0) return false;
  struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
  };
  std::unique_ptr<DIR, CloseDir> dir(::opendir("/proc/self/fd"));
  if (!dir) return false;
  const int own = ::dirfd(dir.get());
  while (const dirent* entry = ::readdir(dir.get())) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == accepted || fd == own) continue;
    sockaddr_in theirLocal{}, theirPeer{};
    socklen_t size = sizeof theirLocal;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&theirLocal), &size) != 0 ||
        size != sizeof theirLocal || !SameAddress(theirLocal, peer))
      continue;
    size = sizeof theirPeer;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirPeer), &size) == 0 &&
        SameAddress(theirPeer, local))
      return true;
  }
  return false;
}

// Bytes waiting for one side, sent from the front.
class Queue {
 public:
  std::size_t size() const { return data_.size() - head_; }
  bool empty() const { return size() == 0; }
  tds::Bytes& tail() { return data_; }
  // Sends what the socket takes now; false when the socket is broken.
  bool SendSome(int fd) {
    const ssize_t sent = ::send(fd, data_.data() + head_, size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent < 0) return errno == EAGAIN || errno == EINTR;
    head_ += std::size_t(sent);
    if (head_ == data_.size()) {
      data_.clear();
      head_ = 0;
    } else if (head_ > kChunk && head_ * 2 > data_.size()) {
      data_.erase(data_.begin(), data_.begin() + std::ptrdiff_t(head_));
      head_ = 0;
    }
    return true;
  }

 private:
  tds::Bytes data_;
  std::size_t head_ = 0;
};

struct Link {
  Negotiated server;
  Fd listener;
  Fd wake;  // an eventfd: the process is ending
  int port = 0;
  Clock::time_point deadline;
  std::thread thread;
  std::atomic<bool> done{false};
};

class Registry {
 public:
  // The process is ending: every relay stops; a thread recording its failure
  // meanwhile still finds the lock free.
  ~Registry() {
    std::list<std::unique_ptr<Link>> ending;
    {
      std::lock_guard lock(mutex_);
      ending.swap(links_);
    }
    for (auto& link : ending) {
      const std::uint64_t one = 1;
      (void)!::write(link->wake.get(), &one, sizeof one);
    }
    for (auto& link : ending) link->thread.join();
  }
  void Start(std::unique_ptr<Link> link, void (*serve)(Link&)) {
    std::lock_guard lock(mutex_);
    for (auto it = links_.begin(); it != links_.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = links_.erase(it);
      } else {
        ++it;
      }
    }
    failures_.erase(link->port);
    Link& started = *links_.emplace_back(std::move(link));
    started.thread = std::thread([&started, serve] {
      serve(started);
      started.done = true;
    });
  }
  void Fail(int port, const std::string& why) {
    std::lock_guard lock(mutex_);
    if (failures_.size() >= kFailuresKept) failures_.erase(failures_.begin());
    failures_[port] = why;
  }
  std::string Failure(int port) {
    std::lock_guard lock(mutex_);
    const auto found = failures_.find(port);
    return found == failures_.end() ? std::string() : found->second;
  }

 private:
  std::mutex mutex_;
  std::list<std::unique_ptr<Link>> links_;
  std::map<int, std::string> failures_;
};

Registry& Relays() {
  static Registry registry;
  return registry;
}

// The first connection from this process, until the deadline; others are closed.
Fd AcceptOwn(Link& link) {
  const Clock::time_point until = link.deadline + kAcceptGrace;
  for (;;) {
    pollfd fds[2] = {{link.listener.get(), POLLIN, 0}, {link.wake.get(), POLLIN, 0}};
    const int ready = ::poll(fds, 2, MsLeft(until));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || fds[1].revents != 0) return Fd();
    Fd client(::accept4(link.listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (client) NoDelay(client.get());
    if (client && FromThisProcess(client.get())) return client;
  }
}

// FreeTDS's PRELOGIN is answered here: "no encryption" on the loopback side.
void AnswerDriver(Link& link, int client) {
  std::uint8_t type = 0;
  const tds::Bytes request =
      ReadMessage(client, link.deadline + kAcceptGrace, "the driver's PRELOGIN", type);
  if (type != tds::kTypePrelogin || !tds::ParsePrelogin(request)) throw Error(kNoPrelogin);
  SendAll(client,
          tds::Frame(tds::kTypeReply, tds::PreloginReplyForDriver(link.server.answer),
                     tds::kHandshakePacketSize),
          link.deadline + kAcceptGrace, "the PRELOGIN answer to the driver");
}

// Moves what one side sent to the other's queue; false once that side has closed.
bool TakeFromDriver(int client, TlsClient* tls, Queue& toServer) {
  std::uint8_t buffer[kChunk];
  const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
  if (got < 0) return errno == EAGAIN || errno == EINTR;
  if (got == 0) return false;
  const std::span<const std::uint8_t> plain(buffer, std::size_t(got));
  if (tls) {
    tls->Encrypt(plain, toServer.tail());
  } else {
    toServer.tail().insert(toServer.tail().end(), plain.begin(), plain.end());
  }
  return true;
}

bool TakeFromServer(int server, TlsClient* tls, Queue& toClient, Queue& toServer) {
  std::uint8_t buffer[kChunk];
  const ssize_t got = ::recv(server, buffer, sizeof buffer, 0);
  if (got < 0) return errno == EAGAIN || errno == EINTR;
  if (got == 0) return false;
  const std::span<const std::uint8_t> raw(buffer, std::size_t(got));
  if (!tls) {
    toClient.tail().insert(toClient.tail().end(), raw.begin(), raw.end());
    return true;
  }
  tls->FromServer(raw);
  return tls->Decrypt(toClient.tail(), toServer.tail());
}

// Once the server is gone: what FreeTDS still sends is read and dropped until it closes
// its end (or the relay is stopped), so none of its writes is ever refused.
void DrainDriver(Link& link, int client) {
  std::uint8_t buffer[kChunk];
  for (;;) {
    pollfd fds[2] = {{client, POLLIN, 0}, {link.wake.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[1].revents != 0) return;
    const ssize_t got = ::recv(client, buffer, sizeof buffer, 0);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

// Until FreeTDS closes, or the server does and FreeTDS has everything it sent.
void Pump(Link& link, int client) {
  const int server = link.server.server.get();
  TlsClient* tls = link.server.tls.get();
  Queue toClient, toServer;
  bool serverOpen = true;
  for (;;) {
    const short fromClient = toServer.size() < kBuffered ? POLLIN : 0;
    const short fromServer = toClient.size() < kBuffered ? POLLIN : 0;
    pollfd fds[3] = {
        {client, short(fromClient | (toClient.empty() ? 0 : POLLOUT)), 0},
        {serverOpen ? server : -1, short(fromServer | (toServer.empty() ? 0 : POLLOUT)), 0},
        {link.wake.get(), POLLIN, 0}};
    if (::poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[2].revents != 0) return;
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) && !TakeFromDriver(client, tls, toServer))
      return;
    if ((fds[1].revents & (POLLIN | POLLHUP | POLLERR)) &&
        !TakeFromServer(server, tls, toClient, toServer)) {
      serverOpen = false;
    }
    if ((fds[0].revents & POLLOUT) && !toClient.SendSome(client)) return;
    if (serverOpen && (fds[1].revents & POLLOUT) && !toServer.SendSome(server)) serverOpen = false;
    if (!serverOpen && toClient.empty()) {
      // FreeTDS 1.3 holds an sp_executesql request's first packets back and sends them
      // in a row; when one of those writes is refused, it puts the packet it is still
      // filling into its cache (or frees it) and goes on writing into it, which ends in
      // "double free or corruption". So it gets an end of stream it reads as a lost
      // link, never a reset while it writes.
      ::shutdown(client, SHUT_WR);
      DrainDriver(link, client);
      return;
    }
  }
}

void Serve(Link& link) {
  // Held past the catch: FreeTDS must not see its connection end before the
  // cause is recorded, or the open could report its own words instead.
  Fd client;
  try {
    client = AcceptOwn(link);
    link.listener.Reset();
    if (!client) return;
    AnswerDriver(link, client.get());
    Pump(link, client.get());
  } catch (const std::exception& e) {
    Relays().Fail(link.port, e.what());
  }
  link.listener.Reset();
  link.server.server.Reset();
}

}  // namespace

int StartRelay(const RelayTarget& target, Clock::time_point deadline) {
  auto link = std::make_unique<Link>();
  link->server = Negotiate(target, deadline);
  link->listener = Listen(link->port);
  link->wake = Fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!link->wake) throw Error(std::string("cannot start the relay: ") + std::strerror(errno));
  link->deadline = deadline;
  const int port = link->port;
  Relays().Start(std::move(link), &Serve);
  return port;
}

std::string RelayFailure(int loopbackPort) { return Relays().Failure(loopbackPort); }

}  // namespace cardsync::db
