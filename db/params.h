// Values bound to a statement's ? placeholders. Values travel apart from the
// statement text, so quotes and Chinese text reach the server exactly as read,
// and dates and amounts as typed values that no server language can misread.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace cardsync::db {

// A date and time of day to the second, bound as an ODBC timestamp.
struct Timestamp {
  int year = 1, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
  friend bool operator==(const Timestamp&, const Timestamp&) = default;
};

// An exact number as plain decimal digits: an optional '-', digits, optionally a '.'
// and more digits ("-120.5"). Bound as a decimal, so no regional separator is involved.
struct Decimal {
  std::string digits;
  friend bool operator==(const Decimal&, const Decimal&) = default;
};

// A bound parameter: NULL, a whole number, UTF-8 text, a timestamp or a decimal.
using Value = std::variant<std::monostate, std::int64_t, std::string, Timestamp, Decimal>;
using Params = std::vector<Value>;

}  // namespace cardsync::db
