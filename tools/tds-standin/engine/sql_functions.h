// SQL Server's built-in functions as SQLite functions, and the channel that
// carries a SQL Server error (number, severity, state, text) out of a SQLite
// function or trigger and back to the session.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

#include "engine.h"
#include "sql_convert.h"

namespace standin {

// What the functions of one connection read: the clock and the session.
struct FunctionContext {
  std::optional<DateTime> fixedNow;  // what GETDATE() returns, when fixed
  bool nationalText = false;         // text of the running statement came as nvarchar
  int spid = 51;
  // @@ROWCOUNT, read when the statement runs, so a statement naming it is compiled once.
  const int64_t* rowCount = nullptr;
};

// Registers year, month, day, getdate, ss_cast, ss_conv ... and the SSCI
// collation on db. ctx must outlive the connection.
void RegisterFunctions(sqlite3* db, FunctionContext* ctx);

// A SQL Server message packed into a SQLite error text, and unpacked again.
std::string EncodeError(const ServerMessage& m);
std::optional<ServerMessage> DecodeError(const std::string& sqliteMessage);

// The current moment of the local clock, or the fixed one.
DateTime Now(const FunctionContext& ctx);

}  // namespace standin
