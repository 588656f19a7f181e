// Text and date-time forms of one column value as the jobs read it. Kept apart
// from the connection so every column kind can be checked without a server; the
// statement objects classify each column once, when a result is opened.
#pragma once

#include <QVariant>
#include <string>
#include <string_view>

#include "clock/datetime.h"
#include "clock/format_settings.h"

namespace cardsync::db {

enum class ColumnKind {
  Integer,   // tinyint .. bigint
  Exact,     // money, decimal, numeric: shown with at most four decimals
  Float,     // float, real
  DateTime,  // datetime, datetime2, smalldatetime
  Date,      // date only
  Time,      // time only
  Text,      // char(n) keeps its blanks; varchar, nchar, nvarchar as read
  Bit,
  Other,
};

// The kind of a column from its ODBC SQL data type (SQLDescribeCol).
ColumnKind KindOfSqlType(int odbcSqlType);

// Field text of `value` (a null QVariant is a null column).
std::string FieldText(const QVariant& value, ColumnKind kind, const FormatSettings& settings);

// Date-time value of a column; character columns are parsed with `settings`.
// `columnName` and `statementName` only make the error texts.
DateTime FieldDateTime(const QVariant& value, ColumnKind kind, const FormatSettings& settings,
                       std::string_view statementName, std::string_view columnName);

// Takes the blanks around a number's text and its leading sign off `text`; true
// when the sign was '-'.
bool TakeNumberSign(std::string_view& text);

// An exact number's text (as the driver gives it, "-120.5000") rounded half away
// from zero to four decimals, trailing zeros dropped, with `decimalSeparator`.
std::string ExactNumberText(std::string_view digits, std::string_view decimalSeparator);

// General form with up to 15 significant digits; an exponent ("1E20", "1.5E-7")
// only where the fixed form would need more than 15 digits or 4 leading zeros.
std::string FloatNumberText(double value, std::string_view decimalSeparator);

}  // namespace cardsync::db
