// Where each mode's lines land: done lines on stdout, failures, skipped records and
// warnings on stderr, each with its syslog priority when that stream is the journal
// (JOURNAL_STREAM names its device:inode), plain otherwise; and --history's table and
// JSON. The executable runs with each stream a pipe of its own, as systemd would
// hand it a journal stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <array>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <regex>

#include "reporting_server.h"

extern char** environ;

namespace {

using cardsync::testing::StandinServer;

enum class Journal { None, Stdout, Stderr };

struct Ran {
  int exitCode = -1;
  std::string out;
  std::string err;
};

// Runs cardsync with `arguments` and the variables `set` over this process's, stdout
// and stderr each a pipe; JOURNAL_STREAM names the pipe `journal` says, or is unset.
// With `stderrTerminal`, stderr is a pseudo-terminal instead, as a person's shell gives.
Ran RunCardsync(const std::vector<std::string>& arguments,
                const std::map<std::string, std::string>& set, Journal journal,
                bool stderrTerminal = false) {
  std::array<int, 2> out{}, err{};
  if (::pipe2(out.data(), O_CLOEXEC) != 0) return {};
  if (stderrTerminal) {
    err[0] = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (err[0] < 0 || ::grantpt(err[0]) != 0 || ::unlockpt(err[0]) != 0) return {};
    err[1] = ::open(::ptsname(err[0]), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (err[1] < 0) return {};
  } else if (::pipe2(err.data(), O_CLOEXEC) != 0) {
    return {};
  }
  std::map<std::string, std::string> variables;
  for (char** each = environ; *each != nullptr; ++each) {
    const std::string text = *each;
    const std::size_t equals = text.find('=');
    if (equals != std::string::npos) variables[text.substr(0, equals)] = text.substr(equals + 1);
  }
  variables.erase("JOURNAL_STREAM");
  for (const auto& [name, value] : set) variables[name] = value;
  if (journal != Journal::None) {
    struct stat info {};
    ::fstat(journal == Journal::Stdout ? out[1] : err[1], &info);
    variables["JOURNAL_STREAM"] = std::to_string(info.st_dev) + ":" + std::to_string(info.st_ino);
  }
  std::vector<std::string> texts;
  for (const auto& [name, value] : variables) texts.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (std::string& text : texts) envp.push_back(text.data());
  envp.push_back(nullptr);
  std::vector<std::string> args{CARDSYNC_PATH};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, CARDSYNC_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  Ran ran;
  if (spawned == 0) {
    // Both read as they fill, so neither pipe blocks the program.
    std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
    std::array<std::string*, 2> into{&ran.out, &ran.err};
    int open = 2;
    while (open > 0 && ::poll(fds.data(), fds.size(), 60000) > 0) {
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
        if (n > 0) {
          into[i]->append(buffer, std::size_t(n));
        } else {
          fds[i].fd = -1;
          --open;
        }
      }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    ran.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  ::close(out[0]);
  ::close(err[0]);
  return ran;
}

// A settings file, the state folders and the server for one program run or several.
class Deployment {
 public:
  explicit Deployment(int port) {
    settings_ = dir_.filePath("cardsync.ini").toStdString();
    std::ofstream(settings_) << "[database]\nserver=127.0.0.1\nport=" << port
                             << "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\n"
                                "login_timeout=2\nca_file="
                             << cardsync::testing::TestCertificate("ca.pem") << "\n";
    ::chmod(settings_.c_str(), 0600);
    ::mkdir(dir_.filePath("state").toLocal8Bit().constData(), 0700);
    ::mkdir(dir_.filePath("runtime").toLocal8Bit().constData(), 0700);
  }
  std::map<std::string, std::string> Variables() const {
    return {{"CARDSYNC_SETTINGS", settings_},
            {"XDG_STATE_HOME", dir_.filePath("state").toStdString()},
            {"XDG_RUNTIME_DIR", dir_.filePath("runtime").toStdString()},
            {"TZ", "Asia/Shanghai"}};
  }

 private:
  QTemporaryDir dir_;
  std::string settings_;
};

// Yesterday's card whose start date is no number: the transfer skips it.
constexpr const char* kUnpreparedCard =
    "insert into T_sendbase values ('S1', N'0AK1', 12, 1.5, 'kx1', 'bad', '0', 't', "
    "'2024-03-14 10:00:00')";

TEST(OutputTest, EachLineOnItsStreamWithItsPriorityUnderTheJournal) {
  StandinServer live(cardsync::testing::ReportingOptions());
  StandinServer gone(cardsync::testing::ReportingOptions());
  const int deadPort = gone.port();
  gone.Stop();
  live.Exec(kUnpreparedCard);

  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    bool serverUp;
    Journal journal;
    const char* priority;  // that every line of the journal's stream starts with
    int exitCode;
    std::string outHas;  // "": stdout stays empty
    std::string errHas;  // "": stderr stays empty
  };
  const std::string deadPlace = "127.0.0.1:" + std::to_string(deadPort) + "/reporting";
  const std::vector<Row> rows = {
      // The stand-in's clock is years behind: each run also warns of it.
      {"done, journal",
       {"--run", "totals"},
       true,
       Journal::Stdout,
       "<6>",
       0,
       "统计数据!",
       " warning: the workstation's clock"},
      {"done, no journal",
       {"--run", "totals"},
       true,
       Journal::None,
       "",
       0,
       "统计数据!",
       " warning: the workstation's clock"},
      {"could not connect, naming the server",
       {"--run", "totals"},
       false,
       Journal::Stderr,
       "<3>",
       2,
       "",
       "数据库连接失败! " + deadPlace + ": "},
      {"skipped record",
       {"--run", "transfer"},
       true,
       Journal::Stderr,
       "<4>",
       0,
       "处理数据!",
       "跳过 1 条记录: S1"},
      {"check failure",
       {"--check"},
       false,
       Journal::Stderr,
       "<3>",
       2,
       "",
       "FAILED  login: " + deadPlace + ": "},
      {"verify done",
       {"--verify", "--days", "1"},
       true,
       Journal::Stdout,
       "<6>",
       0,
       ": selected ",
       ""},
  };
  const std::regex anyPriority(R"((^|\n)<\d>)");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const Deployment deployment(row.serverUp ? live.port() : deadPort);
    const Ran ran = RunCardsync(row.arguments, deployment.Variables(), row.journal);
    EXPECT_EQ(ran.exitCode, row.exitCode) << ran.out << ran.err;
    for (const auto& [text, has, stream] : {std::tuple{ran.out, row.outHas, Journal::Stdout},
                                            std::tuple{ran.err, row.errHas, Journal::Stderr}}) {
      if (has.empty()) {
        EXPECT_EQ(text, "");
        continue;
      }
      EXPECT_NE(text.find(has), std::string::npos) << text;
      if (stream != row.journal) {
        EXPECT_FALSE(std::regex_search(text, anyPriority)) << text;
        continue;
      }
      std::size_t lines = 0;
      for (std::size_t at = 0; at < text.size(); at = text.find('\n', at) + 1, ++lines)
        EXPECT_EQ(text.compare(at, 3, row.priority), 0) << text;
      EXPECT_GT(lines, 0u);
    }
  }
}

// The transfer's progress line is rewritten in place on a terminal: each rewrite clears
// the rest of the line, so a shorter one (the next pass's "0 of 0") leaves no tail of
// the longer behind. Anywhere else there is no progress line at all.
TEST(OutputTest, ProgressLineOnlyOnATerminalAndClearedEachTime) {
  StandinServer live(cardsync::testing::ReportingOptions());
  std::string cards = "insert into T_sendbase values ";
  for (int i = 0; i < 12; ++i) {
    const std::string n = std::to_string(i);
    cards += std::string(i ? ", " : "") + "('P" + n + "', N'0AK" + n + "', 12, 1.5, 'kx" + n +
             "', '1710000000', '1710086400', 't', '2024-03-14 10:00:00')";
  }
  live.Exec(cards);
  const Deployment deployment(live.port());
  const std::regex progress(R"(\rpass \d+: \d+ of \d+ records)");
  const std::regex cleared(R"(\rpass \d+: \d+ of \d+ records\x1b\[K)");
  for (const bool terminal : {true, false}) {
    SCOPED_TRACE(terminal ? "terminal" : "pipe");
    const Ran ran =
        RunCardsync({"--run", "transfer"}, deployment.Variables(), Journal::None, terminal);
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    const auto count = [&ran](const std::regex& pattern) {
      return std::distance(std::sregex_iterator(ran.err.begin(), ran.err.end(), pattern),
                           std::sregex_iterator());
    };
    EXPECT_EQ(count(progress) > 0, terminal) << ran.err;
    EXPECT_EQ(count(cleared), count(progress)) << ran.err;
  }
}

// The table under a header, a blank-free trigger, and what an empty history says; rows
// in order over one history, a --run between the first and the second.
TEST(OutputTest, HistoryTable) {
  StandinServer live(cardsync::testing::ReportingOptions());
  const Deployment deployment(live.port());
  struct Row {
    const char* name;
    std::vector<std::string> arguments;
    bool runFirst;
    std::string firstLine;
    std::string secondLineHas;  // "": no second line
  };
  const std::vector<Row> rows = {
      {"no runs", {"--history", "--days", "3"}, false, "no runs in the last 3 days", ""},
      {"a run",
       {"--history"},
       true,
       "day        job      trigger      outcome           read   inserted updated skipped started "
       "            server-day message",
       " totals   command-line done "},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    if (row.runFirst) {
      ASSERT_EQ(RunCardsync({"--run", "totals"}, deployment.Variables(), Journal::None).exitCode,
                0);
    }
    const Ran ran = RunCardsync(row.arguments, deployment.Variables(), Journal::None);
    EXPECT_EQ(ran.exitCode, 0) << ran.err;
    const std::size_t end = ran.out.find('\n');
    EXPECT_EQ(ran.out.substr(0, end), row.firstLine) << ran.out;
    const std::string rest = end == std::string::npos ? "" : ran.out.substr(end + 1);
    if (row.secondLineHas.empty()) {
      EXPECT_EQ(rest, "");
    } else {
      EXPECT_NE(rest.substr(0, rest.find('\n')).find(row.secondLineHas), std::string::npos)
          << ran.out;
    }
  }
}

// --history --json: every field of a run, its times in ISO 8601 with the local offset.
TEST(OutputTest, HistoryJson) {
  StandinServer live(cardsync::testing::ReportingOptions());
  live.Exec(kUnpreparedCard);
  const Deployment deployment(live.port());
  ASSERT_EQ(RunCardsync({"--run", "transfer"}, deployment.Variables(), Journal::None).exitCode, 0);
  const Ran ran =
      RunCardsync({"--history", "--json", "--days", "1"}, deployment.Variables(), Journal::None);
  EXPECT_EQ(ran.exitCode, 0) << ran.err;
  QJsonParseError error{};
  const QJsonDocument document =
      QJsonDocument::fromJson(QByteArray::fromStdString(ran.out), &error);
  ASSERT_EQ(error.error, QJsonParseError::NoError) << ran.out;
  ASSERT_TRUE(document.isArray()) << ran.out;
  ASSERT_EQ(document.array().size(), 1) << ran.out;
  const QJsonObject run = document.array().first().toObject();
  const std::regex kIsoWithOffset(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+08:00)");
  struct Field {
    const char* name;
    std::function<bool(const QJsonValue&)> holds;
  };
  const auto text = [](const char* expected) {
    return [expected](const QJsonValue& v) { return v.toString() == QString::fromUtf8(expected); };
  };
  const auto iso = [&kIsoWithOffset](const QJsonValue& v) {
    return std::regex_match(v.toString().toStdString(), kIsoWithOffset);
  };
  const std::vector<Field> fields = {
      {"job", text("transfer")},
      {"runDay",  // the workstation's day the run was for
       [](const QJsonValue& v) {
         return std::regex_match(v.toString().toStdString(), std::regex(R"(\d{4}-\d\d-\d\d)"));
       }},
      {"trigger", text("command line")},
      {"started", iso},
      {"ended", iso},
      {"outcome", text("done")},
      {"read", [](const QJsonValue& v) { return v.toInt(-1) == 1; }},
      {"inserted", [](const QJsonValue& v) { return v.toInt(-1) == 0; }},
      {"updated", [](const QJsonValue& v) { return v.toInt(-1) == 0; }},
      {"skipped", [](const QJsonValue& v) { return v.toInt(-1) == 1; }},
      {"skippedRecords",
       [](const QJsonValue& v) {
         const QJsonObject record = v.toArray().first().toObject();
         return v.toArray().size() == 1 && record["id"].toString() == "S1" &&
                record["reason"].toString().contains("'bad'");
       }},
      {"warnings",
       [](const QJsonValue& v) {
         return v.toArray().size() == 1 && v.toArray().first().toString().contains("clock");
       }},
      {"message", [](const QJsonValue& v) { return v.isString(); }},
      {"target",
       [&live](const QJsonValue& v) {
         const QJsonObject target = v.toObject();
         return target["server"].toString() == "127.0.0.1" &&
                target["port"].toInt() == live.port() &&
                target["database"].toString() == "reporting";
       }},
      {"serverDay", text("2024-03-15")},
  };
  for (const Field& field : fields) {
    SCOPED_TRACE(field.name);
    ASSERT_TRUE(run.contains(field.name)) << ran.out;
    EXPECT_TRUE(field.holds(run[field.name])) << ran.out;
  }
}

}  // namespace
