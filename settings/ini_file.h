// The literal INI reader under the settings file. A value means what it says: the
// text after the first '=' with the blanks around it removed, or, wholly in double
// quotes, the text between them ("" standing for one quote). Nothing else is
// special: no lists, no escapes. It knows the sections and keys it is given and
// refuses every other name, so a misspelt key is an error rather than a default.
#pragma once

#include <map>
#include <span>
#include <string>
#include <string_view>

#include "base/error.h"

namespace cardsync::settings {

// A settings file that is missing, unreadable, malformed or holds a bad or missing
// key. Kept apart from connection failures: the command line answers it with
// kExitSettings (78). Its text names the file and, where one is at fault, the line,
// the section and the key.
class SettingsError : public Error {
 public:
  using Error::Error;
};

struct IniValue {
  std::string text;
  int line = 0;  // 1-based, for messages
};

struct IniSection {
  int line = 0;  // of its first header
  std::map<std::string, IniValue, std::less<>> values;
};

// A file as read: its sections by name. A section may be opened more than once (its
// keys then join); a key may be given only once in it.
struct IniFile {
  std::map<std::string, IniSection, std::less<>> sections;
};

// A section a file may hold and the keys it may hold in it.
struct KnownSection {
  std::string_view name;
  std::span<const std::string_view> keys;
};

// `text`, the content of the file at `path` (named in messages), read by the rules
// above; a UTF-8 byte order mark at its start and CR before each line end are
// dropped. A line whose first non-blank is ';' or '#' is a comment, and so is the
// rest of an unquoted line from a ';' or '#' that follows a blank. Throws
// SettingsError naming the line for an unknown section or key (with the nearest
// known name), a key given twice in a section, a line that is neither key=value nor
// [section], a key before any section, or a quote that does not close or is
// followed by more than a comment.
IniFile ParseIni(std::string_view text, const std::string& path,
                 std::span<const KnownSection> known);

// The name of `known` that `name` is fewest edits (insert, delete, change one
// character) away from, when that is 1 or 2; "" otherwise. For "did you mean".
std::string NearestName(std::string_view name, std::span<const std::string_view> known);

// "settings file PATH, line N": how every message about a place in the file begins.
std::string Where(const std::string& path, int line);

}  // namespace cardsync::settings
