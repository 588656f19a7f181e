// A session's prepared SQLite statements, kept by their SQL text. The driver
// sends the same statements request after request (a chunk's insert and
// updates differ only in their values), and compiling them, with the triggers
// every write fires, cost more than running them.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace standin {

class StatementCache {
 public:
  StatementCache() = default;
  ~StatementCache() { Clear(); }
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // The statement for sql, taken out of the cache so that a nested use of the
  // same text prepares its own; nullptr when none is kept. It comes reset,
  // with its bindings cleared.
  sqlite3_stmt* Take(const std::string& sql);
  // Hands a statement (prepared with SQLITE_PREPARE_PERSISTENT) back for
  // later use: it is reset here, so it holds no read transaction meanwhile.
  void Put(const std::string& sql, sqlite3_stmt* st);
  void Clear();

  // Whether statements of this text are worth keeping: not DDL, which runs
  // once and would only pin schema objects.
  static bool Keeps(std::string_view sql);

 private:
  struct Entry {
    sqlite3_stmt* st = nullptr;
    uint64_t lastUse = 0;
  };
  // Enough for a chunk of the largest size with its insert and its updates
  // twice over; past it the least recently used half goes.
  static constexpr size_t kCapacity = 1024;

  void EvictOldest();

  std::unordered_map<std::string, Entry> entries_;
  uint64_t clock_ = 0;
};

}  // namespace standin
