// The type SQL Server gives an expression: what a result column is described
// as, and what a CAST converts from. Worked out from the statement's tokens
// with the types of its tables' columns, variables and parameters; an
// expression this does not know answers nothing and is typed from its values.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine.h"
#include "sql_lexer.h"

namespace standin {

struct TypeScope {
  // A column of a table (names in lower case).
  std::function<std::optional<Column>(const std::string& table, const std::string& column)> column;
  // A variable or parameter, by its name with '@'.
  std::function<std::optional<Column>(const std::string& name)> variable;
  // The statement's tables by the names it may use for them: alias -> table,
  // and each table by its own name (all lower case).
  std::vector<std::pair<std::string, std::string>> tables;
};

// The tables a statement names, with their aliases; isTable says which names
// are tables (lower case).
std::vector<std::pair<std::string, std::string>> StatementTables(
    const std::vector<Token>& s, const std::function<bool(const std::string&)>& isTable);

// The type of tokens [from, to) as one expression, or nothing.
std::optional<Column> ExpressionType(const std::vector<Token>& t, size_t from, size_t to,
                                     const TypeScope& scope);

// The result of a binary arithmetic operator ('+', '-', '*', '/', '%') on
// two types, by SQL Server's precedence and its decimal precision rules.
std::optional<Column> ArithmeticType(const Column& a, const Column& b, char op);

}  // namespace standin
