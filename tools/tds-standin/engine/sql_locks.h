// Which tables a statement reads and writes, read from its tokens, and the
// table hints (WITH (NOLOCK) ...) that change how it locks them. The session
// takes the locks (lock_manager.h); SQLite never sees the hints.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_set>
#include <vector>

#include "sql_lexer.h"

namespace standin {

struct TableLock {
  enum Kind { Read, ReadHeld, Write, None } kind = Read;
  std::string table;  // lower case
};

struct LockNeeds {
  std::vector<TableLock> tables;
  bool writes = false;      // changes the database (data or schema)
  bool tempWrites = false;  // changes only a #temp table, the session's own
};

// tables: the names of the database's tables in lower case. A name of the
// statement that is one of them is locked: written when it is the target of
// INSERT, UPDATE, DELETE, TRUNCATE, CREATE/DROP/ALTER TABLE, read otherwise.
LockNeeds LockNeedsOf(const std::vector<Token>& s, const std::unordered_set<std::string>& tables);

// When tokens[k] opens a table hint list, WITH (...) or (...) of hint words
// only, the index after it; else k.
size_t SkipTableHints(const std::vector<Token>& tokens, size_t k, size_t to);

}  // namespace standin
