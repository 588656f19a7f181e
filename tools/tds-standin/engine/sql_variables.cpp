// DECLARE lists and the scan of a statement list for its variables. Only
// tokens are read here; the session (engine_variables.cpp) holds the values.
#include "sql_variables.h"

#include <unordered_set>

#include "sql_message.h"
#include "sql_translate.h"
#include "sql_types.h"
#include "text_case.h"

namespace standin {
namespace {

bool IsCreateProcedure(const std::vector<Token>& s) {
  if (!(s.front().Is("create") || s.front().Is("alter"))) return false;
  for (size_t j = 1; j < s.size() && j < 4; ++j)
    if (s[j].Is("procedure") || s[j].Is("proc")) return true;
  return false;
}

// The end of the expression starting at k: the next ',' outside parentheses.
size_t ExpressionEnd(const std::vector<Token>& s, size_t k) {
  int depth = 0;
  for (; k < s.size(); ++k) {
    if (s[k].Is("(")) ++depth;
    if (s[k].Is(")")) --depth;
    if (depth == 0 && s[k].Is(",")) break;
  }
  return k;
}

// The declared type at k (a name and its parenthesised arguments); advances k.
std::optional<Column> ReadType(const std::vector<Token>& s, size_t& k, size_t ordinal,
                               std::optional<ServerMessage>& error) {
  if (k >= s.size() || s[k].kind != Token::Word || s[k].Is("table") || s[k].Is("cursor")) {
    error = SyntaxError(s, k);
    return std::nullopt;
  }
  size_t from = k++;
  if (k < s.size() && s[k].Is("(")) {
    while (k < s.size() && !s[k].Is(")")) ++k;
    ++k;
  }
  std::string text;
  for (size_t j = from; j < k && j < s.size(); ++j) text += Lower(s[j].text);
  std::optional<Column> type = ParseDeclaredType(text);
  if (!type) {
    error = MakeMessage(2715, 16, 3,
                        "Column, parameter, or variable #" + std::to_string(ordinal) +
                            ": Cannot find data type " + s[from].text + ".");
    error->line = s[from].line;
  }
  return type;
}

}  // namespace

std::optional<std::vector<Declaration>> ParseDeclare(const std::vector<Token>& s,
                                                     std::optional<ServerMessage>& error) {
  std::vector<Declaration> out;
  size_t k = 1;
  while (true) {
    if (k >= s.size() || s[k].kind != Token::Variable) {
      error = SyntaxError(s, k);
      return std::nullopt;
    }
    Declaration d;
    d.name = s[k].text;
    d.line = s[k].line;
    ++k;
    if (k < s.size() && s[k].Is("as")) ++k;
    std::optional<Column> type = ReadType(s, k, out.size() + 1, error);
    if (!type) return std::nullopt;
    d.type = *type;
    if (k < s.size() && s[k].Is("=")) {
      d.initFrom = k + 1;
      d.initTo = ExpressionEnd(s, k + 1);
      if (d.initFrom == d.initTo) {
        error = SyntaxError(s, k);
        return std::nullopt;
      }
      k = d.initTo;
    }
    out.push_back(std::move(d));
    if (k == s.size()) return out;
    if (!s[k].Is(",")) {
      error = SyntaxError(s, k);
      return std::nullopt;
    }
    ++k;
  }
}

Scope ScanScope(const std::vector<std::vector<Token>>& stmts) {
  Scope scope;
  std::unordered_set<std::string> known, reported;
  auto use = [&](const Token& t) {
    std::string key = Lower(t.text);
    if (!known.count(key) && reported.insert(key).second)
      scope.undeclared.emplace_back(t.text, t.line);
  };
  for (const auto& s : stmts) {
    if (IsCreateProcedure(s)) continue;
    if (s.front().Is("exec") || s.front().Is("execute")) {
      if (s.size() > 2 && s[1].kind == Token::Variable && s[2].Is("=")) use(s[1]);
      continue;
    }
    if (!s.front().Is("declare")) {
      for (const Token& t : s)
        if (t.kind == Token::Variable) use(t);
      continue;
    }
    std::optional<ServerMessage> error;
    std::optional<std::vector<Declaration>> list = ParseDeclare(s, error);
    if (!list) {
      if (!scope.error) scope.error = error;
      continue;
    }
    for (Declaration& d : *list) {
      for (size_t j = d.initFrom; j < d.initTo; ++j)
        if (s[j].kind == Token::Variable) use(s[j]);
      if (!known.insert(Lower(d.name)).second && !scope.error) {
        scope.error = MakeMessage(134, 15, 1,
                                  "The variable name '" + d.name +
                                      "' has already been declared. Variable names must be "
                                      "unique within a query batch or stored procedure.");
        scope.error->line = d.line;
      }
      scope.declared.push_back(std::move(d));
    }
  }
  return scope;
}

size_t SelectListStart(const std::vector<Token>& s) {
  size_t k = 1;
  if (k < s.size() && (s[k].Is("distinct") || s[k].Is("all"))) ++k;
  if (k < s.size() && s[k].Is("top")) {
    ++k;
    if (k < s.size() && s[k].Is("(")) {
      while (k < s.size() && !s[k].Is(")")) ++k;
    }
    ++k;
    while (k < s.size() && (s[k].Is("percent") || s[k].Is("with") || s[k].Is("ties"))) ++k;
  }
  return k;
}

std::optional<std::pair<size_t, std::string>> AssignmentAt(const std::vector<Token>& s, size_t k) {
  if (k + 1 >= s.size() || s[k].kind != Token::Variable) return std::nullopt;
  if (s[k + 1].Is("=")) return std::make_pair(k + 2, std::string());
  static constexpr std::string_view kOps[] = {"+", "-", "*", "/", "%", "&", "|", "^"};
  for (std::string_view op : kOps)
    if (k + 2 < s.size() && s[k + 1].Is(op) && s[k + 2].Is("="))
      return std::make_pair(k + 3, std::string(op));
  return std::nullopt;
}

bool AssignsVariables(const std::vector<Token>& s) {
  return s.front().Is("select") && AssignmentAt(s, SelectListStart(s)).has_value();
}

}  // namespace standin
