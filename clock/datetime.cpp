// Date-time values and their texts. A value is split by rounding to the
// millisecond once, so the date and the time of one text always agree (a value
// just before midnight shows the next day at 00:00:00, never the old day).
#include "clock/datetime.h"

#include <QDateTime>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>

#include "base/error.h"
#include "convert/gbk_text.h"

namespace cardsync {
namespace {

constexpr int64_t kMsPerDay = 86'400'000;
constexpr int64_t kFirstDay = -693'593;    // 0001-01-01
constexpr int64_t kLastDay = 2'958'465;    // 9999-12-31
constexpr int64_t kUnixEpochDay = 25'569;  // 1970-01-01
// Day 0 (1899-12-30) is day 693594 when 0001-01-01, a Monday, is day 1; this
// offset turns a day number into the weekday 1 = Sunday .. 7 = Saturday.
constexpr int64_t kWeekdayOffset = 693'594;
constexpr std::size_t kMaxDateTimeTextBytes = 256;
constexpr std::string_view kClockPattern = "hhnnss";
constexpr std::string_view kGregorianEraName = "A.D.";
constexpr int kTwoDigitYearWindow = 50;

// Ties to even, done by hand so the result does not depend on the
// floating-point rounding mode of whoever calls in.
long double RoundHalfEven(long double x) {
  const long double floor = std::floor(x);
  const long double diff = x - floor;
  if (diff > 0.5L) return floor + 1;
  if (diff < 0.5L) return floor;
  return std::fmod(floor, 2.0L) == 0 ? floor : floor + 1;
}

// Day count from 1970-01-01 for a proleptic Gregorian date, and back (the
// well-known era-of-400-years method, exact over the whole range used here).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(era * 400 + yoe + (month <= 2));
}

bool IsLeapYear(int year) { return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0); }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

[[noreturn]] void ThrowOutOfRange(DateTime value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", value);
  throw Error(std::string("Date-time value ") + text +
              " is outside the years 1 to 9999 and cannot be shown");
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool StartsWithNoCase(std::string_view text, std::size_t at, std::string_view prefix) {
  if (text.size() - at < prefix.size()) return false;
  for (std::size_t k = 0; k < prefix.size(); ++k) {
    if (AsciiUpper(text[at + k]) != AsciiUpper(prefix[k])) return false;
  }
  return true;
}

// Length of the AM/PM element starting at `at` ("AM/PM", "A/P", "AMPM" in any
// case), or 0 when the 'a' there starts none.
std::size_t AmPmElementLength(std::string_view pattern, std::size_t at) {
  if (StartsWithNoCase(pattern, at, "am/pm")) return 5;
  if (StartsWithNoCase(pattern, at, "a/p")) return 3;
  if (StartsWithNoCase(pattern, at, "ampm")) return 4;
  return 0;
}

// An h element shows the 12-hour clock when the first 'a' after it outside
// quoted text, if it comes before the next h, starts an AM/PM element.
bool AmPmFollows(std::string_view pattern, std::size_t from) {
  for (std::size_t i = from; i < pattern.size(); ++i) {
    const char c = AsciiUpper(pattern[i]);
    if (c == '"' || c == '\'') {
      const std::size_t close = pattern.find(pattern[i], i + 1);
      if (close == std::string_view::npos) return false;
      i = close;
    } else if (c == 'H') {
      return false;
    } else if (c == 'A') {
      return AmPmElementLength(pattern, i) > 0;
    }
  }
  return false;
}

void AppendNumber(std::string& out, int value, int minDigits) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < minDigits) out.append(minDigits - digits.size(), '0');
  out += digits;
}

// An am/pm element at `i` ("AMPM", "am/pm", "a/p"); how many pattern bytes it took
// (0: a lone 'a', copied as it is).
std::size_t AppendAmPm(std::string& out, std::string_view pattern, std::size_t i,
                       const DateTimeParts& p, const FormatSettings& settings) {
  const std::size_t length = AmPmElementLength(pattern, i);
  if (length == 4) {
    out += p.hour < 12 ? settings.amText : settings.pmText;
  } else if (length > 0) {
    // "am/pm" and "a/p": the half written before or after the slash.
    const std::size_t half = length / 2;
    out.append(pattern.substr(p.hour < 12 ? i : i + half + 1, half));
  } else {
    out += pattern[i];
  }
  return length;
}

