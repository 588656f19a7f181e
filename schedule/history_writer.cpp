// One std::thread with its own History (a Qt SQL connection belongs to the thread that
// made it) and a queue. The write at the front stays there until it lands, so the
// records keep their order: a run's end never lands before its start.
#include "schedule/history_writer.h"

#include <algorithm>
#include <chrono>
#include <iostream>

namespace cardsync::schedule {

using State = History::WriteState;

HistoryWriter::HistoryWriter(std::string path, Trouble trouble)
    : path_(std::move(path)), trouble_(std::move(trouble)), thread_([this] { Loop(); }) {}

HistoryWriter::~HistoryWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  thread_.join();
  if (!queue_.empty()) {
    std::cerr << "cardsync: error: run history " << path_ << ": " << queue_.size()
              << " record(s) could not be written before the program ended\n";
  }
}

void HistoryWriter::Enqueue(Write write) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.push_back(std::move(write));
  }
  changed_.notify_all();
}

HistoryWriter::Ticket HistoryWriter::BeginRun(jobs::JobKind job, long long runDay, Trigger trigger,
                                              DateTime started, const Target& target) {
  const Ticket run = ++nextTicket_;
  Enqueue([this, run, job, runDay, trigger, started, target](History& history) {
    const long long id = history.BeginRun(job, runDay, trigger, started, target);
    if (history.LastWrite() == State::Landed) rowIds_[run] = id;
    return history.LastWrite();
  });
  return run;
}

void HistoryWriter::EndRun(Ticket run, DateTime ended, const jobs::JobOutcome& outcome) {
  Enqueue([this, run, ended, outcome](History& history) {
    const auto row = rowIds_.find(run);
    if (row == rowIds_.end()) return State::Landed;  // its start was given up: nothing to end
    history.EndRun(row->second, ended, outcome);
    if (history.LastWrite() == State::Landed) rowIds_.erase(row);
    return history.LastWrite();
  });
}

void HistoryWriter::RecordFirstStart(const Target& target, DateTime when) {
  Enqueue([target, when](History& history) {
    history.RecordFirstStart(target, when);
    return history.LastWrite();
  });
}

void HistoryWriter::MoveFirstStart(const Target& target, DateTime when) {
  Enqueue([target, when](History& history) {
    history.MoveFirstStart(target, when);
    return history.LastWrite();
  });
}

void HistoryWriter::CloseLeftRunning(const Target& target, DateTime when,
                                     const std::string& foundBy) {
  Enqueue([target, when, foundBy](History& history) {
    history.CloseLeftRunning(target, when, foundBy);
    return history.LastWrite();
  });
}

void HistoryWriter::UnsettleAfter(jobs::JobKind job, const Target& target, long long day) {
  Enqueue([job, target, day](History& history) {
    history.UnsettleAfter(job, target, day);
    return history.LastWrite();
  });
}

bool HistoryWriter::Settle(int waitMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(waitMs),
                           [this] { return queue_.empty(); });
}

void HistoryWriter::Say(const std::string& text) {
  if (!said_.insert(text).second) return;
  if (trouble_) trouble_(text);
}

void HistoryWriter::Loop() {
  // Short waits inside SQLite: the retries here wait longer, and say so.
  History history(
      path_, [this](const std::string& text) { Say(text); }, kBusyMs);
  for (;;) {
    Write write;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
      if (queue_.empty()) return;
      write = queue_.front();
    }
    if (!Land(history, write)) return;  // stopping, and it would not land in time
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.pop_front();
    }
    changed_.notify_all();
  }
}

bool HistoryWriter::Land(History& history, const Write& write) {
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> giveUpAt;
  int waitMs = kFirstRetryMs;
  bool waited = false;
  for (;;) {
    if (write(history) == State::Landed) {
      said_.clear();  // a cause that comes back is said again
      if (waited)
        Say("run history " + path_ + " can be written again; the records that waited are in it");
      said_.clear();
      return true;
    }
    if (!waited) {
      Say("run history " + path_ +
          ": the record waits and is tried again until it is written (runs go on meanwhile)");
      waited = true;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    if (stopping_ && !giveUpAt) giveUpAt = Clock::now() + std::chrono::milliseconds(kFinalWaitMs);
    const auto wakeAt = Clock::now() + std::chrono::milliseconds(waitMs);
    changed_.wait_until(lock, giveUpAt ? std::min(wakeAt, *giveUpAt) : wakeAt,
                        [this, &giveUpAt] { return stopping_ && !giveUpAt; });
    if (stopping_ && !giveUpAt) giveUpAt = Clock::now() + std::chrono::milliseconds(kFinalWaitMs);
    if (giveUpAt && Clock::now() >= *giveUpAt) return false;
    waitMs = std::min(waitMs * 2, kLongestRetryMs);
  }
}

}  // namespace cardsync::schedule
