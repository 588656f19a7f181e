// A statement's tables and how it locks them. Names are matched against the
// database's tables, so an alias or a column is never locked by mistake, and
// a derived table or CTE is seen through to the tables it reads.
#include "sql_locks.h"

#include <map>
#include <string_view>

#include "sql_translate.h"
#include "text_case.h"

namespace standin {
namespace {

// Hint words and the lock each asks for; the rest only tune how it is taken.
struct Hint {
  std::string_view word;
  TableLock::Kind kind;
  bool changes;
};
constexpr Hint kHints[] = {
    {"nolock", TableLock::None, true},
    {"readuncommitted", TableLock::None, true},
    {"holdlock", TableLock::ReadHeld, true},
    {"serializable", TableLock::ReadHeld, true},
    {"repeatableread", TableLock::ReadHeld, true},
    {"updlock", TableLock::Write, true},
    {"xlock", TableLock::Write, true},
    {"tablockx", TableLock::Write, true},
    {"tablock", TableLock::Read, false},
    {"rowlock", TableLock::Read, false},
    {"paglock", TableLock::Read, false},
    {"readcommitted", TableLock::Read, false},
    {"readcommittedlock", TableLock::Read, false},
    {"readpast", TableLock::Read, false},
    {"nowait", TableLock::Read, false},
};

const Hint* FindHint(const Token& t) {
  if (t.kind != Token::Word) return nullptr;
  for (const Hint& h : kHints)
    if (t.Is(h.word)) return &h;
  return nullptr;
}

bool IsName(const Token& t) { return t.kind == Token::Word || t.kind == Token::QuotedName; }

// The table a writing statement targets, in lower case, or "".
std::string TargetOf(const std::vector<Token>& s) {
  size_t k = 1;
  const Token& head = s.front();
  if (head.Is("insert") || head.Is("delete")) {
    if (k < s.size() && (s[k].Is("into") || s[k].Is("from"))) ++k;
  } else if (head.Is("truncate") || head.Is("drop") || head.Is("alter") || head.Is("create")) {
    if (!(k < s.size() && s[k].Is("table"))) return "";
    ++k;
    if (k + 1 < s.size() && s[k].Is("if") && s[k + 1].Is("exists")) k += 2;
  } else if (!head.Is("update")) {
    return "";
  }
  std::string name;
  return ReadObjectName(s, k, name) == k ? "" : Lower(name);
}

}  // namespace

size_t SkipTableHints(const std::vector<Token>& tokens, size_t k, size_t to) {
  size_t j = k;
  if (j < to && tokens[j].Is("with")) ++j;
  if (j >= to || !tokens[j].Is("(")) return k;
  bool any = false;
  for (++j; j < to && !tokens[j].Is(")"); ++j) {
    if (tokens[j].Is(",")) continue;
    if (!FindHint(tokens[j])) return k;
    any = true;
  }
  return j < to && any ? j + 1 : k;
}

LockNeeds LockNeedsOf(const std::vector<Token>& s, const std::unordered_set<std::string>& tables) {
  static constexpr std::string_view kWriters[] = {"insert", "update", "delete", "truncate",
                                                  "create", "drop",   "alter",  "merge"};
  LockNeeds needs;
  for (std::string_view w : kWriters) needs.writes = needs.writes || s.front().Is(w);
  const std::string target = TargetOf(s);
  if (needs.writes && !target.empty() && target[0] == '#') {
    needs.writes = false;
    needs.tempWrites = true;
  }
  // A T-SQL UPDATE may name an alias from its FROM; every table it reads may then be the target.
  const bool allWritten =
      s.front().Is("merge") || (s.front().Is("update") && !target.empty() && !tables.count(target));
  std::map<std::string, TableLock::Kind> kinds;
  for (size_t i = 0; i < s.size(); ++i) {
    if (!IsName(s[i]) || (i + 1 < s.size() && s[i + 1].Is("."))) continue;
    std::string name = Lower(s[i].text);
    bool isTarget = name == target && (s.front().Is("create") || s.front().Is("drop"));
    if (!tables.count(name) && !isTarget) continue;
    TableLock::Kind kind = (name == target || allWritten) ? TableLock::Write : TableLock::Read;
    size_t after = i + 1;
    if (after < s.size() && s[after].Is("as")) ++after;
    if (after < s.size() && IsName(s[after]) && !s[after].Is("with")) ++after;  // an alias
    size_t end = SkipTableHints(s, after, s.size());
    for (size_t j = after; j < end; ++j)
      if (const Hint* h = FindHint(s[j]); h && h->changes && kind != TableLock::Write)
        kind = h->kind;
    auto [it, fresh] = kinds.try_emplace(name, kind);
    if (!fresh && kind != TableLock::None && (it->second == TableLock::None || kind > it->second))
      it->second = kind;
  }
  for (const auto& [name, kind] : kinds) needs.tables.push_back(TableLock{kind, name});
  return needs;
}

}  // namespace standin