// What a run of `count` letters `upper` at `i` stands for, appended to `out`.
struct LetterRun {
  char upper;
  std::size_t at;
  std::size_t count;
  char lastLetter;  // the letter element before it, upper case (0: none in force)
  bool amPmSeen;
};

void AppendLetterRun(std::string& out, std::string_view pattern, const LetterRun& run,
                     const DateTimeParts& p, const FormatSettings& settings) {
  const std::size_t count = run.count;
  const int digits = count >= 2 ? 2 : 1;
  switch (run.upper) {
    case 'Y':
      if (count <= 2) {
        AppendNumber(out, p.year % 100, 2);
      } else {
        AppendNumber(out, p.year, 4);
      }
      break;
    case 'M':
      if (run.lastLetter == 'H' && count <= 2) {
        AppendNumber(out, p.minute, digits);
      } else if (count <= 2) {
        AppendNumber(out, p.month, digits);
      } else if (count == 3) {
        out += settings.shortMonthNames[p.month - 1];
      } else {
        out += settings.longMonthNames[p.month - 1];
      }
      break;
    case 'D':
      if (count <= 2) {
        AppendNumber(out, p.day, digits);
      } else if (count == 3) {
        out += settings.shortDayNames[p.dayOfWeek - 1];
      } else {
        out += settings.longDayNames[p.dayOfWeek - 1];
      }
      break;
    case 'H': {
      int hour = p.hour;
      if (run.amPmSeen || AmPmFollows(pattern, run.at + count)) {
        hour = hour % 12 == 0 ? 12 : hour % 12;
      }
      AppendNumber(out, hour, digits);
      break;
    }
    case 'N':
      AppendNumber(out, p.minute, digits);
      break;
    case 'S':
      AppendNumber(out, p.second, digits);
      break;
    case 'Z':
      AppendNumber(out, p.millisecond, static_cast<int>(std::min<std::size_t>(count, 3)));
      break;
    case 'E':
      // Only the Gregorian calendar is known here, whose era year is the year.
      AppendNumber(out, p.year, digits);
      break;
    case 'G':
      out += kGregorianEraName;
      break;
    default:
      out.append(pattern.substr(run.at, count));
      break;
  }
}

std::string FormatParts(std::string_view pattern, const DateTimeParts& p,
                        const FormatSettings& settings) {
  std::string out;
  char lastLetter = 0;  // previous letter element, upper case; cleared by a double-byte character
  bool amPmSeen = false;
  const std::size_t n = pattern.size();
  for (std::size_t i = 0; i < n;) {
    const char c = pattern[i];
    if (static_cast<unsigned char>(c) >= 0x80) {
      const std::size_t length = Utf8CharLength(pattern, i);
      const std::string_view character = pattern.substr(i, length);
      out.append(character);
      i += length;
      // What counts is the character's width in GBK: the euro sign is one byte there
      // and leaves an h before it in force.
      if (GbkCharBytes(character) == 2) lastLetter = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      std::size_t close = pattern.find(c, i + 1);
      if (close == std::string_view::npos) close = n;
      out.append(pattern.substr(i + 1, close - i - 1));
      i = close == n ? n : close + 1;
      continue;
    }
    const char upper = AsciiUpper(c);
    if (upper < 'A' || upper > 'Z') {
      if (c == '/') {
        out += settings.dateSeparator;
      } else if (c == ':') {
        out += settings.timeSeparator;
      } else {
        out += c;
      }
      ++i;
      continue;
    }
    if (upper == 'A') {
      const std::size_t length = AppendAmPm(out, pattern, i, p, settings);
      amPmSeen = amPmSeen || length > 0;
      lastLetter = 'A';
      i += length > 0 ? length : 1;
      continue;
    }
    std::size_t count = 1;
    while (i + count < n && pattern[i + count] == c) ++count;
    AppendLetterRun(out, pattern, {upper, i, count, lastLetter, amPmSeen}, p, settings);
    lastLetter = upper;
    i += count;
  }
  return out;
}

// ---- parsing ----

class TextScanner {
 public:
  explicit TextScanner(std::string_view text) : text_(text) {}

  void SkipBlanks() {
    while (at_ < text_.size() && text_[at_] == ' ') ++at_;
  }
  bool AtEnd() const { return at_ == text_.size(); }

