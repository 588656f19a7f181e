// Child-process control for the stand-in. The server reports its port on
// stdout, so tests never guess free ports and can run in parallel.
#include "standin_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>

#include "odbc_handles.h"

extern char** environ;

namespace cardsync::testing {

namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopGraceMs = 5000;
constexpr const char* kListening = "listening on 127.0.0.1:";
constexpr const char* kPasswordEnv = "STANDIN_TEST_PASSWORD";

std::string TempPath(const char* stem) {
  std::string path = std::string("/tmp/") + stem + "-XXXXXX";
  int fd = ::mkstemp(path.data());
  if (fd < 0) throw std::runtime_error("mkstemp failed");
  ::close(fd);
  return path;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

std::string SourceDir() { return CARDSYNC_SOURCE_DIR; }

std::string TestCertificate(const std::string& name) {
  const std::string dir = TEST_CERT_DIR;
  if (::access((dir + "/" + name).c_str(), R_OK) != 0) {
    // The script takes a lock and is quiet when the set is complete, so tests
    // starting side by side share one set.
    const std::string command = "'" + SourceDir() + "/scripts/make-test-certs' '" + dir + "'";
    if (std::system(command.c_str()) != 0)
      throw std::runtime_error("cannot make test certificates: " + command);
  }
  return dir + "/" + name;
}

StandinServer::StandinServer(Options options) : options_(std::move(options)) {
  logPath_ = TempPath("standin-log");
  stderrPath_ = TempPath("standin-stderr");
  // The password goes through the environment, where `ps` does not show it.
  std::vector<std::string> args = {
      TDS_STANDIN_PATH, "--db",       options_.dbPath,   "--user", options_.user, "--password-env",
      kPasswordEnv,     "--database", options_.database, "--port", "0",           "--log",
      logPath_};
  if (!options_.passwordFile.empty()) {
    std::find(args.begin(), args.end(), "--password-env")[0] = "--password-file";
    std::find(args.begin(), args.end(), kPasswordEnv)[0] = options_.passwordFile;
  }
  if (options_.tls) {
    args.insert(
        args.end(),
        {"--tls-cert", options_.tlsCert.empty() ? TestCertificate("server.pem") : options_.tlsCert,
         "--tls-key",
         options_.tlsKey.empty() ? TestCertificate("server-key.pem") : options_.tlsKey});
  }
  if (options_.maxConnections > 0) {
    args.insert(args.end(), {"--max-connections", std::to_string(options_.maxConnections)});
  }
  if (options_.preloginTimeoutMs > 0) {
    args.insert(args.end(), {"--prelogin-timeout-ms", std::to_string(options_.preloginTimeoutMs)});
  }
  for (const auto& schema : options_.schemaFiles) {
    args.push_back("--schema");
    args.push_back(schema);
  }
  if (options_.now) {
    args.push_back("--now");
    args.push_back(*options_.now);
  }
  if (options_.movableClock) {
    nowPath_ = TempPath("standin-now");
    if (options_.now) SetNow(*options_.now);
    args.insert(args.end(), {"--now-file", nowPath_});
  }
  if (options_.delayMs > 0) {
    args.push_back("--delay-ms");
    args.push_back(std::to_string(options_.delayMs));
  }
  if (options_.dropAfter > 0) {
    args.push_back("--drop-after");
    args.push_back(std::to_string(options_.dropAfter));
  }
  if (options_.trickleMs > 0) {
    args.push_back("--trickle-ms");
    args.push_back(std::to_string(options_.trickleMs));
  }
  if (options_.hangLogin) args.push_back("--hang-login");

  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, stderrPath_.c_str(), O_WRONLY | O_TRUNC,
                                   0600);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> environment = {std::string(kPasswordEnv) + "=" + options_.password};
  for (char** e = environ; *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with(std::string(kPasswordEnv) + "="))
      environment.push_back(*e);
  }
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  int rc = ::posix_spawn(&pid_, TDS_STANDIN_PATH, &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (rc != 0) {
    ::close(out[0]);
    pid_ = -1;
    throw std::runtime_error(std::string("cannot start ") + TDS_STANDIN_PATH);
  }

  std::string seen;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (seen.find('\n') == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[256];
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;  // the server exited
    seen.append(buf, size_t(n));
  }
  ::close(out[0]);
  size_t at = seen.find(kListening);
  if (at == std::string::npos) {
    Kill();
    throw std::runtime_error("tds-standin did not start: " + ReadFile(stderrPath_) + seen);
  }
  port_ = std::atoi(seen.c_str() + at + std::char_traits<char>::length(kListening));
}

StandinServer::~StandinServer() {
  Stop();
  ::unlink(logPath_.c_str());
  ::unlink(stderrPath_.c_str());
  if (!nowPath_.empty()) ::unlink(nowPath_.c_str());
}

std::string StandinServer::OdbcConnectionString() const {
  return "Driver=FreeTDS;Server=127.0.0.1;Port=" + std::to_string(port_) +
         ";Database=" + options_.database + ";UID=" + options_.user + ";PWD=" + options_.password +
         ";TDS_Version=7.4;ClientCharset=UTF-8" + (options_.tls ? ";Encryption=require" : "");
}

void StandinServer::SetNow(const std::string& text) {
  if (nowPath_.empty()) throw std::runtime_error("the stand-in was started without movableClock");
  // Written whole, then renamed: a request never reads half a line.
  const std::string next = nowPath_ + ".next";
  std::ofstream(next, std::ios::trunc) << text << '\n';
  std::rename(next.c_str(), nowPath_.c_str());
}

std::vector<std::string> StandinServer::LogLines() const {
  std::vector<std::string> lines;
  std::ifstream in(logPath_);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void StandinServer::WaitForExit(int graceMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

void StandinServer::Stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  if (paused_) ::kill(pid_, SIGCONT);  // a stopped process only sees SIGTERM once it runs
  paused_ = false;
  WaitForExit(kStopGraceMs);
}

void StandinServer::Kill() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
  paused_ = false;
}

void StandinServer::Pause() {
  if (pid_ > 0 && ::kill(pid_, SIGSTOP) == 0) paused_ = true;
}

void StandinServer::Resume() {
  if (pid_ > 0 && ::kill(pid_, SIGCONT) == 0) paused_ = false;
}

void StandinServer::Exec(const std::string& sql) {
  OdbcConnection conn;
  conn.ConnectOrThrow(OdbcConnectionString());
  OdbcHandle stmt(SQL_HANDLE_STMT, conn.dbc());
  SQLRETURN rc = SQLExecDirect(stmt.get(),
                               reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    throw std::runtime_error("Exec(" + sql + "): " + DiagnosticsText(SQL_HANDLE_STMT, stmt.get()));
  }
  // Later statements of the batch report their errors as further results.
  while (SQL_SUCCEEDED(rc = SQLMoreResults(stmt.get()))) {
  }
  if (rc != SQL_NO_DATA) {
    throw std::runtime_error("Exec(" + sql + "): " + DiagnosticsText(SQL_HANDLE_STMT, stmt.get()));
  }
}

std::vector<std::vector<std::string>> StandinServer::Query(const std::string& sql) {
  OdbcConnection conn;
  conn.ConnectOrThrow(OdbcConnectionString());
  OdbcHandle stmt(SQL_HANDLE_STMT, conn.dbc());
  SQLRETURN rc = SQLExecDirect(stmt.get(),
                               reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
  if (!SQL_SUCCEEDED(rc)) {
    throw std::runtime_error("Query(" + sql + "): " + DiagnosticsText(SQL_HANDLE_STMT, stmt.get()));
  }
  for (;;) {
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt.get(), &columns);
    if (columns > 0) return FetchAllAsText(stmt.get());
    rc = SQLMoreResults(stmt.get());
    if (rc == SQL_NO_DATA) return {};
    if (!SQL_SUCCEEDED(rc)) {
      throw std::runtime_error("Query(" + sql +
                               "): " + DiagnosticsText(SQL_HANDLE_STMT, stmt.get()));
    }
  }
}

}  // namespace cardsync::testing
