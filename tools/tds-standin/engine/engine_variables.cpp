// A session's local variables: the scope a batch, procedure body or
// sp_executesql statement opens (every DECLARE of it known before anything
// runs), DECLARE's initial values, SET @v and SELECT @v = .... Values are kept
// in the storage form of their declared type and bound like parameters.
#include "engine_session.h"
#include "sqlite_run.h"
#include "text_case.h"

namespace standin {
namespace {

Token Piece(Token::Kind kind, std::string text, const Token& at) {
  Token t;
  t.kind = kind;
  t.text = std::move(text);
  t.line = at.line;
  t.spaceBefore = true;
  return t;
}

// "@v op (expr)": what a compound assignment (@v += expr) assigns.
std::vector<Token> Compound(const std::vector<Token>& s, size_t var, const std::string& op,
                            size_t from, size_t to) {
  std::vector<Token> out{s[var], Piece(Token::Symbol, op, s[var]),
                         Piece(Token::Symbol, "(", s[var])};
  out.insert(out.end(), s.begin() + static_cast<long>(from), s.begin() + static_cast<long>(to));
  out.push_back(Piece(Token::Symbol, ")", s[var]));
  return out;
}

}  // namespace

// Declares the scope's variables, or fails as SQL Server's compiler does:
// nothing of the batch runs and an open transaction is left as it was.
bool SqliteSession::OpenScope(const Scope& scope, int depth) {
  std::optional<ServerMessage> error = scope.error;
  for (const auto& [name, line] : scope.undeclared) {
    if (error) break;
    if (!FindParam(*params_, name)) {
      error = MakeMessage(137, 15, 2, "Must declare the scalar variable \"" + name + "\".");
      error->line = line;
    }
  }
  for (const Declaration& d : scope.declared) {
    if (error) break;
    if (depth == 0 && FindParam(*params_, d.name)) {
      error = MakeMessage(134, 15, 1,
                          "The variable name '" + d.name +
                              "' has already been declared. Variable names must be unique "
                              "within a query batch or stored procedure.");
      error->line = d.line;
    }
    locals_[Lower(d.name)] = LocalVariable{d.type, Scalar{}};
  }
  if (!error) return true;
  if (depth > 0) error->procName = procStack_.back();
  sys_.error = error->number;
  Emit(depth).error = std::move(error);
  return false;
}

bool SqliteSession::EvaluateScalar(const std::vector<Token>& s, size_t from, size_t to, int depth,
                                   Scalar& out) {
  int line = from < s.size() ? s[from].line : s.front().line;
  TypeScope scope = ScopeFor(s);
  Translated t = TranslateTokens(s, from, to, Sys(), &scope);
  if (t.error) return Fail(*t.error, depth, line);
  std::vector<std::vector<Scalar>> raw;
  StatementOutput probe = RunSql(s, "SELECT " + t.sql, t, true, &raw);
  if (probe.error) return Fail(*probe.error, depth, line);
  out = raw.empty() || raw[0].empty() ? Scalar{} : raw[0][0];
  return true;
}

// Stores value in the variable, converted to its declared type as an
// assignment converts (text longer than the variable is cut, not refused).
bool SqliteSession::Assign(const std::string& key, const Scalar& value, int depth, int line) {
  auto it = locals_.find(key);
  if (it == locals_.end())
    return Fail(MakeMessage(137, 15, 2, "Must declare the scalar variable \"" + key + "\"."), depth,
                line);
  ConvertResult r = Convert(value, ConvertTarget{it->second.type, "", ""}, ctx_.nationalText);
  if (r.error) return Fail(*r.error, depth, line);
  it->second.value = std::move(r.value);
  return true;
}

bool SqliteSession::Declare(const std::vector<Token>& s, int depth) {
  std::optional<ServerMessage> error;
  std::optional<std::vector<Declaration>> list = ParseDeclare(s, error);
  if (!list) return Fail(error.value_or(SyntaxError(s, 0)), depth, s.front().line);
  bool assigned = false;
  for (const Declaration& d : *list) {
    if (d.initFrom == d.initTo) continue;
    Scalar v;
    if (!EvaluateScalar(s, d.initFrom, d.initTo, depth, v)) return false;
    if (!Assign(Lower(d.name), v, depth, d.line)) return false;
    assigned = true;
  }
  if (assigned) sys_.rowCount = 1;
  return true;
}

bool SqliteSession::SetVariable(const std::vector<Token>& s, int depth) {
  int line = s.front().line;
  std::optional<std::pair<size_t, std::string>> at = AssignmentAt(s, 1);
  if (!at || at->first >= s.size()) return Fail(SyntaxError(s, at ? s.size() : 2), depth, line);
  Scalar v;
  if (at->second.empty()) {
    if (!EvaluateScalar(s, at->first, s.size(), depth, v)) return false;
  } else {
    std::vector<Token> expr = Compound(s, 1, at->second, at->first, s.size());
    if (!EvaluateScalar(expr, 0, expr.size(), depth, v)) return false;
  }
  if (!Assign(Lower(s[1].text), v, depth, line)) return false;
  // A simple assignment counts one row.
  sys_.rowCount = 1;
  sys_.error = 0;
  Emit(depth);
  return true;
}

// SELECT @a = x, @b = y [FROM ...]: the list's values without the names,
// then the variables take the last row's (and keep theirs when there is none).
bool SqliteSession::SelectIntoVariables(const std::vector<Token>& s, int depth) {
  int line = s.front().line;
  size_t k = SelectListStart(s);
  std::vector<Token> query(s.begin(), s.begin() + static_cast<long>(k));
  std::vector<std::string> targets;
  while (true) {
    std::optional<std::pair<size_t, std::string>> at = AssignmentAt(s, k);
    if (!at)
      return Fail(MakeMessage(141, 15, 1,
                              "A SELECT statement that assigns a value to a variable must not be "
                              "combined with data-retrieval operations."),
                  depth, line);
    size_t end = at->first;
    int level = 0;
    static constexpr std::string_view kEnds[] = {"from",   "where", "group", "order",
                                                 "having", "union", "option"};
    for (; end < s.size(); ++end) {
      if (s[end].Is("(")) ++level;
      if (s[end].Is(")")) --level;
      bool stop = level == 0 && s[end].Is(",");
      for (std::string_view w : kEnds) stop = stop || (level == 0 && s[end].Is(w));
      if (stop) break;
    }
    if (!targets.empty()) query.push_back(Piece(Token::Symbol, ",", s[k]));
    std::vector<Token> expr = at->second.empty()
                                  ? std::vector<Token>(s.begin() + static_cast<long>(at->first),
                                                       s.begin() + static_cast<long>(end))
                                  : Compound(s, k, at->second, at->first, end);
    query.insert(query.end(), expr.begin(), expr.end());
    targets.push_back(Lower(s[k].text));
    k = end;
    if (k < s.size() && s[k].Is(",")) {
      ++k;
      continue;
    }
    break;
  }
  query.insert(query.end(), s.begin() + static_cast<long>(k), s.end());
  TypeScope scope = ScopeFor(query);
  Translated t = TranslateTokens(query, 0, query.size(), Sys(), &scope);
  if (t.error) return Fail(*t.error, depth, line);
  std::vector<std::vector<Scalar>> raw;
  StatementOutput so = RunSql(s, t.sql, t, true, &raw);
  if (so.error) return Fail(*so.error, depth, line);
  if (!raw.empty()) {
    for (size_t j = 0; j < targets.size() && j < raw.back().size(); ++j)
      if (!Assign(targets[j], raw.back()[j], depth, line)) return false;
  }
  sys_.rowCount = static_cast<int64_t>(raw.size());
  sys_.error = 0;
  StatementOutput& out = Emit(depth);
  if (!nocount_) out.rowCount = static_cast<int64_t>(raw.size());
  return true;
}

}  // namespace standin