  // Digits after optional blanks; `digits` reports how many were read.
  std::optional<int> Number(int& digits) {
    SkipBlanks();
    int value = 0;
    digits = 0;
    while (at_ < text_.size() && text_[at_] >= '0' && text_[at_] <= '9') {
      if (digits == 9) return std::nullopt;  // longer than any field
      value = value * 10 + (text_[at_] - '0');
      ++digits;
      ++at_;
    }
    if (digits == 0) return std::nullopt;
    return value;
  }

  bool Literal(std::string_view literal, bool skipBlanks = true) {
    if (skipBlanks) SkipBlanks();
    if (literal.empty() || !StartsWithNoCase(text_, at_, literal)) return false;
    at_ += literal.size();
    return true;
  }

  std::size_t Position() const { return at_; }
  void Rewind(std::size_t at) { at_ = at; }

 private:
  std::string_view text_;
  std::size_t at_ = 0;
};

// The order of day, month and year in a short date pattern, e.g. "DMY".
std::string DateOrder(std::string_view pattern) {
  std::string order;
  for (std::size_t i = 0; i < pattern.size() && order.size() < 3; ++i) {
    const char c = pattern[i];
    if (c == '"' || c == '\'') {
      const std::size_t close = pattern.find(c, i + 1);
      if (close == std::string_view::npos) break;
      i = close;
      continue;
    }
    const char upper = AsciiUpper(c);
    if ((upper == 'D' || upper == 'M' || upper == 'Y') && order.find(upper) == std::string::npos) {
      order += upper;
    }
  }
  return order.size() == 3 ? order : "MDY";
}

int ExpandTwoDigitYear(int year, int digits, int referenceYear) {
  if (digits > 2) return year;
  const int threshold = referenceYear - kTwoDigitYearWindow;
  int expanded = threshold / 100 * 100 + year;
  if (expanded < threshold) expanded += 100;
  return expanded;
}

// 0 = not an AM/PM text, 1 = AM, 2 = PM.
int ScanAmPm(TextScanner& scanner, const FormatSettings& settings) {
  if (scanner.Literal(settings.amText) || scanner.Literal("AM")) return 1;
  if (scanner.Literal(settings.pmText) || scanner.Literal("PM")) return 2;
  return 0;
}

bool ScanDate(TextScanner& scanner, const FormatSettings& settings, int referenceYear, int& year,
              int& month, int& day) {
  int values[3], digits[3];
  int count = 0;
  for (; count < 3; ++count) {
    const std::size_t before = scanner.Position();
    if (count > 0 && !scanner.Literal(settings.dateSeparator)) break;
    const auto value = scanner.Number(digits[count]);
    if (!value) {
      scanner.Rewind(before);
      break;
    }
    values[count] = *value;
  }
  if (count < 2) return false;
  // A pattern such as "yyyy. MM. dd." ends with a separator.
  const std::size_t beforeTrailing = scanner.Position();
  if (!scanner.Literal(settings.dateSeparator)) scanner.Rewind(beforeTrailing);

  std::string order = DateOrder(settings.shortDatePattern);
  if (count == 3 && digits[0] > 2) order = "YMD";
  if (count == 2) {
    // Day and month in the pattern's order, of the reference year.
    order.erase(order.find('Y'), 1);
    order += 'Y';
    values[2] = referenceYear;
    digits[2] = 4;
  }
  for (int k = 0; k < 3; ++k) {
    switch (order[k]) {
      case 'Y':
        year = ExpandTwoDigitYear(values[k], digits[k], referenceYear);
        break;
      case 'M':
        month = values[k];
        break;
      default:
        day = values[k];
        break;
    }
  }
  return true;
}

bool ScanTime(TextScanner& scanner, const FormatSettings& settings, int& hour, int& minute,
              int& second, int& millisecond) {
  int marker = ScanAmPm(scanner, settings);
  int digits = 0;
  const auto h = scanner.Number(digits);
  if (!h || !scanner.Literal(settings.timeSeparator)) return false;
  const auto m = scanner.Number(digits);
  if (!m) return false;
  hour = *h;
  minute = *m;
  second = 0;
  millisecond = 0;
  if (scanner.Literal(settings.timeSeparator)) {
    const auto s = scanner.Number(digits);
    if (!s) return false;
    second = *s;
    if (scanner.Literal(settings.decimalSeparator, false)) {
      // A fraction of the second: ".5" is 500 ms.
      const auto fraction = scanner.Number(digits);
      if (!fraction || digits > 3) return false;
      millisecond = *fraction * (digits == 1 ? 100 : digits == 2 ? 10 : 1);
    }
  }
  if (marker == 0) marker = ScanAmPm(scanner, settings);
  if (marker != 0) {
    if (hour > 12) return false;
    hour = hour % 12 + (marker == 2 ? 12 : 0);
  }
  return true;
}

}  // namespace

