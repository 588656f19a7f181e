// Running one translated statement on SQLite. Rows are read as SQLite's own
// values first and typed afterwards, because a column without a declared type
// is typed from every value it produced. SQLite's result codes cannot tell a
// missing table from a missing column, so errors are told apart by their text.
#include "sqlite_run.h"

#include <algorithm>
#include <cctype>

#include "sql_catalog.h"
#include "sql_convert.h"
#include "sql_types.h"
#include "statement_cache.h"
#include "text_case.h"

namespace standin {
namespace {

bool StartsWith(const std::string& s, std::string_view prefix) { return s.rfind(prefix, 0) == 0; }

std::string After(const std::string& s, std::string_view prefix) {
  std::string rest = s.substr(prefix.size());
  if (size_t dot = rest.rfind('.'); dot != std::string::npos && StartsWith(rest, "main."))
    rest = rest.substr(dot + 1);
  return rest;
}

bool IsIdentifierLike(const char* name) {
  if (!name || !*name) return false;
  if (std::isdigit(static_cast<unsigned char>(*name))) return false;
  if (Lower(name) == "null") return false;
  for (const char* p = name; *p; ++p) {
    unsigned char ch = static_cast<unsigned char>(*p);
    if (!(std::isalnum(ch) || ch == '_' || ch == '#' || ch == '$' || ch == ' ' || ch >= 0x80))
      return false;
  }
  return true;
}

Scalar ColumnScalar(sqlite3_stmt* st, int i) {
  Scalar s;
  switch (sqlite3_column_type(st, i)) {
    case SQLITE_INTEGER:
      s.kind = Scalar::Int;
      s.i = sqlite3_column_int64(st, i);
      break;
    case SQLITE_FLOAT:
      s.kind = Scalar::Real;
      s.f = sqlite3_column_double(st, i);
      break;
    case SQLITE_NULL:
      break;
    default:
      s.kind = Scalar::Text;
      s.s.assign(reinterpret_cast<const char*>(sqlite3_column_text(st, i)),
                 sqlite3_column_bytes(st, i));
  }
  return s;
}

void BindScalar(sqlite3_stmt* st, int idx, const Scalar& v) {
  if (idx == 0) return;
  switch (v.kind) {
    case Scalar::Null:
      sqlite3_bind_null(st, idx);
      break;
    case Scalar::Int:
      sqlite3_bind_int64(st, idx, v.i);
      break;
    case Scalar::Real:
      sqlite3_bind_double(st, idx, v.f);
      break;
    case Scalar::Text:
      sqlite3_bind_text(st, idx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
      break;
  }
}

// Binds a parameter in the storage form of its type.
void Bind(sqlite3_stmt* st, int idx, const Param& p) {
  if (idx == 0) return;
  const Value& v = p.value;
  if (v.null) {
    sqlite3_bind_null(st, idx);
    return;
  }
  switch (p.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
      sqlite3_bind_int64(st, idx, v.i);
      break;
    case SqlType::Money:
    case SqlType::SmallMoney:
      BindScalar(st, idx, StoredDecimal(Decimal{v.i, 4}));
      break;
    case SqlType::Decimal:
      BindScalar(st, idx, StoredDecimal(Decimal{Unscaled(v), p.scale}));
      break;
    case SqlType::Float:
    case SqlType::Real:
      sqlite3_bind_double(st, idx, v.f);
      break;
    case SqlType::DateTime:
    case SqlType::SmallDateTime:
    case SqlType::Date: {
      std::string text =
          p.type == SqlType::Date ? FormatDate(v.days) : FormatDateTime({v.days, v.ms});
      sqlite3_bind_text(st, idx, text.c_str(), -1, SQLITE_TRANSIENT);
      break;
    }
    default:
      sqlite3_bind_text(st, idx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
  }
}

bool IsNational(SqlType t) { return t == SqlType::NChar || t == SqlType::NVarChar; }

bool SameParamName(const Param& p, std::string_view name) {
  std::string_view pn = p.name;
  if (!pn.empty() && pn[0] == '@') pn.remove_prefix(1);
  return name.size() == pn.size() + 1 && EqualsNoCase(name.substr(1), pn);
}

}  // namespace

// The parameter a statement's @name reads. Drivers number theirs @P1..@Pn in
// order, so @Pk is looked for at k first: a chunk's statements read a few of
// some two thousand parameters, and a scan of all for each would dominate.
const Param* FindParam(const std::vector<Param>& params, std::string_view name) {
  if (name.size() > 2 && (name[1] == 'P' || name[1] == 'p')) {
    size_t k = 0;
    bool digits = true;
    for (char ch : name.substr(2)) {
      if (!std::isdigit(static_cast<unsigned char>(ch)))
        digits = false;
      else
        k = k * 10 + static_cast<size_t>(ch - '0');
      if (!digits || k > params.size()) break;
    }
    if (digits && k >= 1 && k <= params.size() && SameParamName(params[k - 1], name))
      return &params[k - 1];
  }
  // The last of equal names wins, as it always has here.
  for (size_t i = params.size(); i-- > 0;)
    if (SameParamName(params[i], name)) return &params[i];
  return nullptr;
}

namespace {

// Binds every @name of the statement; error 137 for one that is neither a
// variable nor a parameter.
std::optional<ServerMessage> BindAll(sqlite3_stmt* st, FunctionContext& ctx, const Bindings& b,
                                     const Translated& t) {
  for (const std::string& name : t.variables) {
    if (b.locals && !b.locals->empty()) {
      if (auto it = b.locals->find(Lower(name)); it != b.locals->end()) {
        if (IsNational(it->second.type.type)) ctx.nationalText = true;
        BindScalar(st, sqlite3_bind_parameter_index(st, name.c_str()), it->second.value);
        continue;
      }
    }
    const Param* param = FindParam(b.params, name);
    if (!param)
      return MakeMessage(137, 15, 2, "Must declare the scalar variable \"" + name + "\".");
    if (IsNational(param->type)) ctx.nationalText = true;
    Bind(st, sqlite3_bind_parameter_index(st, name.c_str()), *param);
  }
  return std::nullopt;
}

// The type of a result column a hint names: a variable's declared type, a
// parameter's type (character lengths from the values), or the hint's own.
std::optional<Column> HintedColumn(const ColumnHint& h, const Bindings& b,
                                   const std::vector<const Scalar*>& values) {
  if (h.variable.empty()) return h.type;
  if (b.locals) {
    if (auto it = b.locals->find(Lower(h.variable)); it != b.locals->end()) return it->second.type;
  }
  const Param* p = FindParam(b.params, h.variable);
  if (!p) return std::nullopt;
  Column c = InferColumn(values);
  int length = c.type == SqlType::VarChar ? c.length : 1;
  c = Column{};
  c.type = p->type;
  c.length = length;
  if (p->type == SqlType::Decimal) {
    c.precision = p->precision > 0 ? p->precision : 38;
    c.scale = p->scale;
  }
  return c;
}

// For each result column that is a decimal parameter alone, the parameter:
// its value is answered as sent, past the digits a double kept in SQLite.
std::vector<const Param*> ExactParams(const Bindings& b, const Translated& t, int ncol) {
  std::vector<const Param*> out(static_cast<size_t>(ncol), nullptr);
  if (t.hints.size() != out.size()) return out;
  for (size_t i = 0; i < out.size(); ++i) {
    const std::string& name = t.hints[i].variable;
    if (name.empty() || (b.locals && b.locals->count(Lower(name)))) continue;
    const Param* p = FindParam(b.params, name);
    if (p && p->type == SqlType::Decimal) out[i] = p;
  }
  return out;
}

// Result columns: a table column's declared type, else what the statement
// says of the item, else what its values are.
std::vector<Column> TypeColumns(sqlite3_stmt* st, const Bindings& b, const Translated& t,
                                const std::vector<std::vector<Scalar>>& raw) {
  const int ncol = sqlite3_column_count(st);
  const bool hinted = t.hints.size() == static_cast<size_t>(ncol);
  std::vector<Column> columns;
  for (int i = 0; i < ncol; ++i) {
    const char* decl = sqlite3_column_decltype(st, i);
    std::optional<Column> c = decl ? ParseDeclaredType(decl) : std::nullopt;
    std::vector<const Scalar*> values;
    if (!c) {
      for (const auto& row : raw) values.push_back(&row[i]);
      if (hinted) c = HintedColumn(t.hints[static_cast<size_t>(i)], b, values);
      if (!c) c = InferColumn(values);
    }
    const char* name = sqlite3_column_name(st, i);
    // An expression without an alias has no name in SQL Server.
    if (!sqlite3_column_origin_name(st, i) && !IsIdentifierLike(name)) name = "";
    c->name = name ? name : "";
    c->nullable = true;
    columns.push_back(*c);
  }
  return columns;
}

}  // namespace

ServerMessage MapSqliteError(sqlite3* db, int code, const std::vector<Token>& stmt, bool prepare) {
  std::string msg = sqlite3_errmsg(db);
  if (std::optional<ServerMessage> coded = DecodeError(msg)) return *coded;
  std::string verb = stmt.empty() ? "" : Lower(stmt.front().text);
  if ((code & 0xFF) == SQLITE_AUTH) {
    if (std::optional<ServerMessage> refused = TakePermissionError()) return *refused;
  }
  if ((code & 0xFF) == SQLITE_BUSY || (code & 0xFF) == SQLITE_LOCKED)
    return MakeMessage(1222, 16, 45, "Lock request time out period exceeded.");
  if (StartsWith(msg, "no such table: "))
    return MakeMessage(208, 16, 1, "Invalid object name '" + After(msg, "no such table: ") + "'.");
  if (StartsWith(msg, "no such column: ")) {
    std::string name = msg.substr(16);
    if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
    return MakeMessage(207, 16, 1, "Invalid column name '" + name + "'.");
  }
  if (size_t at = msg.find(" has no column named ");
      StartsWith(msg, "table ") && at != std::string::npos)
    return MakeMessage(207, 16, 1, "Invalid column name '" + msg.substr(at + 21) + "'.");
  if (StartsWith(msg, "table ") && msg.find(" already exists") != std::string::npos) {
    std::string name = msg.substr(6, msg.find(" already exists") - 6);
    name.erase(std::remove(name.begin(), name.end(), '"'), name.end());
    return MakeMessage(2714, 16, 6,
                       "There is already an object named '" + name + "' in the database.");
  }
  if (StartsWith(msg, "no such function: "))
    return MakeMessage(195, 15, 10,
                       "'" + msg.substr(18) + "' is not a recognized built-in function name.");
  if (StartsWith(msg, "NOT NULL constraint failed: ")) {
    std::string target = msg.substr(28);
    size_t dot = target.find('.');
    std::string table = target.substr(0, dot),
                column = dot == std::string::npos ? target : target.substr(dot + 1);
    return MakeMessage(515, 16, 2,
                       "Cannot insert the value NULL into column '" + column + "', table '" +
                           kDatabaseName + ".dbo." + table + "'; column does not allow nulls. " +
                           (verb == "update" ? "UPDATE" : "INSERT") + " fails.");
  }
  if (StartsWith(msg, "UNIQUE constraint failed: ")) {
    std::string table = msg.substr(26, msg.find('.', 26) - 26);
    return MakeMessage(
        2627, 14, 1,
        "Violation of UNIQUE KEY constraint. Cannot insert duplicate key in object 'dbo." + table +
            "'.");
  }
  if (msg.find(" values for ") != std::string::npos && msg.find(" columns") != std::string::npos)
    return MakeMessage(213, 16, 1,
                       "Column name or number of supplied values does not match table definition.");
  if (StartsWith(msg, "near \"")) {
    std::string near = msg.substr(6, msg.find('"', 6) - 6);
    return MakeMessage(102, 15, 1, "Incorrect syntax near '" + near + "'.");
  }
  if (prepare || msg == "incomplete input") return SyntaxError(stmt, stmt.size());
  return MakeMessage(50000, 16, 1, msg);
}

StatementOutput RunSql(sqlite3* db, StatementCache* cache, FunctionContext& ctx,
                       const Bindings& bindings, const std::vector<Token>& stmt,
                       const std::string& sql, const Translated& t, bool probe,
                       std::vector<std::vector<Scalar>>* rawOut) {
  StatementOutput so;
  const bool keep = cache && StatementCache::Keeps(sql);
  sqlite3_stmt* st = keep ? cache->Take(sql) : nullptr;
  const bool reused = st != nullptr;
  bool persist = reused;
  // Hands the statement back to the cache, or finalizes it, on every way out.
  auto done = [&] {
    if (persist)
      cache->Put(sql, st);
    else
      sqlite3_finalize(st);
  };
  if (!st) {
    persist = keep && cache->Repeated(sql);
    const char* tail = nullptr;
    int rc = sqlite3_prepare_v3(db, sql.c_str(), -1, persist ? SQLITE_PREPARE_PERSISTENT : 0, &st,
                                &tail);
    if (rc != SQLITE_OK || !st) {
      so.error = rc != SQLITE_OK ? MapSqliteError(db, rc, stmt, true) : SyntaxError(stmt, 0);
      sqlite3_finalize(st);
      return so;
    }
    for (const char* p = tail; p && *p; ++p) {
      if (!std::isspace(static_cast<unsigned char>(*p))) {
        sqlite3_finalize(st);
        so.error = MakeMessage(102, 15, 1, "Incorrect syntax near ';'.");
        return so;
      }
    }
  }
  ctx.nationalText = t.national;
  if (std::optional<ServerMessage> missing = BindAll(st, ctx, bindings, t)) {
    done();
    so.error = std::move(missing);
    return so;
  }
  std::vector<std::vector<Scalar>> rawRows;
  std::vector<std::vector<Scalar>>& raw = rawOut ? *rawOut : rawRows;
  raw.clear();
  int rc = sqlite3_step(st);
  // Counted after the first step: a kept statement recompiled for a changed
  // table may return other columns than when it was kept.
  const int ncol = sqlite3_column_count(st);
  for (; rc == SQLITE_ROW; rc = sqlite3_step(st)) {
    std::vector<Scalar> row(ncol);
    for (int i = 0; i < ncol; ++i) row[i] = ColumnScalar(st, i);
    raw.push_back(std::move(row));
  }
  if (rc != SQLITE_DONE) {
    so.error = MapSqliteError(db, rc, stmt, false);
    done();
    if (reused) {
      // A kept statement compiles itself again after a schema change, and a
      // failure to do so surfaces here rather than from a prepare. A fresh
      // prepare tells the two apart, so the error reads as it would have.
      sqlite3_stmt* fresh = nullptr;
      int prc = sqlite3_prepare_v2(db, sql.c_str(), -1, &fresh, nullptr);
      if (prc != SQLITE_OK || !fresh)
        so.error = prc != SQLITE_OK ? MapSqliteError(db, prc, stmt, true) : SyntaxError(stmt, 0);
      sqlite3_finalize(fresh);
    }
    return so;
  }
  if (ncol > 0) {
    so.columns = TypeColumns(st, bindings, t, raw);
    std::vector<const Param*> exact = ExactParams(bindings, t, ncol);
    for (const auto& row : raw) {
      std::vector<Value> values;
      for (int i = 0; i < ncol; ++i)
        values.push_back(exact[i] && row[i].kind != Scalar::Null ? exact[i]->value
                                                                 : ToValue(row[i], so.columns[i]));
      so.rows.push_back(std::move(values));
    }
    so.rowCount = static_cast<int64_t>(raw.size());
  } else if (!probe && !sqlite3_stmt_readonly(st)) {
    so.rowCount = sqlite3_changes64(db);
  }
  done();
  return so;
}

std::optional<ServerMessage> ExecSql(sqlite3* db, const char* sql) {
  int rc = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK) return std::nullopt;
  return MapSqliteError(db, rc, {}, false);
}

}  // namespace standin
