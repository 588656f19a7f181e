// Preparing one transfer record: every conversion happens here, before anything is
// written, so a value that cannot be made skips its record untouched.
#include "jobs/transfer_values.h"

#include <QString>
#include <cctype>
#include <limits>

#include "clock/datetime.h"
#include "convert/chepaitoascii.h"
#include "convert/gbk_text.h"
#include "convert/unixtime.h"
#include "db/field_text.h"

namespace cardsync::jobs {

const std::vector<std::string_view> kSourceColumns = {
    "order_id", "kahao", "months", "moneys", "kex_no", "startdate", "enddate", "types", "siji"};
const std::vector<std::string_view> kDestinationColumns = {
    "order_id", "kex_no", "startdate", "enddate", "months", "moneys", "types", "kahao", "siji"};

namespace {

// Asks for the eight columns by name, so a missing one is named by the server. No row is
// read, so no lock is waited for: another session's write on the table is the writes'
// business, which wait for it within lock_timeout and say so.
constexpr const char* kDestinationQuery =
    "select kex_no,startdate,enddate,months,moneys,types,kahao,siji from T_quindale "
    "with (nolock) where 1=0";

// Card-number positions count GBK bytes: a Chinese character takes two.
constexpr std::size_t kProvinceBytes = 2;
constexpr std::size_t kPlateStart = 3;
constexpr std::size_t kPlateBytes = 10;

// Past this an exponent makes a number no column type holds; refusing it keeps
// the digit string small.
constexpr int kLargestExponent = 400;

// A null months is written as 0, as it always was.
constexpr const char* kNullMonths = "0";

// The decimal behind a number column's regional text, with '.' and the digits that
// text shows; a text column's text as it is (PlainDecimal then decides).
std::optional<std::string> SourceNumber(const db::Statement::TypedValue& typed) {
  if (!typed.value.isValid() || typed.value.isNull()) return std::nullopt;
  switch (typed.kind) {
    case db::ColumnKind::Integer:
      return std::to_string(typed.value.toLongLong());
    case db::ColumnKind::Exact:
      return db::ExactNumberText(typed.value.toString().toStdString(), ".");
    case db::ColumnKind::Float:
      return db::FloatNumberText(typed.value.toDouble(), ".");
    default:
      return typed.value.toString().toStdString();
  }
}

db::Value DateValue(DateTime value, ColumnType destination, const FormatSettings& format) {
  if (destination != ColumnType::DateTime) return DateTimeText(value, format);
  // The text shows whole seconds; the timestamp keeps exactly what it showed.
  const DateTimeParts parts = SplitDateTime(value);
  return db::Timestamp{parts.year, parts.month, parts.day, parts.hour, parts.minute, parts.second};
}

db::Value MonthsValue(const db::Statement& reader, ColumnType destination) {
  if (destination == ColumnType::Text) {
    std::string text = reader.FieldText("months");
    return text.empty() ? std::string(kNullMonths) : text;
  }
  // The statement once held months as an unquoted literal: a number, which the
  // server made whole by cutting the fraction off for an integer column.
  const std::string number = SourceNumber(reader.FieldValue("months")).value_or(kNullMonths);
  const std::optional<std::string> plain = PlainDecimal(number);
  if (!plain) throw Error("months: '" + number + "' is not a number");
  if (destination == ColumnType::Integer) return WholePart(*plain);
  return db::Decimal{*plain};
}

db::Value MoneysValue(const db::Statement& reader, ColumnType destination) {
  const db::Statement::TypedValue typed = reader.FieldValue("moneys");
  // Null was always written as '', whatever the server makes of an empty text.
  if (!typed.value.isValid() || typed.value.isNull()) return std::string();
  if (destination == ColumnType::Text) return reader.FieldText("moneys");
  const std::string number = *SourceNumber(typed);
  const std::optional<std::string> plain = PlainDecimal(number);
  if (plain && destination == ColumnType::Number) return db::Decimal{*plain};
  // Anything else was a quoted text, converted by the server: keep it a text, but
  // with the '.' no server language misreads.
  return plain.value_or(number);
}

ColumnType TypeOfColumnKind(db::ColumnKind kind) {
  switch (kind) {
    case db::ColumnKind::DateTime:
    case db::ColumnKind::Date:
      return ColumnType::DateTime;
    case db::ColumnKind::Integer:
      return ColumnType::Integer;
    case db::ColumnKind::Exact:
    case db::ColumnKind::Float:
      return ColumnType::Number;
    default:
      return ColumnType::Text;
  }
}

// The card number written in the first pass: the province text of its first two
// GBK bytes followed by its bytes 3 to 12.
std::string ConvertedPlate(const std::string& kahao) {
  return ProvinceFromCode(GbkCopy(kahao, 1, kProvinceBytes)) +
         GbkCopy(kahao, kPlateStart, kPlateBytes);
}

}  // namespace

DestinationColumns LearnDestinationColumns(db::Database& database) {
  DestinationColumns columns;
  const std::pair<const char*, ColumnType*> wanted[] = {
      {"kex_no", &columns.kexNo},    {"startdate", &columns.startDate},
      {"enddate", &columns.endDate}, {"months", &columns.months},
      {"moneys", &columns.moneys},   {"types", &columns.types},
      {"kahao", &columns.kahao},     {"siji", &columns.siji}};
  const std::vector<db::Database::ColumnType> described =
      database.DescribeColumns(kDestinationQuery);
  for (const auto& [name, slot] : wanted) {
    const auto found =
        std::find_if(described.begin(), described.end(), [name = name](const auto& c) {
          return QString::fromStdString(c.name).compare(QLatin1String(name), Qt::CaseInsensitive) ==
                 0;
        });
    if (found == described.end())
      throw Error(std::string("T_quindale has no column '") + name + "'");
    *slot = TypeOfColumnKind(found->kind);
  }
  return columns;
}

PreparedRecord PrepareRecord(const db::Statement& reader, bool convertPlate,
                             const DestinationColumns& destination) {
  PreparedRecord record;
  record.orderId = reader.FieldText("order_id");
  db::Value months = MonthsValue(reader, destination.months);
  db::Value moneys = MoneysValue(reader, destination.moneys);
  std::string kahao = reader.FieldText("kahao");
  if (convertPlate) kahao = ConvertedPlate(kahao);
  std::string kexNo = reader.FieldText("kex_no");
  const FormatSettings& format = reader.Format();
  db::Value startDate = DateValue(UnixToLocalDateTime(StrToInt64(reader.FieldText("startdate"))),
                                  destination.startDate, format);
  db::Value endDate = DateValue(UnixToLocalDateTime(StrToInt64(reader.FieldText("enddate"))),
                                destination.endDate, format);
  std::string types = reader.FieldText("types");
  db::Value siji = DateValue(reader.FieldDateTime("siji"), destination.siji, format);
  record.update = {std::move(kexNo),  std::move(startDate), std::move(endDate),
                   std::move(months), std::move(moneys),    std::move(types),
                   std::move(kahao),  std::move(siji),      record.orderId};
  return record;
}

std::optional<std::string> PlainDecimal(std::string_view text) {
  const bool negative = db::TakeNumberSign(text);
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  std::string digits;  // every mantissa digit, the point taken out
  int pointAt = -1;    // digits before the point
  std::size_t i = 0;
  for (; i < text.size(); ++i) {
    if (isDigit(text[i])) {
      digits += text[i];
    } else if (text[i] == '.' && pointAt < 0) {
      pointAt = int(digits.size());
    } else {
      break;
    }
  }
  if (digits.empty()) return std::nullopt;
  if (pointAt < 0) pointAt = int(digits.size());
  if (i < text.size()) {
    if (text[i] != 'e' && text[i] != 'E') return std::nullopt;
    ++i;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) negativeExponent = text[i++] == '-';
    if (i == text.size()) return std::nullopt;
    int exponent = 0;
    for (; i < text.size(); ++i) {
      if (!isDigit(text[i])) return std::nullopt;
      exponent = exponent * 10 + (text[i] - '0');
      if (exponent > kLargestExponent) return std::nullopt;
    }
    pointAt += negativeExponent ? -exponent : exponent;
  }
  // Pad so the point falls inside the digits, then trim the zeros that mean nothing.
  if (pointAt < 0) {
    digits.insert(0, std::size_t(-pointAt), '0');
    pointAt = 0;
  }
  if (std::size_t(pointAt) > digits.size())
    digits.append(std::size_t(pointAt) - digits.size(), '0');
  std::string whole = digits.substr(0, std::size_t(pointAt));
  std::string fraction = digits.substr(std::size_t(pointAt));
  whole.erase(0, std::min(whole.find_first_not_of('0'), whole.size()));
  while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();
  if (whole.empty()) whole = "0";
  std::string plain = (negative && !(whole == "0" && fraction.empty())) ? "-" : "";
  plain += whole;
  if (!fraction.empty()) plain += "." + fraction;
  return plain;
}

std::int64_t WholePart(const std::string& plainDecimal) {
  const bool negative = plainDecimal.starts_with('-');
  const std::string whole =
      plainDecimal.substr(negative ? 1 : 0, plainDecimal.find('.') - (negative ? 1 : 0));
  // Accumulated as a negative number, whose range includes INT64_MIN.
  std::int64_t value = 0;
  for (char c : whole) {
    const int digit = c - '0';
    if (value < (std::numeric_limits<std::int64_t>::min() + digit) / 10)
      throw Error("Arithmetic overflow error converting expression to data type bigint");
    value = value * 10 - digit;
  }
  if (!negative) {
    if (value == std::numeric_limits<std::int64_t>::min())
      throw Error("Arithmetic overflow error converting expression to data type bigint");
    value = -value;
  }
  return value;
}

}  // namespace cardsync::jobs
