// SQL Server's conversion rules for the stand-in. Values are normalised into
// one storage form per type (see sql_types.cpp) so that comparisons, sums and
// date functions in SQLite see consistent data whatever the client sent.
#include "sql_convert.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include "sql_decimal.h"
#include "sql_types.h"

namespace standin {
namespace {

// Every message text below is SQL Server's own (us_english), with its number,
// severity and state, since clients and tests compare them verbatim.
constexpr const char* kDateSyntax =
    "Conversion failed when converting date and/or time from character string.";
constexpr const char* kMoneySyntax =
    "Cannot convert a char value to money. The char value has incorrect syntax.";

bool IsBlank(char ch) { return ch == ' ' || ch == '\t' || ch == '\r' || ch == '\n'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// A small cursor over the text being parsed as a date-time.
struct Cursor {
  std::string_view s;
  size_t pos = 0;
  bool End() const { return pos >= s.size(); }
  char Peek() const { return End() ? '\0' : s[pos]; }
  int Digits(int& value, int maxDigits = 9) {
    int n = 0;
    value = 0;
    while (!End() && std::isdigit(static_cast<unsigned char>(s[pos])) && n < maxDigits) {
      value = value * 10 + (s[pos] - '0');
      ++pos;
      ++n;
    }
    return n;
  }
  void SkipBlanks() {
    while (!End() && IsBlank(s[pos])) ++pos;
  }
};

int TwoDigitYear(int yy) { return yy <= 49 ? 2000 + yy : 1900 + yy; }

// Time of day: h[:mm[:ss[.fff]]] with an optional AM/PM, or "h AM".
bool ParseTime(Cursor& c, int32_t& ms) {
  int h = 0, mi = 0, sec = 0, frac = 0;
  int n = c.Digits(h, 2);
  if (n == 0) return false;
  bool hadColon = false;
  if (c.Peek() == ':') {
    hadColon = true;
    ++c.pos;
    if (c.Digits(mi, 2) == 0) return false;
    if (c.Peek() == ':') {
      ++c.pos;
      if (c.Digits(sec, 2) == 0) return false;
      if (c.Peek() == '.') {
        ++c.pos;
        int digits = 0;
        while (!c.End() && std::isdigit(static_cast<unsigned char>(c.Peek()))) {
          if (++digits > 3) return false;  // datetime keeps milliseconds only
          frac = frac * 10 + (c.Peek() - '0');
          ++c.pos;
        }
        for (int k = digits; k < 3; ++k) frac *= 10;
      }
    }
  }
  c.SkipBlanks();
  if (c.pos + 1 < c.s.size() + 0 && (c.s.size() - c.pos) >= 2) {
    char a = static_cast<char>(std::tolower(static_cast<unsigned char>(c.s[c.pos])));
    char m = static_cast<char>(std::tolower(static_cast<unsigned char>(c.s[c.pos + 1])));
    if ((a == 'a' || a == 'p') && m == 'm') {
      if (h > 12) return false;
      if (a == 'a' && h == 12) h = 0;
      if (a == 'p' && h != 12) h += 12;
      c.pos += 2;
      hadColon = true;
    }
  }
  if (!hadColon) return false;  // a bare number is not a time
  if (h > 23 || mi > 59 || sec > 59) return false;
  ms = ((h * 60 + mi) * 60 + sec) * 1000 + frac;
  return true;
}

std::string Quote(std::string_view s) { return "'" + std::string(s) + "'"; }

bool IntRange(SqlType t, int64_t v) {
  switch (t) {
    case SqlType::BigInt:
      return true;
    case SqlType::SmallInt:
      return v >= -32768 && v <= 32767;
    case SqlType::TinyInt:
      return v >= 0 && v <= 255;
    case SqlType::Bit:
      return true;
    default:
      return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max();
  }
}

ConvertResult Fail(int number, int severity, int state, std::string text) {
  ConvertResult r;
  r.error = MakeMessage(number, severity, state, std::move(text));
  return r;
}

Scalar IntScalar(int64_t v) {
  Scalar s;
  s.kind = Scalar::Int;
  s.i = v;
  return s;
}

Scalar TextScalar(std::string v) {
  Scalar s;
  s.kind = Scalar::Text;
  s.s = std::move(v);
  return s;
}

std::string NumberText(const Scalar& in) {
  if (in.kind == Scalar::Int) return std::to_string(in.i);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.6g", in.f);  // float to varchar keeps six digits
  return buf;
}

// Cuts text to at most limit units (GBK bytes or UTF-16 units) on a character
// boundary.
std::string CutToLength(std::string_view s, size_t limit, bool national) {
  size_t used = 0, i = 0;
  while (i < s.size()) {
    unsigned char ch = static_cast<unsigned char>(s[i]);
    size_t len = ch < 0x80 ? 1 : ch >= 0xF0 ? 4 : ch >= 0xE0 ? 3 : 2;
    size_t units = national ? (len == 4 ? 2 : 1) : (len == 1 ? 1 : 2);
    if (used + units > limit) break;
    used += units;
    i += len;
  }
  return std::string(s.substr(0, i));
}

ConvertResult ToCharacter(const Scalar& in, const ConvertTarget& target) {
  bool national = target.type.type == SqlType::NChar || target.type.type == SqlType::NVarChar;
  std::string text = in.kind == Scalar::Text ? in.s : NumberText(in);
  auto measure = [&](std::string_view s) { return national ? Utf16Length(s) : GbkLength(s); };
  size_t limit = target.type.length == 0 ? std::numeric_limits<size_t>::max()
                                         : static_cast<size_t>(target.type.length);
  if (measure(text) > limit) {
    // Trailing blanks past the length are dropped without complaint, as with
    // ANSI_PADDING ON; anything else is an error when storing.
    std::string_view trimmed = text;
    while (!trimmed.empty() && trimmed.back() == ' ' && measure(trimmed) > limit)
      trimmed.remove_suffix(1);
    if (measure(trimmed) > limit) {
      std::string cut = CutToLength(text, limit, national);
      if (target.table.empty()) {
        text = cut;
      } else {
        return Fail(2628, 16, 1,
                    "String or binary data would be truncated in table '" +
                        std::string(kDatabaseName) + ".dbo." + target.table + "', column '" +
                        target.column + "'. Truncated value: '" + cut + "'.");
      }
    } else {
      text = std::string(trimmed);
    }
  }
  if (target.type.type == SqlType::Char || target.type.type == SqlType::NChar) {
    size_t have = measure(text);
    if (have < limit) text.append(limit - have, ' ');
  }
  return {TextScalar(std::move(text)), std::nullopt};
}

ConvertResult ToInteger(const Scalar& in, const ConvertTarget& target, const char* src) {
  SqlType t = target.type.type;
  const char* name = SqlTypeName(t);
  int64_t v = 0;
  if (in.kind == Scalar::Int) {
    v = in.i;
  } else if (in.kind == Scalar::Real) {
    double d = std::trunc(in.f);
    if (d < -9.2e18 || d > 9.2e18)
      return Fail(8115, 16, 2,
                  std::string("Arithmetic overflow error converting expression to data type ") +
                      name + ".");
    v = static_cast<int64_t>(d);
  } else {
    std::string_view t2 = TrimBlanks(in.s);
    if (t == SqlType::Bit) {
      std::string low;
      for (char ch : t2) low += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
      if (low == "true") return {IntScalar(1), std::nullopt};
      if (low == "false") return {IntScalar(0), std::nullopt};
    }
    size_t i = 0;
    bool neg = false;
    if (i < t2.size() && (t2[i] == '+' || t2[i] == '-')) neg = t2[i++] == '-';
    bool overflow = false;
    if (i == t2.size() && i > 0) {
      return Fail(245, 16, 1,
                  std::string("Conversion failed when converting the ") + src + " value " +
                      Quote(in.s) + " to data type " + name + ".");
    }
    for (; i < t2.size(); ++i) {
      if (!std::isdigit(static_cast<unsigned char>(t2[i])))
        return Fail(245, 16, 1,
                    std::string("Conversion failed when converting the ") + src + " value " +
                        Quote(in.s) + " to data type " + name + ".");
      if (v > (std::numeric_limits<int64_t>::max() - 9) / 10)
        overflow = true;
      else
        v = v * 10 + (t2[i] - '0');
    }
    if (neg) v = -v;
    if (overflow || !IntRange(t, v))
      return Fail(248, 16, 1,
                  std::string("The conversion of the ") + src + " value " + Quote(in.s) +
                      " overflowed an " + (t == SqlType::Int ? "int" : "INT2") + " column.");
  }
  if (t == SqlType::Bit) return {IntScalar(v != 0 ? 1 : 0), std::nullopt};
  if (!IntRange(t, v))
    return Fail(
        8115, 16, 2,
        std::string("Arithmetic overflow error converting expression to data type ") + name + ".");
  return {IntScalar(v), std::nullopt};
}

// A number of any storage form as an exact decimal. A double is read as the
// shortest text that gives it back, which is the decimal it was made from.
std::optional<Decimal> ExactOf(const Scalar& in, bool money) {
  if (in.kind == Scalar::Int) return Decimal{in.i, 0};
  if (in.kind == Scalar::Real)
    return std::isfinite(in.f) ? ParseDecimal(ShortestText(in.f)) : std::nullopt;
  return ParseDecimal(TrimBlanks(in.s), money);
}

ConvertResult ToMoney(const Scalar& in, const ConvertTarget& target) {
  const bool small = target.type.type == SqlType::SmallMoney;
  std::optional<Decimal> d;
  if (in.kind == Scalar::Text && TrimBlanks(in.s).empty()) {
    d = Decimal{};  // '' is 0
  } else {
    d = ExactOf(in, true);
    if (!d && in.kind == Scalar::Text) return Fail(235, 16, 0, kMoneySyntax);
  }
  // Ten-thousandths, within the 32- or 64-bit integer money is.
  const Int128 max = small ? Int128{INT32_MAX} : Int128{INT64_MAX};
  const Int128 min = small ? Int128{INT32_MIN} : Int128{INT64_MIN};
  std::optional<Decimal> r = d ? Rescale(*d, 4) : std::nullopt;
  if (!r || r->unscaled > max || r->unscaled < min)
    return Fail(8115, 16, 4,
                std::string("Arithmetic overflow error converting expression to data type ") +
                    (small ? "smallmoney." : "money."));
  return {StoredDecimal(*r), std::nullopt};
}

ConvertResult ToDecimal(const Scalar& in, const ConvertTarget& target, const char* src) {
  // A double here comes from a decimal or money value kept by SQLite.
  const char* from = in.kind == Scalar::Int ? "int" : in.kind == Scalar::Real ? "numeric" : src;
  std::optional<Decimal> d = ExactOf(in, false);
  if (!d && in.kind == Scalar::Text)
    return Fail(8114, 16, 5, std::string("Error converting data type ") + src + " to numeric.");
  std::optional<Decimal> r = d ? Rescale(*d, target.type.scale) : std::nullopt;
  const Int128 limit = PowerOfTen(target.type.precision);
  if (!r || r->unscaled >= limit || r->unscaled <= -limit)
    return Fail(
        8115, 16, 8,
        std::string("Arithmetic overflow error converting ") + from + " to data type numeric.");
  return {StoredDecimal(*r), std::nullopt};
}

ConvertResult ToFloat(const Scalar& in, const char* src) {
  if (in.kind == Scalar::Int) {
    Scalar s;
    s.kind = Scalar::Real;
    s.f = static_cast<double>(in.i);
    return {s, std::nullopt};
  }
  if (in.kind == Scalar::Real) return {in, std::nullopt};
  std::string t(TrimBlanks(in.s));
  Scalar s;
  s.kind = Scalar::Real;
  if (t.empty()) return {s, std::nullopt};
  char* end = nullptr;
  s.f = std::strtod(t.c_str(), &end);
  if (end != t.c_str() + t.size() || !std::isfinite(s.f))
    return Fail(8114, 16, 5, std::string("Error converting data type ") + src + " to float.");
  return {s, std::nullopt};
}

// 242, naming the source and the target type as SQL Server does.
ConvertResult OutOfRange(const char* src, SqlType target) {
  return Fail(242, 16, 3,
              std::string("The conversion of a ") + src + " data type to a " +
                  (target == SqlType::SmallDateTime ? "smalldatetime" : "datetime") +
                  " data type resulted in an out-of-range value.");
}

ConvertResult ToDateTime(const Scalar& in, const ConvertTarget& target, const char* src) {
  SqlType t = target.type.type;
  DateTime dt;
  if (in.kind == Scalar::Int || in.kind == Scalar::Real) {
    if (t == SqlType::Date)
      return Fail(206, 16, 2,
                  std::string("Operand type clash: ") + (in.kind == Scalar::Int ? "int" : "float") +
                      " is incompatible with date");
    // Numbers are days since 1900-01-01, the fraction the time of day.
    double v = in.kind == Scalar::Int ? static_cast<double>(in.i) : in.f;
    double whole = std::floor(v);
    dt.days = static_cast<int32_t>(whole);
    dt.ms = static_cast<int32_t>(std::llround((v - whole) * 86400000.0));
  } else {
    bool outOfRange = false;
    std::optional<DateTime> parsed = ParseDateTimeText(in.s, outOfRange);
    // date has no out-of-range message of its own: a day that does not exist is bad syntax to it.
    if (outOfRange && t != SqlType::Date) return OutOfRange(src, t);
    if (!parsed) return Fail(241, 16, 1, kDateSyntax);
    dt = *parsed;
  }
  if (t == SqlType::DateTime) {
    // datetime ticks are 1/300 of a second.
    int64_t ticks = std::llround(dt.ms * 0.3);
    dt.ms = static_cast<int32_t>(std::llround(ticks / 0.3));
  } else if (t == SqlType::SmallDateTime) {
    // 29.998 s rounds down, 29.999 s up.
    dt.ms = static_cast<int32_t>((dt.ms + 30001) / 60000 * 60000);
  } else {
    dt.ms = 0;
  }
  if (dt.ms >= 86400000) {
    dt.ms -= 86400000;
    ++dt.days;
  }
  int32_t lo = t == SqlType::DateTime        ? DaysFromCivil(1753, 1, 1)
               : t == SqlType::SmallDateTime ? 0
                                             : DaysFromCivil(1, 1, 1);
  int32_t hi =
      t == SqlType::SmallDateTime ? DaysFromCivil(2079, 6, 6) : DaysFromCivil(9999, 12, 31);
  if (dt.days < lo || dt.days > hi) {
    if (in.kind == Scalar::Text) {
      if (t == SqlType::Date) return Fail(241, 16, 1, kDateSyntax);
      return OutOfRange(src, t);
    }
    return Fail(8115, 16, 2,
                std::string("Arithmetic overflow error converting expression to data type ") +
                    (t == SqlType::SmallDateTime ? "smalldatetime." : "datetime."));
  }
  return {TextScalar(t == SqlType::Date ? FormatDate(dt.days) : FormatDateTime(dt)), std::nullopt};
}

}  // namespace

int32_t DaysFromCivil(int y, int m, int d) {
  // Howard Hinnant's days_from_civil, shifted from 1970 to 1900.
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int>(doe) - 719468 + 25567;
}

void CivilFromDays(int32_t days, int& y, int& m, int& d) {
  int32_t z = days - 25567 + 719468;
  const int era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yoe) + era * 400 + (m <= 2);
}

namespace {

// 'YYYY-MM-DD HH:MM:SS.mmm', the form every stored and bound datetime has,
// read without the general parser; anything else, or a field out of its
// range, is left to it.
std::optional<DateTime> ParseStorageForm(std::string_view t) {
  constexpr std::string_view kShape = "0000-00-00 00:00:00.000";
  if (t.size() != kShape.size()) return std::nullopt;
  for (size_t i = 0; i < t.size(); ++i) {
    bool digit = t[i] >= '0' && t[i] <= '9';
    if (kShape[i] == '0' ? !digit : t[i] != kShape[i]) return std::nullopt;
  }
  auto num = [&](size_t at, size_t n) {
    int v = 0;
    for (size_t i = at; i < at + n; ++i) v = v * 10 + (t[i] - '0');
    return v;
  };
  int y = num(0, 4), m = num(5, 2), d = num(8, 2), h = num(11, 2), mi = num(14, 2),
      sec = num(17, 2);
  if (y < 1 || m < 1 || m > 12 || d < 1 || d > DaysInMonth(y, m) || h > 23 || mi > 59 || sec > 59)
    return std::nullopt;
  return DateTime{DaysFromCivil(y, m, d), ((h * 60 + mi) * 60 + sec) * 1000 + num(20, 3)};
}

}  // namespace

std::optional<DateTime> ParseDateTimeText(std::string_view text, bool& outOfRange) {
  outOfRange = false;
  if (std::optional<DateTime> stored = ParseStorageForm(text)) return stored;
  Cursor c{TrimBlanks(text)};
  DateTime dt;
  if (c.End()) return dt;  // '' is 1900-01-01 00:00:00
  int y = 1900, m = 1, d = 1;
  size_t start = c.pos;
  int first = 0;
  int n1 = c.Digits(first);
  char sep = c.Peek();
  bool haveDate = false, iso = false;
  if (n1 > 0 && (sep == '-' || sep == '/' || sep == '.')) {
    ++c.pos;
    int second = 0, third = 0;
    if (c.Digits(second, 2) == 0 || c.Peek() != sep) return std::nullopt;
    ++c.pos;
    int n3 = c.Digits(third, 4);
    if (n3 == 0) return std::nullopt;
    if (n1 == 4) {
      y = first, m = second, d = third;
      iso = n3 <= 2;
      if (!iso) return std::nullopt;
    } else if (n1 <= 2) {
      m = first, d = second;
      if (n3 == 4)
        y = third;
      else if (n3 <= 2)
        y = TwoDigitYear(third);
      else
        return std::nullopt;
    } else {
      return std::nullopt;
    }
    haveDate = true;
  } else if (n1 == 8 && (c.End() || IsBlank(c.Peek()) || c.Peek() == 'T')) {
    y = first / 10000, m = first / 100 % 100, d = first % 100;
    haveDate = iso = true;
  } else {
    c.pos = start;  // no date: the text is a time of 1900-01-01
  }
  if (haveDate) {
    if (iso && (c.Peek() == 'T' || c.Peek() == 't'))
      ++c.pos;
    else
      c.SkipBlanks();
  }
  if (!c.End()) {
    if (!ParseTime(c, dt.ms)) return std::nullopt;
    c.SkipBlanks();
    if (!c.End()) return std::nullopt;
  }
  if (m < 1 || m > 12 || d < 1 || y < 1 || y > 9999 || d > DaysInMonth(y, m)) {
    outOfRange = true;
    return std::nullopt;
  }
  dt.days = DaysFromCivil(y, m, d);
  return dt;
}

std::optional<DateTime> ParseStoredDateTime(std::string_view text) {
  bool outOfRange = false;
  return ParseDateTimeText(text, outOfRange);
}

namespace {

// Writes n as `width` digits. Values are checked by the callers to fit.
char* PutDigits(char* p, int n, int width) {
  for (int k = width - 1; k >= 0; --k) {
    p[k] = static_cast<char>('0' + n % 10);
    n /= 10;
  }
  return p + width;
}

}  // namespace

// Written digit by digit: every datetime stored or bound passes through here,
// and snprintf was a tenth of a write's time. Years past four digits (only a
// malformed parameter makes one) keep snprintf's form.
std::string FormatDateTime(const DateTime& dt) {
  int y, m, d;
  CivilFromDays(dt.days, y, m, d);
  if (y < 0 || y > 9999 || dt.ms < 0 || dt.ms >= 86400000) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d", y, m, d, dt.ms / 3600000,
                  dt.ms / 60000 % 60, dt.ms / 1000 % 60, dt.ms % 1000);
    return buf;
  }
  char buf[23];
  char* p = PutDigits(buf, y, 4);
  *p++ = '-';
  p = PutDigits(p, m, 2);
  *p++ = '-';
  p = PutDigits(p, d, 2);
  *p++ = ' ';
  p = PutDigits(p, dt.ms / 3600000, 2);
  *p++ = ':';
  p = PutDigits(p, dt.ms / 60000 % 60, 2);
  *p++ = ':';
  p = PutDigits(p, dt.ms / 1000 % 60, 2);
  *p++ = '.';
  p = PutDigits(p, dt.ms % 1000, 3);
  return std::string(buf, p);
}

