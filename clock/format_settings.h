// The regional date and time settings every date-time text is made with: one
// process-wide snapshot, read from the locale on first use and replaced whenever the
// window learns that the regional settings changed. A snapshot never changes once
// made, so a run that took one at its start reads the same settings to its end while
// the window's thread puts a new one in place for the next.
#pragma once

#include <QLocale>
#include <array>
#include <memory>
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

using FormatSnapshot = std::shared_ptr<const FormatSettings>;

// The process-wide snapshot, loaded from QLocale() on first use. Any thread.
FormatSnapshot CurrentFormatSettings();

// Makes a new process-wide snapshot from QLocale(), the application's default locale
// (QLocale::system() unless QLocale::setDefault was called). Any thread; snapshots
// taken before keep their values.
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
