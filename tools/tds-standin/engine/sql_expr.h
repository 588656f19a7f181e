// Expressions of a T-SQL statement where SQLite reads them otherwise: '+'
// (which joins strings in T-SQL and adds numbers, so its meaning is known only
// from the values), '/' and '%' (an error on zero), and the result type of a SELECT's items that
// name one.
#pragma once

#include <cstddef>
#include <vector>

#include "sql_lexer.h"
#include "sql_translate.h"
#include "sql_typing.h"

namespace standin {

// Every binary '+' of the tokens becomes ss_add(left, right), '/' ss_div and
// '%' ss_mod, with T-SQL's precedence: '*', '/' and '%' bind tighter, '+' and
// '-' associate left, and comparisons, AND, OR and the clause keywords end an
// operand.
std::vector<Token> RewriteOperators(const std::vector<Token>& tokens);

// The grammar both walks share. An operand is a literal, a variable, a
// possibly qualified name or call, a parenthesised group or CASE ... END, with
// its unary signs; a term is operands joined by '*', '/' and '%'.
bool IsOperandStart(const std::vector<Token>& t, size_t i, size_t to);
size_t OperandEnd(const std::vector<Token>& t, size_t i, size_t to);
size_t TermEnd(const std::vector<Token>& t, size_t i, size_t to);
// What closes the '(' or CASE at i, or to.
size_t GroupEnd(const std::vector<Token>& t, size_t i, size_t to);

// Hints for the items of the select list that starts at tokens[from] (the
// word SELECT), up to its FROM, INTO or the statement's end. Empty when the
// list holds a '*', whose columns cannot be counted here.
// Each item's type comes from ExpressionType with scope (sql_typing.h).
std::vector<ColumnHint> SelectListHints(const std::vector<Token>& tokens, size_t from, size_t to,
                                        const TypeScope& scope);

}  // namespace standin
