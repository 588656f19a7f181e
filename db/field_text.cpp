// Field texts and date-time values of column values. Exact numbers arrive as the
// driver's decimal text (the statements ask Qt for high precision), so money keeps
// every digit instead of passing through a double.
#include "db/field_text.h"

#include <sql.h>
#include <sqlext.h>

#include <QDate>
#include <QDateTime>
#include <QTime>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "base/error.h"

#ifndef SQL_SS_TIME2
#define SQL_SS_TIME2 (-154)
#endif
#ifndef SQL_SS_TIMESTAMPOFFSET
#define SQL_SS_TIMESTAMPOFFSET (-155)
#endif

namespace cardsync::db {
namespace {

constexpr int kDecimals = 4;
constexpr int kFloatDigits = 15;
constexpr double kMillisecondsPerDay = 86400000.0;

bool AllDigits(std::string_view text) {
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// Adds one to a string of decimal digits, growing it on carry.
void IncrementDigits(std::string& digits) {
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
    if (*it != '9') {
      ++*it;
      return;
    }
    *it = '0';
  }
  digits.insert(digits.begin(), '1');
}

DateTime TimeOfDay(const QTime& time) {
  return (time.msecsSinceStartOfDay()) / kMillisecondsPerDay;
}

DateTime ValueOfDate(const QDate& date) {
  return EncodeDateTime(date.year(), date.month(), date.day());
}

DateTime ValueOfDateTime(const QDateTime& value) {
  const QDate date = value.date();
  const QTime time = value.time();
  return EncodeDateTime(date.year(), date.month(), date.day(), time.hour(), time.minute(),
                        time.second(), time.msec());
}

// time(7) reaches Qt as text ("10:30:00.1234567"); QTime keeps milliseconds only.
QTime TimeOfVariant(const QVariant& value) {
  if (value.metaType().id() == QMetaType::QTime) return value.toTime();
  QString text = value.toString().trimmed();
  const qsizetype dot = text.indexOf(QLatin1Char('.'));
  if (dot >= 0 && text.size() > dot + 4) text.truncate(dot + 4);
  QTime time = QTime::fromString(text, Qt::ISODateWithMs);
  if (!time.isValid()) time = QTime::fromString(text, Qt::ISODate);
  return time;
}

std::string TextOf(const QVariant& value) { return value.toString().toStdString(); }

}  // namespace

ColumnKind KindOfSqlType(int odbcSqlType) {
  switch (odbcSqlType) {
    case SQL_TINYINT:
    case SQL_SMALLINT:
    case SQL_INTEGER:
    case SQL_BIGINT:
      return ColumnKind::Integer;
    case SQL_DECIMAL:
    case SQL_NUMERIC:
      return ColumnKind::Exact;
    case SQL_FLOAT:
    case SQL_REAL:
    case SQL_DOUBLE:
      return ColumnKind::Float;
    case SQL_TYPE_TIMESTAMP:
    case SQL_TIMESTAMP:
    case SQL_SS_TIMESTAMPOFFSET:
      return ColumnKind::DateTime;
    case SQL_TYPE_DATE:
    case SQL_DATETIME:  // the ODBC 2 date type shares this number
      return ColumnKind::Date;
    case SQL_TYPE_TIME:
    case SQL_TIME:
    case SQL_SS_TIME2:
      return ColumnKind::Time;
    case SQL_CHAR:
    case SQL_VARCHAR:
    case SQL_LONGVARCHAR:
    case SQL_WCHAR:
    case SQL_WVARCHAR:
    case SQL_WLONGVARCHAR:
      return ColumnKind::Text;
    case SQL_BIT:
      return ColumnKind::Bit;
    default:
      return ColumnKind::Other;
  }
}

bool TakeNumberSign(std::string_view& text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty() || (text.front() != '-' && text.front() != '+')) return false;
  const bool negative = text.front() == '-';
  text.remove_prefix(1);
  return negative;
}

