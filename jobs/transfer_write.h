// Writing a pass's prepared records into T_quindale: record by record (the count,
// then insert and update in one transaction, or the update alone), or in chunks of
// one request each. Both give the same rows, counts and skipped records; a chunk
// the server refuses is rolled back and written again record by record.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "db/database.h"
#include "jobs/outcome.h"
#include "jobs/prepared_records.h"

namespace cardsync::jobs {

class RecordWriter {
 public:
  RecordWriter(db::Database& database, JobOutcome& outcome)
      : database_(database), outcome_(outcome) {}

  // Writes records [from, to) of `records`, record by record. A job-ending error
  // throws cardsync::Error with the message the failure line shows.
  void WriteEach(const PreparedRecords& records, std::size_t from, std::size_t to);
  // The same as one chunk: one request that inserts the new, updates all and commits.
  void WriteChunk(const PreparedRecords& records, std::size_t from, std::size_t to);

  // A record skipped before writing (its values could not be prepared).
  void Skip(int readIndex, std::string orderId, std::string reason);
  // Adds the records skipped so far to the outcome, in read order.
  void ReportSkipped();

 private:
  void WriteOne(const PreparedRecord& record, int readIndex);
  void Copy(const PreparedRecord& record);
  void RollBackQuietly();
  std::string JobEndingMessage(const db::DatabaseError& error) const;

  db::Database& database_;
  JobOutcome& outcome_;
  std::vector<std::pair<int, SkippedRecord>> skipped_;
};

}  // namespace cardsync::jobs