std::string FormatDate(int32_t days) {
  int y, m, d;
  CivilFromDays(days, y, m, d);
  if (y < 0 || y > 9999) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, m, d);
    return buf;
  }
  char buf[10];
  char* p = PutDigits(buf, y, 4);
  *p++ = '-';
  p = PutDigits(p, m, 2);
  *p++ = '-';
  p = PutDigits(p, d, 2);
  return std::string(buf, p);
}

size_t GbkLength(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char ch : utf8) {
    if (ch < 0x80)
      ++n;
    else if ((ch & 0xC0) != 0x80)
      n += 2;  // a lead byte: one double-byte character
  }
  return n;
}

size_t Utf16Length(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char ch : utf8) {
    if ((ch & 0xC0) == 0x80) continue;
    n += ch >= 0xF0 ? 2 : 1;
  }
  return n;
}

// How SQLite keeps an exact number: an integer when it is whole and fits in
// 64 bits, else the nearest double.
Scalar StoredDecimal(const Decimal& d) {
  Int128 unit = PowerOfTen(d.scale);
  if (d.unscaled % unit == 0) {
    Int128 whole = d.unscaled / unit;
    if (whole >= INT64_MIN && whole <= INT64_MAX) return IntScalar(static_cast<int64_t>(whole));
  }
  Scalar s;
  s.kind = Scalar::Real;
  s.f = ToDouble(d);
  return s;
}

ConvertResult Convert(const Scalar& in, const ConvertTarget& target, bool nationalSource) {
  if (in.kind == Scalar::Null) return {in, std::nullopt};
  const char* src = nationalSource ? "nvarchar" : "varchar";
  switch (target.type.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
      return ToInteger(in, target, src);
    case SqlType::Money:
    case SqlType::SmallMoney:
      return ToMoney(in, target);
    case SqlType::Decimal:
      return ToDecimal(in, target, src);
    case SqlType::Float:
    case SqlType::Real:
      return ToFloat(in, src);
    case SqlType::DateTime:
    case SqlType::SmallDateTime:
    case SqlType::Date:
      return ToDateTime(in, target, src);
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
      return ToCharacter(in, target);
  }
  return {in, std::nullopt};
}

}  // namespace standin
