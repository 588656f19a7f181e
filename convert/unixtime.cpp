// Integer texts and Unix seconds. The parser's acceptance rules ('$' hex, leading
// blanks only, nothing trailing) decide which source rows the transfer job skips,
// so they are kept exact rather than left to strtoll, which accepts other shapes.
#include "convert/unixtime.h"

#include <string>

#include "base/error.h"

namespace cardsync {
namespace {

constexpr int64_t kLocalOffsetSeconds = 8 * 3600;  // fixed UTC+8, no daylight saving
constexpr long double kSecondsPerDay = 86400.0L;
constexpr long double kUnixEpochDay = 25569.0L;  // 1970-01-01 counted from 1899-12-30
constexpr int kMaxHexDigits = 16;

[[noreturn]] void ThrowNotAnInteger(std::string_view text) {
  throw Error("'" + std::string(text) + "' is not a valid integer value");
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

int64_t StrToInt64(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
    negative = text[i] == '-';
    ++i;
  }

  // Magnitudes are gathered unsigned, so neither the most negative decimal nor a
  // negated hexadecimal bit pattern ever overflows a signed type.
  uint64_t magnitude = 0;
  std::size_t digits = 0;
  const bool hex =
      i < text.size() &&
      (text[i] == '$' || text[i] == 'x' || text[i] == 'X' ||
       (text[i] == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X')));
  if (hex) {
    i += text[i] == '0' ? 2 : 1;
    for (; i < text.size(); ++i) {
      const int v = HexDigitValue(text[i]);
      if (v < 0) break;
      if (++digits > kMaxHexDigits) ThrowNotAnInteger(text);
      magnitude = (magnitude << 4) | static_cast<uint64_t>(v);
    }
  } else {
    const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      const auto v = static_cast<uint64_t>(text[i] - '0');
      if (magnitude > (limit - v) / 10) ThrowNotAnInteger(text);
      magnitude = magnitude * 10 + v;
      ++digits;
    }
  }
  if (digits == 0 || i != text.size()) ThrowNotAnInteger(text);

  // Two's-complement reinterpretation: well defined since C++20.
  return static_cast<int64_t>(negative ? uint64_t{0} - magnitude : magnitude);
}

double UnixToLocalDateTime(int64_t seconds) {
  // A 64-bit sum would overflow near INT64_MAX; the exact sum costs nothing, and
  // such values then fail cleanly as dates outside the years 1 to 9999.
  const __int128 local = static_cast<__int128>(seconds) + kLocalOffsetSeconds;
  const long double days = static_cast<long double>(local) / kSecondsPerDay + kUnixEpochDay;
  return static_cast<double>(days);
}

}  // namespace cardsync
