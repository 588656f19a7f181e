// Exact decimal numbers for money, decimal and numeric: up to 38 digits held
// as an unscaled 128-bit integer, rounded as SQL Server rounds (half away
// from zero). SQLite holds them as its own numbers (see sql_types.cpp), so
// these carry values exactly through parameters, conversions and results.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace standin {

using Int128 = __int128;

struct Decimal {
  Int128 unscaled = 0;  // value * 10^scale
  int scale = 0;
};

// 10^n for n in 0..38.
Int128 PowerOfTen(int n);
// Digits of |v| (1 for 0).
int DigitCount(Int128 v);

// [sign] digits [. digits], blanks around it allowed. Money text may also
// carry a leading currency sign and thousands separators. Nothing when the
// text is no number or needs more than 38 digits.
std::optional<Decimal> ParseDecimal(std::string_view text, bool money = false);
// "-12.3400": every digit of its scale.
std::string FormatDecimal(const Decimal& d);
// The value at another scale, rounded half away from zero when it loses digits.
// Nothing when the result would need more than 38 digits.
std::optional<Decimal> Rescale(const Decimal& d, int scale);
// The shortest decimal text that reads back as v: what a double stored for a
// decimal value was written from.
std::string ShortestText(double v);
// The double nearest to d, as a text of it would be read.
double ToDouble(const Decimal& d);

}  // namespace standin
