// SQL Server's catalog functions, which let a client look at the schema and its
// own rights without touching data: COL_LENGTH, OBJECT_ID(name, type) and
// HAS_PERMS_BY_NAME. They read SQLite's own catalog, so they answer for whatever
// the scripts and tests made.
#pragma once

#include <sqlite3.h>

namespace standin {

// The stand-in has no logins apart from its one user and grants everything;
// a test stands for a DENY by listing (permission, securable) pairs in a table
// of this name, which HAS_PERMS_BY_NAME then answers with 0.
inline constexpr const char* kDeniedTable = "__standin_denied";

// Registers col_length(table, column), has_perms_by_name(securable, class,
// permission) and object_id(name, type) on db; the last replaces the two-argument
// object_id of sql_functions.cpp, which ignores the type. Call after RegisterFunctions.
void RegisterCatalogFunctions(sqlite3* db);

}  // namespace standin
