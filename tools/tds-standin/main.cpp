// tds-standin: command line of the SQL Server stand-in. Opens the engine,
// runs --schema scripts, then serves TDS on 127.0.0.1 until SIGTERM/SIGINT,
// encrypted when given a certificate and its key.
// Exit status: 0 after a clean stop, 2 for bad arguments or a failing
// script, 1 for anything else that keeps it from starting.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"
#include "now_file.h"
#include "tds_log.h"
#include "tds_server.h"

namespace {

constexpr const char* kUsage =
    "usage: tds-standin --db FILE|:memory: --user U (--password P | --password-file FILE | "
    "--password-env VAR)\n"
    "                   [--database NAME] [--port N] [--schema FILE.sql]... [--now \"YYYY-MM-DD "
    "HH:MM:SS\"] [--now-file FILE]\n"
    "                   [--log FILE] [--tls-cert FILE --tls-key FILE] [--max-connections N]\n"
    "                   [--prelogin-timeout-ms N] [--delay-ms N] [--drop-after N] [--hang-login]\n"
    "                   [--trickle-ms N] [--default-lock-timeout-ms N]\n";

struct Arguments {
  std::optional<std::string> db;
  std::optional<std::string> user;
  std::optional<std::string> password;
  std::vector<std::string> schemas;
  std::optional<std::string> now;
  std::optional<std::string> logPath;
  std::optional<std::string> tlsCert;
  std::optional<std::string> tlsKey;
  int lockTimeoutMs = -1;
  standin::tds::ServerOptions server;
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

int ParseInt(const std::string& option, const std::string& text, int min, int max) {
  size_t used = 0;
  long v = 0;
  try {
    v = std::stol(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty() || v < min || v > max) {
    throw UsageError(option + ": '" + text + "' is not a whole number from " + std::to_string(min) +
                     " to " + std::to_string(max));
  }
  return static_cast<int>(v);
}

bool LooksLikeTimestamp(const std::string& s) {
  static const std::string pattern = "dddd-dd-dd dd:dd:dd";
  if (s.size() != pattern.size()) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (pattern[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != pattern[i])
      return false;
  }
  return true;
}

// The command line shows in `ps`; a file or the environment does not.
std::string PasswordFrom(const std::string& option, const std::string& value) {
  if (option == "--password") return value;
  if (option == "--password-env") {
    const char* text = std::getenv(value.c_str());
    if (text == nullptr || *text == '\0')
      throw UsageError(option + ": " + value + " is not set or empty");
    return text;
  }
  std::ifstream in(value);
  std::string line;
  if (!in || !std::getline(in, line)) throw UsageError(option + ": cannot read " + value);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw UsageError(option + ": " + value + " starts with an empty line");
  return line;
}

Arguments Parse(int argc, char** argv) {
  Arguments a;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--hang-login") {
      a.server.hangLogin = true;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      std::exit(0);
    }
    static const std::vector<std::string> withValue = {"--db",
                                                       "--user",
                                                       "--password",
                                                       "--database",
                                                       "--port",
                                                       "--schema",
                                                       "--now",
                                                       "--now-file",
                                                       "--log",
                                                       "--delay-ms",
                                                       "--drop-after",
                                                       "--trickle-ms",
                                                       "--password-file",
                                                       "--password-env",
                                                       "--tls-cert",
                                                       "--tls-key",
                                                       "--max-connections",
                                                       "--prelogin-timeout-ms",
                                                       "--default-lock-timeout-ms"};
    if (std::find(withValue.begin(), withValue.end(), arg) == withValue.end()) {
      throw UsageError("unknown argument '" + arg + "'");
    }
    if (i + 1 >= argc) throw UsageError(arg + " needs a value");
    std::string value = argv[++i];
    if (arg == "--db")
      a.db = value;
    else if (arg == "--user")
      a.user = value;
    else if (arg == "--password" || arg == "--password-file" || arg == "--password-env") {
      if (a.password) throw UsageError(arg + ": the password is already given");
      a.password = PasswordFrom(arg, value);
    } else if (arg == "--tls-cert")
      a.tlsCert = value;
    else if (arg == "--tls-key")
      a.tlsKey = value;
    else if (arg == "--max-connections")
      a.server.maxConnections = ParseInt(arg, value, 1, 100000);
    else if (arg == "--prelogin-timeout-ms")
      a.server.preloginTimeoutMs = ParseInt(arg, value, 1, 3600000);
    else if (arg == "--database")
      a.server.database = value;
    else if (arg == "--port")
      a.server.port = ParseInt(arg, value, 0, 65535);
    else if (arg == "--schema")
      a.schemas.push_back(value);
    else if (arg == "--log")
      a.logPath = value;
    else if (arg == "--delay-ms")
      a.server.delayMs = ParseInt(arg, value, 0, 3600000);
    else if (arg == "--drop-after")
      a.server.dropAfter = ParseInt(arg, value, 0, 1000000000);
    else if (arg == "--trickle-ms")
      a.server.trickleMs = ParseInt(arg, value, 0, 3600000);
    else if (arg == "--default-lock-timeout-ms")
      a.lockTimeoutMs = ParseInt(arg, value, -1, 2147483647);
    else if (arg == "--now-file")
      standin::SetNowFile(value);
    else if (arg == "--now") {
      if (!LooksLikeTimestamp(value))
        throw UsageError("--now: '" + value + "' is not \"YYYY-MM-DD HH:MM:SS\"");
      a.now = value;
    }
  }
  if (!a.db) throw UsageError("--db is required");
  if (!a.user) throw UsageError("--user is required");
  if (!a.password) throw UsageError("--password, --password-file or --password-env is required");
  if (a.tlsCert.has_value() != a.tlsKey.has_value())
    throw UsageError("--tls-cert and --tls-key go together");
  if (a.server.database.empty()) throw UsageError("--database must not be empty");
  a.server.user = *a.user;
  a.server.password = *a.password;
  return a;
}

int stopPipe[2] = {-1, -1};

extern "C" void OnStopSignal(int) {
  char c = 1;
  [[maybe_unused]] ssize_t n = ::write(stopPipe[1], &c, 1);
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  try {
    args = Parse(argc, argv);
  } catch (const UsageError& e) {
    std::cerr << "tds-standin: " << e.what() << "\n";
    return 2;
  }

  if (::pipe2(stopPipe, O_CLOEXEC) != 0) {
    std::perror("tds-standin: pipe");
    return 1;
  }
  struct sigaction sa {};
  sa.sa_handler = OnStopSignal;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGTERM, &sa, nullptr);
  ::sigaction(SIGINT, &sa, nullptr);
  ::signal(SIGPIPE, SIG_IGN);

  try {
    std::unique_ptr<standin::tds::EventLog> log =
        args.logPath ? std::make_unique<standin::tds::EventLog>(*args.logPath)
                     : std::make_unique<standin::tds::EventLog>();
    if (args.tlsCert) args.server.tls = standin::tds::TlsContext::Load(*args.tlsCert, *args.tlsKey);
    std::unique_ptr<standin::Engine> engine =
        standin::Engine::Open({*args.db, args.now, args.lockTimeoutMs});
    for (const auto& schema : args.schemas) {
      try {
        engine->RunScript(schema);
      } catch (const standin::ScriptError& e) {
        std::cerr << "tds-standin: --schema " << e.what() << "\n";
        return 2;
      } catch (const std::exception& e) {
        std::cerr << "tds-standin: --schema " << schema << ": " << e.what() << "\n";
        return 2;
      }
    }
    {
      standin::tds::Server server(*engine, args.server, *log);
      int port = server.Listen();
      std::cout << "listening on 127.0.0.1:" << port << std::endl;
      server.Run(stopPipe[0]);
      log->Write("server", "stopping");
    }  // connections end and roll back before the engine closes
    engine.reset();
  } catch (const std::exception& e) {
    std::cerr << "tds-standin: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
