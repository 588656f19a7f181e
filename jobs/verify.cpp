// The comparison asks the server whether each stored column equals the value the
// transfer would bind, so the server's own conversions decide (a money column given
// '' holds 0, a datetime compares as the one written); text columns, where its
// collation would take "abc" for "ABC", are compared here, exactly, trailing blanks
// aside (char columns pad).
#include "jobs/verify.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>
#include <utility>

#include "convert/log_text.h"
#include "jobs/connected_run.h"
#include "jobs/server_day.h"
#include "jobs/transfer_passes.h"
#include "jobs/transfer_values.h"

namespace cardsync::jobs {
namespace {

constexpr const char* kNullKahao =
    "select count(*) from T_sendbase where "
    "year(siji)*10000+month(siji)*100+DAY(siji)=? and kahao is null";
// The update's columns, in the order of PreparedRecord::update.
constexpr const char* kColumns[] = {"kex_no", "startdate", "enddate", "months",
                                    "moneys", "types",     "kahao",   "siji"};
constexpr std::size_t kColumnCount = std::size(kColumns);
constexpr std::size_t kListed = 10;
constexpr double kDueDays = kTransferDueSecond / 86400.0;

std::string DateText(long long dayNumber) {
  const long long ymd = YearMonthDay(dayNumber);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", ymd / 10000, ymd / 100 % 100, ymd % 100);
  return text;
}

std::string RightTrimmed(std::string text) {
  text.erase(text.find_last_not_of(' ') + 1);
  return text;
}

// One branch of the comparison per record: each stored row with its order_id (under the
// column's collation), a flag per column saying whether it equals the bound value, and
// the stored values. Its parameters are the record's update values, in order.
std::string ComparisonBranch(std::size_t position) {
  std::string text = "select " + std::to_string(position) + " as pos";
  for (std::size_t c = 0; c < kColumnCount; ++c) {
    text += ",case when q." + std::string(kColumns[c]) + "=? then 1 else 0 end as e" +
            std::to_string(c);
  }
  for (std::size_t c = 0; c < kColumnCount; ++c) {
    text += ",q." + std::string(kColumns[c]) + " as v" + std::to_string(c);
  }
  return text + " from T_quindale as q where q.order_id=?";
}

// What the day's transfer would write: each distinct order_id with the values of its
// last selection (a later update overwrites an earlier one), in read order.
struct DayRecords {
  std::vector<PreparedRecord> records;
  std::unordered_map<std::string, std::size_t> byId;
  int notWritable = 0;

  void Add(PreparedRecord record) {
    const auto [place, added] = byId.try_emplace(record.orderId, records.size());
    if (added) {
      records.push_back(std::move(record));
    } else {
      records[place->second] = std::move(record);
    }
  }
};

class DayVerifier {
 public:
  DayVerifier(db::Database& database, const DestinationColumns& destination, int batchSize)
      : database_(database), destination_(destination), batchSize_(batchSize) {}

  VerifiedDay Verify(long long runDay, long long serverDay, bool previousDaySpecial) {
    VerifiedDay day;
    day.runDay = runDay;
    day.serverDay = serverDay;
    DayRecords selected;
    for (const TransferPass& pass : TransferPasses(previousDaySpecial)) {
      Select(SelectionFor(pass, serverDay), pass.convertPlate, selected);
    }
    day.selected = int(selected.records.size()) + selected.notWritable;
    day.notWritable = selected.notWritable;
    day.nullKahao = CountNullKahao(serverDay - 1);
    for (std::size_t from = 0; from < selected.records.size(); from += std::size_t(batchSize_)) {
      Compare(selected.records, from,
              std::min(selected.records.size(), from + std::size_t(batchSize_)), day);
    }
    return day;
  }

 private:
  void Select(const PassSelection& selection, bool convertPlate, DayRecords& selected) {
    db::Statement& reader = database_.ADOQuww();
    reader.Close();
    reader.SetText(selection.text);
    bool first = true;
    reader.OpenEach(selection.params, [&](const db::Statement& row) {
      if (first) row.RequireFields(kSourceColumns);
      first = false;
      try {
        selected.Add(PrepareRecord(row, convertPlate, destination_));
      } catch (const Error&) {
        ++selected.notWritable;  // the transfer skips it with its reason
      }
    });
  }

  int CountNullKahao(long long ordinaryDay) {
    std::string count;
    if (!database_.QueryScalar(kNullKahao, count, {std::int64_t(YearMonthDay(ordinaryDay))})) {
      throw *database_.LastQueryError();
    }
    return std::atoi(count.c_str());
  }

  bool TextColumn(std::size_t c) const {
    const ColumnType types[] = {destination_.kexNo,  destination_.startDate, destination_.endDate,
                                destination_.months, destination_.moneys,    destination_.types,
                                destination_.kahao,  destination_.siji};
    return types[c] == ColumnType::Text;
  }

