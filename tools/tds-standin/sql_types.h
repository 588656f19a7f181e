// SQL Server column types as the stand-in keeps them: the declared type text
// stays in SQLite's schema ("varchar(20)", "money"), and this unit turns it back
// into a typed Column and reads stored values out as wire-ready Values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine.h"
#include "sql_convert.h"

namespace standin {

// Parses a declared type such as "nvarchar(20)", "decimal(10,2)" or "int".
// Returns nothing for a type SQL Server does not have.
std::optional<Column> ParseDeclaredType(std::string_view decl);

// The SQL Server name of a type, as written in a declaration ("varchar(20)").
std::string TypeText(const Column& c);

// A stored value read out as a value of the given column type.
Value ToValue(const Scalar& stored, const Column& c);

// The type of a result column that is not a plain table column, from the values
// it produced: integers are int (bigint past 32 bits), reals float, text
// varchar, unless every value is in the storage form of datetime or date.
// A column of nulls only is int.
Column InferColumn(const std::vector<const Scalar*>& values);

}  // namespace standin
