// Date-time values and their texts: splitting and encoding a value, reading
// the clock, the pattern formatter behind DateTimeText (clock label, log lines,
// the transfer job's dates) and ClockText (the schedule checks), and parsing.
#pragma once

#include <string>
#include <string_view>

#include "clock/format_settings.h"

namespace cardsync {

// Days since 1899-12-30 00:00:00; the fraction is the time of day; local time.
// A negative value's fraction counts forward from its (negative) day: -1.25 is
// 1899-12-29 06:00.
using DateTime = double;

struct DateTimeParts {
  int year, month, day, hour, minute, second, millisecond;
  int dayOfWeek;  // 1 = Sunday .. 7 = Saturday
};

// Rounds the value to the millisecond (x 86,400,000 in long double, ties to
// even), so 23:59:59.9996 is 00:00:00.000 of the next day. Throws cardsync::Error
// for NaN, infinities and values outside the years 1 to 9999.
DateTimeParts SplitDateTime(DateTime value);

// Throws cardsync::Error "Invalid argument to date encode" / "... time encode"
// for a date outside 0001-01-01..9999-12-31 or a time outside 00:00:00.000 to
// 23:59:59.999.
DateTime EncodeDateTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0,
                        int millisecond = 0);

// The workstation's local clock, with milliseconds; read afresh on each call.
DateTime NowDateTime();

// Pattern elements (letters in any case; a run of the same character is one
// element; text in '...' or "..." is copied; other characters stand for
// themselves, a multi-byte UTF-8 character is copied whole):
//   d dd: day, 1/2 digits          ddd dddd: short/long day name
//   m mm: month, or minutes right after an h element (a character of two GBK
//         bytes in between clears the h)   mmm mmmm: month name
//   y yy: 2-digit year             yyy+: 4-digit year
//   h hh: hour (12-hour when an AM/PM element came before, or the next 'a'
//         before the next h starts one)   n nn: minute   s ss: second
//   z zz zzz: millisecond, 1/2/3 digits
//   AMPM: the AM/PM text   AM/PM, A/P: the written half   / : separators
//   e ee: the year (Gregorian, so the era year is the year)   g gg: "A.D."
std::string FormatDateTime(std::string_view pattern, DateTime value,
                           const FormatSettings& settings);

// Short date; then, unless hour, minute and second are all zero, one blank and
// the long time. Cut to 256 GBK bytes without splitting a character.
std::string DateTimeText(DateTime value);  // with CurrentFormatSettings()
std::string DateTimeText(DateTime value, const FormatSettings& settings);

// "hhnnss" on the 24-hour clock, whatever the regional settings.
std::string ClockText(DateTime value);

// Parses a date-time text with the regional settings (the order of day, month
// and year taken from the short date pattern, the date separator, an optional
// time with the time separator, seconds and milliseconds optional, and an
// optional AM/PM text before or after it). A first number of three or more
// digits is read as the year (year-month-day). A two-digit year falls within
// 50 years before the current year or later. Returns false when the text is
// not a valid date and time.
bool TryParseDateTimeText(std::string_view text, const FormatSettings& settings, DateTime& out);
// The same with the year the two-digit window is counted from given.
bool TryParseDateTimeText(std::string_view text, const FormatSettings& settings, DateTime& out,
                          int referenceYear);

}  // namespace cardsync
