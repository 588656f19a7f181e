// COL_LENGTH, OBJECT_ID with a type and HAS_PERMS_BY_NAME over SQLite's catalog.
// Each answers NULL where SQL Server does (no such object or column, an unknown
// securable), because a client tells "missing" from "cannot tell" by exactly that.
#include "sql_catalog.h"

#include <optional>
#include <string>

#include "sql_convert.h"
#include "sql_message.h"
#include "sql_types.h"
#include "text_case.h"

namespace standin {
namespace {

std::string ArgText(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_value_bytes(v)) : std::string();
}

// [reporting.][dbo.]name with brackets: the bare name SQLite knows the table by.
std::string BareName(std::string name) {
  if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  return name;
}

// One text column of the first row of `sql` with ?1..?n bound, or nothing.
std::optional<std::string> QueryText(sqlite3* db, const char* sql,
                                     std::initializer_list<std::string> args) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) return std::nullopt;
  int i = 1;
  for (const std::string& a : args) sqlite3_bind_text(stmt, i++, a.c_str(), -1, SQLITE_TRANSIENT);
  std::optional<std::string> out;
  if (sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* t = sqlite3_column_text(stmt, 0);
    out = t ? reinterpret_cast<const char*>(t) : "";
  }
  sqlite3_finalize(stmt);
  return out;
}

bool TableExists(sqlite3* db, const std::string& name) {
  return QueryText(
             db, "SELECT name FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE",
             {name})
      .has_value();
}

// Bytes the column's declaration takes, as SQL Server counts them: characters for
// char/varchar, two per character for nchar/nvarchar, -1 for (max).
int DeclaredBytes(const Column& c) {
  switch (c.type) {
    case SqlType::BigInt:
    case SqlType::Money:
    case SqlType::Float:
    case SqlType::DateTime:
      return 8;
    case SqlType::Int:
    case SqlType::SmallMoney:
    case SqlType::Real:
    case SqlType::SmallDateTime:
      return 4;
    case SqlType::SmallInt:
      return 2;
    case SqlType::TinyInt:
    case SqlType::Bit:
      return 1;
    case SqlType::Date:
      return 3;
    case SqlType::Decimal:
      return c.precision <= 9 ? 5 : c.precision <= 19 ? 9 : c.precision <= 28 ? 13 : 17;
    case SqlType::Char:
    case SqlType::VarChar:
      return c.length == 0 ? -1 : c.length;
    case SqlType::NChar:
    case SqlType::NVarChar:
      return c.length == 0 ? -1 : 2 * c.length;
  }
  return -1;
}

void FnColLength(sqlite3_context* c, int, sqlite3_value** argv) {
  sqlite3* db = sqlite3_context_db_handle(c);
  const std::string table = BareName(ArgText(argv[0]));
  if (!TableExists(db, table)) return sqlite3_result_null(c);
  const std::optional<std::string> decl =
      QueryText(db, "SELECT type FROM pragma_table_info(?1) WHERE name = ?2 COLLATE NOCASE",
                {table, ArgText(argv[1])});
  if (!decl) return sqlite3_result_null(c);
  const std::optional<Column> type = ParseDeclaredType(*decl);
  if (!type) return sqlite3_result_null(c);
  sqlite3_result_int(c, DeclaredBytes(*type));
}

// has_perms_by_name(securable, 'OBJECT', permission): 1 unless denied; NULL for a
// securable that does not exist or a class other than OBJECT.
void FnHasPermsByName(sqlite3_context* c, int, sqlite3_value** argv) {
  sqlite3* db = sqlite3_context_db_handle(c);
  const std::string securable = BareName(ArgText(argv[0]));
  if (!EqualsNoCase(ArgText(argv[1]), "object")) return sqlite3_result_null(c);
  const bool procedure =
      QueryText(db, "SELECT name FROM __standin_procs WHERE name = ?1 COLLATE NOCASE", {securable})
          .has_value();
  if (!procedure && !TableExists(db, securable)) return sqlite3_result_null(c);
  const std::string denied =
      std::string("SELECT 1 FROM ") + kDeniedTable +
      " WHERE permission = ?1 COLLATE NOCASE AND securable = ?2 COLLATE NOCASE";
  const bool isDenied = TableExists(db, kDeniedTable) &&
                        QueryText(db, denied.c_str(), {ArgText(argv[2]), securable}).has_value();
  sqlite3_result_int(c, isDenied ? 0 : 1);
}

