// The run history under the faults a file meets on a workstation: overwritten while the
// machine was off, deleted while the program runs, created by two programs at once, and
// a umask that would let others read it. Each ends with a history that records runs.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QDir>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "schedule/history.h"
#include "schedule/history_writer.h"

namespace cardsync::schedule {
namespace {

const Target kTarget{"db", 1433, "reporting"};

long long RecordRun(History& history) {
  return history.BeginRun(jobs::JobKind::Transfer, 45000, Trigger::Scheduled, 45000.1, kTarget);
}

int ModeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

struct Fault {
  const char* name;
  // Done to the file (at `path`) between a first History and a second one; `first`
  // is still open when `whileOpen` is true.
  bool whileOpen;
  void (*harm)(const std::string& path);
  const char* warned;  // a piece of the warning it earns
  bool keptAside;      // the damaged file kept beside the new one
};

TEST(HistoryHealing, ADamagedOrDeletedFileIsReplacedAndRecordsAgain) {
  const Fault faults[] = {
      {"overwritten while off", false,
       [](const std::string& path) {
         for (const char* companion : {"-wal", "-shm"}) std::remove((path + companion).c_str());
         std::ofstream(path, std::ios::trunc) << std::string(8192, 'x');
       },
       "moved aside", true},
      {"deleted while running", true,
       [](const std::string& path) {
         for (const char* companion : {"", "-wal", "-shm"}) std::remove((path + companion).c_str());
       },
       "was deleted", false},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    QTemporaryDir dir;
    const std::string path = dir.filePath("history.sqlite").toStdString();
    std::vector<std::string> warnings;
    const auto warn = [&warnings](const std::string& text) { warnings.push_back(text); };
    auto first = std::make_unique<History>(path, warn);
    ASSERT_GT(RecordRun(*first), 0);
    if (!fault.whileOpen) first.reset();
    fault.harm(path);
    History& history = fault.whileOpen ? *first : *(first = std::make_unique<History>(path, warn));
    EXPECT_GT(RecordRun(history), 0);
    EXPECT_EQ(history.Runs(0, kTarget).size(), 1u);  // the new file holds the new run
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(path)));
    ASSERT_FALSE(warnings.empty());
    EXPECT_NE(warnings.back().find(fault.warned), std::string::npos) << warnings.back();
    const QStringList aside = QDir(dir.path()).entryList({"history.sqlite.corrupt-*"});
    EXPECT_EQ(aside.size(), fault.keptAside ? 1 : 0);
  }
}

TEST(HistoryHealing, ProgramsCreatingOneFileAtOnceAllKeepIt) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("new/history.sqlite").toStdString();
  std::atomic<int> ready{0}, opened{0}, warned{0};
  std::vector<std::thread> starts;
  for (int i = 0; i < 6; ++i) {
    starts.emplace_back([&] {
      ++ready;
      while (ready < 6) std::this_thread::yield();
      History history(path, [&warned](const std::string&) { ++warned; });
      if (history.Open() && RecordRun(history) > 0) ++opened;
    });
  }
  for (std::thread& start : starts) start.join();
  EXPECT_EQ(opened, 6);
  EXPECT_EQ(warned, 0);
}

TEST(HistoryHealing, FolderAndFilesArePrivateWhateverTheUmask) {
  QTemporaryDir dir;
  const std::string folder = dir.filePath("state/cardsync").toStdString();
  const mode_t before = ::umask(0);
  {
    History history(folder + "/history.sqlite", {});
    ASSERT_GT(RecordRun(history), 0);
    EXPECT_EQ(ModeOf(folder), 0700);
    for (const char* file : {"history.sqlite", "history.sqlite-wal", "history.sqlite-shm"})
      EXPECT_EQ(ModeOf(folder + "/" + file), 0600) << file;
  }
  ::umask(before);
}

// Another program holding the history's write lock (a --run recording its own run, a
// backup tool) delays the scheduler's records; they land once it lets go, in order, and
// no call waits for it meanwhile.
TEST(HistoryHealing, RecordsWrittenWhileTheFileIsLockedLandOnceItIsFree) {
  QTemporaryDir dir;
  const std::string path = dir.filePath("history.sqlite").toStdString();
  std::vector<std::string> said;
  std::mutex saidMutex;
  HistoryWriter writer(path, [&](const std::string& text) {
    std::lock_guard<std::mutex> lock(saidMutex);
    said.push_back(text);
  });
  writer.RecordFirstStart(kTarget, 45000);
  ASSERT_TRUE(writer.Settle(60000));  // open, as a scheduler's writer is long before a run
  QSqlDatabase other =
      QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("other"));
  other.setDatabaseName(QString::fromStdString(path));
  ASSERT_TRUE(other.open());
  QSqlQuery hold(other);
  ASSERT_TRUE(hold.exec(QStringLiteral("BEGIN EXCLUSIVE")));
  {
    jobs::JobOutcome done;
    done.inserted = 3;
    const auto run =
        writer.BeginRun(jobs::JobKind::Transfer, 45000, Trigger::Scheduled, 45000.1, kTarget);
    writer.EndRun(run, 45000.2, done);
    // Held past a try's own wait: the record waits for the lock, and so did not we.
    EXPECT_FALSE(writer.Settle(HistoryWriter::kBusyMs * 5 / 2));
    ASSERT_TRUE(hold.exec(QStringLiteral("COMMIT")));
    EXPECT_TRUE(writer.Settle(60000));
  }
  hold = QSqlQuery();
  other.close();
  other = QSqlDatabase();
  QSqlDatabase::removeDatabase(QStringLiteral("other"));
  const std::vector<RunRow> runs = History(path, {}).Runs(0, kTarget);
  ASSERT_EQ(runs.size(), 1u);
  EXPECT_EQ(runs[0].outcome, "done");
  EXPECT_EQ(runs[0].inserted, 3);
  std::lock_guard<std::mutex> lock(saidMutex);
  const auto mentions = [&](const char* piece) {
    return std::count_if(said.begin(), said.end(), [piece](const std::string& text) {
      return text.find(piece) != std::string::npos;
    });
  };
  EXPECT_EQ(mentions("waits"), 1);  // said once, not at every try
  EXPECT_EQ(mentions("can be written again"), 1);
}

}  // namespace
}  // namespace cardsync::schedule
