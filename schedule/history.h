// The run history: one SQLite row per run (job, run day, trigger, start, end, outcome,
// counts, skipped records, message, target), written at the run's start and completed
// at its end. Nothing here ever stops a run: a failure is a warning, and the caller
// goes on without the row.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "clock/datetime.h"
#include "jobs/outcome.h"
#include "schedule/owed.h"
#include "schedule/settings.h"

class QSqlDatabase;
class QSqlQuery;
class QString;

namespace cardsync::schedule {

struct RunRow {
  long long id = 0;
  jobs::JobKind job = jobs::JobKind::Transfer;
  long long runDay = 0;
  Trigger trigger = Trigger::Scheduled;
  DateTime started = 0;
  std::optional<DateTime> ended;
  std::string outcome;  // "running", "done", "could not connect", "failed", "interrupted"
  int read = 0, inserted = 0, updated = 0, skipped = 0;
  std::string skippedRecords;  // "order_id: reason" lines, as older versions read them
  std::vector<jobs::SkippedRecord> skippedList;
  std::vector<std::string> warnings;
  std::string message;
  Target target;
  std::string serverDay;  // a transfer: the server's date it selected by, YYYY-MM-DD, or ''

  // The run's outcome as the job returned it, skip reasons included ("running" reads as
  // done: check `ended`).
  jobs::JobOutcome Outcome() const;
};

std::string_view JobName(jobs::JobKind kind);  // "transfer", "totals"
std::string OutcomeName(jobs::JobOutcome::Status status);

// One open history file. Qt SQL connections belong to the thread that opened them, so
// each History gets a connection name of its own and is used on the thread that made it.
class History {
 public:
  using Warn = std::function<void(const std::string&)>;

  // Opens (creating folders and file) and brings the schema up to date; on failure
  // warns and every later call does nothing.
  // `busyMs`: how long one statement waits for another program's lock before it fails.
  History(const std::string& path, Warn warn, int busyMs = kBusyMs);
  static constexpr int kBusyMs = 5000;
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  bool Open() const { return open_; }
  const std::string& Path() const { return path_; }

  // How the last write call (BeginRun, EndRun, FirstStart's record, MoveFirstStart,
  // CloseLeftRunning, UnsettleAfter) went: a busy file is another process's lock, which
  // passes; a failed write may pass too (a folder made writable, a file re-made). Each
  // write is safe to repeat.
  enum class WriteState { Landed, Busy, Failed };
  WriteState LastWrite() const { return lastWrite_; }

  // The row of a run that starts now; its id, or 0 when it could not be written.
  long long BeginRun(jobs::JobKind job, long long runDay, Trigger trigger, DateTime started,
                     const Target& target);
  void EndRun(long long id, DateTime ended, const jobs::JobOutcome& outcome);

  // Runs started at or after `since`, oldest first; all targets when `target` is empty.
  std::vector<RunRow> Runs(DateTime since, const std::optional<Target>& target);
  // Rows of `job` for `target` still marked running: ids, oldest first.
  std::vector<long long> RunningRuns(jobs::JobKind job, const Target& target);
  // Days of `job` from `fromDay` on that a run able to settle them ended done for.
  std::set<long long> SettledDays(jobs::JobKind job, const Target& target, long long fromDay);

  // When a scheduler first ran for `target`; recorded on first call.
  DateTime FirstStart(const Target& target, DateTime now);
  // The recorded first start, read only; none when nothing is recorded or readable.
  std::optional<DateTime> RecordedFirstStart(const Target& target);
  // Records `when` as the first start unless one is recorded.
  void RecordFirstStart(const Target& target, DateTime when);
  // The first start set back to `when` (it had been recorded by a clock running ahead).
  void MoveFirstStart(const Target& target, DateTime when);
  // Rows of `target` still "running" closed as interrupted at `when`, saying the program
  // ended during the run; for whoever holds the target's job lock, with which no other
  // run can be live. How many.
  int CloseLeftRunning(const Target& target, DateTime when, const std::string& foundBy);
  // Runs of `job` that settled days after `day` are marked "done early" (made while the
  // clock ran ahead) and settle nothing; how many.
  int UnsettleAfter(jobs::JobKind job, const Target& target, long long day);

 private:
  enum class Opening { Opened, Corrupt, Busy, Failed };
  // Opens the file, made 0600 in a folder made 0700 when missing; a damaged file is
  // moved aside and a new one started. False (after a warning) when it cannot be had.
  bool OpenFile();
  Opening Connect(const QString& file);
  Opening Migrate(QSqlDatabase& db);
  void Disconnect();
  bool MoveAside(std::string& movedTo);
  // Before a write: the file is still the one opened, else a new one is started.
  bool Usable();
  void Fail(const std::string& what, const std::string& error);
  // Runs a write; on failure records why in lastWrite_ and warns.
  bool Write(QSqlQuery& query);

  std::string path_;
  std::string connection_;
  Warn warn_;
  bool open_ = false;
  bool driverFound_ = false;
  ino_t inode_ = 0;
  WriteState lastWrite_ = WriteState::Landed;
  int busyMs_ = kBusyMs;
};

}  // namespace cardsync::schedule
