// The two printouts of the run history. The table is for a terminal and for awk; the
// JSON carries what the table leaves out (skip reasons, end times, the target's parts).
#include "shell/history_report.h"

#include <QDate>
#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTime>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "convert/log_text.h"
#include "jobs/server_day.h"
#include "schedule/owed.h"

namespace cardsync::shell {

using schedule::DayText;
using schedule::JobName;
using schedule::RunRow;
using schedule::TriggerName;
namespace {

struct Column {
  const char* name;
  std::size_t width;  // wide enough for the column's usual values
};

constexpr Column kDay{"day", 10};
constexpr Column kJob{"job", 8};
constexpr Column kTrigger{"trigger", 12};
constexpr Column kOutcome{"outcome", 17};
constexpr Column kRead{"read", 6};
constexpr Column kInserted{"inserted", 8};
constexpr Column kUpdated{"updated", 7};
constexpr Column kSkipped{"skipped", 7};
constexpr Column kStarted{"started", 19};
constexpr Column kServerDay{"server-day", 10};
constexpr Column kTarget{"target", 0};
constexpr const char* kMessage = "message";
constexpr const char* kNone = "-";
constexpr const char* kWarningLine = "  warning: ";

// `text` with its blanks made hyphens: "command line" -> "command-line".
std::string Word(std::string text) {
  std::replace(text.begin(), text.end(), ' ', '-');
  return text;
}

// "YYYY-MM-DDTHH:MM:SS": the stamp as one word.
std::string Started(DateTime value) {
  std::string text = jobs::ClockStamp(value);
  std::replace(text.begin(), text.end(), ' ', 'T');
  return text;
}

// `text` and the blanks that bring it to the column's width, and one more between columns.
void Cell(std::string& line, const std::string& text, const Column& column) {
  line += text;
  line.append(text.size() < column.width ? column.width - text.size() : 0, ' ');
  line += ' ';
}

QJsonValue TimeValue(const std::optional<DateTime>& value) {
  return value ? QJsonValue(QString::fromStdString(IsoLocalTime(*value))) : QJsonValue();
}

QJsonObject RunObject(const RunRow& row) {
  QJsonArray skipped;
  for (const jobs::SkippedRecord& record : row.skippedList) {
    skipped.append(QJsonObject{{"id", QString::fromStdString(record.orderId)},
                               {"reason", QString::fromStdString(record.reason)}});
  }
  QJsonArray warnings;
  for (const std::string& warning : row.warnings) warnings.append(QString::fromStdString(warning));
  return QJsonObject{
      {"job", QString::fromStdString(std::string(JobName(row.job)))},
      {"runDay", QString::fromStdString(DayText(row.runDay))},
      {"trigger", QString::fromStdString(std::string(TriggerName(row.trigger)))},
      {"started", TimeValue(row.started)},
      {"ended", TimeValue(row.ended)},
      {"outcome", QString::fromStdString(row.outcome)},
      {"read", row.read},
      {"inserted", row.inserted},
      {"updated", row.updated},
      {"skipped", row.skipped},
      {"skippedRecords", skipped},
      {"warnings", warnings},
      {"message", QString::fromStdString(row.message)},
      {"target", QJsonObject{{"server", QString::fromStdString(row.target.server)},
                             {"port", row.target.port},
                             {"database", QString::fromStdString(row.target.database)}}},
      {"serverDay",
       row.serverDay.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(row.serverDay))},
  };
}

}  // namespace

std::string IsoLocalTime(DateTime value) {
  const DateTimeParts parts = SplitDateTime(value);
  // The offset in force at that wall-clock time, so a winter run keeps its winter offset.
  const QDateTime local(QDate(parts.year, parts.month, parts.day),
                        QTime(parts.hour, parts.minute, parts.second), Qt::LocalTime);
  const int offsetMinutes = local.offsetFromUtc() / 60;
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", parts.year,
                parts.month, parts.day, parts.hour, parts.minute, parts.second,
                offsetMinutes < 0 ? '-' : '+', std::abs(offsetMinutes) / 60,
                std::abs(offsetMinutes) % 60);
  return text;
}

std::string HistoryTable(const std::vector<RunRow>& runs, int days, bool withTarget) {
  if (runs.empty()) return "no runs in the last " + std::to_string(days) + " days\n";
  std::string text;
  const auto row = [&](const std::vector<std::string>& cells, const std::string& target,
                       const std::string& message) {
    const Column* columns[] = {&kDay,      &kJob,     &kTrigger, &kOutcome, &kRead,
                               &kInserted, &kUpdated, &kSkipped, &kStarted, &kServerDay};
    std::string line;
    for (std::size_t i = 0; i < cells.size(); ++i) Cell(line, cells[i], *columns[i]);
    if (withTarget) Cell(line, target, kTarget);
    line += message;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + '\n';
  };
  row({kDay.name, kJob.name, kTrigger.name, kOutcome.name, kRead.name, kInserted.name,
       kUpdated.name, kSkipped.name, kStarted.name, kServerDay.name},
      kTarget.name, kMessage);
  for (const RunRow& run : runs) {
    row({DayText(run.runDay), std::string(JobName(run.job)),
         Word(std::string(TriggerName(run.trigger))), Word(run.outcome), std::to_string(run.read),
         std::to_string(run.inserted), std::to_string(run.updated), std::to_string(run.skipped),
         Started(run.started), run.serverDay.empty() ? kNone : run.serverDay},
        Word(run.target.Text()), LogText(run.message));
    for (const std::string& warning : run.warnings) text += kWarningLine + LogText(warning) + '\n';
  }
  return text;
}

std::string HistoryJson(const std::vector<RunRow>& runs) {
  QJsonArray array;
  for (const RunRow& run : runs) array.append(RunObject(run));
  return QJsonDocument(array).toJson(QJsonDocument::Indented).toStdString();
}

}  // namespace cardsync::shell
