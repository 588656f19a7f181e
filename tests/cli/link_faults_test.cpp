// The cardsync executable, run as a process, against a server that drops the link
// or stops answering. A lost link anywhere in a transfer ends the run, never the
// process, with the records it had written counted exactly; a server that stops
// answering holds a run no longer than its time-outs, or a stop signal allows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "reporting_server.h"

extern char** environ;

namespace {

using cardsync::testing::ReportingOptions;
using cardsync::testing::StandinServer;
using cardsync::testing::TestCertificate;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr int kOrdinaryCards = 240;  // a chunk of 50 or more spans a dozen packets
constexpr int kSpecialCards = 10;
constexpr const char* kLost = "the connection to the server was lost";

// Yesterday's ordinary cards and today's special cards, as the stand-in's clock has
// them: a script every server of the program loads, removed when the program ends.
class SeedScript {
 public:
  SeedScript() {
    std::string text = "insert into T_sendbase values ";
    for (int i = 0; i < kOrdinaryCards + kSpecialCards; ++i) {
      const bool special = i >= kOrdinaryCards;
      const std::string n = std::to_string(i);
      text += std::string(i ? ",\n" : "") + "('R" + n + "', N'" +
              (special ? std::string("000000") : "0AK" + n) + "', 12, 120.5, 'kx" + n +
              "', '1710000000', '1710086400', 't', '" +
              (special ? "2024-03-15 01:30:00" : "2024-03-14 10:00:00") + "')";
    }
    char name[] = "/tmp/cardsync-link-seed-XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    path_ = name;
    std::ofstream(path_) << text << "\n";
  }
  ~SeedScript() { ::unlink(path_.c_str()); }
  SeedScript(const SeedScript&) = delete;
  SeedScript& operator=(const SeedScript&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

const std::string& SeedFile() {
  static const SeedScript seed;
  return seed.Path();
}

// A folder of one run's own: its settings file and state folder.
class RunFolder {
 public:
  RunFolder() {
    char name[] = "/tmp/cardsync-link-run-XXXXXX";
    path_ = ::mkdtemp(name) ? name : "";
  }
  ~RunFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string SettingsText(const StandinServer& server, int loginTimeout, int queryTimeout,
                         int batchSize) {
  std::ostringstream text;
  text << "[database]\nserver=127.0.0.1\nport=" << server.port()
       << "\ndatabase=reporting\nuser=cardsync\npassword=Test-Pass-123\nlogin_timeout="
       << loginTimeout << "\nquery_timeout=" << queryTimeout << "\n";
  if (server.options().tls) {
    text << "encrypt=yes\nca_file=" << TestCertificate("ca.pem") << "\n";
  } else {
    text << "encrypt=no\n";
  }
  text << "[transfer]\nbatch_size=" << batchSize << "\n";
  return text.str();
}

struct Ended {
  bool exited = false;
  int code = -1;
  int signal = 0;
  std::string output;  // stdout and stderr
};

// cardsync (under `wrapper`, when given) with its own settings and state, output to a file.
class Cardsync {
 public:
  Cardsync(const std::string& settings, const std::vector<std::string>& arguments,
           const std::vector<std::string>& wrapper = {}) {
    const std::string settingsPath = folder_.File("cardsync.ini");
    std::ofstream(settingsPath) << settings;
    std::filesystem::permissions(
        settingsPath, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    std::filesystem::create_directory(folder_.File("state"));
    std::filesystem::permissions(folder_.File("state"), std::filesystem::perms::owner_all);
    std::vector<std::string> environment = {"CARDSYNC_SETTINGS=" + settingsPath,
                                            "XDG_STATE_HOME=" + folder_.File("state"),
                                            "QT_QPA_PLATFORM=offscreen"};
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string_view entry(*e);
      if (!entry.starts_with("CARDSYNC_SETTINGS=") && !entry.starts_with("XDG_STATE_HOME=") &&
          !entry.starts_with("XDG_RUNTIME_DIR=") && !entry.starts_with("QT_QPA_PLATFORM=") &&
          !entry.starts_with("JOURNAL_STREAM="))
        environment.emplace_back(entry);
    }
    std::vector<std::string> argv = wrapper;
    argv.push_back(CARDSYNC_PATH);
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Spawn(argv, environment);
  }
  ~Cardsync() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  Cardsync(const Cardsync&) = delete;
  Cardsync& operator=(const Cardsync&) = delete;

  void Signal(int signal) const { ::kill(pid_, signal); }

  // How it ended, or nullopt when it still runs after `limit`.
  std::optional<Ended> WaitFor(Clock::duration limit) {
    const Clock::time_point deadline = Clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      if (pid_ <= 0 || Clock::now() >= deadline) return std::nullopt;
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    Ended ended;
    ended.exited = WIFEXITED(status);
    ended.code = ended.exited ? WEXITSTATUS(status) : -1;
    ended.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    std::ifstream in(folder_.File("output"));
    std::ostringstream text;
    text << in.rdbuf();
    ended.output = text.str();
    return ended;
  }

 private:
  void Spawn(std::vector<std::string>& argv, std::vector<std::string>& environment) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const std::string output = folder_.File("output");
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }

  RunFolder folder_;
  pid_t pid_ = -1;
};

// Runs every case on a few threads (each case is a server and a process of its own).
template <typename Case, typename Result, typename Run>
std::vector<Result> RunAll(const std::vector<Case>& cases, Run run, unsigned workers) {
  std::vector<Result> results(cases.size());
  std::atomic<std::size_t> next{0};
  std::vector<std::thread> threads;
  for (unsigned w = 0; w < workers; ++w) {
    threads.emplace_back([&] {
      for (std::size_t i; (i = next++) < cases.size();) results[i] = run(cases[i]);
    });
  }
  for (std::thread& t : threads) t.join();
  return results;
}

std::string FindValgrind() {
  const char* path = std::getenv("PATH");
  std::istringstream folders(path ? path : "");
  for (std::string folder; std::getline(folders, folder, ':');) {
    const std::string candidate = folder + "/valgrind";
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return {};
}

// ---- a link the server drops after its N-th request ----

struct DropCase {
  bool tls;
  int batchSize;
  int dropAfter;
  bool valgrind = false;
};

struct DropResult {
  std::optional<Ended> ended;
  long long withKex = -1;     // rows of T_quindale with kex_no set, afterwards
  long long withoutKex = -1;  // rows holding only their order_id
  std::string fault;          // the case could not be run
};

std::string Describe(const DropCase& c) {
  return std::string(c.tls ? "TLS" : "plain") + ", batch_size=" + std::to_string(c.batchSize) +
         ", --drop-after " + std::to_string(c.dropAfter);
}

DropResult RunDropCase(const DropCase& c, const std::string& valgrind) {
  DropResult result;
  try {
    StandinServer::Options options = ReportingOptions();
    options.tls = c.tls;
    options.dropAfter = c.dropAfter;
    options.schemaFiles.push_back(SeedFile());
    StandinServer server(options);
    std::vector<std::string> wrapper;
    if (c.valgrind) wrapper = {valgrind, "--quiet", "--error-exitcode=99", "--num-callers=30"};
    Cardsync process(SettingsText(server, 10, 20, c.batchSize), {"--run", "transfer"}, wrapper);
    result.ended = process.WaitFor(c.valgrind ? 600s : 60s);
    // Each of these is a connection of its own, one request long.
    result.withKex = std::stoll(
        server.Query("select count(*) from T_quindale where kex_no is not null").at(0).at(0));
    result.withoutKex = std::stoll(
        server.Query("select count(*) from T_quindale where kex_no is null").at(0).at(0));
  } catch (const std::exception& e) {
    result.fault = e.what();
  }
  return result;
}

void CheckDropResult(const DropCase& c, const DropResult& r) {
  SCOPED_TRACE(Describe(c));
  ASSERT_EQ(r.fault, "");
  ASSERT_TRUE(r.ended.has_value()) << "still running";
  const Ended& ended = *r.ended;
  ASSERT_TRUE(ended.exited) << "ended by signal " << ended.signal << "\n" << ended.output;
  ASSERT_TRUE(ended.code == 0 || ended.code == 1) << ended.output;
  EXPECT_EQ(r.withoutKex, 0) << "a record was written in part";
  if (ended.code == 0) {
    EXPECT_EQ(r.withKex, kOrdinaryCards + kSpecialCards) << ended.output;
    return;
  }
  EXPECT_NE(ended.output.find(kLost), std::string::npos) << ended.output;
  // No count is given when the link went before a record was read.
  std::smatch written;
  const bool counted =
      std::regex_search(ended.output, written, std::regex(R"((\d+) records had been written)"));
  EXPECT_EQ(counted ? std::stoll(written[1]) : 0, r.withKex) << ended.output;
}

class DroppedLink : public ::testing::TestWithParam<bool> {};

// Every request of a run, in turn, is the last the server answers: before the
// selection, inside a record's transaction, before, inside and after each chunk.
TEST_P(DroppedLink, NeverAbortsAndCountsWhatWasCommitted) {
  const bool tls = GetParam();
  std::vector<DropCase> cases;
  for (int batchSize : {1, 50, 100, 200, 209}) {
    for (int drop = 1; drop <= 80; ++drop) cases.push_back({tls, batchSize, drop});
  }
  const auto start = Clock::now();
  const std::vector<DropResult> results = RunAll<DropCase, DropResult>(
      cases, [](const DropCase& c) { return RunDropCase(c, {}); },
      std::max(2u, std::thread::hardware_concurrency()));
  std::cout << (tls ? "TLS" : "plain") << ": " << cases.size() << " runs in "
            << std::chrono::duration<double>(Clock::now() - start).count() << " s\n";
  for (std::size_t i = 0; i < cases.size(); ++i) CheckDropResult(cases[i], results[i]);
}

INSTANTIATE_TEST_SUITE_P(LinkFaults, DroppedLink, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Tls" : "Plain"; });

// The same under valgrind: a lost link leaves no read or write of freed memory.
TEST(LinkFaults, ADroppedLinkUnderValgrindTouchesNoFreedMemory) {
  const std::string valgrind = FindValgrind();
  if (valgrind.empty()) GTEST_SKIP() << "valgrind is not installed";
  const std::vector<DropCase> cases = {
      {false, 50, 9, true}, {false, 50, 13, true}, {true, 50, 6, true}, {true, 50, 7, true}};
  const std::vector<DropResult> results = RunAll<DropCase, DropResult>(
      cases, [&valgrind](const DropCase& c) { return RunDropCase(c, valgrind); }, 2);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    if (results[i].ended && results[i].ended->code == 99) {
      ADD_FAILURE() << Describe(cases[i]) << ": valgrind found errors\n"
                    << results[i].ended->output;
      continue;
    }
    CheckDropResult(cases[i], results[i]);
  }
}

// ---- a server that stops answering ----

// True once a line of the server's log starts with `prefix` (polled until `limit`).
bool LogShows(const StandinServer& server, const std::string& prefix, Clock::duration limit) {
  const Clock::time_point deadline = Clock::now() + limit;
  while (Clock::now() < deadline) {
    for (const std::string& line : server.LogLines()) {
      if (line.starts_with(prefix)) return true;
    }
    std::this_thread::sleep_for(2ms);
  }
  return false;
}

struct StallCase {
  const char* name;
  bool tls;
  bool hangLogin;  // the server never answers a login (--hang-login)
  const char* job;
  const char* stopAfter;  // the log line after which the server is stopped (SIGSTOP)
  int loginTimeout;
  int queryTimeout;
  bool term;  // SIGTERM once it is stopped
  int exitCode;
  const char* outputHas;
  // The run ends within this of the server's stop (or of the signal): a bound no
  // other limit could meet, the time-outs that could being far longer.
  Clock::duration endsWithin;
};

// The stand-in answers each request 300 ms late, so that it is stopped while the
// run waits: before the login is answered, in Qt's set-up queries right after it,
// or in a request.
TEST(LinkFaults, AServerThatStopsAnsweringHoldsARunNoLongerThanItsLimits) {
  constexpr const char* kHang = "login: hang";
  constexpr const char* kLogin = "login: user=cardsync ok";
  constexpr const char* kSelection = "batch: select * from T_sendbase";
  const StallCase cases[] = {
      {"login never answered, then SIGTERM", true, true, "transfer", kHang, 30, 30, true, 1,
       "处理数据中断: stopped while connecting", 2s},
      {"stopped after the login", true, false, "totals", kLogin, 2, 30, false, 2, "数据库连接失败",
       3s},
      {"stopped after the login, then SIGTERM", true, false, "transfer", kLogin, 30, 30, true, 1,
       "处理数据中断: stopped while connecting", 2s},
      {"stopped in a request", false, false, "transfer", kSelection, 30, 2, false, 1,
       "did not answer in time (query_timeout)", 3s},
      {"stopped in a request, then SIGTERM", false, false, "transfer", kSelection, 30, 30, true, 1,
       "处理数据中断: ", 2s},
  };
  for (const StallCase& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options = ReportingOptions();
    options.tls = c.tls;
    options.hangLogin = c.hangLogin;
    options.delayMs = 300;
    options.schemaFiles.push_back(SeedFile());
    StandinServer server(options);
    Cardsync process(SettingsText(server, c.loginTimeout, c.queryTimeout, 50), {"--run", c.job});
    ASSERT_TRUE(LogShows(server, c.stopAfter, 20s));
    server.Pause();
    if (c.term) {
      std::this_thread::sleep_for(200ms);
      process.Signal(SIGTERM);
    }
    const Clock::time_point from = Clock::now();
    const std::optional<Ended> ended = process.WaitFor(c.endsWithin);
    server.Resume();
    if (!ended) {
      ADD_FAILURE() << "still waiting";
      continue;
    }
    std::cout << c.name << ": ended " << std::chrono::duration<double>(Clock::now() - from).count()
              << " s after " << (c.term ? "SIGTERM" : "the server stopped") << "\n";
    EXPECT_TRUE(ended->exited) << ended->signal;
    EXPECT_EQ(ended->code, c.exitCode) << ended->output;
    EXPECT_NE(ended->output.find(c.outputHas), std::string::npos) << ended->output;
  }
}

// FreeTDS waits its login time-out, and the check of the server's encryption after
// the failure used to wait as long again: the whole open keeps to the setting.
TEST(LinkFaults, ALoginNeverAnsweredFailsWithinLoginTimeout) {
  for (const bool tls : {false, true}) {
    SCOPED_TRACE(tls ? "TLS" : "plain");
    StandinServer::Options options = ReportingOptions();
    options.tls = tls;
    options.hangLogin = true;
    StandinServer server(options);
    const Clock::time_point start = Clock::now();
    Cardsync process(SettingsText(server, 2, 30, 50), {"--run", "totals"});
    const std::optional<Ended> ended = process.WaitFor(30s);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(ended.has_value());
    std::cout << (tls ? "TLS" : "plain") << ": login_timeout=2 failed after " << seconds << " s\n";
    EXPECT_EQ(ended->code, 2) << ended->output;
    EXPECT_LT(seconds, 3.5);
  }
}

// A server that sends its rows one at a time, far apart, answers every single read in
// time; the request as a whole still ends at query_timeout, and a stop within a second.
TEST(LinkFaults, RowsTricklingInHoldAPassNoLongerThanItsTimeOutOrAStop) {
  struct Case {
    const char* name;
    int queryTimeout;
    bool term;  // SIGTERM a moment after the rows begin
    const char* outputHas;
    Clock::duration endsWithin;  // of the selection's start, or of the signal
  };
  const Case cases[] = {
      {"query_timeout", 3, false, "did not answer in time (query_timeout)", 5s},
      {"SIGTERM", 30, true, "处理数据中断: ", 2s},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StandinServer::Options options = ReportingOptions();
    options.trickleMs = 700;  // the seed's rows would take minutes
    options.schemaFiles.push_back(SeedFile());
    StandinServer server(options);
    Cardsync process(SettingsText(server, 30, c.queryTimeout, 50), {"--run", "transfer"});
    ASSERT_TRUE(LogShows(server, "batch: select * from T_sendbase", 20s));
    if (c.term) {
      std::this_thread::sleep_for(1500ms);
      process.Signal(SIGTERM);
    }
    const std::optional<Ended> ended = process.WaitFor(c.endsWithin);
    ASSERT_TRUE(ended.has_value()) << "still reading rows";
    EXPECT_EQ(ended->code, 1) << ended->output;
    EXPECT_NE(ended->output.find(c.outputHas), std::string::npos) << ended->output;
  }
}

}  // namespace
