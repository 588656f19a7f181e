// SQLite functions standing in for SQL Server's built-ins. Errors they raise
// travel inside the SQLite error text behind a marker, because SQLite passes
// only a code and a message from a function (or trigger) to the caller.
#include "sql_functions.h"

#include <cctype>
#include <chrono>
#include <cmath>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

#include "now_file.h"
#include "sql_decimal.h"
#include "sql_types.h"
#include "text_case.h"

namespace standin {
namespace {

constexpr const char* kMarker = "\x01SQLSERVER|";

FunctionContext* Ctx(sqlite3_context* c) {
  return static_cast<FunctionContext*>(sqlite3_user_data(c));
}

Scalar ArgScalar(sqlite3_value* v) {
  Scalar s;
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      s.kind = Scalar::Int;
      s.i = sqlite3_value_int64(v);
      break;
    case SQLITE_FLOAT:
      s.kind = Scalar::Real;
      s.f = sqlite3_value_double(v);
      break;
    case SQLITE_NULL:
      break;
    default:
      s.kind = Scalar::Text;
      s.s.assign(reinterpret_cast<const char*>(sqlite3_value_text(v)), sqlite3_value_bytes(v));
  }
  return s;
}

std::string ArgText(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  return t ? std::string(reinterpret_cast<const char*>(t), sqlite3_value_bytes(v)) : std::string();
}

std::string_view ArgView(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  return t ? std::string_view(reinterpret_cast<const char*>(t), size_t(sqlite3_value_bytes(v)))
           : std::string_view();
}

// ss_conv and ss_cast run for every value a statement writes, and their type
// argument is one of a handful of texts: each is parsed once per thread.
constexpr size_t kMaxKnownTypes = 64;

// The column type a declared-type text names, or nullptr. Entries are never
// moved (the list is reserved in full), so the pointer stays good.
const Column* DeclaredType(sqlite3_value* v) {
  struct Known {
    std::string text;
    std::optional<Column> type;
  };
  thread_local std::vector<Known> known = [] {
    std::vector<Known> list;
    list.reserve(kMaxKnownTypes);
    return list;
  }();
  thread_local std::optional<Column> uncached;
  std::string_view text = ArgView(v);
  for (const Known& k : known)
    if (k.text == text) return k.type ? &*k.type : nullptr;
  std::optional<Column> type = ParseDeclaredType(text);
  if (known.size() < kMaxKnownTypes) {
    known.push_back({std::string(text), std::move(type)});
    return known.back().type ? &*known.back().type : nullptr;
  }
  uncached = std::move(type);
  return uncached ? &*uncached : nullptr;
}

// 'YYYY-MM-DD HH:MM:SS.mmm': how a datetime is stored, so how one reaches '+'.
bool IsStoredDateTime(const std::string& s) {
  return s.size() == 23 && s[4] == '-' && s[7] == '-' && s[10] == ' ' && s[13] == ':' &&
         s[19] == '.';
}

void RaiseError(sqlite3_context* c, const ServerMessage& m) {
  std::string text = EncodeError(m);
  sqlite3_result_error(c, text.c_str(), static_cast<int>(text.size()));
}

void ResultScalar(sqlite3_context* c, const Scalar& s) {
  switch (s.kind) {
    case Scalar::Null:
      sqlite3_result_null(c);
      break;
    case Scalar::Int:
      sqlite3_result_int64(c, s.i);
      break;
    case Scalar::Real:
      sqlite3_result_double(c, s.f);
      break;
    case Scalar::Text:
      sqlite3_result_text(c, s.s.data(), static_cast<int>(s.s.size()), SQLITE_TRANSIENT);
      break;
  }
}

// A datetime argument: stored text, any text SQL Server reads as a date, or a
// number of days since 1900-01-01.
std::optional<DateTime> ArgDateTime(sqlite3_context* c, sqlite3_value* v) {
  Column type;
  type.type = SqlType::DateTime;
  ConvertResult r = Convert(ArgScalar(v), {type, "", ""}, Ctx(c)->nationalText);
  if (r.error) {
    RaiseError(c, *r.error);
    return std::nullopt;
  }
  return ParseStoredDateTime(r.value.s);
}

void DatePart(sqlite3_context* c, int argc, sqlite3_value** argv, int which) {
  if (argc != 1 || sqlite3_value_type(argv[0]) == SQLITE_NULL) {
    sqlite3_result_null(c);
    return;
  }
  std::optional<DateTime> dt = ArgDateTime(c, argv[0]);
  if (!dt) return;
  int y, m, d;
  CivilFromDays(dt->days, y, m, d);
  sqlite3_result_int(c, which == 0 ? y : which == 1 ? m : d);
}

void FnYear(sqlite3_context* c, int n, sqlite3_value** v) { DatePart(c, n, v, 0); }
void FnMonth(sqlite3_context* c, int n, sqlite3_value** v) { DatePart(c, n, v, 1); }
void FnDay(sqlite3_context* c, int n, sqlite3_value** v) { DatePart(c, n, v, 2); }

void FnGetDate(sqlite3_context* c, int, sqlite3_value**) {
  std::string text = FormatDateTime(Now(*Ctx(c)));
  sqlite3_result_text(c, text.c_str(), -1, SQLITE_TRANSIENT);
}

void FnDateAdd(sqlite3_context* c, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL || sqlite3_value_type(argv[1]) == SQLITE_NULL) {
    sqlite3_result_null(c);
    return;
  }
  std::optional<DateTime> dt = ArgDateTime(c, argv[0]);
  if (!dt) return;
  double add = sqlite3_value_double(argv[1]);
  double whole = std::trunc(add);
  dt->days += static_cast<int32_t>(whole);
  int64_t ms = dt->ms + std::llround((add - whole) * 86400000.0);
  while (ms < 0) ms += 86400000, --dt->days;
  while (ms >= 86400000) ms -= 86400000, ++dt->days;
  dt->ms = static_cast<int32_t>(ms);
  std::string text = FormatDateTime(*dt);
  sqlite3_result_text(c, text.c_str(), -1, SQLITE_TRANSIENT);
}

