// SQL Server's catalog functions, which let a client look at the schema and its
// own rights without touching data: COL_LENGTH, OBJECT_ID(name, type) and
// HAS_PERMS_BY_NAME. They read SQLite's own catalog, so they answer for whatever
// the scripts and tests made.
#pragma once

#include <sqlite3.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"

namespace standin {

// The stand-in has no logins apart from its one user and grants everything;
// a test stands for a DENY by listing (permission, securable) pairs in a table
// of this name, which HAS_PERMS_BY_NAME then answers with 0, and which a session
// enforces for SELECT, INSERT, UPDATE and DELETE (error 229).
inline constexpr const char* kDeniedTable = "__standin_denied";

// Registers col_length(table, column), has_perms_by_name(securable, class,
// permission) and object_id(name, type) on db; the last replaces the two-argument
// object_id of sql_functions.cpp, which ignores the type. Call after RegisterFunctions.
void RegisterCatalogFunctions(sqlite3* db);

// The (permission, table) pairs a session refuses, read from kDeniedTable once when
// the session starts (a test lists them before its client logs in).
using Denials = std::vector<std::pair<std::string, std::string>>;
Denials ReadDenials(sqlite3* db);

// Makes db refuse, at prepare time, a statement that reads, inserts into, updates or
// deletes from a table `denials` names; what a trigger does on the statement's behalf
// is not checked. `denials` must outlive db's statements.
void EnforceDenials(sqlite3* db, const Denials* denials);

// SQL Server's error 229 for the refusal that made the last prepare on this thread
// fail with SQLITE_AUTH, once.
std::optional<ServerMessage> TakePermissionError();

}  // namespace standin
