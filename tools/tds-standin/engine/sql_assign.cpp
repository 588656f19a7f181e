// The INSERT ... VALUES and UPDATE ... SET rewrite: each assigned value is
// wrapped in ss_conv(value, 'declared type', 'table', 'column'), so the
// column's conversion runs before SQLite's affinity can change the value.
#include "sql_assign.h"

#include <string>
#include <utility>

#include "sql_translate.h"
#include "text_case.h"

namespace standin {
namespace {

constexpr const char* kTableColumnsSql = "SELECT name, type FROM pragma_table_info(?1)";

// The declared types of a table's columns, by name.
std::vector<std::pair<std::string, std::string>> TableColumns(sqlite3* db, StatementCache* cache,
                                                              const std::string& table) {
  std::vector<std::pair<std::string, std::string>> out;
  static const std::string kSql = kTableColumnsSql;
  sqlite3_stmt* st = cache ? cache->Take(kSql) : nullptr;
  if (!st && sqlite3_prepare_v3(db, kTableColumnsSql, -1, cache ? SQLITE_PREPARE_PERSISTENT : 0,
                                &st, nullptr) != SQLITE_OK) {
    sqlite3_finalize(st);
    return out;
  }
  sqlite3_bind_text(st, 1, table.c_str(), -1, SQLITE_TRANSIENT);
  while (sqlite3_step(st) == SQLITE_ROW)
    out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                     reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
  if (cache)
    cache->Put(kSql, st);
  else
    sqlite3_finalize(st);
  return out;
}

struct Wrap {
  size_t from, to;
  std::string decl, column;
};

const std::pair<std::string, std::string>* FindColumn(
    const std::vector<std::pair<std::string, std::string>>& cols, const std::string& name) {
  for (const auto& c : cols)
    if (Lower(c.first) == Lower(name)) return &c;
  return nullptr;
}

// The values of INSERT [INTO] T [(columns)] VALUES (...), (...).
std::vector<Wrap> InsertWraps(sqlite3* db, StatementCache* cache, const std::vector<Token>& s,
                              std::string& table) {
  std::vector<Wrap> wraps;
  size_t k = 1;
  if (k < s.size() && s[k].Is("into")) ++k;
  size_t after = ReadObjectName(s, k, table);
  if (after == k) return {};
  auto cols = TableColumns(db, cache, table);
  if (cols.empty()) return {};
  k = after;
  std::vector<std::string> names;
  if (k < s.size() && s[k].Is("(")) {
    size_t close = k;
    for (int depth = 0; close < s.size(); ++close) {
      if (s[close].Is("(")) ++depth;
      if (s[close].Is(")") && --depth == 0) break;
    }
    for (size_t j = k + 1; j < close; ++j)
      if (s[j].kind == Token::Word || s[j].kind == Token::QuotedName) names.push_back(s[j].text);
    k = close + 1;
  } else {
    for (const auto& c : cols) names.push_back(c.first);
  }
  if (k >= s.size() || !s[k].Is("values")) return {};
  ++k;
  while (k < s.size() && s[k].Is("(")) {
    size_t start = k + 1, col = 0;
    int depth = 0;
    size_t j = k;
    for (; j < s.size(); ++j) {
      if (s[j].Is("(")) ++depth;
      bool closes = s[j].Is(")") && --depth == 0;
      if ((depth == 1 && s[j].Is(",")) || closes) {
        if (col < names.size() && start < j)
          if (const auto* c = FindColumn(cols, names[col]))
            wraps.push_back({start, j, c->second, c->first});
        ++col;
        start = j + 1;
      }
      if (closes) break;
    }
    k = j + 1;
    if (k < s.size() && s[k].Is(",")) ++k;
  }
  return wraps;
}

// The values of UPDATE T SET column = value, ....
std::vector<Wrap> UpdateWraps(sqlite3* db, StatementCache* cache, const std::vector<Token>& s,
                              std::string& table) {
  std::vector<Wrap> wraps;
  size_t k = 1;
  size_t after = ReadObjectName(s, k, table);
  if (after == k || after >= s.size() || !s[after].Is("set")) return {};
  auto cols = TableColumns(db, cache, table);
  k = after + 1;
  int depth = 0;
  size_t itemStart = k;
  for (size_t j = k; j <= s.size(); ++j) {
    bool end =
        j == s.size() || (depth == 0 && (s[j].Is("where") || s[j].Is("from") || s[j].Is("output")));
    if (j < s.size() && s[j].Is("(")) ++depth;
    if (j < s.size() && s[j].Is(")")) --depth;
    if (end || (depth == 0 && s[j].Is(","))) {
      // name = expr, where name may carry a table prefix
      size_t eq = itemStart;
      while (eq < j && !s[eq].Is("=")) ++eq;
      if (eq > itemStart && eq + 1 < j)
        if (const auto* c = FindColumn(cols, s[eq - 1].text))
          wraps.push_back({eq + 1, j, c->second, c->first});
      itemStart = j + 1;
    }
    if (end) break;
  }
  return wraps;
}

}  // namespace

std::vector<Token> ConvertAssignedValues(sqlite3* db, StatementCache* cache,
                                         const std::vector<Token>& s) {
  std::string table;
  std::vector<Wrap> wraps =
      s.front().Is("insert") ? InsertWraps(db, cache, s, table) : UpdateWraps(db, cache, s, table);
  if (wraps.empty()) return s;
  // ss_conv( value , 'decl' , 'table' , 'column' ), as tokens, so that later
  // rewrites see its parentheses and commas.
  auto make = [](Token::Kind kind, std::string text, bool space) {
    Token t;
    t.kind = kind;
    t.text = std::move(text);
    t.spaceBefore = space;
    return t;
  };
  std::vector<Token> out;
  size_t w = 0;
  for (size_t j = 0; j < s.size(); ++j) {
    if (w < wraps.size() && wraps[w].from == j) {
      out.push_back(make(Token::Word, "ss_conv", s[j].spaceBefore));
      out.push_back(make(Token::Symbol, "(", false));
      out.push_back(s[j]);
      out.back().spaceBefore = false;
    } else {
      out.push_back(s[j]);
    }
    if (w < wraps.size() && wraps[w].to == j + 1) {
      for (const std::string* arg : {&wraps[w].decl, &table, &wraps[w].column}) {
        out.push_back(make(Token::Symbol, ",", false));
        out.push_back(make(Token::String, *arg, true));
      }
      out.push_back(make(Token::Symbol, ")", false));
      ++w;
    }
  }
  return out;
}

}  // namespace standin
