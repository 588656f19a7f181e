// The engine's SQLite layer: one translated statement prepared, its
// parameters bound, its rows stepped out and typed, and SQLite's errors
// reported the way SQL Server would have worded them.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <vector>

#include "engine.h"
#include "sql_functions.h"
#include "sql_lexer.h"
#include "sql_translate.h"
#include "sql_types.h"
#include "statement_cache.h"

namespace standin {

// SQLite's error for stmt (the T-SQL tokens it came from), as SQL Server
// would have reported it. prepare: the statement failed to compile.
ServerMessage MapSqliteError(sqlite3* db, int code, const std::vector<Token>& stmt, bool prepare);

// What a statement's @names read: the session's DECLAREd variables first,
// then the request's parameters.
struct Bindings {
  const std::vector<Param>& params;
  const LocalVariables* locals = nullptr;
};

// Prepares (or takes from cache, when given), binds and steps t's SQL (sql),
// collecting typed rows. stmt is the T-SQL the SQL came from, for error
// messages. A probe (a condition or a PRINT argument, a CREATE TABLE's parts)
// counts no changed rows. raw, when given, receives the rows as SQLite gave
// them (what a variable assigned from them stores).
StatementOutput RunSql(sqlite3* db, StatementCache* cache, FunctionContext& ctx,
                       const Bindings& bindings, const std::vector<Token>& stmt,
                       const std::string& sql, const Translated& t, bool probe,
                       std::vector<std::vector<Scalar>>* raw = nullptr);

// The parameter a statement's @name reads, or nullptr.
const Param* FindParam(const std::vector<Param>& params, std::string_view name);

// Runs SQL that returns nothing (BEGIN, COMMIT ...); the error if it fails.
std::optional<ServerMessage> ExecSql(sqlite3* db, const char* sql);

}  // namespace standin
