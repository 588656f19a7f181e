// Benchmark of the transfer job against the SQL Server stand-in: for 1 000,
// 10 000 and 100 000 records it prints records per second, requests per record
// (counted in the stand-in's log), one bare "select 1" round trip and the job's
// peak memory. Sizes can be given as arguments: bench_transfer 1000 5000
#include "jobs/transfer.h"

#include <QCoreApplication>
#include <QLocale>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "db/database.h"
#include "reporting_server.h"
#include "clock/format_settings.h"

namespace {

using cardsync::testing::StandinServer;
using Clock = std::chrono::steady_clock;

constexpr int kRowsPerInsert = 500;  // SQL Server takes at most 1000 rows per VALUES list
constexpr int kRoundTrips = 200;

long StatusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field))
      return std::strtol(line.c_str() + std::string(field).size(), nullptr, 10);
  }
  return -1;
}

// Resets the peak resident size, so VmHWM afterwards is the peak of what ran since.
bool ResetPeak() {
  std::ofstream clearRefs("/proc/self/clear_refs");
  clearRefs << "5";
  return bool(clearRefs);
}

std::size_t Requests(const std::vector<std::string>& lines, std::size_t from) {
  return std::size_t(
      std::count_if(lines.begin() + std::ptrdiff_t(from), lines.end(), [](const std::string& line) {
        return line.starts_with("batch: ") || line.starts_with("rpc: ") || line.starts_with("tm: ");
      }));
}

void Seed(cardsync::db::Database& database, int records) {
  for (int first = 0; first < records; first += kRowsPerInsert) {
    std::string insert = "insert into T_sendbase values";
    for (int i = first; i < std::min(records, first + kRowsPerInsert); ++i) {
      const std::string n = std::to_string(i);
      insert += std::string(i == first ? " " : ",") + "('R" + n + "', N'0AK" + n.substr(0, 6) +
                "', 12, 120.5, 'kx" + n +
                "', '1710000000', '1710086400', 't', '2024-03-14 10:00:00')";
    }
    database.ExecuteStatement(insert);
  }
}

struct Run {
  double seconds = 0;
  double requestsPerRecord = 0;
  long peakKilobytes = -1;
  cardsync::jobs::JobOutcome outcome;
};

Run TimeTransfer(cardsync::db::Database& database, StandinServer& server, int records) {
  Run run;
  const std::size_t mark = server.LogLines().size();
  const long rssBefore = StatusKilobytes("VmRSS:");
  const bool peakReset = ResetPeak();
  const auto start = Clock::now();
  run.outcome = cardsync::jobs::RunTransfer(database);
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (peakReset) run.peakKilobytes = StatusKilobytes("VmHWM:") - rssBefore;
  run.requestsPerRecord = double(Requests(server.LogLines(), mark)) / records;
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QLocale::setDefault(QLocale::c());
  cardsync::ReloadFormatSettings();
  std::vector<int> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoi(argv[i]));
  if (sizes.empty()) sizes = {1000, 10000, 100000};

  std::printf("%9s  %-8s  %10s  %12s  %12s  %14s  %s\n", "records", "rows", "seconds", "records/s",
              "requests/rec", "peak RSS +KiB", "select 1 round trip");
  for (const int records : sizes) {
    StandinServer server(cardsync::testing::ReportingOptions());
    // No query time-out: at 100 000 records the selection alone takes a while.
    cardsync::db::Database database(
        [&server] { return cardsync::testing::SettingsFor(server, 30, 0); });
    if (!database.OpenDatabase()) {
      std::fprintf(stderr, "cannot connect: %s\n", database.LastConnectError().c_str());
      return 1;
    }
    Seed(database, records);
    std::string one;
    const auto tripStart = Clock::now();
    for (int i = 0; i < kRoundTrips; ++i) database.QueryScalar("select 1", one);
    const double tripMs =
        std::chrono::duration<double, std::milli>(Clock::now() - tripStart).count() / kRoundTrips;
    database.CloseDatabase();

    // First run inserts every record; the second finds them all and only updates.
    const char* kinds[] = {"new", "existing"};
    for (const char* kind : kinds) {
      const Run run = TimeTransfer(database, server, records);
      if (run.outcome.status != cardsync::jobs::JobOutcome::Status::Done ||
          run.outcome.read != records) {
        std::fprintf(stderr, "transfer of %d %s records did not finish: status %d, read %d, %s\n",
                     records, kind, int(run.outcome.status), run.outcome.read,
                     run.outcome.message.c_str());
        return 1;
      }
      std::printf("%9d  %-8s  %10.2f  %12.0f  %12.2f  %14ld  %.3f ms\n", records, kind, run.seconds,
                  records / run.seconds, run.requestsPerRecord, run.peakKilobytes, tripMs);
      std::fflush(stdout);
    }
  }
  return 0;
}
