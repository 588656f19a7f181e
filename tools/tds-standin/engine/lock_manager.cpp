// The lock table and its waits. A waiter wakes whenever any lock is released
// and at least every 50 ms, so that a client's cancel (polled through the
// wait's callback, outside the lock table's mutex) ends the wait promptly.
#include "lock_manager.h"

#include <chrono>
#include <unordered_set>
#include <vector>

namespace standin {
namespace {

constexpr std::chrono::milliseconds kPollEvery{50};

bool Conflicts(LockManager::Mode a, LockManager::Mode b) {
  return a == LockManager::Mode::Exclusive || b == LockManager::Mode::Exclusive;
}

}  // namespace

bool LockManager::Grantable(int session, const std::string& resource, Mode mode) const {
  auto it = held_.find(resource);
  if (it == held_.end()) return true;
  for (const auto& [owner, held] : it->second)
    if (owner != session && Conflicts(held, mode)) return false;
  return true;
}

// True when following "waits for a holder of" from session leads back to it.
bool LockManager::WaitsOnItself(int session) const {
  std::vector<int> stack{session};
  std::unordered_set<int> seen;
  while (!stack.empty()) {
    int s = stack.back();
    stack.pop_back();
    auto w = waiting_.find(s);
    if (w == waiting_.end()) continue;
    auto h = held_.find(w->second.resource);
    if (h == held_.end()) continue;
    for (const auto& [owner, held] : h->second) {
      if (owner == s || !Conflicts(held, w->second.mode)) continue;
      if (owner == session) return true;
      if (seen.insert(owner).second) stack.push_back(owner);
    }
  }
  return false;
}

LockManager::Outcome LockManager::Acquire(int session, const std::string& resource, Mode mode,
                                          const Wait& wait) {
  using Clock = std::chrono::steady_clock;
  const auto deadline =
      Clock::now() + std::chrono::milliseconds(wait.timeoutMs < 0 ? 0 : wait.timeoutMs);
  std::unique_lock lock(mu_);
  auto grant = [&] {
    waiting_.erase(session);
    Mode& held = held_[resource].try_emplace(session, mode).first->second;
    if (mode == Mode::Exclusive) held = Mode::Exclusive;
    return Outcome::Granted;
  };
  if (Grantable(session, resource, mode)) return grant();
  if (wait.timeoutMs == 0) return Outcome::TimedOut;
  waiting_[session] = Request{resource, mode};
  for (;;) {
    if (WaitsOnItself(session)) {
      waiting_.erase(session);
      return Outcome::Deadlock;
    }
    auto until = Clock::now() + kPollEvery;
    if (wait.timeoutMs > 0 && deadline < until) until = deadline;
    changed_.wait_until(lock, until);
    if (Grantable(session, resource, mode)) return grant();
    if (wait.timeoutMs > 0 && Clock::now() >= deadline) {
      waiting_.erase(session);
      return Outcome::TimedOut;
    }
    if (wait.cancelled) {
      lock.unlock();
      bool cancelled = wait.cancelled();
      lock.lock();
      if (cancelled) {
        waiting_.erase(session);
        return Outcome::Cancelled;
      }
    }
  }
}

void LockManager::ReleaseShared(int session, const std::string& resource) {
  std::lock_guard lock(mu_);
  auto it = held_.find(resource);
  if (it == held_.end()) return;
  auto mine = it->second.find(session);
  if (mine == it->second.end() || mine->second != Mode::Shared) return;
  it->second.erase(mine);
  if (it->second.empty()) held_.erase(it);
  changed_.notify_all();
}

void LockManager::ReleaseAll(int session) {
  std::lock_guard lock(mu_);
  for (auto it = held_.begin(); it != held_.end();) {
    it->second.erase(session);
    it = it->second.empty() ? held_.erase(it) : std::next(it);
  }
  changed_.notify_all();
}

}  // namespace standin
