// SQL Server column types as the stand-in keeps them: the declared type text
// stays in SQLite's schema ("varchar(20)", "money"), and this unit turns it back
// into a typed Column and reads stored values out as wire-ready Values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine.h"
#include "sql_convert.h"

namespace standin {

// Parses a declared type such as "nvarchar(20)", "decimal(10,2)" or "int".
// Returns nothing for a type SQL Server does not have.
std::optional<Column> ParseDeclaredType(std::string_view decl);

// A type's SQL Server name without its length or precision ("varchar").
const char* SqlTypeName(SqlType t);

// The SQL Server name of a type, as written in a declaration ("varchar(20)").
std::string TypeText(const Column& c);

// A stored value read out as a value of the given column type.
Value ToValue(const Scalar& stored, const Column& c);

// The type of a result column that is not a plain table column, from the values
// it produced: integers are int (bigint past 32 bits), reals float, text
// varchar, unless every value is in the storage form of datetime or date.
// A column of nulls only is int.
Column InferColumn(const std::vector<const Scalar*>& values);

// A DECLAREd variable: its declared type and its value in storage form (what
// a column of that type would hold), so it binds and compares like one.
struct LocalVariable {
  Column type;
  Scalar value;
};
// Keyed by the name in lower case with its '@': variable names follow the
// server's case-insensitive collation.
using LocalVariables = std::unordered_map<std::string, LocalVariable>;

}  // namespace standin
