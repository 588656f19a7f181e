// Test fixture: starts the tds-standin SQL Server stand-in as a child
// process for one test, and offers a raw ODBC connection string plus small
// helpers to seed and check data through FreeTDS's ODBC driver.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace cardsync::testing {

class StandinServer {
 public:
  struct Options {
    std::vector<std::string> schemaFiles;  // absolute paths
    std::string user = "cardsync";
    std::string password = "Test-Pass-123";
    std::string database = "reporting";
    std::string dbPath = ":memory:";
    std::optional<std::string> now;  // "YYYY-MM-DD HH:MM:SS"
    bool movableClock = false;       // SetNow moves the server's clock (from `now`)
    int delayMs = 0;
    int dropAfter = 0;
    int trickleMs = 0;  // rows of a result one packet each, this far apart
    bool hangLogin = false;
    // Serve TLS with the test certificates (TestCertificate), as deployments
    // should; false: the plain stand-in.
    bool tls = true;
    std::string tlsCert;        // empty: TestCertificate("server.pem")
    std::string tlsKey;         // empty: TestCertificate("server-key.pem")
    std::string passwordFile;   // set: --password-file (its first line must be `password`)
    int maxConnections = 0;     // 0: the server's default
    int preloginTimeoutMs = 0;  // 0: the server's default
  };

  // Default options but a plain (unencrypted) server: raw-byte tests and the
  // encrypt=no path.
  static Options Plain() {
    Options options;
    options.tls = false;
    return options;
  }

  // Starts <build>/bin/tds-standin with --log to a temporary file and waits
  // for its "listening on" line. Throws std::runtime_error carrying the
  // server's stderr if it does not start.
  explicit StandinServer(Options options);
  ~StandinServer();  // SIGTERM and wait; SIGKILL after a few seconds
  StandinServer(const StandinServer&) = delete;
  StandinServer& operator=(const StandinServer&) = delete;

  int port() const { return port_; }
  const Options& options() const { return options_; }
  pid_t pid() const { return pid_; }
  // "Driver=FreeTDS;Server=127.0.0.1;Port=N;Database=..;UID=..;PWD=..;TDS_Version=7.4;ClientCharset=UTF-8",
  // with ";Encryption=require" when the server serves TLS (the certificate is not checked).
  std::string OdbcConnectionString() const;
  std::vector<std::string> LogLines() const;  // the --log file's lines so far
  // What GETDATE() reads from now on, "YYYY-MM-DD HH:MM:SS"; needs movableClock.
  void SetNow(const std::string& text);
  void Stop();    // SIGTERM and wait (idempotent)
  void Kill();    // SIGKILL
  void Pause();   // SIGSTOP
  void Resume();  // SIGCONT
  // Seeding and checking over the raw ODBC API, each on its own short-lived
  // connection. Exec throws std::runtime_error with the ODBC diagnostics.
  void Exec(const std::string& sql);
  // Every row of the first result set, every column as text (SQL_C_CHAR,
  // UTF-8), NULL as "<NULL>".
  std::vector<std::vector<std::string>> Query(const std::string& sql);

 private:
  void WaitForExit(int graceMs);

  Options options_;
  pid_t pid_ = -1;
  bool paused_ = false;
  int port_ = 0;
  std::string logPath_;
  std::string nowPath_;
  std::string stderrPath_;
};

// Absolute path of the repository's source root (for schema/reporting.sql etc.).
std::string SourceDir();

// A file made by scripts/make-test-certs in the build folder: "ca.pem" (the test
// CA), "server.pem"/"server-key.pem" (for 127.0.0.1 and localhost, signed by it),
// "wrong-host.pem"/"wrong-host-key.pem" (for db.invalid, signed by it),
// "other-ca.pem" (a CA that signed none of them). Made on first use.
std::string TestCertificate(const std::string& name);

}  // namespace cardsync::testing