DateTimeParts SplitDateTime(DateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > static_cast<double>(kLastDay + 1)) {
    ThrowOutOfRange(value);
  }
  const long double totalMs = RoundHalfEven(std::fabs(static_cast<long double>(value)) *
                                            static_cast<long double>(kMsPerDay));
  const auto ms = static_cast<int64_t>(totalMs);
  int64_t dayNumber = ms / kMsPerDay;
  const int64_t msOfDay = ms % kMsPerDay;
  if (value < 0) dayNumber = -dayNumber;
  if (dayNumber < kFirstDay || dayNumber > kLastDay) ThrowOutOfRange(value);

  DateTimeParts parts{};
  CivilFromDays(dayNumber - kUnixEpochDay, parts.year, parts.month, parts.day);
  parts.hour = static_cast<int>(msOfDay / 3'600'000);
  parts.minute = static_cast<int>(msOfDay / 60'000 % 60);
  parts.second = static_cast<int>(msOfDay / 1000 % 60);
  parts.millisecond = static_cast<int>(msOfDay % 1000);
  parts.dayOfWeek = static_cast<int>((dayNumber + kWeekdayOffset) % 7) + 1;
  return parts;
}

DateTime EncodeDateTime(int year, int month, int day, int hour, int minute, int second,
                        int millisecond) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    throw Error("Invalid argument to date encode");
  }
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 ||
      millisecond < 0 || millisecond > 999) {
    throw Error("Invalid argument to time encode");
  }
  const auto date = static_cast<double>(DaysFromCivil(year, month, day) + kUnixEpochDay);
  const double time =
      static_cast<double>(hour * 3'600'000 + minute * 60'000 + second * 1000 + millisecond) /
      static_cast<double>(kMsPerDay);
  // Days before 1899-12-30 count their time of day forward from the negative day.
  return date < 0 ? date - time : date + time;
}

DateTime NowDateTime() {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return EncodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec());
}

std::string FormatDateTime(std::string_view pattern, DateTime value,
                           const FormatSettings& settings) {
  return FormatParts(pattern, SplitDateTime(value), settings);
}

std::string DateTimeText(DateTime value) { return DateTimeText(value, *CurrentFormatSettings()); }

std::string DateTimeText(DateTime value, const FormatSettings& settings) {
  const DateTimeParts parts = SplitDateTime(value);
  std::string text = FormatParts(settings.shortDatePattern, parts, settings);
  if (parts.hour != 0 || parts.minute != 0 || parts.second != 0) {
    text += ' ';
    text += FormatParts(settings.longTimePattern, parts, settings);
  }
  // The limit is in bytes of the program's GBK encoding, not of UTF-8.
  return GbkTruncate(text, kMaxDateTimeTextBytes);
}

std::string ClockText(DateTime value) {
  static const FormatSettings kSettings = DefaultFormatSettings();
  return FormatParts(kClockPattern, SplitDateTime(value), kSettings);
}

bool TryParseDateTimeText(std::string_view text, const FormatSettings& settings, DateTime& out) {
  return TryParseDateTimeText(text, settings, out, QDate::currentDate().year());
}

bool TryParseDateTimeText(std::string_view text, const FormatSettings& settings, DateTime& out,
                          int referenceYear) {
  TextScanner scanner(text);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
  if (!ScanDate(scanner, settings, referenceYear, year, month, day)) return false;
  scanner.SkipBlanks();
  if (!scanner.AtEnd() && !ScanTime(scanner, settings, hour, minute, second, millisecond)) {
    return false;
  }
  scanner.SkipBlanks();
  if (!scanner.AtEnd()) return false;
  try {
    out = EncodeDateTime(year, month, day, hour, minute, second, millisecond);
  } catch (const Error&) {
    return false;
  }
  return true;
}

}  // namespace cardsync
