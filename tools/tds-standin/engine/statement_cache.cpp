// The session's statement cache: statements keyed by their SQL text, kept
// from their second use on, reset when they come back, the least recently
// used half dropped when they take more memory than the budget.
#include "statement_cache.h"

#include <algorithm>
#include <functional>

#include "text_case.h"

namespace standin {

sqlite3_stmt* StatementCache::Take(const std::string& sql) {
  auto it = entries_.find(sql);
  if (it == entries_.end()) return nullptr;
  sqlite3_stmt* st = it->second.st;
  it->second.st = nullptr;
  return st;
}

bool Sightings::Repeated(std::string_view text) {
  const size_t hash = std::hash<std::string_view>{}(text);
  if (std::find(hashes_.begin(), hashes_.end(), hash) != hashes_.end()) return true;
  if (hashes_.size() < capacity_) {
    hashes_.push_back(hash);
  } else {
    hashes_[next_] = hash;
    next_ = (next_ + 1) % capacity_;
  }
  return false;
}

void StatementCache::Put(const std::string& sql, sqlite3_stmt* st) {
  sqlite3_reset(st);
  sqlite3_clear_bindings(st);
  auto it = entries_.find(sql);
  if (it != entries_.end()) {
    if (it->second.st) {
      // A nested use of the same text prepared its own; one is enough.
      sqlite3_finalize(st);
    } else {
      it->second.st = st;
      it->second.lastUse = ++clock_;
    }
    return;
  }
  const size_t bytes = size_t(sqlite3_stmt_status(st, SQLITE_STMTSTATUS_MEMUSED, 0));
  if (bytes > kMaxStatementBytes) {
    sqlite3_finalize(st);
    return;
  }
  entries_.emplace(sql, Entry{st, bytes, ++clock_});
  bytes_ += bytes;
  if (bytes_ > kBudgetBytes) EvictOldest();
}

void StatementCache::Clear() {
  for (auto& [sql, e] : entries_) sqlite3_finalize(e.st);
  entries_.clear();
  bytes_ = 0;
}

void StatementCache::EvictOldest() {
  std::vector<uint64_t> uses;
  uses.reserve(entries_.size());
  for (const auto& [sql, e] : entries_)
    if (e.st) uses.push_back(e.lastUse);
  if (uses.empty()) return;
  auto mid = uses.begin() + static_cast<std::ptrdiff_t>(uses.size() / 2);
  std::nth_element(uses.begin(), mid, uses.end());
  const uint64_t cut = *mid;
  for (auto it = entries_.begin(); it != entries_.end();) {
    // Lent-out statements come back through Put and stay.
    if (it->second.st && it->second.lastUse <= cut) {
      sqlite3_finalize(it->second.st);
      bytes_ -= it->second.bytes;
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
