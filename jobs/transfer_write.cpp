// The two ways of writing a pass. The per-record statements are what a DBA may
// want to see; the chunk is the same work in two requests. Every error about one
// record's values skips that record; any other error ends the job.
#include "jobs/transfer_write.h"

#include <algorithm>
#include <unordered_set>

namespace cardsync::jobs {
namespace {

constexpr const char* kExistenceCheck = "select count(*) from T_quindale where order_id=?";
constexpr const char* kInsertStatement = "insert into T_quindale(order_id) values(?)";
constexpr const char* kUpdateStatement =
    "update T_quindale set kex_no=?,startdate=?,enddate=?,months=?,moneys=?,types=?,kahao=?,siji=? "
    "where order_id=?";

// A chunk: which of its order_ids exist, then one request that inserts the new ones
// and updates every record, in read order, in one transaction. XACT_ABORT makes
// any error roll the whole chunk back (the setting ends with the request).
constexpr const char* kChunkExisting = "select order_id from T_quindale where order_id in (";
constexpr const char* kChunkBegin = "set xact_abort on;\r\nbegin transaction;\r\n";
constexpr const char* kChunkInsert = "insert into T_quindale(order_id) values ";
constexpr const char* kChunkCommit = "commit transaction";
constexpr const char* kStatementEnd = ";\r\n";

std::string Placeholders(std::size_t count, const char* each) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : ",") + std::string(each);
  return text;
}

}  // namespace

void RecordWriter::Skip(int readIndex, std::string orderId, std::string reason) {
  skipped_.push_back({readIndex, {std::move(orderId), std::move(reason)}});
}

void RecordWriter::ReportSkipped() {
  std::stable_sort(skipped_.begin(), skipped_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [index, record] : skipped_) outcome_.skipped.push_back(std::move(record));
  skipped_.clear();
}

void RecordWriter::RollBackQuietly() {
  // The first error is the one worth reporting; a lost link fails the rollback too,
  // and XACT_ABORT may have rolled back already.
  try {
    database_.RollbackTransaction();
  } catch (const Error&) {
  }
}

std::string RecordWriter::JobEndingMessage(const db::DatabaseError& error) const {
  // Records written before it stay written: say how many.
  const std::string written = std::to_string(outcome_.updated) + " records had been written";
  if (error.TimedOut()) {
    return "the server did not answer in time (query_timeout); " + written + ": " + error.what();
  }
  if (error.ConnectionLost()) {
    return "the connection to the server was lost; " + written + ": " + error.what();
  }
  return error.what();
}

void RecordWriter::Copy(const PreparedRecord& record) {
  std::string count;
  if (!database_.QueryScalar(kExistenceCheck, count, {record.orderId})) {
    // Without a count we cannot tell insert from update: leave the record alone.
    throw *database_.LastQueryError();
  }
  if (count == "0") {
    // Insert and update land together, so no row is left holding only order_id.
    database_.BeginTransaction();
    try {
      database_.ExecuteStatement(kInsertStatement, {record.orderId});
      database_.ExecuteStatement(kUpdateStatement, record.update);
      database_.CommitTransaction();
    } catch (const Error&) {
      RollBackQuietly();
      throw;
    }
    ++outcome_.inserted;
  } else {
    database_.ExecuteStatement(kUpdateStatement, record.update);
  }
  ++outcome_.updated;
}

void RecordWriter::WriteOne(const PreparedRecord& record, int readIndex) {
  try {
    try {
      Copy(record);
    } catch (const db::DatabaseError& e) {
      // A lock another session holds may be let go in a moment: the record is
      // tried once more before the lock counts as a fault of the whole run.
      if (!e.LockTimedOut()) throw;
      Copy(record);
    }
  } catch (const db::DatabaseError& e) {
    if (!e.AboutTheValues()) throw Error(JobEndingMessage(e));
    Skip(readIndex, record.orderId, e.what());
  }
}

void RecordWriter::WriteEach(const PreparedRecords& records, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) WriteOne(records.At(i), records.ReadIndex(i));
}

void RecordWriter::WriteChunk(const PreparedRecords& records, std::size_t from, std::size_t to) {
  std::vector<PreparedRecord> chunk;
  for (std::size_t i = from; i < to; ++i) chunk.push_back(records.At(i));
  try {
    db::Params ids;
    for (const PreparedRecord& record : chunk) ids.push_back(record.orderId);
    std::unordered_set<std::string> known;
    db::Statement& executor = database_.ADOQuexec();
    executor.SetText(kChunkExisting + Placeholders(ids.size(), "?") + ")");
    executor.OpenEach(
        ids, [&known](const db::Statement& row) { known.insert(row.FieldText(std::size_t{0})); });
    // New are the ids neither stored nor already met in this chunk, each inserted
    // once, as the per-record path inserts the first and updates the rest. An id
    // that differs from a stored one only as the server's collation folds it is
    // taken for new; its insert then fails and the chunk goes record by record.
    db::Params params;
    for (const PreparedRecord& record : chunk) {
      if (known.insert(record.orderId).second) params.push_back(record.orderId);
    }
    const std::size_t inserts = params.size();
    std::string text = kChunkBegin;
    if (inserts > 0) text += kChunkInsert + Placeholders(inserts, "(?)") + kStatementEnd;
    for (const PreparedRecord& record : chunk) {
      text += std::string(kUpdateStatement) + kStatementEnd;
      params.insert(params.end(), record.update.begin(), record.update.end());
    }
    text += kChunkCommit;
    database_.ExecuteStatement(text, params);
    outcome_.inserted += int(inserts);
    outcome_.updated += int(chunk.size());
  } catch (const db::DatabaseError& e) {
    if (e.ConnectionLost()) throw Error(JobEndingMessage(e));
    // Whatever the server refused, record by record finds which and why.
    RollBackQuietly();
    WriteEach(records, from, to);
  }
}

}  // namespace cardsync::jobs
