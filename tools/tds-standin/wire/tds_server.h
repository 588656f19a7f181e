// The listening side of the stand-in: binds 127.0.0.1, runs one thread per
// client connection, and serves each through the engine until the client
// leaves or the server is told to stop.
#pragma once

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine.h"
#include "tds_log.h"
#include "tds_tls.h"

namespace standin::tds {

struct ServerOptions {
  std::string user;
  std::string password;
  std::string database = "reporting";
  int port = 0;            // 0: any free port
  int delayMs = 0;         // before every reply
  int dropAfter = 0;       // close a connection after answering its N-th request (0: never)
  int trickleMs = 0;       // send result rows one packet each, this far apart (0: all at once)
  bool hangLogin = false;  // accept connections and never answer
  std::shared_ptr<TlsContext> tls;  // set: every connection is encrypted, plain clients are refused
  int maxConnections = 256;         // further clients are accepted and closed at once
  int preloginTimeoutMs = 30000;    // a client not logged in by then is closed
};

class Server {
 public:
  Server(Engine& engine, ServerOptions options, EventLog& log);
  ~Server();  // stops the connections still open
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Binds and listens; returns the port. Throws std::runtime_error.
  int Listen();
  // Accepts and serves until stopFd becomes readable.
  void Run(int stopFd);

 private:
  struct Worker {
    int fd = -1;
    std::thread thread;
    std::atomic<bool> done{false};
  };
  void Reap(bool all);
  // After accept() failed for want of descriptors or memory: waits, longer
  // each time in a row, so a full descriptor table does not spin a core.
  // False when stopFd fired meanwhile.
  bool BackOff(int stopFd, int error);

  Engine& engine_;
  ServerOptions options_;
  EventLog& log_;
  int listenFd_ = -1;
  std::mutex sessionMutex_;  // NewSession calls are serialised
  std::list<std::unique_ptr<Worker>> workers_;
  uint16_t nextSpid_ = 51;
  int backOffMs_ = 0;
};

}  // namespace standin::tds
