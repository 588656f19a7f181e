// Data shown in a log line: order ids, skip reasons and messages come from the database
// and may hold a line break, a terminal escape or a right-to-left override, which would
// let a record forge a line ("... done") or hide one. Shown escaped, they stay one
// visible line; what is stored keeps the values as they were.
#pragma once

#include <string>
#include <string_view>

namespace cardsync {

// `utf8` with C0 controls and DEL as \n, \r, \t or \xNN, C1 controls and the
// bidirectional overrides and isolates (U+202A-U+202E, U+2066-U+2069) as \uNNNN, a
// backslash as \\ (so an escape cannot be forged either), and bytes that are not UTF-8
// as \xNN. Everything else, Chinese text included, unchanged.
std::string LogText(std::string_view utf8);

}  // namespace cardsync
