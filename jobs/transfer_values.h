// The values the transfer writes for one record, typed by the destination column
// they go to: date-times as timestamps and amounts as decimals, which every server
// language reads the same, and texts in the workstation's regional form, which is
// what whoever reads a text column has always seen.
#pragma once

#include <string>

#include "db/database.h"
#include "db/params.h"

namespace cardsync::jobs {

// How a destination column takes a value.
enum class ColumnType { Text, DateTime, Integer, Number };

// The types of T_quindale's eight value columns, in the update's order.
struct DestinationColumns {
  ColumnType kexNo = ColumnType::Text, startDate = ColumnType::Text, endDate = ColumnType::Text,
             months = ColumnType::Text, moneys = ColumnType::Text, types = ColumnType::Text,
             kahao = ColumnType::Text, siji = ColumnType::Text;
};

// Asks the server for T_quindale's column types (one request, no row read). A
// missing table or column fails with the server's text, which names it.
DestinationColumns LearnDestinationColumns(db::Database& database);

// One record ready to write: its order_id and the update's values in statement
// order (kex_no, startdate, enddate, months, moneys, types, kahao, siji, order_id).
struct PreparedRecord {
  std::string orderId;
  db::Params update;
};

// The source columns every record is read from; a pass without one of them fails.
extern const std::vector<std::string_view> kSourceColumns;
// The destination columns the transfer writes, order_id first.
extern const std::vector<std::string_view> kDestinationColumns;

// Reads and converts the reader's current row. Throws cardsync::Error when a value
// cannot be prepared (startdate that is not an integer, a date past year 9999 ...).
PreparedRecord PrepareRecord(const db::Statement& reader, bool convertPlate,
                             const DestinationColumns& destination);

// A number's plain decimal digits ("1.5E-7" -> "0.00000015", "+12" -> "12", "-0" -> "0");
// nullopt when `text` (blanks around it allowed) is not a number literal.
std::optional<std::string> PlainDecimal(std::string_view text);

// The whole part of a plain decimal, as the server turns a numeric literal into
// an integer (toward zero). Throws cardsync::Error when it does not fit 64 bits.
std::int64_t WholePart(const std::string& plainDecimal);

}  // namespace cardsync::jobs
