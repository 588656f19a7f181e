// Locks between sessions as SQL Server takes them, at table granularity: a
// shared lock for a read, an exclusive one for a write, a wait for what another
// session holds, a time-out, and a deadlock found when a wait would close a
// cycle. One manager serves every session of an engine.
#pragma once

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <unordered_map>

namespace standin {

class LockManager {
 public:
  enum class Mode { Shared, Exclusive };
  enum class Outcome { Granted, TimedOut, Deadlock, Cancelled };
  struct Wait {
    int timeoutMs = -1;               // -1: until granted; 0: not at all
    std::function<bool()> cancelled;  // polled while waiting; true ends the wait
  };

  // Takes (or strengthens) session's lock on resource, waiting as told. A
  // request that would close a cycle of waits is refused at once as the
  // deadlock's victim.
  Outcome Acquire(int session, const std::string& resource, Mode mode, const Wait& wait);
  // Drops session's shared lock on resource; an exclusive one stays.
  void ReleaseShared(int session, const std::string& resource);
  // Drops every lock of session, as its transaction ends.
  void ReleaseAll(int session);

 private:
  bool Grantable(int session, const std::string& resource, Mode mode) const;
  bool WaitsOnItself(int session) const;

  std::mutex mu_;
  std::condition_variable changed_;
  std::unordered_map<std::string, std::map<int, Mode>> held_;
  struct Request {
    std::string resource;
    Mode mode;
  };
  std::unordered_map<int, Request> waiting_;
};

}  // namespace standin