// object_id(name, type): as object_id(name), but only for an object of that type
// ('U' table, 'V' view, 'P' procedure), so a table is never taken for a procedure.
void FnObjectIdOfType(sqlite3_context* c, int, sqlite3_value** argv) {
  sqlite3* db = sqlite3_context_db_handle(c);
  const std::string name = BareName(ArgText(argv[0]));
  std::string type = ArgText(argv[1]);
  while (!type.empty() && type.back() == ' ') type.pop_back();
  std::optional<std::string> id;
  if (EqualsNoCase(type, "U") || EqualsNoCase(type, "V")) {
    const char* sql =
        EqualsNoCase(type, "U")
            ? "SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE"
            : "SELECT rootpage FROM sqlite_master WHERE type = 'view' AND name = ?1 COLLATE NOCASE";
    id = QueryText(db, sql, {name});
  } else if (EqualsNoCase(type, "P")) {
    id = QueryText(db, "SELECT 1000000 + rowid FROM __standin_procs WHERE name = ?1 COLLATE NOCASE",
                   {name});
  }
  if (!id) return sqlite3_result_null(c);
  sqlite3_result_int64(c, std::stoll(*id));
}

struct Refusal {
  const char* permission;
  std::string table;
};
// Sessions run one to a thread, so the refusal waits here for the error mapping.
thread_local std::optional<Refusal> gLastRefusal;

int Authorize(void* user, int action, const char* object, const char*, const char*,
              const char* trigger) {
  if (trigger != nullptr || object == nullptr) return SQLITE_OK;
  const char* permission = nullptr;
  switch (action) {
    case SQLITE_READ:
      permission = "SELECT";
      break;
    case SQLITE_INSERT:
      permission = "INSERT";
      break;
    case SQLITE_UPDATE:
      permission = "UPDATE";
      break;
    case SQLITE_DELETE:
      permission = "DELETE";
      break;
    default:
      return SQLITE_OK;
  }
  for (const auto& [denied, table] : *static_cast<const Denials*>(user)) {
    if (EqualsNoCase(denied, permission) && EqualsNoCase(table, object)) {
      gLastRefusal = Refusal{permission, object};
      return SQLITE_DENY;
    }
  }
  return SQLITE_OK;
}

}  // namespace

Denials ReadDenials(sqlite3* db) {
  Denials denials;
  if (!TableExists(db, kDeniedTable)) return denials;
  sqlite3_stmt* st = nullptr;
  const std::string sql = std::string("SELECT permission, securable FROM ") + kDeniedTable;
  if (sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) != SQLITE_OK) return denials;
  while (sqlite3_step(st) == SQLITE_ROW) {
    const auto text = [st](int i) {
      const unsigned char* t = sqlite3_column_text(st, i);
      return t ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    denials.emplace_back(text(0), BareName(text(1)));
  }
  sqlite3_finalize(st);
  return denials;
}

void EnforceDenials(sqlite3* db, const Denials* denials) {
  sqlite3_set_authorizer(db, denials->empty() ? nullptr : Authorize, const_cast<Denials*>(denials));
}

std::optional<ServerMessage> TakePermissionError() {
  if (!gLastRefusal) return std::nullopt;
  const Refusal refusal = *gLastRefusal;
  gLastRefusal.reset();
  return MakeMessage(229, 14, 5,
                     std::string("The ") + refusal.permission +
                         " permission was denied on the object '" + refusal.table +
                         "', database '" + kDatabaseName + "', schema 'dbo'.");
}

void RegisterCatalogFunctions(sqlite3* db) {
  sqlite3_create_function_v2(db, "col_length", 2, SQLITE_UTF8, nullptr, FnColLength, nullptr,
                             nullptr, nullptr);
  sqlite3_create_function_v2(db, "object_id", 2, SQLITE_UTF8, nullptr, FnObjectIdOfType, nullptr,
                             nullptr, nullptr);
  sqlite3_create_function_v2(db, "has_perms_by_name", 3, SQLITE_UTF8, nullptr, FnHasPermsByName,
                             nullptr, nullptr, nullptr);
}

}  // namespace standin
