// The scheduler's writes to the run history, made on a thread of their own in the order
// they were asked for, each tried again until it lands: a history another process keeps
// locked for minutes delays the record but neither the scheduler nor the record's loss.
//
// Threading: every public function is called from one thread (the scheduler's); `trouble`
// is called on the writer's own thread and must pass its text on by itself.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "clock/datetime.h"
#include "jobs/outcome.h"
#include "schedule/history.h"
#include "schedule/owed.h"
#include "schedule/settings.h"

namespace cardsync::schedule {

class HistoryWriter {
 public:
  using Trouble = std::function<void(const std::string&)>;
  // A run's row as this writer knows it before the file gave it an id.
  using Ticket = long long;

  // Opens the history at `path` on the writer thread. `trouble` hears, once per cause,
  // why the file cannot be opened or written, and when a write waits for it.
  HistoryWriter(std::string path, Trouble trouble);
  // Waits up to kFinalWaitMs for the writes asked for; what is left then is said on
  // stderr (the caller's own outputs may be gone by now) and lost.
  ~HistoryWriter();
  HistoryWriter(const HistoryWriter&) = delete;
  HistoryWriter& operator=(const HistoryWriter&) = delete;

  Ticket BeginRun(jobs::JobKind job, long long runDay, Trigger trigger, DateTime started,
                  const Target& target);
  void EndRun(Ticket run, DateTime ended, const jobs::JobOutcome& outcome);
  void RecordFirstStart(const Target& target, DateTime when);
  void MoveFirstStart(const Target& target, DateTime when);
  void CloseLeftRunning(const Target& target, DateTime when, const std::string& foundBy);
  void UnsettleAfter(jobs::JobKind job, const Target& target, long long day);

  // True once every write asked for so far has landed, within `waitMs`.
  bool Settle(int waitMs);

  static constexpr int kFinalWaitMs = 3000;
  // Waits between tries of a write that did not land: doubling up to the last.
  static constexpr int kFirstRetryMs = 500;
  static constexpr int kLongestRetryMs = 30000;
  static constexpr int kBusyMs = 1000;  // one try's wait for another program's lock

 private:
  using Write = std::function<History::WriteState(History&)>;
  void Enqueue(Write write);
  void Loop();
  // Runs `write` until it lands or the writer stops; true when it landed.
  bool Land(History& history, const Write& write);
  void Say(const std::string& text);

  const std::string path_;
  const Trouble trouble_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Write> queue_;  // the write in progress stays at the front until it lands
  bool stopping_ = false;
  Ticket nextTicket_ = 0;
  std::map<Ticket, long long> rowIds_;  // writer thread only
  std::set<std::string> said_;          // writer thread only: each cause once until a write lands
  std::thread thread_;
};

}  // namespace cardsync::schedule
