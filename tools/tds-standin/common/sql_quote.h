// Quoting for SQL text the stand-in writes itself: translated statements,
// trigger bodies, and parameter values in the event log. One rule for both
// kinds of quote, so a value can never end its literal early.
#pragma once

#include <string>
#include <string_view>

namespace standin {

// s between `quote` characters, each quote inside it doubled.
inline std::string QuoteSql(std::string_view s, char quote) {
  std::string out;
  out.reserve(s.size() + 2);
  out += quote;
  size_t run = 0;
  for (size_t q = s.find(quote); q != std::string_view::npos; q = s.find(quote, q + 1)) {
    out.append(s, run, q + 1 - run);
    out += quote;
    run = q + 1;
  }
  out.append(s, run);
  out += quote;
  return out;
}

// 'it''s': a string literal.
inline std::string QuoteSqlString(std::string_view s) { return QuoteSql(s, '\''); }

// "a""b": a name, as SQLite reads it (and SQL Server under QUOTED_IDENTIFIER).
inline std::string QuoteSqlName(std::string_view s) { return QuoteSql(s, '"'); }

}  // namespace standin
