// Declared-type parsing and value reading for the stand-in. SQLite keeps the
// SQL Server type text verbatim as a column's declared type, so this is the one
// place that knows how each type is stored: datetimes as ISO text, money and
// decimals as numbers, character data as UTF-8.
#include "sql_types.h"

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "sql_convert.h"
#include "sql_decimal.h"
#include "text_case.h"

namespace standin {
namespace {

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return std::string(s.substr(b, e - b));
}

}  // namespace

std::optional<Column> ParseDeclaredType(std::string_view decl) {
  static const std::map<std::string, SqlType> kNames = {
      {"int", SqlType::Int},           {"integer", SqlType::Int},
      {"bigint", SqlType::BigInt},     {"smallint", SqlType::SmallInt},
      {"tinyint", SqlType::TinyInt},   {"bit", SqlType::Bit},
      {"money", SqlType::Money},       {"smallmoney", SqlType::SmallMoney},
      {"decimal", SqlType::Decimal},   {"numeric", SqlType::Decimal},
      {"float", SqlType::Float},       {"real", SqlType::Real},
      {"datetime", SqlType::DateTime}, {"smalldatetime", SqlType::SmallDateTime},
      {"date", SqlType::Date},         {"char", SqlType::Char},
      {"varchar", SqlType::VarChar},   {"nchar", SqlType::NChar},
      {"nvarchar", SqlType::NVarChar}, {"text", SqlType::VarChar},
      {"ntext", SqlType::NVarChar},
  };
  std::string text = Lower(Trim(decl));
  std::string name = text, args;
  if (size_t open = text.find('('); open != std::string::npos) {
    size_t close = text.rfind(')');
    if (close == std::string::npos || close < open) return std::nullopt;
    name = Trim(text.substr(0, open));
    args = text.substr(open + 1, close - open - 1);
  }
  auto it = kNames.find(name);
  if (it == kNames.end()) return std::nullopt;
  Column c;
  c.type = it->second;
  std::vector<int> nums;
  size_t pos = 0;
  while (pos < args.size()) {
    size_t comma = args.find(',', pos);
    std::string part =
        Trim(args.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos));
    // varchar(max) is kept as varchar(-1): SQLite's type grammar takes numbers only.
    nums.push_back(part == "max" ? -1 : std::atoi(part.c_str()));
    if (comma == std::string::npos) break;
    pos = comma + 1;
  }
  switch (c.type) {
    case SqlType::Char:
    case SqlType::NChar:
      c.length = nums.empty() ? 1 : nums[0];
      break;
    case SqlType::VarChar:
    case SqlType::NVarChar:
      // text and ntext hold what varchar(max) and nvarchar(max) hold, and are
      // served as those.
      if (name == "text" || name == "ntext")
        c.length = 0;
      else
        c.length = nums.empty() ? 1 : (nums[0] < 0 ? 0 : nums[0]);
      break;
    case SqlType::Decimal:
      c.precision = nums.empty() ? 18 : nums[0];
      c.scale = nums.size() > 1 ? nums[1] : 0;
      if (c.precision < 1 || c.precision > 38 || c.scale < 0 || c.scale > c.precision)
        return std::nullopt;
      break;
    case SqlType::Float:
      // float(1..24) is SQL Server's real.
      if (!nums.empty() && nums[0] >= 1 && nums[0] <= 24) c.type = SqlType::Real;
      break;
    default:
      break;
  }
  return c;
}

const char* SqlTypeName(SqlType t) {
  switch (t) {
    case SqlType::Int:
      return "int";
    case SqlType::BigInt:
      return "bigint";
    case SqlType::SmallInt:
      return "smallint";
    case SqlType::TinyInt:
      return "tinyint";
    case SqlType::Bit:
      return "bit";
    case SqlType::Money:
      return "money";
    case SqlType::SmallMoney:
      return "smallmoney";
    case SqlType::Decimal:
      return "decimal";
    case SqlType::Float:
      return "float";
    case SqlType::Real:
      return "real";
    case SqlType::DateTime:
      return "datetime";
    case SqlType::SmallDateTime:
      return "smalldatetime";
    case SqlType::Date:
      return "date";
    case SqlType::Char:
      return "char";
    case SqlType::VarChar:
      return "varchar";
    case SqlType::NChar:
      return "nchar";
    case SqlType::NVarChar:
      return "nvarchar";
  }
  return "varchar";
}

