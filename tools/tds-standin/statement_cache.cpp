// The session's statement cache: statements keyed by their SQL text, reset
// when they come back, the least recently used half dropped when it is full.
#include "statement_cache.h"

#include <algorithm>
#include <vector>

#include "text_case.h"

namespace standin {

sqlite3_stmt* StatementCache::Take(const std::string& sql) {
  auto it = entries_.find(sql);
  if (it == entries_.end()) return nullptr;
  sqlite3_stmt* st = it->second.st;
  entries_.erase(it);
  return st;
}

void StatementCache::Put(const std::string& sql, sqlite3_stmt* st) {
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  if (entries_.size() >= kCapacity) EvictOldest();
  auto [it, inserted] = entries_.try_emplace(sql, Entry{st, ++clock_});
  if (!inserted) {
    // A nested use of the same text prepared its own; keep one of the two.
    sqlite3_finalize(it->second.st);
    it->second = Entry{st, clock_};
  }
}

void StatementCache::Clear() {
  for (auto& [sql, e] : entries_) sqlite3_finalize(e.st);
  entries_.clear();
}

void StatementCache::EvictOldest() {
  std::vector<uint64_t> uses;
  uses.reserve(entries_.size());
  for (const auto& [sql, e] : entries_) uses.push_back(e.lastUse);
  auto mid = uses.begin() + static_cast<std::ptrdiff_t>(uses.size() / 2);
  std::nth_element(uses.begin(), mid, uses.end());
  const uint64_t cut = *mid;
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.lastUse <= cut) {
      sqlite3_finalize(it->second.st);
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

bool StatementCache::Keeps(std::string_view sql) {
  size_t i = sql.find_first_not_of(" \t\r\n");
  if (i == std::string_view::npos) return false;
  sql.remove_prefix(i);
  return !(EqualsNoCase(sql.substr(0, 6), "create") || EqualsNoCase(sql.substr(0, 4), "drop") ||
           EqualsNoCase(sql.substr(0, 5), "alter"));
}

}  // namespace standin
