// DECLARE as the stand-in reads it, and the scope of a batch's variables: SQL
// Server compiles a whole batch (or procedure body) before running it, so a
// variable exists from its DECLARE on in the text, whether or not that DECLARE
// runs, and a name read before any DECLARE must be a parameter.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "sql_lexer.h"

namespace standin {

// One variable of a DECLARE.
struct Declaration {
  std::string name;  // as written, with its '@'
  Column type;
  size_t initFrom = 0, initTo = 0;  // the initial value's tokens; empty when none
  int line = 1;
};

// Reads DECLARE @a [AS] type [= expr] [, ...]. On a malformed list or an
// unknown type, returns nothing and sets error.
std::optional<std::vector<Declaration>> ParseDeclare(const std::vector<Token>& s,
                                                     std::optional<ServerMessage>& error);

struct Scope {
  std::vector<Declaration> declared;                    // in text order
  std::vector<std::pair<std::string, int>> undeclared;  // names read before a DECLARE, and the line
  std::optional<ServerMessage> error;                   // a name declared twice, a bad DECLARE
};

// The variables of a statement list. A CREATE PROCEDURE's body is a scope of
// its own and is left out; so are EXEC's named arguments.
Scope ScanScope(const std::vector<std::vector<Token>>& stmts);

// Where a SELECT's list starts (after DISTINCT and TOP n), and whether that
// list assigns variables (@v = expr, @v += expr ...) instead of returning rows.
size_t SelectListStart(const std::vector<Token>& s);
bool AssignsVariables(const std::vector<Token>& s);

// For an assignment at s[k] (@v = or @v op=), the index of the expression and
// the operator ("" for plain =); nothing when s[k] is not one.
std::optional<std::pair<size_t, std::string>> AssignmentAt(const std::vector<Token>& s, size_t k);

}  // namespace standin