// A datetime in storage form and a number of days: the later datetime.
bool AddDays(sqlite3_context* c, const Scalar& when, const Scalar& days) {
  std::optional<DateTime> dt = ParseStoredDateTime(when.s);
  if (!dt) return false;
  double add = days.kind == Scalar::Int ? static_cast<double>(days.i) : days.f;
  double whole = std::floor(add);
  int64_t ms = dt->ms + std::llround((add - whole) * 86400000.0);
  dt->days += static_cast<int32_t>(whole) + static_cast<int32_t>(ms / 86400000);
  dt->ms = static_cast<int32_t>(ms % 86400000);
  std::string text = FormatDateTime(*dt);
  sqlite3_result_text(c, text.c_str(), -1, SQLITE_TRANSIENT);
  return true;
}

// A string meeting a number in arithmetic is converted to the number's type
// (a number outranks a string). False after raising the conversion's error.
bool ToNumberOf(sqlite3_context* c, Scalar& text, const Scalar& number) {
  Column type;
  type.type = number.kind == Scalar::Int ? SqlType::Int : SqlType::Float;
  ConvertResult r = Convert(text, {type, "", ""}, Ctx(c)->nationalText);
  if (r.error) {
    RaiseError(c, *r.error);
    return false;
  }
  text = r.value;
  return true;
}

double Real(const Scalar& x) { return x.kind == Scalar::Int ? static_cast<double>(x.i) : x.f; }

// ss_add(a, b): T-SQL's '+', which joins two strings and adds two numbers; a
// datetime meeting a number moves by that many days.
void FnAdd(sqlite3_context* c, int, sqlite3_value** argv) {
  Scalar a = ArgScalar(argv[0]), b = ArgScalar(argv[1]);
  if (a.kind == Scalar::Null || b.kind == Scalar::Null) return sqlite3_result_null(c);
  if (a.kind == Scalar::Text && b.kind == Scalar::Text) {
    a.s += b.s;
    return ResultScalar(c, a);
  }
  if (a.kind == Scalar::Text || b.kind == Scalar::Text) {
    Scalar& text = a.kind == Scalar::Text ? a : b;
    const Scalar& number = a.kind == Scalar::Text ? b : a;
    if (IsStoredDateTime(text.s) && AddDays(c, text, number)) return;
    if (!ToNumberOf(c, text, number)) return;
  }
  if (a.kind == Scalar::Int && b.kind == Scalar::Int) {
    int64_t sum = 0;
    if (__builtin_add_overflow(a.i, b.i, &sum))
      return RaiseError(
          c, MakeMessage(8115, 16, 2,
                         "Arithmetic overflow error converting expression to data type bigint."));
    return sqlite3_result_int64(c, sum);
  }
  sqlite3_result_double(c, Real(a) + Real(b));
}

