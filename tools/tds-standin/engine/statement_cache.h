// A session's prepared SQLite statements, kept by their SQL text. The driver
// sends the same statements request after request (a chunk's insert and
// updates differ only in their values), and compiling them, with the triggers
// every write fires, cost more than running them.
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace standin {

// Hashes of the texts met lately, to keep things from their second use on:
// a text with literal values (a script's inserts) comes once, and keeping it
// would only fill memory.
class Sightings {
 public:
  explicit Sightings(size_t capacity) : capacity_(capacity) {}
  // True when text was met before; notes this sighting either way.
  bool Repeated(std::string_view text);

 private:
  size_t capacity_;
  std::vector<size_t> hashes_;  // oldest overwritten first
  size_t next_ = 0;
};

class StatementCache {
 public:
  StatementCache() = default;
  ~StatementCache() { Clear(); }
  StatementCache(const StatementCache&) = delete;
  StatementCache& operator=(const StatementCache&) = delete;

  // The kept statement for sql, lent out until Put: a nested use of the same
  // text meanwhile prepares its own. nullptr when none is kept. It comes
  // reset, with its bindings cleared.
  sqlite3_stmt* Take(const std::string& sql);
  // Whether a statement just prepared for sql is worth keeping: it is when
  // the text was prepared before. Notes this sighting.
  bool Repeated(const std::string& sql) { return sightings_.Repeated(sql); }
  // Hands a statement (prepared with SQLITE_PREPARE_PERSISTENT) back for
  // later use. It is reset here, so it holds no read transaction meanwhile.
  void Put(const std::string& sql, sqlite3_stmt* st);
  void Clear();

  // Whether statements of this text may be kept at all: not DDL, which runs
  // once and would only pin schema objects.
  static bool Keeps(std::string_view sql);

 private:
  struct Entry {
    sqlite3_stmt* st = nullptr;  // nullptr while lent out
    size_t bytes = 0;
    uint64_t lastUse = 0;
  };
  // A chunk of 200 records keeps its insert and 200 updates, some 5 MB.
  // One statement past kMaxStatementBytes is not kept; past kBudgetBytes the
  // least recently used half goes.
  static constexpr size_t kMaxStatementBytes = 1u << 20;
  static constexpr size_t kBudgetBytes = 32u << 20;
  static constexpr size_t kSightings = 4096;

  void EvictOldest();

  std::unordered_map<std::string, Entry> entries_;
  size_t bytes_ = 0;
  uint64_t clock_ = 0;
  Sightings sightings_{kSightings};
};

}  // namespace standin