  // Compares records [from, to) in one request; rows of an id stored twice (a table
  // without a key) must all be equal.
  void Compare(const std::vector<PreparedRecord>& records, std::size_t from, std::size_t to,
               VerifiedDay& day) {
    std::string text;
    db::Params params;
    for (std::size_t i = from; i < to; ++i) {
      if (i > from) text += "\r\nunion all ";
      text += ComparisonBranch(i - from);
      params.insert(params.end(), records[i].update.begin(), records[i].update.end());
    }
    std::vector<bool> found(to - from, false);
    std::vector<std::vector<std::string>> differing(to - from);
    db::Statement& executor = database_.ADOQuexec();
    executor.Close();
    executor.SetText(text);
    executor.OpenEach(params, [&](const db::Statement& row) {
      const std::size_t pos = std::size_t(std::atoll(row.FieldText("pos").c_str()));
      if (pos >= found.size()) return;
      found[pos] = true;
      const PreparedRecord& record = records[from + pos];
      for (std::size_t c = 0; c < kColumnCount; ++c) {
        const bool equal = ColumnEqual(row, record, c);
        std::vector<std::string>& names = differing[pos];
        if (!equal && std::find(names.begin(), names.end(), kColumns[c]) == names.end()) {
          names.push_back(kColumns[c]);
        }
      }
    });
    for (std::size_t pos = 0; pos < found.size(); ++pos) {
      const std::string id = LogText(records[from + pos].orderId);
      if (!found[pos]) {
        if (day.missingIds.size() < kListed) day.missingIds.push_back(id);
        ++day.missing;
      } else if (!differing[pos].empty()) {
        std::string named = id + " (";
        for (std::size_t n = 0; n < differing[pos].size(); ++n) {
          named += (n == 0 ? "" : ", ") + differing[pos][n];
        }
        if (day.differentIds.size() < kListed) day.differentIds.push_back(named + ")");
        ++day.different;
      } else {
        ++day.equal;
      }
    }
  }

  bool ColumnEqual(const db::Statement& row, const PreparedRecord& record, std::size_t c) const {
    const std::string index = std::to_string(c);
    const auto* expected = std::get_if<std::string>(&record.update[c]);
    if (TextColumn(c) && expected != nullptr) {
      const db::Statement::TypedValue stored = row.FieldValue("v" + index);
      if (stored.value.isNull()) return false;
      return RightTrimmed(row.FieldText("v" + index)) == RightTrimmed(*expected);
    }
    if (row.FieldText("e" + index) == "1") return true;
    // A null amount goes as '' and a number column keeps 0 for it; not every server
    // compares '' with a number as it converted it, so that one is checked here.
    if (expected != nullptr && expected->empty()) {
      const db::Statement::TypedValue stored = row.FieldValue("v" + index);
      return !stored.value.isNull() && stored.value.toDouble() == 0;
    }
    return false;
  }

  db::Database& database_;
  const DestinationColumns& destination_;
  int batchSize_;
};

// The newest run day whose due moment has passed on the workstation's clock.
long long LastDueDay(DateTime now) {
  const auto today = static_cast<long long>(std::floor(now));
  return now - double(today) >= kDueDays ? today : today - 1;
}

}  // namespace

std::vector<std::string> VerifyReport::Lines() const {
  std::vector<std::string> lines;
  for (console::Line& line : KindedLines()) lines.push_back(std::move(line.text));
  return lines;
}

std::vector<console::Line> VerifyReport::KindedLines() const {
  std::vector<console::Line> lines;
  for (const VerifiedDay& day : days) {
    const console::Kind kind = day.Equal() ? console::Kind::Done : console::Kind::Failed;
    std::string line = DateText(day.runDay) + ": selected " + std::to_string(day.selected) +
                       ", equal " + std::to_string(day.equal) + ", missing " +
                       std::to_string(day.missing) + ", different " + std::to_string(day.different);
    if (day.notWritable > 0) line += ", not writable " + std::to_string(day.notWritable);
    if (day.nullKahao > 0) line += ", null kahao " + std::to_string(day.nullKahao);
    if (day.serverDay != day.runDay) line += " (server day " + DateText(day.serverDay) + ")";
    lines.push_back({kind, line});
    const auto list = [&lines, kind](const char* what, const std::vector<std::string>& ids) {
      if (ids.empty()) return;
      std::string text = std::string("  ") + what + ": ";
      for (std::size_t i = 0; i < ids.size(); ++i) text += (i == 0 ? "" : ", ") + ids[i];
      lines.push_back({kind, text});
    };
    list("missing", day.missingIds);
    list("different", day.differentIds);
  }
  return lines;
}

VerifyReport VerifyTransfers(db::Database& database, const VerifyOptions& options) {
  VerifyReport report;
  const int dayCount = std::clamp(options.days, 1, kMaxVerifyDays);
  const RunTiming timing{std::nullopt, kTransferDueSecond, options.clock};
  const JobOutcome outcome =
      RunConnected(database, timing, [&](JobOutcome&, const ServerClock& clock) {
        const DestinationColumns destination = LearnDestinationColumns(database);
        const bool previousDaySpecial = options.previousDaySpecialCards.value_or(
            database.TransferSettings().previousDaySpecialCards);
        const int batchSize =
            std::clamp(options.batchSize.value_or(database.TransferSettings().batchSize), 1,
                       settings::kLargestBatchSize);
        DayVerifier verifier(database, destination, batchSize);
        // Days by the server's clock: a workstation clock a day off must not shift them.
        const long long last = LastDueDay(clock.RightWorkstationTime());
        for (long long runDay = last - dayCount + 1; runDay <= last; ++runDay) {
          report.days.push_back(
              verifier.Verify(runDay, ServerDayOfRun(runDay, clock), previousDaySpecial));
        }
      });
  switch (outcome.status) {
    case JobOutcome::Status::CouldNotConnect:
      report.status = VerifyReport::Status::CouldNotConnect;
      break;
    case JobOutcome::Status::Failed:
    case JobOutcome::Status::Interrupted:
      report.status = VerifyReport::Status::Failed;
      break;
    case JobOutcome::Status::Done:
      report.status = std::all_of(report.days.begin(), report.days.end(),
                                  [](const VerifiedDay& d) { return d.Equal(); })
                          ? VerifyReport::Status::AllEqual
                          : VerifyReport::Status::Differences;
      break;
  }
  report.message = outcome.message;
  return report;
}

}  // namespace cardsync::jobs
