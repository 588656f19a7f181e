// SQL Server's implicit and explicit conversions, as the stand-in applies them
// when a value is written into a typed column or CAST: what each target type
// accepts, how it is normalised for storage in SQLite, and the exact error a
// rejected value raises.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine.h"
#include "sql_decimal.h"
#include "sql_message.h"

namespace standin {

// The database name that SQL Server puts into messages ("reporting.dbo.T").
inline constexpr const char* kDatabaseName = "reporting";

struct DateTime {
  int32_t days = 0;  // since 1900-01-01
  int32_t ms = 0;    // of the day
};

int32_t DaysFromCivil(int y, int m, int d);
void CivilFromDays(int32_t days, int& y, int& m, int& d);

// Text as a us_english SQL Server session reads it into a datetime (mdy order,
// two-digit years up to 49 are 20xx). Sets outOfRange for a well-formed text
// naming a day that does not exist.
std::optional<DateTime> ParseDateTimeText(std::string_view text, bool& outOfRange);
// The storage form this engine writes, or any text ParseDateTimeText accepts.
std::optional<DateTime> ParseStoredDateTime(std::string_view text);
// 'YYYY-MM-DD HH:MM:SS.mmm', the storage form of datetime and smalldatetime.
std::string FormatDateTime(const DateTime& dt);
// 'YYYY-MM-DD', the storage form of date.
std::string FormatDate(int32_t days);

// Bytes the text takes in GBK (code page 936): the unit char/varchar lengths
// count in under a Chinese_PRC collation. Non-ASCII characters count two.
size_t GbkLength(std::string_view utf8);
// UTF-16 code units: the unit nchar/nvarchar lengths count in.
size_t Utf16Length(std::string_view utf8);

// A SQLite value on its way into or out of a conversion.
struct Scalar {
  enum Kind { Null, Int, Real, Text } kind = Null;
  int64_t i = 0;
  double f = 0;
  std::string s;
};

struct ConvertResult {
  Scalar value;
  std::optional<ServerMessage> error;
};

// Where a converted value goes: a column of a table (errors name it, text is
// checked against its length), or nowhere in particular (CAST, CONVERT).
struct ConvertTarget {
  Column type;
  std::string table;  // empty for CAST/CONVERT
  std::string column;
};

// How SQLite keeps an exact number: an integer when it is whole and fits in
// 64 bits, else the nearest double (SQLite has no decimal type; a value of
// more than 15 significant digits keeps only those).
Scalar StoredDecimal(const Decimal& d);

// Converts in to the target type the way SQL Server does. nationalSource says
// the text came as nvarchar (a Unicode parameter or N'' literal), which only
// changes the wording of error messages.
ConvertResult Convert(const Scalar& in, const ConvertTarget& target, bool nationalSource);

}  // namespace standin
