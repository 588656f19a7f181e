// Writes with write(2) on the descriptor rather than through iostreams: one call per
// line keeps it whole even against another process sharing the descriptor, and the
// journal check must look at the descriptor anyway. std::cout and std::cerr are
// flushed first, so lines written through them earlier keep their place.
#include "base/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <iostream>
#include <mutex>

namespace cardsync::console {
namespace {

constexpr char kErrorPrefix[] = "cardsync: error: ";
constexpr char kWarningPrefix[] = "cardsync: warning: ";
constexpr char kJournalVariable[] = "JOURNAL_STREAM";

std::mutex& LineMutex() {
  static std::mutex mutex;
  return mutex;
}

int PriorityOf(Kind kind) {
  switch (kind) {
    case Kind::Failed:
      return 3;
    case Kind::Skipped:
    case Kind::Warning:
      return 4;
    case Kind::Done:
      break;
  }
  return 6;
}

int DescriptorOf(Kind kind) { return kind == Kind::Done ? STDOUT_FILENO : STDERR_FILENO; }

// Whole-number text of an unsigned value, nothing else around it.
bool ParseWhole(std::string_view text, unsigned long long& value) {
  if (text.empty()) return false;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size();
}

void WriteAll(int fd, const std::string& line) {
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // nowhere left to say it
    written += std::size_t(n);
  }
}

std::string Prefixed(Kind kind, std::string_view text) {
  std::string line;
  if (kind == Kind::Failed) line += kErrorPrefix;
  if (kind == Kind::Warning) line += kWarningPrefix;
  line.append(text);
  return line;
}

// The line as written: `text` as it stands, the priority in front when `journal`, and
// the newline.
std::string AsWritten(Kind kind, std::string_view text, bool journal) {
  std::string line;
  if (journal) line += "<" + std::to_string(PriorityOf(kind)) + ">";
  line.append(text);
  line += '\n';
  return line;
}

void WriteLocked(int fd, Kind kind, std::string_view text) {
  std::cout.flush();
  std::cerr.flush();
  WriteAll(fd, AsWritten(kind, text, IsJournal(fd, std::getenv(kJournalVariable))));
}

void WriteTo(std::ostream& stream, Kind kind, std::string_view text) {
  const std::lock_guard lock(LineMutex());
  if (&stream == &std::cout) return WriteLocked(STDOUT_FILENO, kind, text);
  if (&stream == &std::cerr) return WriteLocked(STDERR_FILENO, kind, text);
  stream << AsWritten(kind, text, false) << std::flush;
}

}  // namespace

bool IsJournal(int fd, const char* journalStream) {
  if (journalStream == nullptr) return false;
  const std::string_view value(journalStream);
  const std::size_t colon = value.find(':');
  if (colon == std::string_view::npos) return false;
  unsigned long long device = 0;
  unsigned long long inode = 0;
  if (!ParseWhole(value.substr(0, colon), device) || !ParseWhole(value.substr(colon + 1), inode))
    return false;
  struct stat info {};
  if (::fstat(fd, &info) != 0) return false;
  return static_cast<unsigned long long>(info.st_dev) == device &&
         static_cast<unsigned long long>(info.st_ino) == inode;
}

std::string LineText(Kind kind, std::string_view text, bool journal) {
  return AsWritten(kind, Prefixed(kind, text), journal);
}

void Write(Kind kind, std::string_view text) {
  const std::lock_guard lock(LineMutex());
  WriteLocked(DescriptorOf(kind), kind, Prefixed(kind, text));
}

void Done(std::string_view text) { Write(Kind::Done, text); }
void Failed(std::string_view text) { Write(Kind::Failed, text); }
void Skipped(std::string_view text) { Write(Kind::Skipped, text); }
void Warning(std::string_view text) { Write(Kind::Warning, text); }

void Write(std::ostream& stream, Kind kind, std::string_view text) {
  WriteTo(stream, kind, Prefixed(kind, text));
}

void WriteLogLine(std::ostream& out, std::ostream& err, const Line& line) {
  WriteTo(line.kind == Kind::Done ? out : err, line.kind, line.text);
}

}  // namespace cardsync::console
