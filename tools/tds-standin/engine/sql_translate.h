// T-SQL statement text rewritten into SQLite: names without their dbo prefix,
// SQL Server's functions and system variables, CAST/CONVERT through SQL
// Server's conversion rules, and CREATE TABLE with the triggers that make
// SQLite store values the way a typed SQL Server column would.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "engine.h"
#include "sql_lexer.h"

namespace standin {

struct TypeScope;

// The session values that @@ system variables read.
struct SystemValues {
  int spid = 51;
  int tranCount = 0;
  int64_t rowCount = 0;
  int error = 0;
  int lockTimeoutMs = -1;
};

// What a result column of a SELECT is when no table column says so: the
// declared type of the variable or parameter that is the whole item, or a
// type the item itself names (CAST, CONVERT, a literal).
struct ColumnHint {
  std::string variable;
  std::optional<Column> type;
};

struct Translated {
  std::string sql;
  std::vector<ColumnHint> hints;    // one per item of a SELECT's list, when it has no *
  bool national = false;            // an N'' literal appears
  std::set<std::string> variables;  // @names used, as written
  std::optional<ServerMessage> error;
};

// Rewrites tokens [from, to) of a statement as SQLite SQL. With scope, the
// select list's result types and CAST's source types are worked out too.
Translated TranslateTokens(const std::vector<Token>& tokens, size_t from, size_t to,
                           const SystemValues& sys, const TypeScope* scope = nullptr);

// The table a CREATE TABLE makes: its SQLite DDL followed by its triggers.
struct TableDdl {
  std::string name;
  std::vector<std::string> statements;
};
// tokens is the whole CREATE TABLE statement.
std::optional<TableDdl> TranslateCreateTable(const std::vector<Token>& tokens,
                                             std::optional<ServerMessage>& error);

// A name as SQL Server resolves it: [reporting.][dbo.]name, brackets removed.
// Returns the index after the name, or from when there is none.
size_t ReadObjectName(const std::vector<Token>& tokens, size_t from, std::string& name);

ServerMessage SyntaxError(const std::vector<Token>& tokens, size_t at);

}  // namespace standin
