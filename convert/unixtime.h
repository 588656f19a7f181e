// Reading the validity dates of a card: an integer text (decimal or
// hexadecimal) and Unix seconds turned into a local date-time value, which the
// clock library then prints.
#pragma once

#include <cstdint>
#include <string_view>

namespace cardsync {

// Parses a signed 64-bit integer. Accepted: leading spaces (not tabs), an
// optional '+' or '-', then decimal digits or a hexadecimal number introduced by
// '$', 'x', 'X', "0x" or "0X"; nothing may follow the digits. Hexadecimal takes
// at most 16 digits as a two's-complement bit pattern ("$FFFFFFFFFFFFFFFF" is
// -1); a sign in front of it negates that value with 64-bit wrap-around
// ("-$10" is -16, "-$FFFFFFFFFFFFFFFF" is 1). Decimal covers the full range,
// "-9223372036854775808" included.
// Throws cardsync::Error "'<text>' is not a valid integer value" otherwise.
int64_t StrToInt64(std::string_view text);

// Unix seconds -> date-time value (days since 1899-12-30) at the fixed offset of
// UTC+8, with no daylight-saving rule. Defined for every input: the offset is
// added in 128-bit arithmetic, so values near INT64_MAX do not wrap around.
double UnixToLocalDateTime(int64_t seconds);

}  // namespace cardsync
