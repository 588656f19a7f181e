// The '+' rewrite and the select list's result types. Both walk a statement's
// tokens with the little of T-SQL's grammar they need: operands (names,
// literals, variables, calls, parenthesised groups, CASE ... END) joined by
// operators, and the keywords that end an expression.
#include "sql_expr.h"

#include <algorithm>
#include <string_view>

#include "text_case.h"

namespace standin {
namespace {

// Words that cannot be or continue an operand.
constexpr std::string_view kKeywords[] = {
    "select",    "from",     "where",  "and",    "or",        "not",    "is",      "in",
    "like",      "between",  "as",     "when",   "then",      "else",   "end",     "on",
    "join",      "inner",    "outer",  "cross",  "full",      "group",  "order",   "by",
    "having",    "union",    "all",    "except", "intersect", "into",   "values",  "set",
    "top",       "distinct", "exists", "escape", "asc",       "desc",   "with",    "over",
    "partition", "collate",  "insert", "update", "delete",    "option", "percent", "ties",
    "output",    "left",     "right",
};

bool IsKeyword(const Token& t) {
  if (t.kind != Token::Word) return false;
  for (std::string_view k : kKeywords)
    if (t.Is(k)) return true;
  return false;
}

bool IsName(const Token& t) { return t.kind == Token::Word || t.kind == Token::QuotedName; }

bool IsUnary(const Token& t) { return t.Is("-") || t.Is("+") || t.Is("~"); }

}  // namespace

// The index of what closes the group opened at i ('(' or CASE), or to.
size_t GroupEnd(const std::vector<Token>& t, size_t i, size_t to) {
  const bool paren = t[i].Is("(");
  int depth = 0;
  for (size_t k = i; k < to; ++k) {
    if (paren ? t[k].Is("(") : t[k].Is("case")) ++depth;
    if ((paren ? t[k].Is(")") : t[k].Is("end")) && --depth == 0) return k;
  }
  return to;
}

bool IsOperandStart(const std::vector<Token>& t, size_t i, size_t to) {
  if (i >= to) return false;
  const Token& x = t[i];
  switch (x.kind) {
    case Token::Number:
    case Token::String:
    case Token::Variable:
    case Token::SystemVariable:
    case Token::QuotedName:
      return true;
    case Token::Word:
      // LEFT and RIGHT are functions when called, join words otherwise.
      if ((x.Is("left") || x.Is("right")) && i + 1 < to && t[i + 1].Is("(")) return true;
      return x.Is("case") || !IsKeyword(x);
    case Token::Symbol:
      if (x.Is("(")) return true;
      return IsUnary(x) && IsOperandStart(t, i + 1, to);
    default:
      return false;
  }
}

// One operand with its unary signs: a literal, a variable, a possibly
// qualified name or call, a parenthesised group or a CASE ... END.
size_t OperandEnd(const std::vector<Token>& t, size_t i, size_t to) {
  while (i < to && IsUnary(t[i])) ++i;
  if (i >= to) return to;
  if (t[i].Is("(") || t[i].Is("case")) {
    i = GroupEnd(t, i, to) + 1;
  } else if (IsName(t[i])) {
    ++i;
    while (i + 1 < to && t[i].Is(".") && (IsName(t[i + 1]) || t[i + 1].Is("*"))) i += 2;
    if (i < to && t[i].Is("(")) i = GroupEnd(t, i, to) + 1;
  } else {
    ++i;
  }
  if (i + 1 < to && t[i].Is("collate")) i += 2;
  return std::min(i, to);
}

// Operands joined by the operators that bind tighter than '+'.
size_t TermEnd(const std::vector<Token>& t, size_t i, size_t to) {
  i = OperandEnd(t, i, to);
  while (i + 1 < to && (t[i].Is("*") || t[i].Is("/") || t[i].Is("%")) &&
         IsOperandStart(t, i + 1, to))
    i = OperandEnd(t, i + 1, to);
  return i;
}

namespace {

void Rewrite(const std::vector<Token>& t, size_t from, size_t to, std::vector<Token>& out);

// Copies tokens [from, to), rewriting inside each group.
void CopyTerm(const std::vector<Token>& t, size_t from, size_t to, std::vector<Token>& out) {
  for (size_t i = from; i < to; ++i) {
    if (t[i].Is("(") || t[i].Is("case")) {
      size_t close = std::min(GroupEnd(t, i, to), to);
      out.push_back(t[i]);
      Rewrite(t, i + 1, close, out);
      if (close < to) out.push_back(t[close]);
      i = close;
    } else {
      out.push_back(t[i]);
    }
  }
}

Token Symbol(const char* text, bool space) {
  Token s;
  s.kind = Token::Symbol;
  s.text = text;
  s.spaceBefore = space;
  return s;
}

// fn(acc, right) in place of acc.
void Wrap(std::vector<Token>& acc, const char* fn, std::vector<Token> right) {
  Token call;
  call.kind = Token::Word;
  call.text = fn;
  call.spaceBefore = acc.front().spaceBefore;
  call.line = acc.front().line;
  acc.front().spaceBefore = false;
  acc.insert(acc.begin(), {call, Symbol("(", false)});
  acc.push_back(Symbol(",", false));
  right.front().spaceBefore = true;
  acc.insert(acc.end(), right.begin(), right.end());
  acc.push_back(Symbol(")", false));
}

// A term with '/' and '%' as ss_div and ss_mod (SQLite answers NULL where
// SQL Server raises a divide-by-zero error), '*' left as it is.
std::vector<Token> EmitTerm(const std::vector<Token>& t, size_t from, size_t to) {
  size_t end = OperandEnd(t, from, to);
  std::vector<Token> acc;
  CopyTerm(t, from, end, acc);
  while (end + 1 < to && (t[end].Is("*") || t[end].Is("/") || t[end].Is("%")) &&
         IsOperandStart(t, end + 1, to)) {
    size_t next = OperandEnd(t, end + 1, to);
    std::vector<Token> right;
    CopyTerm(t, end + 1, next, right);
    if (t[end].Is("*")) {
      acc.push_back(t[end]);
      acc.insert(acc.end(), right.begin(), right.end());
    } else {
      Wrap(acc, t[end].Is("/") ? "ss_div" : "ss_mod", std::move(right));
    }
    end = next;
  }
  return acc;
}

void Rewrite(const std::vector<Token>& t, size_t from, size_t to, std::vector<Token>& out) {
  size_t i = from;
  while (i < to) {
    if (!IsOperandStart(t, i, to)) {
      out.push_back(t[i++]);
      continue;
    }
    size_t end = TermEnd(t, i, to);
    std::vector<Token> acc = EmitTerm(t, i, end);
    while (end + 1 < to && (t[end].Is("+") || t[end].Is("-")) && IsOperandStart(t, end + 1, to)) {
      size_t next = TermEnd(t, end + 1, to);
      std::vector<Token> right = EmitTerm(t, end + 1, next);
      if (t[end].Is("+")) {
        Wrap(acc, "ss_add", std::move(right));
      } else {
        acc.push_back(t[end]);
        acc.insert(acc.end(), right.begin(), right.end());
      }
      end = next;
    }
    out.insert(out.end(), acc.begin(), acc.end());
    i = end;
  }
}

}  // namespace

std::vector<Token> RewriteOperators(const std::vector<Token>& tokens) {
  if (std::none_of(tokens.begin(), tokens.end(),
                   [](const Token& x) { return x.Is("+") || x.Is("/") || x.Is("%"); }))
    return tokens;
  std::vector<Token> out;
  out.reserve(tokens.size() + 8);
  Rewrite(tokens, 0, tokens.size(), out);
  return out;
}

std::vector<ColumnHint> SelectListHints(const std::vector<Token>& t, size_t from, size_t to,
                                        const TypeScope& scope) {
  std::vector<ColumnHint> hints;
  size_t i = from + 1;
  if (i < to && (t[i].Is("distinct") || t[i].Is("all"))) ++i;
  if (i < to && t[i].Is("top")) {
    i = t[i + 1 < to ? i + 1 : i].Is("(") ? GroupEnd(t, i + 1, to) + 1 : i + 2;
    while (i < to && (t[i].Is("percent") || t[i].Is("with") || t[i].Is("ties"))) ++i;
  }
  size_t start = i;
  int depth = 0;
  for (; i <= to; ++i) {
    bool end = i == to;
    if (!end) {
      if (t[i].Is("(")) ++depth;
      if (t[i].Is(")")) --depth;
      if (depth < 0) end = true;
      static constexpr std::string_view kEnds[] = {"from",   "into",     "where",  "group",
                                                   "order",  "union",    "having", "option",
                                                   "except", "intersect"};
      for (std::string_view w : kEnds)
        if (depth == 0 && t[i].Is(w)) end = true;
    }
    if (!end && !(depth == 0 && t[i].Is(","))) continue;
    size_t a = start, b = i;
    if (a >= b || t[b - 1].Is("*")) return {};
    if (b - a >= 3 && t[b - 2].Is("as"))
      b -= 2;
    else if (b - a >= 2 && (IsName(t[b - 1]) || t[b - 1].kind == Token::String) &&
             !t[b - 2].Is(".") && OperandEnd(t, a, b) == b - 1)
      b -= 1;                                                    // an alias without AS
    if (b - a >= 3 && IsName(t[a]) && t[a + 1].Is("=")) a += 2;  // alias = expression
    ColumnHint h;
    if (b == a + 1 && t[a].kind == Token::Variable)
      h.variable = t[a].text;
    else
      h.type = ExpressionType(t, a, b, scope);
    hints.push_back(std::move(h));
    if (end) break;
    start = i + 1;
  }
  return hints;
}

}  // namespace standin
