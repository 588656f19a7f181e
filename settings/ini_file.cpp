// One pass over the lines, each either blank, a comment, a [section] header or a
// key=value. The quoting rule is deliberately the smallest that lets a ';' or '#'
// into a value: QSettings' lists, escapes and comment rules turned passwords and
// ODBC options into something else without a word, which is what this replaces.
#include "settings/ini_file.h"

#include <algorithm>
#include <vector>

namespace cardsync::settings {
namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kMostSuggestedEdits = 2;

std::string_view Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The rest of a line after a value or header: nothing, blanks, or blanks and a comment.
bool OnlyCommentAfter(std::string_view rest) {
  const std::string_view trimmed = Trimmed(rest);
  if (trimmed.empty()) return true;
  if (trimmed.front() != ';' && trimmed.front() != '#') return false;
  return rest.empty() || IsBlank(rest.front()) || rest.front() == ';' || rest.front() == '#';
}

std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

class Parser {
 public:
  Parser(const std::string& path, std::span<const KnownSection> known)
      : path_(path), known_(known) {}

  void Line(std::string_view line, int number) {
    number_ = number;
    const std::string_view content = Trimmed(line);
    if (content.empty() || content.front() == ';' || content.front() == '#') return;
    if (content.front() == '[') return Header(content);
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos || Trimmed(line.substr(0, equals)).empty()) {
      Fail("'" + std::string(content) + "'" + InSection() + " is neither key=value nor [section]");
    }
    const std::string key(Trimmed(line.substr(0, equals)));
    if (section_ == nullptr) {
      Fail("key '" + key + "' comes before any [section]; put it under the section it belongs to");
    }
    const std::span<const std::string_view> keys = sectionKeys_;
    if (std::find(keys.begin(), keys.end(), key) == keys.end()) {
      Fail("unknown key '" + key + "' in [" + sectionName_ + "]" + Suggestion(key, keys, ""));
    }
    if (const auto earlier = section_->values.find(key); earlier != section_->values.end()) {
      Fail("key '" + key + "' in [" + sectionName_ + "] is given twice (first on line " +
           std::to_string(earlier->second.line) + ")");
    }
    section_->values[key] = IniValue{Value(line.substr(equals + 1), key), number};
  }

  IniFile Take() { return std::move(file_); }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw SettingsError(Where(path_, number_) + ": " + what);
  }

  std::string InSection() const {
    return section_ == nullptr ? std::string() : " in [" + sectionName_ + "]";
  }

  static std::string Suggestion(std::string_view name, std::span<const std::string_view> known,
                                std::string_view brackets) {
    const std::string nearest = NearestName(name, known);
    if (nearest.empty()) return {};
    return "; did you mean " + std::string(brackets.substr(0, brackets.size() / 2)) + nearest +
           std::string(brackets.substr(brackets.size() / 2)) + "?";
  }

  void Header(std::string_view content) {
    const std::size_t close = content.find(']');
    if (close == std::string_view::npos || !OnlyCommentAfter(content.substr(close + 1))) {
      Fail("'" + std::string(content) + "' is neither key=value nor [section]");
    }
    const std::string name(Trimmed(content.substr(1, close - 1)));
    std::vector<std::string_view> names;
    for (const KnownSection& section : known_) {
      names.push_back(section.name);
      if (section.name != name) continue;
      sectionName_ = name;
      sectionKeys_ = section.keys;
      auto [it, added] = file_.sections.try_emplace(name);
      if (added) it->second.line = number_;
      section_ = &it->second;
      return;
    }
    Fail("unknown section [" + name + "]" + Suggestion(name, names, "[]"));
  }

  // The value after '=': quoted when it begins with a quote, literal otherwise.
  std::string Value(std::string_view raw, const std::string& key) const {
    const std::size_t start = raw.find_first_not_of(kBlanks);
    if (start == std::string_view::npos) return {};
    if (raw[start] == '"') return Quoted(raw.substr(start + 1), key);
    // A comment needs a blank before it, so "a;b" and "a#b" stay whole.
    std::size_t end = raw.size();
    for (std::size_t i = start + 1; i < raw.size(); ++i) {
      if ((raw[i] == ';' || raw[i] == '#') && IsBlank(raw[i - 1])) {
        end = i;
        break;
      }
    }
    return std::string(Trimmed(raw.substr(start, end - start)));
  }

  std::string Quoted(std::string_view rest, const std::string& key) const {
    std::string value;
    for (std::size_t i = 0; i < rest.size(); ++i) {
      if (rest[i] != '"') {
        value += rest[i];
        continue;
      }
      if (i + 1 < rest.size() && rest[i + 1] == '"') {
        value += '"';
        ++i;
        continue;
      }
      if (!OnlyCommentAfter(rest.substr(i + 1))) {
        Fail("the value of key '" + key + "' in [" + sectionName_ +
             "] goes on after its closing quote; quote it whole, writing \"\" for a quote inside");
      }
      return value;
    }
    Fail("the value of key '" + key + "' in [" + sectionName_ +
         "] opens a quote that does not close on its line");
  }

  const std::string& path_;
  std::span<const KnownSection> known_;
  IniFile file_;
  IniSection* section_ = nullptr;
  std::string sectionName_;
  std::span<const std::string_view> sectionKeys_;
  int number_ = 0;
};

}  // namespace

IniFile ParseIni(std::string_view text, const std::string& path,
                 std::span<const KnownSection> known) {
  if (text.starts_with(kByteOrderMark)) text.remove_prefix(kByteOrderMark.size());
  Parser parser(path, known);
  int number = 0;
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    parser.Line(line, ++number);
  }
  return parser.Take();
}

std::string NearestName(std::string_view name, std::span<const std::string_view> known) {
  std::string nearest;
  std::size_t fewest = kMostSuggestedEdits + 1;
  for (std::string_view candidate : known) {
    const std::size_t edits = EditDistance(name, candidate);
    if (edits < fewest) {
      fewest = edits;
      nearest = candidate;
    }
  }
  return nearest;
}

std::string Where(const std::string& path, int line) {
  return "settings file " + path + ", line " + std::to_string(line);
}

}  // namespace cardsync::settings