// ss_div(a, b) and ss_mod(a, b): '/' and '%', integer when both are, and
// SQL Server's error for a zero divisor.
void Divide(sqlite3_context* c, sqlite3_value** argv, bool remainder) {
  Scalar a = ArgScalar(argv[0]), b = ArgScalar(argv[1]);
  if (a.kind == Scalar::Null || b.kind == Scalar::Null) return sqlite3_result_null(c);
  if (a.kind == Scalar::Text && b.kind != Scalar::Text && !ToNumberOf(c, a, b)) return;
  if (b.kind == Scalar::Text && a.kind != Scalar::Text && !ToNumberOf(c, b, a)) return;
  if (a.kind == Scalar::Text || b.kind == Scalar::Text)
    return RaiseError(c, MakeMessage(8117, 16, 1,
                                     std::string("Operand data type varchar is invalid for ") +
                                         (remainder ? "modulo" : "divide") + " operator."));
  if ((b.kind == Scalar::Int && b.i == 0) || (b.kind == Scalar::Real && b.f == 0))
    return RaiseError(c, MakeMessage(8134, 16, 1, "Divide by zero error encountered."));
  if (a.kind == Scalar::Int && b.kind == Scalar::Int) {
    if (a.i == INT64_MIN && b.i == -1)
      return RaiseError(
          c, MakeMessage(8115, 16, 2,
                         "Arithmetic overflow error converting expression to data type bigint."));
    return sqlite3_result_int64(c, remainder ? a.i % b.i : a.i / b.i);
  }
  sqlite3_result_double(c, remainder ? std::fmod(Real(a), Real(b)) : Real(a) / Real(b));
}

void FnDiv(sqlite3_context* c, int, sqlite3_value** argv) { Divide(c, argv, false); }
void FnMod(sqlite3_context* c, int, sqlite3_value** argv) { Divide(c, argv, true); }

// An exact number as CAST writes it as text: money with two decimals, a
// decimal with every digit of its scale.
Scalar ExactText(const Scalar& in, const Column& source) {
  int scale = source.type == SqlType::Decimal ? source.scale : 2;
  std::optional<Decimal> d = in.kind == Scalar::Int    ? Decimal{in.i, 0}
                             : in.kind == Scalar::Real ? ParseDecimal(ShortestText(in.f))
                                                       : std::nullopt;
  std::optional<Decimal> r = d ? Rescale(*d, scale) : std::nullopt;
  if (!r) return in;
  Scalar text;
  text.kind = Scalar::Text;
  text.s = FormatDecimal(*r);
  return text;
}

// ss_cast(value, 'type'[, 'source type']): CAST and CONVERT.
void FnCast(sqlite3_context* c, int argc, sqlite3_value** argv) {
  const Column* known = DeclaredType(argv[1]);
  std::optional<Column> type = known ? std::optional<Column>(*known) : std::nullopt;
  if (!type) {
    sqlite3_result_error(c, "bad type", -1);
    return;
  }
  // CAST to varchar without a length is varchar(30), as SQL Server has it.
  std::string decl = ArgText(argv[1]);
  if ((type->type == SqlType::VarChar || type->type == SqlType::NVarChar) &&
      decl.find('(') == std::string::npos)
    type->length = 30;
  Scalar in = ArgScalar(argv[0]);
  const bool toText = type->type == SqlType::Char || type->type == SqlType::VarChar ||
                      type->type == SqlType::NChar || type->type == SqlType::NVarChar;
  if (argc == 3 && toText && in.kind != Scalar::Null) {
    if (const Column* source = DeclaredType(argv[2])) in = ExactText(in, *source);
  }
  ConvertResult r = Convert(in, {*type, "", ""}, Ctx(c)->nationalText);
  if (r.error) return RaiseError(c, *r.error);
  ResultScalar(c, r.value);
}

// ss_conv(value, 'type', 'table', 'column'): a value being stored in a column.
void FnConv(sqlite3_context* c, int, sqlite3_value** argv) {
  const Column* type = DeclaredType(argv[1]);
  if (!type) {
    sqlite3_result_value(c, argv[0]);
    return;
  }
  // Reused, so the table and column names (read only by error messages) cost
  // no allocation per value. Convert calls nothing that lands here again.
  thread_local ConvertTarget target;
  target.type = *type;
  target.table.assign(ArgView(argv[2]));
  target.column.assign(ArgView(argv[3]));
  ConvertResult r = Convert(ArgScalar(argv[0]), target, Ctx(c)->nationalText);
  if (r.error) return RaiseError(c, *r.error);
  ResultScalar(c, r.value);
}