std::string ExactNumberText(std::string_view digits, std::string_view decimalSeparator) {
  std::string_view text = digits;
  const bool negative = TakeNumberSign(text);
  const std::size_t point = text.find('.');
  std::string whole(text.substr(0, point));
  std::string fraction(point == std::string_view::npos ? std::string_view{}
                                                       : text.substr(point + 1));
  if ((whole.empty() && fraction.empty()) || !AllDigits(whole) || !AllDigits(fraction)) {
    // Not plain decimal digits (an exponent, say): go through a double once.
    const std::string copy(digits);
    char* end = nullptr;
    const double parsed = std::strtod(copy.c_str(), &end);
    if (end == copy.c_str() || !std::isfinite(parsed)) return copy;
    char buffer[400];
    std::snprintf(buffer, sizeof buffer, "%.*f", kDecimals, parsed);
    return ExactNumberText(buffer, decimalSeparator);
  }
  if (fraction.size() > kDecimals) {
    const bool roundUp = fraction[kDecimals] >= '5';
    fraction.resize(kDecimals);
    if (roundUp) {
      std::string all = whole + fraction;
      IncrementDigits(all);
      whole = all.substr(0, all.size() - kDecimals);
      fraction = all.substr(all.size() - kDecimals);
    }
  }
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  const std::size_t firstNonZero = whole.find_first_not_of('0');
  whole = firstNonZero == std::string::npos ? "0" : whole.substr(firstNonZero);
  std::string result = (negative && !(whole == "0" && fraction.empty())) ? "-" : "";
  result += whole;
  if (!fraction.empty()) result.append(decimalSeparator).append(fraction);
  return result;
}

std::string FloatNumberText(double value, std::string_view decimalSeparator) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  if (value == 0) return "0";  // also -0
  // %G already picks the same fixed/scientific split; only the exponent's form differs.
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*G", kFloatDigits, value);
  std::string text(buffer);
  std::string exponent;
  if (const std::size_t e = text.find('E'); e != std::string::npos) {
    std::string_view digits = std::string_view(text).substr(e + 1);
    const bool negativeExponent = !digits.empty() && digits.front() == '-';
    if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
      digits.remove_prefix(1);
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    exponent = std::string("E") + (negativeExponent ? "-" : "") + std::string(digits);
    text.resize(e);
  }
  if (const std::size_t point = text.find('.'); point != std::string::npos) {
    text.replace(point, 1, decimalSeparator);
  }
  return text + exponent;
}

std::string FieldText(const QVariant& value, ColumnKind kind, const FormatSettings& settings) {
  if (!value.isValid() || value.isNull()) return {};
  switch (kind) {
    case ColumnKind::Integer:
      return std::to_string(value.toLongLong());
    case ColumnKind::Exact:
      return ExactNumberText(TextOf(value), settings.decimalSeparator);
    case ColumnKind::Float:
      return FloatNumberText(value.toDouble(), settings.decimalSeparator);
    case ColumnKind::DateTime:
      return DateTimeText(ValueOfDateTime(value.toDateTime()), settings);
    case ColumnKind::Date:
      return DateTimeText(ValueOfDate(value.toDate()), settings);
    case ColumnKind::Time: {
      const QTime time = TimeOfVariant(value);
      if (!time.isValid()) return TextOf(value);
      return FormatDateTime(settings.longTimePattern, TimeOfDay(time), settings);
    }
    case ColumnKind::Bit:
      return value.toBool() ? "True" : "False";
    case ColumnKind::Text:
    case ColumnKind::Other:
      break;
  }
  return TextOf(value);
}

DateTime FieldDateTime(const QVariant& value, ColumnKind kind, const FormatSettings& settings,
                       std::string_view statementName, std::string_view columnName) {
  switch (kind) {
    case ColumnKind::DateTime:
    case ColumnKind::Date:
    case ColumnKind::Time:
      if (!value.isValid() || value.isNull()) return 0;
      if (kind == ColumnKind::Date) return ValueOfDate(value.toDate());
      if (kind == ColumnKind::Time) return TimeOfDay(TimeOfVariant(value));
      return ValueOfDateTime(value.toDateTime());
    case ColumnKind::Text: {
      // A null character column is the empty text, which is no date either.
      const std::string text = value.isNull() ? std::string() : TextOf(value);
      DateTime parsed = 0;
      if (!TryParseDateTimeText(text, settings, parsed)) {
        throw Error("'" + text + "' is not a valid date and time");
      }
      return parsed;
    }
    default:
      throw Error(std::string(statementName) + ": Cannot access field '" + std::string(columnName) +
                  "' as type DateTime");
  }
}

}  // namespace cardsync::db
