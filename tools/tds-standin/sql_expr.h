// Expressions of a T-SQL statement where SQLite reads them otherwise: '+'
// (which joins strings in T-SQL and adds numbers, so its meaning is known only
// from the values), and the result type of a SELECT's items that name one.
#pragma once

#include <cstddef>
#include <vector>

#include "sql_lexer.h"
#include "sql_translate.h"

namespace standin {

// Every binary '+' of the tokens becomes ss_add(left, right), with T-SQL's
// precedence: '*', '/' and '%' bind tighter, '+' and '-' associate left, and
// comparisons, AND, OR and the clause keywords end an operand.
std::vector<Token> RewriteAdditions(const std::vector<Token>& tokens);

// Hints for the items of the select list that starts at tokens[from] (the
// word SELECT), up to its FROM, INTO or the statement's end. Empty when the
// list holds a '*', whose columns cannot be counted here.
std::vector<ColumnHint> SelectListHints(const std::vector<Token>& tokens, size_t from, size_t to);

}  // namespace standin
