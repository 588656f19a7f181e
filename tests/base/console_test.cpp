// The terminal line writer: when a descriptor is taken for the journal, what each kind
// of line looks like there and elsewhere, and that lines from many threads stay whole.
#include "base/console.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace cardsync::console {
namespace {

std::string DeviceInode(int fd, long long inodeShift = 0) {
  struct stat info {};
  EXPECT_EQ(::fstat(fd, &info), 0);
  return std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino + inodeShift);
}

TEST(Console, JournalIsTheDescriptorJournalStreamNames) {
  char name[] = "/tmp/console-test-XXXXXX";  // a scratch file of the test's own
  const int fd = ::mkstemp(name);
  ASSERT_GE(fd, 0);
  ::unlink(name);
  const int other = ::dup(STDIN_FILENO);
  struct Row {
    const char* what;
    std::string value;
    bool unset;
    int fd;
    bool journal;
  };
  const Row rows[] = {
      {"unset: a terminal or a file", "", true, fd, false},
      {"the descriptor's own device and inode", DeviceInode(fd), false, fd, true},
      {"another inode: stdout redirected away from the journal", DeviceInode(fd, 1), false, fd,
       false},
      {"another descriptor than the one named", DeviceInode(fd), false, other, false},
      {"no colon", "12345", false, fd, false},
      {"an empty inode", DeviceInode(fd).substr(0, DeviceInode(fd).find(':') + 1), false, fd,
       false},
      {"trailing text after the inode", DeviceInode(fd) + "x", false, fd, false},
      {"a closed descriptor", DeviceInode(fd), false, 9999, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(IsJournal(row.fd, row.unset ? nullptr : row.value.c_str()), row.journal);
  }
  ::close(fd);
  ::close(other);
}

TEST(Console, EachKindHasItsPrefixAndPriority) {
  struct Row {
    Kind kind;
    bool journal;
    const char* line;
  };
  const Row rows[] = {
      {Kind::Done, false, "ran\n"},
      {Kind::Done, true, "<6>ran\n"},
      {Kind::Failed, false, "cardsync: error: ran\n"},
      {Kind::Failed, true, "<3>cardsync: error: ran\n"},
      {Kind::Skipped, false, "ran\n"},
      {Kind::Skipped, true, "<4>ran\n"},
      {Kind::Warning, false, "cardsync: warning: ran\n"},
      {Kind::Warning, true, "<4>cardsync: warning: ran\n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    EXPECT_EQ(LineText(row.kind, "ran", row.journal), row.line);
  }
}

// Lines to stderr from many threads at once: each arrives whole, none lost.
TEST(Console, LinesFromManyThreadsStayWhole) {
  char name[] = "/tmp/console-lines-XXXXXX";
  const int file = ::mkstemp(name);
  ASSERT_GE(file, 0);
  const int savedStderr = ::dup(STDERR_FILENO);
  ASSERT_EQ(::dup2(file, STDERR_FILENO), STDERR_FILENO);
  constexpr int kThreads = 8;
  constexpr int kLines = 200;
  const std::string payload(300, 'x');
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t, &payload] {
        for (int i = 0; i < kLines; ++i) Warning(std::to_string(t) + " " + payload);
      });
    }
  }
  ::dup2(savedStderr, STDERR_FILENO);
  ::close(savedStderr);
  ::close(file);
  std::ifstream in(name);
  ::unlink(name);
  int count = 0;
  for (std::string line; std::getline(in, line); ++count) {
    ASSERT_TRUE(line.starts_with("cardsync: warning: ")) << line;
    ASSERT_TRUE(line.ends_with(" " + payload)) << line;
  }
  EXPECT_EQ(count, kThreads * kLines);
}

// A stream handed in that is no terminal stream gets the plain line.
TEST(Console, OtherStreamsGetThePlainLine) {
  std::ostringstream out;
  Write(out, Kind::Warning, "history cannot be opened");
  EXPECT_EQ(out.str(), "cardsync: warning: history cannot be opened\n");
}

}  // namespace
}  // namespace cardsync::console