// The character of a code as UTF-8, or NULL past the type's range: char()
// reads one byte of code page 936, where only ASCII stands alone.
void CodeToText(sqlite3_context* c, sqlite3_value* arg, int64_t limit) {
  if (sqlite3_value_type(arg) == SQLITE_NULL) return sqlite3_result_null(c);
  int64_t code = sqlite3_value_int64(arg);
  if (code < 0 || code > limit || (code >= 0xD800 && code <= 0xDFFF)) return sqlite3_result_null(c);
  std::string out;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
  sqlite3_result_text(c, out.data(), static_cast<int>(out.size()), SQLITE_TRANSIENT);
}

void FnChar(sqlite3_context* c, int, sqlite3_value** argv) { CodeToText(c, argv[0], 0x7F); }
void FnNChar(sqlite3_context* c, int, sqlite3_value** argv) { CodeToText(c, argv[0], 0xFFFF); }

// ss_dupkey('PK_x', 'T', key values...): raised by the key check trigger.
void FnDupKey(sqlite3_context* c, int argc, sqlite3_value** argv) {
  std::string values;
  for (int i = 2; i < argc; ++i) {
    if (i > 2) values += ", ";
    values += sqlite3_value_type(argv[i]) == SQLITE_NULL ? "<NULL>" : ArgText(argv[i]);
  }
  RaiseError(c,
             MakeMessage(2627, 14, 1,
                         "Violation of PRIMARY KEY constraint '" + ArgText(argv[0]) +
                             "'. Cannot insert duplicate key in object 'dbo." + ArgText(argv[1]) +
                             "'. The duplicate key value is (" + values + ")."));
}

void FnText(sqlite3_context* c, const char* text) {
  sqlite3_result_text(c, text, -1, SQLITE_STATIC);
}

void FnSchemaName(sqlite3_context* c, int, sqlite3_value**) { FnText(c, "dbo"); }
void FnDbName(sqlite3_context* c, int, sqlite3_value**) { FnText(c, kDatabaseName); }
void FnUserName(sqlite3_context* c, int, sqlite3_value**) { FnText(c, "dbo"); }
void FnLoginName(sqlite3_context* c, int, sqlite3_value**) { FnText(c, "sa"); }
void FnHostName(sqlite3_context* c, int, sqlite3_value**) { FnText(c, "localhost"); }

void FnServerProperty(sqlite3_context* c, int, sqlite3_value** argv) {
  std::string p = ArgText(argv[0]);
  for (char& ch : p) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  if (p == "productversion") return FnText(c, "15.0.2000.5");
  if (p == "productlevel") return FnText(c, "RTM");
  if (p == "productmajorversion") return FnText(c, "15");
  if (p == "edition") return FnText(c, "Developer Edition (64-bit)");
  if (p == "engineedition") return sqlite3_result_int(c, 3);
  if (p == "servername" || p == "machinename" || p == "instancename") return FnText(c, "standin");
  if (p == "collation") return FnText(c, "Chinese_PRC_CI_AS");
  if (p == "isclustered" || p == "isintegratedsecurityonly" || p == "ishadrenabled")
    return sqlite3_result_int(c, 0);
  sqlite3_result_null(c);
}

// object_id('name'): a number for a table or procedure that exists.
void FnObjectId(sqlite3_context* c, int, sqlite3_value** argv) {
  std::string name = ArgText(argv[0]);
  if (size_t dot = name.rfind('.'); dot != std::string::npos) name = name.substr(dot + 1);
  if (name.size() > 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  sqlite3* db = sqlite3_context_db_handle(c);
  sqlite3_stmt* stmt = nullptr;
  const char* sql =
      "SELECT rootpage FROM sqlite_master WHERE type = 'table' AND name = ?1 COLLATE NOCASE "
      "UNION ALL SELECT 1000000 + rowid FROM __standin_procs WHERE name = ?1 COLLATE NOCASE";
  if (sqlite3_prepare_v2(db, sql, -1, &stmt, nullptr) != SQLITE_OK) {
    sqlite3_result_null(c);
    return;
  }
  sqlite3_bind_text(stmt, 1, name.c_str(), -1, SQLITE_TRANSIENT);
  if (sqlite3_step(stmt) == SQLITE_ROW)
    sqlite3_result_int64(c, sqlite3_column_int64(stmt, 0));
  else
    sqlite3_result_null(c);
  sqlite3_finalize(stmt);
}

// len(): characters without trailing blanks.
void FnLen(sqlite3_context* c, int, sqlite3_value** argv) {
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(c);
  std::string s = ArgText(argv[0]);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  int64_t n = 0;
  for (unsigned char ch : s)
    if ((ch & 0xC0) != 0x80) ++n;
  sqlite3_result_int64(c, n);
}

int CompareCi(void*, int la, const void* a, int lb, const void* b) {
  const unsigned char* pa = static_cast<const unsigned char*>(a);
  const unsigned char* pb = static_cast<const unsigned char*>(b);
  while (la > 0 && pa[la - 1] == ' ') --la;
  while (lb > 0 && pb[lb - 1] == ' ') --lb;
  int n = la < lb ? la : lb;
  for (int i = 0; i < n; ++i) {
    int x = static_cast<unsigned char>(FoldAscii(static_cast<char>(pa[i])));
    int y = static_cast<unsigned char>(FoldAscii(static_cast<char>(pb[i])));
    if (x != y) return x - y;
  }
  return la - lb;
}

}  // namespace

