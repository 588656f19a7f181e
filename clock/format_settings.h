// The regional date and time settings every date-time text is made with: one
// process-wide record, read from the locale on first use and again whenever the
// window learns that the regional settings changed.
#pragma once

#include <QLocale>
#include <array>
#include <string>

namespace cardsync {

// Patterns use the element language of FormatDateTime (see datetime.h).
struct FormatSettings {
  std::string shortDatePattern = "m/d/yy";
  std::string dateSeparator = "/";  // what a '/' in a pattern prints
  std::string timeSeparator = ":";  // what a ':' in a pattern prints
  std::string amText = "am";
  std::string pmText = "pm";
  std::array<std::string, 12> shortMonthNames;  // index 0 = January
  std::array<std::string, 12> longMonthNames;
  std::array<std::string, 7> shortDayNames;  // index 0 = Sunday
  std::array<std::string, 7> longDayNames;
  std::string longTimePattern = "h:mm:ss AMPM";
  std::string decimalSeparator = ".";  // used by the database layer's number texts

  bool operator==(const FormatSettings&) const = default;
};

// The settings used when the locale gives none: "m/d/yy", "/", ":", "am",
// "pm", English month and day names, "h:mm:ss AMPM", ".".
FormatSettings DefaultFormatSettings();

// The settings of a locale. The C/POSIX locale gives the defaults. Month and
// day names are the stand-alone forms (the nominative "январь", not "января").
FormatSettings FormatSettingsFromLocale(const QLocale& locale);

// The process-wide record, loaded from QLocale() on first use.
const FormatSettings& CurrentFormatSettings();

// Reloads the process-wide record from QLocale(), the application's default
// locale (QLocale::system() unless QLocale::setDefault was called). References
// returned by CurrentFormatSettings() stay valid and see the new values.
void ReloadFormatSettings();

// Translates a Qt date format ("dd.MM.yy", "yyyy/M/d", quoted text) into a
// short date pattern ("dd.mm.yy", "yyyy/m/d"); letters Qt copies literally are
// quoted so they cannot turn into elements. For Chinese, Japanese and Korean
// every unquoted era element (g, G) is removed.
std::string ShortDatePatternFromQt(const QString& qtFormat, QLocale::Language language);

// Builds the long time pattern from a Qt time format: "hh" when the hour has a
// leading zero (HH, hh) else "h", then ":mm:ss", and for a 12-hour clock (AP, ap,
// A, a or the day period B in the format) "AMPM " in front when the marker precedes
// the hour, else " AMPM" behind.
std::string LongTimePatternFromQt(const QString& qtFormat);

}  // namespace cardsync
