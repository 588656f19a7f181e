// Expression types by SQL Server's rules: data type precedence decides what
// a mixed operation yields, decimals follow its precision and scale formulas
// (capped at 38), character '+' joins lengths, and the built-in functions
// answer their documented types.
#include "sql_typing.h"

#include <algorithm>
#include <string_view>

#include "sql_convert.h"
#include "sql_expr.h"
#include "sql_types.h"
#include "text_case.h"

namespace standin {
namespace {

Column Of(SqlType type, int length = 0, int precision = 0, int scale = 0) {
  Column c;
  c.type = type;
  c.length = length;
  c.precision = precision;
  c.scale = scale;
  return c;
}

bool IsCharacter(SqlType t) {
  return t == SqlType::Char || t == SqlType::VarChar || t == SqlType::NChar ||
         t == SqlType::NVarChar;
}
bool IsNational(SqlType t) { return t == SqlType::NChar || t == SqlType::NVarChar; }
bool IsInteger(SqlType t) {
  return t == SqlType::BigInt || t == SqlType::Int || t == SqlType::SmallInt ||
         t == SqlType::TinyInt || t == SqlType::Bit;
}
bool IsMoney(SqlType t) { return t == SqlType::Money || t == SqlType::SmallMoney; }

// SQL Server's data type precedence, highest first.
int Rank(SqlType t) {
  static constexpr SqlType kOrder[] = {SqlType::DateTime, SqlType::SmallDateTime, SqlType::Date,
                                       SqlType::Float,    SqlType::Real,          SqlType::Decimal,
                                       SqlType::Money,    SqlType::SmallMoney,    SqlType::BigInt,
                                       SqlType::Int,      SqlType::SmallInt,      SqlType::TinyInt,
                                       SqlType::Bit,      SqlType::NVarChar,      SqlType::NChar,
                                       SqlType::VarChar,  SqlType::Char};
  return static_cast<int>(std::size(kOrder) -
                          (std::find(std::begin(kOrder), std::end(kOrder), t) - kOrder));
}

// An exact number as the decimal it converts to in mixed arithmetic.
Column AsDecimal(const Column& c) {
  switch (c.type) {
    case SqlType::Decimal:
      return c;
    case SqlType::BigInt:
      return Of(SqlType::Decimal, 0, 19, 0);
    case SqlType::Int:
      return Of(SqlType::Decimal, 0, 10, 0);
    case SqlType::SmallInt:
      return Of(SqlType::Decimal, 0, 5, 0);
    case SqlType::TinyInt:
      return Of(SqlType::Decimal, 0, 3, 0);
    case SqlType::Bit:
      return Of(SqlType::Decimal, 0, 1, 0);
    case SqlType::Money:
      return Of(SqlType::Decimal, 0, 19, 4);
    case SqlType::SmallMoney:
      return Of(SqlType::Decimal, 0, 10, 4);
    default:
      return Of(SqlType::Decimal, 0, 18, 0);
  }
}

Column DecimalResult(const Column& a, const Column& b, char op) {
  const int p1 = a.precision, s1 = a.scale, p2 = b.precision, s2 = b.scale;
  int p = 0, s = 0;
  switch (op) {
    case '*':
      p = p1 + p2 + 1, s = s1 + s2;
      break;
    case '/':
      s = std::max(6, s1 + p2 + 1), p = p1 - s1 + s2 + s;
      break;
    case '%':
      s = std::max(s1, s2), p = std::min(p1 - s1, p2 - s2) + s;
      break;
    default:
      s = std::max(s1, s2), p = std::max(p1 - s1, p2 - s2) + s + 1;
      break;
  }
  if (p > 38) {
    // The integral part keeps its digits; the scale gives way, down to 6.
    int integral = p - s;
    s = integral < 32 ? std::min(s, 38 - integral) : std::min(s, 6);
    p = 38;
  }
  return Of(SqlType::Decimal, 0, p, s);
}

Column Concatenation(const Column& a, const Column& b) {
  bool national = IsNational(a.type) || IsNational(b.type);
  int limit = national ? 4000 : 8000;
  int length = a.length == 0 || b.length == 0 ? 0 : a.length + b.length;
  if (length > limit) length = limit;
  return Of(national ? SqlType::NVarChar : SqlType::VarChar, length);
}

// Literals: 12.50 is numeric(4,2), 3000000000 numeric(10,0), 'ab' varchar(2), N'ab' nvarchar(2).
std::optional<Column> LiteralType(const Token& t) {
  if (t.kind == Token::String) {
    size_t n = t.national ? Utf16Length(t.text) : GbkLength(t.text);
    return Of(t.national ? SqlType::NVarChar : SqlType::VarChar,
              static_cast<int>(std::max<size_t>(n, 1)));
  }
  if (t.kind != Token::Number) return std::nullopt;
  if (t.text.find_first_of("eE") != std::string::npos) return Of(SqlType::Float);
  size_t point = t.text.find('.');
  std::string digits = t.text;
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  size_t lead = digits.find_first_not_of('0');
  int precision = lead == std::string::npos ? 1 : static_cast<int>(digits.size() - lead);
  int scale = point == std::string::npos ? 0 : static_cast<int>(t.text.size() - point - 1);
  if (point == std::string::npos && precision <= 10 && std::stoll(digits) <= INT32_MAX)
    return Of(SqlType::Int);
  return Of(SqlType::Decimal, 0, std::min(38, std::max(precision, scale)), scale);
}

std::optional<Column> SystemVariableType(const std::string& name) {
  std::string n = Lower(name);
  if (n == "@@version") return Of(SqlType::NVarChar, 300);
  if (n == "@@servername" || n == "@@servicename" || n == "@@language")
    return Of(SqlType::NVarChar, 128);
  if (n == "@@spid" || n == "@@langid" || n == "@@datefirst" || n == "@@max_precision" ||
      n == "@@nestlevel")
    return Of(SqlType::SmallInt);
  return Of(SqlType::Int);
}

}  // namespace

std::optional<Column> ArithmeticType(const Column& a, const Column& b, char op) {
  if (op == '+' && IsCharacter(a.type) && IsCharacter(b.type)) return Concatenation(a, b);
  const Column& high = Rank(a.type) >= Rank(b.type) ? a : b;
  const Column& low = &high == &a ? b : a;
  if (IsCharacter(high.type)) return std::nullopt;  // '-' or '*' between strings: an error
  if (IsCharacter(low.type) || high.type == SqlType::DateTime ||
      high.type == SqlType::SmallDateTime || high.type == SqlType::Date)
    return high;
  if (high.type == SqlType::Float || high.type == SqlType::Real) return Of(high.type);
  if (high.type == SqlType::Decimal) return DecimalResult(AsDecimal(a), AsDecimal(b), op);
  if (IsMoney(high.type))
    return IsMoney(low.type) && low.type != high.type ? Of(SqlType::Money) : Of(high.type);
  if (IsInteger(high.type)) return Of(high.type == SqlType::Bit ? SqlType::Int : high.type);
  return std::nullopt;
}

std::vector<std::pair<std::string, std::string>> StatementTables(
    const std::vector<Token>& s, const std::function<bool(const std::string&)>& isTable) {
  std::vector<std::pair<std::string, std::string>> out;
  for (size_t i = 0; i < s.size(); ++i) {
    if ((s[i].kind != Token::Word && s[i].kind != Token::QuotedName) ||
        (i + 1 < s.size() && s[i + 1].Is(".")))
      continue;
    std::string name = Lower(s[i].text);
    if (!isTable(name)) continue;
    out.emplace_back(name, name);
    size_t k = i + 1;
    if (k < s.size() && s[k].Is("as")) ++k;
    if (k < s.size() &&
        (s[k].kind == Token::QuotedName ||
         (s[k].kind == Token::Word && !s[k].Is("case") && IsOperandStart(s, k, k + 1))))
      out.emplace_back(Lower(s[k].text), name);
  }
  return out;
}

namespace {

std::optional<Column> TypeOfRange(const std::vector<Token>& t, size_t a, size_t b,
                                  const TypeScope& scope);

// The comma-separated arguments of the call whose '(' is at open.
std::vector<std::pair<size_t, size_t>> Arguments(const std::vector<Token>& t, size_t open,
                                                 size_t close) {
  std::vector<std::pair<size_t, size_t>> out;
  int depth = 0;
  size_t start = open + 1;
  for (size_t k = open + 1; k < close; ++k) {
    if (t[k].Is("(")) ++depth;
    if (t[k].Is(")")) --depth;
    if (depth == 0 && t[k].Is(",")) {
      out.emplace_back(start, k);
      start = k + 1;
    }
  }
  if (start < close) out.emplace_back(start, close);
  return out;
}

std::optional<Column> DeclaredType(const std::vector<Token>& t, size_t a, size_t b) {
  std::string text;
  for (size_t k = a; k < b; ++k) text += Lower(t[k].text);
  std::optional<Column> c = ParseDeclaredType(text);
  // varchar without a length is varchar(30) in CAST and CONVERT.
  if (c &&
      (c->type == SqlType::VarChar || c->type == SqlType::NVarChar || c->type == SqlType::Char ||
       c->type == SqlType::NChar) &&
      text.find('(') == std::string::npos)
    c->length = 30;
  return c;
}

std::optional<Column> Aggregate(std::string_view f, const std::optional<Column>& arg) {
  if (!arg) return std::nullopt;
  const SqlType x = arg->type;
  if (f == "sum" || f == "avg") {
    if (x == SqlType::BigInt) return Of(SqlType::BigInt);
    if (IsInteger(x)) return Of(SqlType::Int);
    if (IsMoney(x)) return Of(SqlType::Money);
    if (x == SqlType::Decimal)
      return Of(SqlType::Decimal, 0, 38, f == "avg" ? std::max(arg->scale, 6) : arg->scale);
    if (x == SqlType::Float || x == SqlType::Real) return Of(SqlType::Float);
    return std::nullopt;
  }
  return arg;  // min, max
}

std::optional<Column> FunctionType(const std::vector<Token>& t, size_t name, size_t close,
                                   const TypeScope& scope) {
  const std::string f = Lower(t[name].text);
  const auto args = Arguments(t, name + 1, close);
  auto arg = [&](size_t k) -> std::optional<Column> {
    return k < args.size() ? TypeOfRange(t, args[k].first, args[k].second, scope) : std::nullopt;
  };
  if (f == "cast" || f == "try_cast") {
    int depth = 0;
    for (size_t k = name + 2; k < close; ++k) {
      if (t[k].Is("(")) ++depth;
      if (t[k].Is(")")) --depth;
      if (depth == 0 && t[k].Is("as")) return DeclaredType(t, k + 1, close);
    }
    return std::nullopt;
  }
  if (f == "convert" && !args.empty()) return DeclaredType(t, args[0].first, args[0].second);
  if (f == "count") return Of(SqlType::Int);
  if (f == "count_big") return Of(SqlType::BigInt);
  if (f == "sum" || f == "avg" || f == "min" || f == "max") return Aggregate(f, arg(0));
  if (f == "isnull" || f == "abs" || f == "round" || f == "floor" || f == "ceiling") return arg(0);
  if (f == "col_length") return Of(SqlType::SmallInt);
  if (f == "char") return Of(SqlType::Char, 1);
  if (f == "nchar") return Of(SqlType::NChar, 1);
  static constexpr std::string_view kInts[] = {
      "year", "month",     "day",        "datepart",  "datediff",
      "len",  "charindex", "datalength", "object_id", "has_perms_by_name"};
  for (std::string_view w : kInts)
    if (f == w) return Of(SqlType::Int);
  if (f == "getdate" || f == "getutcdate" || f == "sysdatetime") return Of(SqlType::DateTime);
  if (f == "dateadd") return arg(2);
  static constexpr std::string_view kNames[] = {"db_name",     "schema_name", "user_name",
                                                "suser_sname", "suser_name",  "host_name",
                                                "object_name"};
  for (std::string_view w : kNames)
    if (f == w) return Of(SqlType::NVarChar, 128);
  static constexpr std::string_view kSameText[] = {"upper", "lower",   "ltrim",     "rtrim",
                                                   "trim",  "replace", "substring", "left",
                                                   "right", "reverse"};
  for (std::string_view w : kSameText) {
    if (f != w) continue;
    std::optional<Column> c = arg(0);
    if (c && c->type == SqlType::Char) c->type = SqlType::VarChar;
    if (c && c->type == SqlType::NChar) c->type = SqlType::NVarChar;
    return c && IsCharacter(c->type) ? c : std::nullopt;
  }
  return std::nullopt;
}

std::optional<Column> ColumnType(const std::vector<Token>& t, size_t a, size_t b,
                                 const TypeScope& scope) {
  if (!scope.column) return std::nullopt;
  std::string qualifier, column = Lower(t[b - 1].text);
  if (b - a >= 3 && t[b - 2].Is(".")) qualifier = Lower(t[b - 3].text);
  for (const auto& [alias, table] : scope.tables) {
    if (!qualifier.empty() && alias != qualifier) continue;
    if (std::optional<Column> c = scope.column(table, column)) return c;
  }
  return std::nullopt;
}

// CASE ... END: the highest of its results' types.
std::optional<Column> CaseType(const std::vector<Token>& t, size_t a, size_t end,
                               const TypeScope& scope) {
  std::optional<Column> best;
  int depth = 0;
  for (size_t k = a + 1; k < end; ++k) {
    if (t[k].Is("case")) ++depth;
    if (t[k].Is("end")) --depth;
    if (depth != 0 || !(t[k].Is("then") || t[k].Is("else"))) continue;
    size_t stop = k + 1;
    for (int d = 0; stop < end; ++stop) {
      if (t[stop].Is("case") || t[stop].Is("(")) ++d;
      if (t[stop].Is("end") || t[stop].Is(")")) --d;
      if (d == 0 && (t[stop].Is("when") || t[stop].Is("else"))) break;
    }
    std::optional<Column> c = TypeOfRange(t, k + 1, stop, scope);
    if (!c) continue;
    if (!best || Rank(c->type) > Rank(best->type))
      best = c;
    else if (IsCharacter(c->type) && c->type == best->type)
      best->length = std::max(best->length, c->length);
  }
  return best;
}

std::optional<Column> OperandType(const std::vector<Token>& t, size_t a, size_t b,
                                  const TypeScope& scope) {
  while (a < b && (t[a].Is("-") || t[a].Is("+") || t[a].Is("~"))) ++a;
  if (a >= b) return std::nullopt;
  const Token& x = t[a];
  if (x.Is("(")) {
    size_t close = GroupEnd(t, a, b);
    if (close + 1 != b || (a + 1 < close && t[a + 1].Is("select"))) return std::nullopt;
    return TypeOfRange(t, a + 1, close, scope);
  }
  if (x.Is("case")) return CaseType(t, a, GroupEnd(t, a, b), scope);
  if (b == a + 1 && (x.kind == Token::Number || x.kind == Token::String)) return LiteralType(x);
  if (b == a + 1 && x.kind == Token::Variable)
    return scope.variable ? scope.variable(x.text) : std::nullopt;
  if (b == a + 1 && x.kind == Token::SystemVariable) return SystemVariableType(x.text);
  if (x.kind != Token::Word && x.kind != Token::QuotedName) return std::nullopt;
  if (x.Is("null")) return std::nullopt;
  if (a + 1 < b && t[a + 1].Is("(")) return FunctionType(t, a, GroupEnd(t, a + 1, b), scope);
  return ColumnType(t, a, b, scope);
}

std::optional<Column> TermType(const std::vector<Token>& t, size_t a, size_t b,
                               const TypeScope& scope) {
  size_t end = OperandEnd(t, a, b);
  std::optional<Column> type = OperandType(t, a, end, scope);
  while (type && end + 1 < b && (t[end].Is("*") || t[end].Is("/") || t[end].Is("%"))) {
    char op = t[end].text[0];
    size_t next = OperandEnd(t, end + 1, b);
    std::optional<Column> right = OperandType(t, end + 1, next, scope);
    type = right ? ArithmeticType(*type, *right, op) : std::nullopt;
    end = next;
  }
  return end == b ? type : std::nullopt;
}

std::optional<Column> TypeOfRange(const std::vector<Token>& t, size_t a, size_t b,
                                  const TypeScope& scope) {
  if (a >= b || !IsOperandStart(t, a, b)) return std::nullopt;
  size_t end = TermEnd(t, a, b);
  std::optional<Column> type = TermType(t, a, end, scope);
  while (type && end + 1 < b && (t[end].Is("+") || t[end].Is("-"))) {
    char op = t[end].text[0];
    size_t next = TermEnd(t, end + 1, b);
    std::optional<Column> right = TermType(t, end + 1, next, scope);
    type = right ? ArithmeticType(*type, *right, op) : std::nullopt;
    end = next;
  }
  return end == b ? type : std::nullopt;
}

}  // namespace

std::optional<Column> ExpressionType(const std::vector<Token>& t, size_t from, size_t to,
                                     const TypeScope& scope) {
  return TypeOfRange(t, from, std::min(to, t.size()), scope);
}

}  // namespace standin