DateTime Now(const FunctionContext& ctx) {
  if (auto moved = NowFromFile()) return *moved;
  if (ctx.fixedNow) return *ctx.fixedNow;
  // The server's clock is read afresh on every call, in local time, as
  // GETDATE() does.
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  DateTime dt;
  dt.days = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
  dt.ms = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000 + ms;
  int64_t ticks = std::llround(dt.ms * 0.3);
  dt.ms = static_cast<int32_t>(std::min<int64_t>(std::llround(ticks / 0.3), 86399997));
  return dt;
}

std::string EncodeError(const ServerMessage& m) {
  return std::string(kMarker) + std::to_string(m.number) + "|" + std::to_string(m.severity) + "|" +
         std::to_string(m.state) + "|" + m.text;
}

std::optional<ServerMessage> DecodeError(const std::string& s) {
  size_t at = s.find(kMarker);
  if (at == std::string::npos) return std::nullopt;
  size_t p = at + std::strlen(kMarker);
  ServerMessage m;
  int* fields[] = {&m.number, &m.severity, &m.state};
  for (int* f : fields) {
    size_t bar = s.find('|', p);
    if (bar == std::string::npos) return std::nullopt;
    *f = std::atoi(s.substr(p, bar - p).c_str());
    p = bar + 1;
  }
  m.text = s.substr(p);
  return m;
}

static void FnRowCount(sqlite3_context* c, int, sqlite3_value**) {
  const int64_t* rows = Ctx(c)->rowCount;
  sqlite3_result_int64(c, rows ? *rows : 0);
}

void RegisterFunctions(sqlite3* db, FunctionContext* ctx) {
  struct Fn {
    const char* name;
    int args;
    void (*fn)(sqlite3_context*, int, sqlite3_value**);
    bool deterministic;
  };
  static const Fn kFunctions[] = {
      {"year", 1, FnYear, true},
      {"month", 1, FnMonth, true},
      {"day", 1, FnDay, true},
      {"getdate", 0, FnGetDate, false},
      {"ss_rowcount", 0, FnRowCount, false},
      {"ss_dateadd", 2, FnDateAdd, true},
      {"ss_cast", 2, FnCast, true},
      {"ss_cast", 3, FnCast, true},
      {"ss_conv", 4, FnConv, true},
      {"char", 1, FnChar, true},
      {"nchar", 1, FnNChar, true},
      {"ss_dupkey", -1, FnDupKey, false},
      {"ss_add", 2, FnAdd, true},
      {"ss_div", 2, FnDiv, true},
      {"ss_mod", 2, FnMod, true},
      {"schema_name", 0, FnSchemaName, true},
      {"schema_name", 1, FnSchemaName, true},
      {"db_name", 0, FnDbName, true},
      {"db_name", 1, FnDbName, true},
      {"user_name", 0, FnUserName, true},
      {"current_user", 0, FnUserName, true},
      {"suser_sname", 0, FnLoginName, true},
      {"suser_name", 0, FnLoginName, true},
      {"system_user", 0, FnLoginName, true},
      {"host_name", 0, FnHostName, true},
      {"serverproperty", 1, FnServerProperty, true},
      {"object_id", 1, FnObjectId, false},
      {"object_id", 2, FnObjectId, false},
      {"len", 1, FnLen, true},
  };
  for (const Fn& f : kFunctions) {
    int flags = SQLITE_UTF8 | (f.deterministic ? SQLITE_DETERMINISTIC : 0);
    sqlite3_create_function_v2(db, f.name, f.args, flags, ctx, f.fn, nullptr, nullptr, nullptr);
  }
  sqlite3_create_collation_v2(db, "SSCI", SQLITE_UTF8, nullptr, CompareCi, nullptr);
}

}  // namespace standin
