// The one way cardsync writes a line to its terminal: what was done to stdout,
// failures, skipped records and warnings to stderr. Under systemd the output is the
// journal, which reads a "<N>" at the start of a line as its syslog priority
// (sd-daemon.h); a terminal or a file gets the plain line.
//
// Thread-safe: every line is written whole under one mutex, so lines from the
// scheduler's workers and the main thread never interleave.
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>

namespace cardsync::console {

enum class Kind {
  Done,     // stdout, no prefix; journal priority 6 (info)
  Failed,   // stderr, "cardsync: error: "; priority 3 (err)
  Skipped,  // stderr, no prefix (the line names the record and why); priority 4 (warning)
  Warning,  // stderr, "cardsync: warning: "; priority 4 (warning)
};

// Whether the descriptor `fd` is the journal: `journalStream` (the value of
// JOURNAL_STREAM, null when unset) is "device:inode" and names what fstat(fd) finds.
// systemd sets it for the unit's own stdout and stderr only, so a descriptor
// redirected elsewhere (a pipe, a file) is not taken for the journal.
bool IsJournal(int fd, const char* journalStream);

// The text written for one line of `kind`, newline included; with the priority in
// front when `journal`.
std::string LineText(Kind kind, std::string_view text, bool journal);

// Writes one line of `kind` to its stream (stdout or stderr), with the priority when
// that stream is the journal. The stream is flushed, so the line is out before a crash.
void Write(Kind kind, std::string_view text);
void Done(std::string_view text);
void Failed(std::string_view text);
void Skipped(std::string_view text);
void Warning(std::string_view text);

// For code that is handed its streams (the command-line runs, tests): std::cout and
// std::cerr go through Write's descriptors and journal check; any other stream gets
// the plain line, under the same mutex.
void Write(std::ostream& stream, Kind kind, std::string_view text);

// A line of a job's log or a report (jobs/outcome.h, --check, --verify) with its kind.
struct Line {
  Kind kind = Kind::Done;
  std::string text;
};

// As Write(stream, kind, text), without the "cardsync: error: " or "cardsync: warning: "
// prefix: a log line's stamp and words already say what it is, and it reads as the
// window's log does. Done goes to `out`, every other kind to `err`.
void WriteLogLine(std::ostream& out, std::ostream& err, const Line& line);

}  // namespace cardsync::console