std::string TypeText(const Column& c) {
  std::string name = SqlTypeName(c.type);
  switch (c.type) {
    case SqlType::Decimal:
      return name + "(" + std::to_string(c.precision) + "," + std::to_string(c.scale) + ")";
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
      return name + "(" + (c.length == 0 ? std::string("max") : std::to_string(c.length)) + ")";
    default:
      return name;
  }
}

Value ToValue(const Scalar& stored, const Column& c) {
  Value v;
  if (stored.kind == Scalar::Null) return v;
  v.null = false;
  double number = stored.kind == Scalar::Int    ? static_cast<double>(stored.i)
                  : stored.kind == Scalar::Real ? stored.f
                                                : std::strtod(stored.s.c_str(), nullptr);
  switch (c.type) {
    case SqlType::Int:
    case SqlType::BigInt:
    case SqlType::SmallInt:
    case SqlType::TinyInt:
    case SqlType::Bit:
      v.i = stored.kind == Scalar::Int ? stored.i : static_cast<int64_t>(number);
      break;
    case SqlType::Money:
    case SqlType::SmallMoney:
    case SqlType::Decimal: {
      // Exactly, at the column's scale: a double is read as the decimal it was written from.
      int scale = c.type == SqlType::Decimal ? c.scale : 4;
      std::optional<Decimal> d = stored.kind == Scalar::Int ? Decimal{stored.i, 0}
                                 : stored.kind == Scalar::Real
                                     ? ParseDecimal(ShortestText(stored.f))
                                     : ParseDecimal(stored.s, true);
      std::optional<Decimal> r = d ? Rescale(*d, scale) : std::nullopt;
      Int128 u = r ? r->unscaled : 0;
      v.wide = u;
      v.i = u >= INT64_MIN && u <= INT64_MAX ? static_cast<int64_t>(u)
                                             : (u < 0 ? INT64_MIN : INT64_MAX);
      break;
    }
    case SqlType::Float:
    case SqlType::Real:
      v.f = number;
      break;
    case SqlType::DateTime:
    case SqlType::SmallDateTime:
    case SqlType::Date: {
      std::optional<DateTime> dt;
      if (stored.kind == Scalar::Text) dt = ParseStoredDateTime(stored.s);
      if (!dt) {
        // Not something this engine wrote; a null is safer for a client than garbage.
        v.null = true;
        break;
      }
      v.days = dt->days;
      v.ms = c.type == SqlType::Date ? 0 : dt->ms;
      break;
    }
    default:
      if (stored.kind == Scalar::Text)
        v.s = stored.s;
      else if (stored.kind == Scalar::Int)
        v.s = std::to_string(stored.i);
      else {
        char buf[40];
        std::snprintf(buf, sizeof buf, "%.15g", stored.f);
        v.s = buf;
      }
      break;
  }
  return v;
}

namespace {

bool LooksLikeStoredDateTime(const std::string& s) {
  // 'YYYY-MM-DD HH:MM:SS.mmm'
  static const char kShape[] = "dddd-dd-dd dd:dd:dd.ddd";
  if (s.size() != sizeof kShape - 1) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    if (kShape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(s[i])) : s[i] != kShape[i])
      return false;
  }
  return true;
}

bool LooksLikeStoredDate(const std::string& s) {
  return s.size() == 10 && LooksLikeStoredDateTime(s + " 00:00:00.000");
}

}  // namespace

Column InferColumn(const std::vector<const Scalar*>& values) {
  Column c;
  c.type = SqlType::Int;
  bool anyText = false, anyReal = false, allDateTime = true, allDate = true, big = false;
  size_t longest = 1;
  for (const Scalar* v : values) {
    switch (v->kind) {
      case Scalar::Null:
        break;
      case Scalar::Int:
        if (v->i < INT32_MIN || v->i > INT32_MAX) big = true;
        allDateTime = allDate = false;
        break;
      case Scalar::Real:
        anyReal = true;
        allDateTime = allDate = false;
        break;
      case Scalar::Text:
        anyText = true;
        allDateTime = allDateTime && LooksLikeStoredDateTime(v->s);
        allDate = allDate && LooksLikeStoredDate(v->s);
        longest = std::max(longest, GbkLength(v->s));
        break;
    }
  }
  if (anyText) {
    if (allDateTime)
      c.type = SqlType::DateTime;
    else if (allDate)
      c.type = SqlType::Date;
    else {
      c.type = SqlType::VarChar;
      c.length = longest > 8000 ? 0 : static_cast<int>(longest);
    }
  } else if (anyReal) {
    c.type = SqlType::Float;
  } else if (big) {
    c.type = SqlType::BigInt;
  }
  return c;
}

}  // namespace standin
