// The hook as a process of its own, started with posix_spawn in a process group of its
// own and watched by a plain thread (poll on its output, waitid for its end): a shell
// script's children are stopped with it at the limit, which QProcess, signalling only
// the program it started, would leave running; and no event loop is needed on the
// watching thread. Its output is read as it comes (a full pipe would stall it) and all
// but the first line dropped, so a chatty hook costs no memory.
#include "schedule/failure_hook.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QProcess>
#include <QString>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "convert/log_text.h"
#include "schedule/history.h"

extern char** environ;

namespace cardsync::schedule {
namespace {

constexpr char kHook[] = "on_failure hook ";
constexpr std::chrono::milliseconds kTermGrace{1000};
constexpr int kPollMs = 50;
constexpr std::size_t kFirstLineBytes = 1024;  // what is kept of the output

using Clock = std::chrono::steady_clock;

// "30 s", or milliseconds for a limit that is no whole number of seconds (tests).
std::string LimitText(std::chrono::milliseconds limit) {
  if (limit.count() % 1000 == 0) return std::to_string(limit.count() / 1000) + " s";
  return std::to_string(limit.count()) + " ms";
}

// The first line of what the hook wrote, as it will be shown.
std::string FirstLine(const std::string& output) {
  std::string line = output.substr(0, output.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return LogText(line);
}

// The process's environment with the notice's variables put in (replacing any of the
// same name the process had).
std::vector<std::string> SpawnEnvironment(
    const std::vector<std::pair<std::string, std::string>>& added) {
  std::vector<std::string> result;
  for (char** entry = environ; entry && *entry; ++entry) {
    const std::string_view text(*entry);
    bool replaced = false;
    for (const auto& [name, value] : added) {
      replaced = replaced || (text.size() > name.size() && text.substr(0, name.size()) == name &&
                              text[name.size()] == '=');
    }
    if (!replaced) result.emplace_back(text);
  }
  for (const auto& [name, value] : added) result.push_back(name + "=" + value);
  return result;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  for (std::string& text : texts) result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

// The hook's group (its id is the hook's pid) gets `signal`; the hook is not reaped
// before the last one, so its id cannot have been given to another group meanwhile.
void SignalGroup(pid_t group, int signal) { ::kill(-group, signal); }

// True once `pid` has ended; `status` then holds how (it stays a zombie until reaped).
bool Ended(pid_t pid, siginfo_t& info) {
  info = {};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
         info.si_pid == pid;
}

// Reads what is there without waiting; false at end of output.
bool ReadSome(int fd, std::string& output) {
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n > 0) {
      if (output.size() < kFirstLineBytes)
        output.append(buffer, std::min<std::size_t>(n, kFirstLineBytes - output.size()));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
}

}  // namespace

struct FailureHook::Watch {
  std::thread thread;
  std::atomic<bool> done{false};
};

bool CallsForHook(Trigger trigger, const jobs::JobOutcome& outcome) {
  using Status = jobs::JobOutcome::Status;
  if (!SettlesOwedRuns(trigger)) return false;
  return outcome.status == Status::Failed || outcome.status == Status::CouldNotConnect ||
         (outcome.status == Status::Done && !outcome.skipped.empty());
}

std::vector<std::pair<std::string, std::string>> HookEnvironment(const FailureNotice& notice) {
  return {{"CARDSYNC_JOB", std::string(JobName(notice.kind))},
          {"CARDSYNC_DAY", DayText(notice.day)},
          {"CARDSYNC_OUTCOME", OutcomeName(notice.status)},
          {"CARDSYNC_MESSAGE", notice.message},
          {"CARDSYNC_SKIPPED", std::to_string(notice.skipped)}};
}

FailureHook::FailureHook(const std::string& command, Report report, std::chrono::milliseconds limit)
    : report_(std::move(report)), limit_(limit) {
  for (const QString& argument : QProcess::splitCommand(QString::fromStdString(command)))
    arguments_.push_back(argument.toStdString());
}

FailureHook::~FailureHook() {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (const std::shared_ptr<Watch>& watch : watches_) watch->thread.join();
}

void FailureHook::Run(const FailureNotice& notice) {
  if (!Configured()) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(watches_, [](const std::shared_ptr<Watch>& watch) {
    if (!watch->done) return false;
    watch->thread.join();
    return true;
  });
  auto watch = std::make_shared<Watch>();
  watch->thread = std::thread([this, environment = HookEnvironment(notice), watch = watch.get()] {
    Watched(environment);
    watch->done = true;
  });
  watches_.push_back(std::move(watch));
}

void FailureHook::Watched(const std::vector<std::pair<std::string, std::string>>& environment) {
  const auto report = [this](bool ok, const std::string& line) {
    if (report_) report_(ok, line);
  };
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) {
    report(false, std::string(kHook) + "could not be started: " + std::strerror(errno));
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // A group of its own, to stop it with what it started; and signals as a fresh program
  // has them, not blocked or ignored as this process may (the stop signals' watch).
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  sigdelset(&all, SIGKILL);
  sigdelset(&all, SIGSTOP);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &all);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> arguments = arguments_;
  std::vector<std::string> variables = SpawnEnvironment(environment);
  pid_t pid = -1;
  const int started = ::posix_spawnp(&pid, arguments.front().c_str(), &actions, &attributes,
                                     Pointers(arguments).data(), Pointers(variables).data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  ::close(out[1]);
  if (started != 0) {
    ::close(out[0]);
    report(false, std::string(kHook) + "could not be started: " + arguments.front() + ": " +
                      std::strerror(started));
    return;
  }
  ::fcntl(out[0], F_SETFL, ::fcntl(out[0], F_GETFL) | O_NONBLOCK);

  std::string output;
  int fd = out[0];
  siginfo_t info{};
  bool killed = false;
  const Clock::time_point deadline = Clock::now() + limit_;
  // Until the hook itself ends: a child it left in the background may keep the output
  // open for long after, and is not waited for.
  while (!Ended(pid, info)) {
    if (Clock::now() >= deadline) {
      SignalGroup(pid, SIGTERM);
      const Clock::time_point grace = Clock::now() + kTermGrace;
      while (!Ended(pid, info) && Clock::now() < grace) ::usleep(kPollMs * 1000);
      SignalGroup(pid, SIGKILL);
      killed = true;
      break;
    }
    pollfd wait{fd, POLLIN, 0};
    ::poll(&wait, fd >= 0 ? 1 : 0, kPollMs);
    if (fd >= 0 && !ReadSome(fd, output)) {
      ::close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) {
    ReadSome(fd, output);
    ::close(fd);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  const std::string first = FirstLine(output);
  const std::string shown = first.empty() ? "" : ": " + first;
  if (killed) {
    report(false, std::string(kHook) + "killed after " + LimitText(limit_) + shown);
  } else if (WIFEXITED(status)) {
    report(WEXITSTATUS(status) == 0,
           std::string(kHook) + "exited " + std::to_string(WEXITSTATUS(status)) + shown);
  } else {
    report(false, std::string(kHook) + "ended by signal " +
                      std::to_string(WIFSIGNALED(status) ? WTERMSIG(status) : 0) + shown);
  }
}

}  // namespace cardsync::schedule
