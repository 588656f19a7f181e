// Decimal arithmetic on 128-bit integers: enough for decimal(38), whose
// largest value (10^38 - 1) is below 2^127.
#include "sql_decimal.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace standin {
namespace {

constexpr int kMaxDigits = 38;

}  // namespace

Int128 PowerOfTen(int n) {
  Int128 p = 1;
  for (int k = 0; k < n; ++k) p *= 10;
  return p;
}

int DigitCount(Int128 v) {
  if (v < 0) v = -v;
  int n = 1;
  while (v >= 10) {
    v /= 10;
    ++n;
  }
  return n;
}

std::optional<Decimal> ParseDecimal(std::string_view t, bool money) {
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front()))) t.remove_prefix(1);
  while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back()))) t.remove_suffix(1);
  size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) negative = t[i++] == '-';
  if (money && i < t.size() && t[i] == '$') ++i;
  Decimal d;
  int digits = 0;
  bool point = false, any = false;
  for (; i < t.size(); ++i) {
    char ch = t[i];
    if (ch == '.' && !point) {
      point = true;
      continue;
    }
    if (ch == ',' && money && !point) continue;
    if (!std::isdigit(static_cast<unsigned char>(ch))) return std::nullopt;
    any = true;
    if (digits > 0 || ch != '0') ++digits;
    if (digits > kMaxDigits) return std::nullopt;
    d.unscaled = d.unscaled * 10 + (ch - '0');
    if (point) ++d.scale;
  }
  if (!any) return std::nullopt;
  if (negative) d.unscaled = -d.unscaled;
  return d;
}

std::string FormatDecimal(const Decimal& d) {
  Int128 v = d.unscaled < 0 ? -d.unscaled : d.unscaled;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
    v /= 10;
  } while (v > 0);
  if (static_cast<int>(digits.size()) <= d.scale)
    digits.insert(0, static_cast<size_t>(d.scale) + 1 - digits.size(), '0');
  if (d.scale > 0) digits.insert(digits.size() - static_cast<size_t>(d.scale), ".");
  return (d.unscaled < 0 ? "-" : "") + digits;
}

std::optional<Decimal> Rescale(const Decimal& d, int scale) {
  Decimal out{d.unscaled, scale};
  if (scale >= d.scale) {
    int grow = scale - d.scale;
    if (DigitCount(d.unscaled) + grow > kMaxDigits && d.unscaled != 0) return std::nullopt;
    out.unscaled = d.unscaled * PowerOfTen(grow);
    return out;
  }
  Int128 unit = PowerOfTen(d.scale - scale);
  Int128 q = d.unscaled / unit, r = d.unscaled % unit;
  if ((r < 0 ? -r : r) * 2 >= unit) q += d.unscaled < 0 ? -1 : 1;
  out.unscaled = q;
  return out;
}

std::string ShortestText(double v) {
  char buf[40];
  for (int precision = 15; precision <= 17; ++precision) {
    std::snprintf(buf, sizeof buf, "%.*g", precision, v);
    if (std::strtod(buf, nullptr) == v) break;
  }
  std::string s = buf;
  // Exponent forms ("1e+20") become plain digits, which ParseDecimal reads.
  if (s.find_first_of("eE") != std::string::npos) {
    std::snprintf(buf, sizeof buf, "%.0f", v);
    if (std::fabs(v) < 1) std::snprintf(buf, sizeof buf, "%.20f", v);
    s = buf;
  }
  return s;
}

double ToDouble(const Decimal& d) { return std::strtod(FormatDecimal(d).c_str(), nullptr); }

}  // namespace standin
