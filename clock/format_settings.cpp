// Regional settings from Qt's locale data. Qt describes a locale with its own
// format letters, so the short date is translated into the pattern language of
// the formatter, and the long time pattern is built from a few traits of the
// locale's time format rather than copied.
#include "clock/format_settings.h"

#include <QString>
#include <algorithm>
#include <mutex>
#include <string_view>

#include "convert/gbk_text.h"

namespace cardsync {
namespace {

constexpr std::size_t kMaxTextItemBytes = 255;  // a longer locale text counts as not given

constexpr std::array<std::string_view, 12> kShortMonthNames = {
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 12> kLongMonthNames = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};
constexpr std::array<std::string_view, 7> kShortDayNames = {"Sun", "Mon", "Tue", "Wed",
                                                            "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kLongDayNames = {
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

bool IsAsciiLetter(QChar c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

// A text item as the locale gives it, or the fallback when it is too long.
std::string TextItem(const QString& value, std::string_view fallback) {
  std::string text = value.toStdString();
  if (GbkByteLength(text) > kMaxTextItemBytes) return std::string(fallback);
  return text;
}

// A separator is one byte in the program's encoding; anything else (an empty
// text, a multi-byte character such as U+066B or a right-to-left mark) counts
// as not given.
std::string SeparatorItem(QChar c, std::string_view fallback) {
  if (c.isNull() || c.unicode() >= 0x80) return std::string(fallback);
  return std::string(1, static_cast<char>(c.unicode()));
}

// Calls visit(position) for every character of a Qt format outside quoted text.
template <typename Visit>
void ForEachUnquoted(const QString& qtFormat, Visit visit) {
  bool quoted = false;
  for (qsizetype i = 0; i < qtFormat.size(); ++i) {
    if (qtFormat[i] == u'\'') {
      quoted = !quoted;
      continue;
    }
    if (!quoted && !visit(i)) return;
  }
}

QChar FirstDateSeparator(const QString& qtFormat) {
  QChar found;
  ForEachUnquoted(qtFormat, [&](qsizetype i) {
    if (IsAsciiLetter(qtFormat[i])) return true;
    found = qtFormat[i];
    return false;
  });
  return found;
}

// The first separator after the hour: "h:mm" gives ':', "H.mm" gives '.'.
QChar TimeSeparatorOf(const QString& qtFormat) {
  QChar found;
  bool afterHour = false;
  ForEachUnquoted(qtFormat, [&](qsizetype i) {
    const QChar c = qtFormat[i];
    if (c == u'h' || c == u'H') {
      afterHour = true;
    } else if (afterHour && !IsAsciiLetter(c) && !c.isSpace()) {
      found = c;
      return false;
    }
    return true;
  });
  return found;
}

// Literal text for a pattern, in whichever quotation mark it does not contain.
void AppendQuoted(std::string& pattern, const std::string& literal) {
  if (literal.empty()) return;
  if (literal.find('"') == std::string::npos) {
    pattern += '"' + literal + '"';
  } else if (literal.find('\'') == std::string::npos) {
    pattern += '\'' + literal + '\'';
  } else {
    for (char c : literal) AppendQuoted(pattern, std::string(1, c));
  }
}

bool UsesEraNames(QLocale::Language language) {
  return language == QLocale::Chinese || language == QLocale::Japanese ||
         language == QLocale::Korean;
}

}  // namespace

FormatSettings DefaultFormatSettings() {
  FormatSettings settings;
  for (std::size_t i = 0; i < 12; ++i) {
    settings.shortMonthNames[i] = kShortMonthNames[i];
    settings.longMonthNames[i] = kLongMonthNames[i];
  }
  for (std::size_t i = 0; i < 7; ++i) {
    settings.shortDayNames[i] = kShortDayNames[i];
    settings.longDayNames[i] = kLongDayNames[i];
  }
  return settings;
}

std::string ShortDatePatternFromQt(const QString& qtFormat, QLocale::Language language) {
  std::string pattern;
  std::string literal;  // pending literal text, quoted as one piece
  const qsizetype n = qtFormat.size();
  for (qsizetype i = 0; i < n;) {
    const QChar c = qtFormat[i];
    if (c == u'\'') {
      // '' is a literal quote, inside or outside quoted text.
      if (i + 1 < n && qtFormat[i + 1] == u'\'') {
        literal += '\'';
        i += 2;
        continue;
      }
      for (++i; i < n; ++i) {
        if (qtFormat[i] == u'\'') {
          if (i + 1 < n && qtFormat[i + 1] == u'\'') {
            literal += '\'';
            ++i;
            continue;
          }
          break;
        }
        literal += QString(qtFormat[i]).toStdString();
      }
      ++i;
      continue;
    }
    if (IsAsciiLetter(c)) {
      qsizetype count = 1;
      while (i + count < n && qtFormat[i + count] == c) ++count;
      std::string element;
      if (c == u'd') {
        element.assign(std::min<qsizetype>(count, 4), 'd');
      } else if (c == u'M') {
        element.assign(std::min<qsizetype>(count, 4), 'm');
      } else if (c == u'y') {
        element = count <= 2 ? "yy" : "yyyy";
      }
      if ((c == u'g' || c == u'G') && UsesEraNames(language)) {
        // Era names are left out of Chinese, Japanese and Korean dates.
      } else if (element.empty()) {
        // Qt copies other letters; here they would be elements, so quote them.
        literal += QString(count, c).toStdString();
      } else {
        AppendQuoted(pattern, literal);
        literal.clear();
        pattern += element;
      }
      i += count;
      continue;
    }
    if (c == u'"' || c == u':') {
      literal += static_cast<char>(c.unicode());
    } else {
      AppendQuoted(pattern, literal);
      literal.clear();
      // Surrogate pairs travel together so a character is never split.
      const qsizetype length = c.isHighSurrogate() && i + 1 < n ? 2 : 1;
      pattern += qtFormat.mid(i, length).toStdString();
      i += length;
      continue;
    }
    ++i;
  }
  AppendQuoted(pattern, literal);
  return pattern;
}

std::string LongTimePatternFromQt(const QString& qtFormat) {
  qsizetype hourAt = -1, markerAt = -1;
  bool leadingZero = false;
  ForEachUnquoted(qtFormat, [&](qsizetype i) {
    const QChar c = qtFormat[i];
    if ((c == u'h' || c == u'H') && hourAt < 0) {
      hourAt = i;
      leadingZero = i + 1 < qtFormat.size() && qtFormat[i + 1] == c;
    } else if ((c == u'a' || c == u'A' || c == u'B') && markerAt < 0) {
      // 'B' is CLDR's day period ("下午"), which Qt's data keeps for zh_TW untranslated;
      // like AP it marks a 12-hour clock.
      markerAt = i;
    }
    return true;
  });
  std::string pattern = std::string(leadingZero ? "hh" : "h") + ":mm:ss";
  if (markerAt < 0) return pattern;
  return markerAt < hourAt ? "AMPM " + pattern : pattern + " AMPM";
}

FormatSettings FormatSettingsFromLocale(const QLocale& locale) {
  FormatSettings settings = DefaultFormatSettings();
  // Qt's C locale has formats of its own ("d MMM yyyy"); the program's defaults
  // are what a workstation without regional settings shows.
  if (locale.language() == QLocale::C) return settings;

  const QString dateFormat = locale.dateFormat(QLocale::ShortFormat);
  // The short time format: the long one carries a time-zone element that the
  // long time pattern has no use for.
  const QString timeFormat = locale.timeFormat(QLocale::ShortFormat);

  const std::string shortDate = ShortDatePatternFromQt(dateFormat, locale.language());
  if (!shortDate.empty() && GbkByteLength(shortDate) <= kMaxTextItemBytes) {
    settings.shortDatePattern = shortDate;
  }
  settings.dateSeparator = SeparatorItem(FirstDateSeparator(dateFormat), "/");
  settings.timeSeparator = SeparatorItem(TimeSeparatorOf(timeFormat), ":");
  settings.amText = TextItem(locale.amText(), "am");
  settings.pmText = TextItem(locale.pmText(), "pm");
  // Stand-alone names, as a calendar heading shows them: the locale's date
  // formats use day numbers, so the declined forms would only show up in
  // patterns written by hand.
  for (int month = 1; month <= 12; ++month) {
    const std::size_t i = month - 1;
    settings.shortMonthNames[i] =
        TextItem(locale.standaloneMonthName(month, QLocale::ShortFormat), kShortMonthNames[i]);
    settings.longMonthNames[i] =
        TextItem(locale.standaloneMonthName(month, QLocale::LongFormat), kLongMonthNames[i]);
  }
  for (std::size_t i = 0; i < 7; ++i) {
    const int qtDay = i == 0 ? 7 : static_cast<int>(i);  // Qt counts Monday = 1 .. Sunday = 7
    settings.shortDayNames[i] =
        TextItem(locale.standaloneDayName(qtDay, QLocale::ShortFormat), kShortDayNames[i]);
    settings.longDayNames[i] =
        TextItem(locale.standaloneDayName(qtDay, QLocale::LongFormat), kLongDayNames[i]);
  }
  settings.longTimePattern = LongTimePatternFromQt(timeFormat);
  const QString decimal = locale.decimalPoint();
  settings.decimalSeparator = SeparatorItem(decimal.size() == 1 ? decimal[0] : QChar(), ".");
  return settings;
}

namespace {

std::mutex processMutex;
FormatSnapshot processSettings;  // under processMutex

}  // namespace

FormatSnapshot CurrentFormatSettings() {
  std::lock_guard<std::mutex> lock(processMutex);
  if (!processSettings)
    processSettings = std::make_shared<const FormatSettings>(FormatSettingsFromLocale(QLocale()));
  return processSettings;
}

void ReloadFormatSettings() {
  auto fresh = std::make_shared<const FormatSettings>(FormatSettingsFromLocale(QLocale()));
  std::lock_guard<std::mutex> lock(processMutex);
  processSettings = std::move(fresh);
}

}  // namespace cardsync
