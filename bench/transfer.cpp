// Benchmark of the transfer job against the SQL Server stand-in: the per-record
// path (batch_size=1) and the chunked path side by side, records per second and
// requests per record (counted in the stand-in's log) for new and existing
// records with every reply delayed 0, 1, 5 and 20 ms, then each path's peak
// memory above the raw data. Usage: bench_transfer [records [peak-records [chunk]]]
#include "jobs/transfer.h"

#include <QCoreApplication>
#include <QLocale>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "clock/format_settings.h"
#include "db/database.h"
#include "reporting_server.h"

namespace {

using cardsync::testing::StandinServer;
using Clock = std::chrono::steady_clock;

constexpr int kRowsPerInsert = 500;  // SQL Server takes at most 1000 rows per VALUES list
constexpr int kDelaysMs[] = {0, 1, 5, 20};
// Record by record, five round trips a new record: at 5 ms and more 10 000
// records would take many minutes, so those runs use fewer records.
constexpr int kSlowDelayMs = 5;
constexpr int kSlowPerRecordRecords = 1000;

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

// Seeds `records` cards of yesterday; returns the bytes of their field values,
// the raw data a pass reads.
std::size_t Seed(cardsync::db::Database& database, int records) {
  std::size_t raw = 0;
  for (int first = 0; first < records; first += kRowsPerInsert) {
    std::string insert = "insert into T_sendbase values";
    for (int i = first; i < std::min(records, first + kRowsPerInsert); ++i) {
      const std::string n = std::to_string(i);
      const std::vector<std::string> fields = {
          "R" + n, "0AK" + n.substr(0, 6), "12", "120.5", "kx" + n, "1710000000", "1710086400",
          "t",     "2024-03-14 10:00:00"};
      for (const auto& f : fields) raw += f.size();
      insert += std::string(i == first ? " " : ",") + "('" + fields[0] + "', N'" + fields[1] +
                "', " + fields[2] + ", " + fields[3] + ", '" + fields[4] + "', '" + fields[5] +
                "', '" + fields[6] + "', '" + fields[7] + "', '" + fields[8] + "')";
    }
    database.ExecuteStatement(insert);
  }
  return raw;
}

struct Run {
  double seconds = 0;
  double requestsPerRecord = 0;
};

struct Path {
  const char* name;
  std::optional<int> batchSize;
};

// A fresh stand-in delaying every reply by delayMs, seeded with `records`; the
// first transfer inserts every record, the second finds them all and updates.
// Returns false (and says why) when a run does not finish.
bool TimeBoth(const Path& path, int delayMs, int records, Run& fresh, Run& existing) {
  StandinServer::Options options = cardsync::testing::ReportingOptions();
  options.delayMs = delayMs;
  StandinServer server(options);
  // No query time-out: at 100 000 records the selection alone takes a while.
  cardsync::db::Database database(
      [&server] { return cardsync::testing::SettingsFor(server, 30, 0); });
  if (!database.OpenDatabase()) {
    std::fprintf(stderr, "cannot connect: %s\n", database.LastConnectError().c_str());
    return false;
  }
  Seed(database, records);
  database.CloseDatabase();
  cardsync::jobs::TransferOptions transfer;
  transfer.batchSize = path.batchSize;
  for (Run* run : {&fresh, &existing}) {
    const std::size_t mark = server.LogLines().size();
    const auto start = Clock::now();
    const cardsync::jobs::JobOutcome outcome = cardsync::jobs::RunTransfer(database, transfer);
    run->seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run->requestsPerRecord = double(Requests(server.LogLines(), mark)) / records;
    if (outcome.status != cardsync::jobs::JobOutcome::Status::Done || outcome.read != records) {
      std::fprintf(
          stderr, "%s transfer of %d records at %d ms did not finish: status %d, read %d, %s\n",
          path.name, records, delayMs, int(outcome.status), outcome.read, outcome.message.c_str());
      return false;
    }
  }
  return true;
}

// One transfer of `records` new or existing records with chunk size `batch`
// (0: the default), measured alone in this process; prints its peak KiB above
// the resident size before it and the raw data's bytes.
int PeakRun(const std::string& kind, int records, int batch) {
  StandinServer server(cardsync::testing::ReportingOptions());
  cardsync::db::Database database(
      [&server] { return cardsync::testing::SettingsFor(server, 30, 0); });
  if (!database.OpenDatabase()) return 1;
  const std::size_t raw = Seed(database, records);
  // Existing records are made on the server, so the client's heap stays as it was.
  if (kind == "existing")
    database.ExecuteStatement("insert into T_quindale(order_id) select order_id from T_sendbase");
  database.CloseDatabase();
  cardsync::jobs::TransferOptions transfer;
  if (batch > 0) transfer.batchSize = batch;
  const long rssBefore = StatusKilobytes("VmRSS:");
  if (!ResetPeak()) return 1;
  const cardsync::jobs::JobOutcome outcome = cardsync::jobs::RunTransfer(database, transfer);
  const long peak = StatusKilobytes("VmHWM:") - rssBefore;
  if (outcome.status != cardsync::jobs::JobOutcome::Status::Done || outcome.read != records)
    return 1;
  std::printf("%ld %zu\n", peak, raw);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  QLocale::setDefault(QLocale::c());
  cardsync::ReloadFormatSettings();
  if (argc == 5 && std::string(argv[1]) == "--peak")
    return PeakRun(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
  const int records = argc > 1 ? std::atoi(argv[1]) : 10000;
  const int peakRecords = argc > 2 ? std::atoi(argv[2]) : 100000;
  std::optional<int> chunk;  // unset: the job's default chunk size
  if (argc > 3) chunk = std::atoi(argv[3]);
  const Path perRecord = {"per-record", 1};
  const Path chunked = {"chunked", chunk};
  const int slowRecords = std::min(records, kSlowPerRecordRecords);

  std::printf("Transfer, per-record (batch_size=1) and chunked (batch_size=%s) side by side;\n",
              chunk ? std::to_string(*chunk).c_str() : "default");
  std::printf("%d records a run, except per-record at %d ms and more: %d records.\n\n", records,
              kSlowDelayMs, slowRecords);
  std::printf(
      "| delay | records | per-record new rec/s | req/rec | per-record existing rec/s | req/rec "
      "| chunked new rec/s | req/rec | chunked existing rec/s | req/rec |\n");
  std::printf("|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|\n");
  for (const int delayMs : kDelaysMs) {
    const int perRecordCount = delayMs >= kSlowDelayMs ? slowRecords : records;
    Run slowNew, slowOld, fastNew, fastOld;
    if (!TimeBoth(perRecord, delayMs, perRecordCount, slowNew, slowOld)) return 1;
    if (!TimeBoth(chunked, delayMs, records, fastNew, fastOld)) return 1;
    const std::string counts = perRecordCount == records ? std::to_string(records)
                                                         : std::to_string(perRecordCount) + " / " +
                                                               std::to_string(records);
    std::printf("| %d ms | %s | %.0f | %.3f | %.0f | %.3f | %.0f | %.3f | %.0f | %.3f |\n", delayMs,
                counts.c_str(), perRecordCount / slowNew.seconds, slowNew.requestsPerRecord,
                perRecordCount / slowOld.seconds, slowOld.requestsPerRecord,
                records / fastNew.seconds, fastNew.requestsPerRecord, records / fastOld.seconds,
                fastOld.requestsPerRecord);
    std::fflush(stdout);
  }

  // Each peak is measured in a process of its own: a heap that an earlier run
  // grew would hide the next run's peak.
  std::printf(
      "\nPeak memory at %d records, no delay (the job's resident size above what it was "
      "before the run, each run in a fresh process):\n\n",
      peakRecords);
  std::printf("| path | kind | peak +KiB | bytes/record above raw data |\n|---|---|---:|---:|\n");
  double rawPerRecord = 0;
  for (const Path& path : {perRecord, chunked}) {
    for (const char* kind : {"new", "existing"}) {
      const std::string command = std::string(argv[0]) + " --peak " + kind + " " +
                                  std::to_string(peakRecords) + " " +
                                  std::to_string(path.batchSize.value_or(0));
      FILE* child = popen(command.c_str(), "r");
      long kib = -1;
      double raw = 0;
      if (!child || std::fscanf(child, "%ld %lf", &kib, &raw) != 2) {
        std::fprintf(stderr, "peak run failed: %s\n", command.c_str());
        if (child) pclose(child);
        return 1;
      }
      pclose(child);
      rawPerRecord = raw / peakRecords;
      std::printf("| %s | %s | %ld | %.0f |\n", path.name, kind, kib,
                  double(kib) * 1024.0 / peakRecords - rawPerRecord);
      std::fflush(stdout);
    }
  }
  std::printf("\nRaw data: %.0f bytes a record (the text of its fields).\n", rawPerRecord);
  return 0;
}
