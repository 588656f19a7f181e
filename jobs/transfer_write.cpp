// The two ways of writing a pass. The per-record statements are what a DBA may
// want to see; the chunk is the same work in two requests. Every error about one
// record's values skips that record; any other error ends the job.
#include "jobs/transfer_write.h"

#include <algorithm>

#include "jobs/connected_run.h"

namespace cardsync::jobs {
namespace {

constexpr const char* kExistenceCheck = "select count(*) from T_quindale where order_id=?";
constexpr const char* kInsertStatement = "insert into T_quindale(order_id) values(?)";
constexpr const char* kUpdateStatement =
    "update T_quindale set kex_no=?,startdate=?,enddate=?,months=?,moneys=?,types=?,kahao=?,siji=? "
    "where order_id=?";

// A chunk in one request and one transaction: per record, in read order, its order_id
// inserted unless a row with it exists (the server's collation decides, as for the
// count of the per-record path, so ids that differ by case or trailing blanks, stored
// or earlier in the chunk, share a row), then its update. XACT_ABORT makes any error
// roll the whole chunk back (the settings end with the request). The answer, read only
// after the commit, says which records were inserted: '1' or '0' each, in order.
constexpr const char* kChunkBegin =
    "set xact_abort on;\r\nset nocount on;\r\ndeclare @inserted varchar(1000) = '';\r\n"
    "begin transaction;\r\n";
constexpr const char* kChunkInsertIfNew =
    "insert into T_quindale(order_id) select v.id from (select ? as id) as v "
    "where not exists (select 1 from T_quindale as q where q.order_id = v.id);\r\n"
    "set @inserted = @inserted + case when @@rowcount > 0 then '1' else '0' end;\r\n";
constexpr const char* kChunkEnd = "commit transaction;\r\nselect @inserted as inserted";
constexpr const char* kStatementEnd = ";\r\n";

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
  return RunEndingMessage(error, std::to_string(outcome_.updated) + " records had been written",
                          database_.Settings().lockTimeoutSeconds);
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
  try {
    std::string text = kChunkBegin;
    db::Params params;
    for (std::size_t i = from; i < to; ++i) {
      const PreparedRecord record = records.At(i);
      text += kChunkInsertIfNew;
      params.push_back(record.orderId);
      text += std::string(kUpdateStatement) + kStatementEnd;
      params.insert(params.end(), record.update.begin(), record.update.end());
    }
    text += kChunkEnd;
    std::string inserted;
    db::Statement& executor = database_.ADOQuexec();
    executor.Close();
    executor.SetText(std::move(text));
    executor.OpenEach(params, [&inserted](const db::Statement& row) {
      inserted = row.FieldText(std::size_t{0});
    });
    // Without the answer the commit is not known to have happened.
    if (inserted.size() != to - from) {
      throw Error("the server's answer to a chunk of " + std::to_string(to - from) +
                  " records was '" + inserted + "'");
    }
    outcome_.inserted += int(std::count(inserted.begin(), inserted.end(), '1'));
    outcome_.updated += int(to - from);
  } catch (const db::DatabaseError& e) {
    if (e.ConnectionLost() || e.TimedOut()) throw Error(JobEndingMessage(e));
    // Whatever the server refused, record by record finds which and why.
    RollBackQuietly();
    WriteEach(records, from, to);
  }
}

}  // namespace cardsync::jobs
