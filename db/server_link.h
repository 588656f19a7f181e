// The TCP link under FreeTDS's ODBC driver, seen from outside the driver: which of
// the process's sockets it is, whether the server has closed its end, and a watch
// that cuts a wait inside the driver short (a deadline passed, or a stop asked for)
// by shutting that socket down, which every wait in the driver notices at once.
// The driver's time-outs bound each of its waits, not an open or a request as a
// whole; Qt's set-up statements after the login have none, and after a query
// time-out the driver waits as long again for the answer to its cancel. Nothing
// in the ODBC API ends such a wait from another thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace cardsync::db {

class ServerLink {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Cut { None, TimedOut, Stopped };

  ServerLink() = default;
  ~ServerLink();
  ServerLink(const ServerLink&) = delete;
  ServerLink& operator=(const ServerLink&) = delete;

  // Raised by another thread (a signal handler, the window): a wait going on then
  // is cut short a moment later, which lets an answer already on its way arrive.
  void SetStop(const std::atomic<bool>* stop);
  bool StopAsked() const;

  // While a Connecting lives the connection is being opened: the sockets the
  // process had before are noted, so that those of the connection can be told
  // apart, and one connect at a time runs in the process.
  class Connecting {
   public:
    ~Connecting();
    Connecting(const Connecting&) = delete;
    Connecting& operator=(const Connecting&) = delete;
    // After a successful open: takes the one new TCP socket connected to `port`
    // (the driver's) as the link. False when there is none or more than one (then
    // no socket is watched).
    bool Identify(int port);

   private:
    friend class ServerLink;
    Connecting(ServerLink& link, Clock::time_point deadline);
    ServerLink& link_;
    bool ownTurn_ = false;  // this connect holds the process's one turn to connect
  };
  // Waits for another connect of the process until `deadline` at most.
  Connecting BeginConnect(Clock::time_point deadline);
  // The connection is closed: nothing is watched any more, and a cut is forgotten.
  void Forget();

  // True when the server has closed its end of the link (its FIN or RST arrived)
  // or the socket is gone. False while no link is known.
  bool PeerClosed() const;

  // While a Wait lives, the link (during a connect: every TCP socket opened since,
  // connected or connecting) is shut down once `limit` has passed (zero: no
  // limit) or a stop has been asked for.
  class Wait {
   public:
    ~Wait();
    Wait(const Wait&) = delete;
    Wait& operator=(const Wait&) = delete;

   private:
    friend class ServerLink;
    explicit Wait(ServerLink& link) : link_(link) {}
    ServerLink& link_;
  };
  Wait Arm(std::chrono::milliseconds limit);
  // Why the link was shut down, None while it was not.
  Cut LastCut() const;

 private:
  struct Socket {
    int fd;
    ino_t inode;
  };
  void Watch();
  void FireLocked(Cut why);
  bool Current(const Socket& socket) const;
  // TCP sockets opened since the connect began, not listening; with `port`, only
  // those connected to it.
  std::vector<Socket> NewSockets(std::optional<int> port) const;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::thread watcher_;
  bool quit_ = false;
  const std::atomic<bool>* stop_ = nullptr;
  std::optional<Clock::time_point> stopSeen_;
  int armed_ = 0;
  std::optional<Clock::time_point> deadline_;
  Cut cut_ = Cut::None;
  bool connecting_ = false;
  std::vector<Socket> before_;
  std::optional<Socket> link_;
};

}  // namespace cardsync::db
