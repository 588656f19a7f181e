// Values assigned by INSERT ... VALUES and UPDATE ... SET, converted to their
// column's type before SQLite sees them. The table's columns are read from
// the database, so this runs on a session's own connection.
#pragma once

#include <sqlite3.h>

#include <vector>

#include "sql_lexer.h"
#include "statement_cache.h"

namespace standin {

// In INSERT ... VALUES and UPDATE ... SET, each value is converted to its
// column's type before SQLite sees it: SQLite's column affinity would
// otherwise turn '1.5' or '20261207' into numbers first, and SQL Server
// judges the text as written. (The table's triggers convert what other
// forms, such as INSERT ... SELECT, store.) Returns s unchanged when it
// assigns nothing this can place. The table's columns are read through cache.
std::vector<Token> ConvertAssignedValues(sqlite3* db, StatementCache* cache,
                                         const std::vector<Token>& s);

}  // namespace standin
