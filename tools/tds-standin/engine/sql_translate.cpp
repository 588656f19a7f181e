// Rewriting of T-SQL statements into SQLite for the stand-in. Work is done on
// tokens rather than text so that string literals and bracketed names are
// never touched by accident.
#include "sql_translate.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "sql_convert.h"
#include "sql_expr.h"
#include "sql_locks.h"
#include "sql_quote.h"
#include "sql_types.h"
#include "text_case.h"

namespace standin {
namespace {

// What SELECT @@VERSION answers: a plausible SQL Server 2019 banner.
constexpr const char* kVersionText =
    "Microsoft SQL Server 2019 (RTM) - 15.0.2000.5 (X64) \n\tSep 24 2019 13:48:23 \n\t"
    "Copyright (C) 2019 Microsoft Corporation\n\tDeveloper Edition (64-bit) on Linux "
    "(tds-standin, SQLite storage)\n";

Token Raw(std::string text, bool space = true) {
  Token t;
  t.kind = Token::Word;
  t.text = std::move(text);
  t.spaceBefore = space;
  return t;
}

bool IsName(const Token& t) { return t.kind == Token::Word || t.kind == Token::QuotedName; }

// Index of the ')' matching the '(' at open, or tokens.size().
size_t MatchParen(const std::vector<Token>& tokens, size_t open, size_t to) {
  int depth = 0;
  for (size_t k = open; k < to; ++k) {
    if (tokens[k].Is("(")) ++depth;
    if (tokens[k].Is(")") && --depth == 0) return k;
  }
  return tokens.size();
}

// Comma-separated pieces of tokens (from, to) at depth 0.
std::vector<std::pair<size_t, size_t>> SplitCommas(const std::vector<Token>& tokens, size_t from,
                                                   size_t to) {
  std::vector<std::pair<size_t, size_t>> out;
  int depth = 0;
  size_t start = from;
  for (size_t k = from; k < to; ++k) {
    if (tokens[k].Is("(")) ++depth;
    if (tokens[k].Is(")")) --depth;
    if (depth == 0 && tokens[k].Is(",")) {
      out.emplace_back(start, k);
      start = k + 1;
    }
  }
  out.emplace_back(start, to);
  return out;
}

std::optional<std::string> SystemVariable(const std::string& name, const SystemValues& sys) {
  std::string n = Lower(name);
  if (n == "@@version") return QuoteSqlString(kVersionText);
  if (n == "@@spid") return std::to_string(sys.spid);
  if (n == "@@trancount") return std::to_string(sys.tranCount);
  if (n == "@@rowcount") return "ss_rowcount()";
  if (n == "@@error") return std::to_string(sys.error);
  if (n == "@@servername") return "'standin'";
  if (n == "@@servicename") return "'MSSQLSERVER'";
  if (n == "@@language") return "'us_english'";
  if (n == "@@langid") return "0";
  if (n == "@@max_precision") return "38";
  if (n == "@@textsize") return "2147483647";
  if (n == "@@datefirst") return "7";
  if (n == "@@options") return "5176";
  if (n == "@@lock_timeout") return std::to_string(sys.lockTimeoutMs);
  if (n == "@@microsoftversion") return "251658240";
  if (n == "@@identity") return "NULL";
  if (n == "@@nestlevel") return "0";
  return std::nullopt;
}

// The type written in a CAST or CONVERT, normalised to its declared-type text.
std::optional<std::string> TypeName(const std::vector<Token>& tokens, size_t from, size_t to) {
  std::string text;
  for (size_t k = from; k < to; ++k) text += Lower(tokens[k].text);
  if (!ParseDeclaredType(text)) return std::nullopt;
  size_t max = text.find("(max)");
  if (max != std::string::npos) text.replace(max, 5, "(-1)");
  return text;
}

ServerMessage TypeError(const std::vector<Token>& tokens, size_t from, size_t to) {
  std::string text = from < to ? tokens[from].text : std::string("?");
  ServerMessage m = MakeMessage(243, 16, 2, "Type " + text + " is not a defined system type.");
  if (from < tokens.size()) m.line = tokens[from].line;
  (void)to;
  return m;
}

// SQL Server's cap on the rows of one INSERT ... VALUES list. SQLite has none
// worth the name, so a longer list would run here and fail there.
constexpr size_t kMaxValuesRows = 1000;

// Error 10738 when tokens [from, to), an INSERT, lists more rows than SQL
// Server takes; it names the line of the first row too many.
std::optional<ServerMessage> CheckValuesRows(const std::vector<Token>& tokens, size_t from,
                                             size_t to) {
  size_t k = from;
  int depth = 0;
  for (; k < to; ++k) {
    if (tokens[k].Is("(")) ++depth;
    if (tokens[k].Is(")")) --depth;
    if (depth == 0 && tokens[k].Is("values")) break;
  }
  size_t rows = 0;
  for (++k; k < to && tokens[k].Is("("); ++k) {
    if (++rows > kMaxValuesRows) {
      ServerMessage m =
          MakeMessage(10738, 15, 1,
                      "The number of row value expressions in the INSERT statement exceeds the "
                      "maximum allowed number of " +
                          std::to_string(kMaxValuesRows) + " row values.");
      m.line = tokens[k].line;
      return m;
    }
    k = MatchParen(tokens, k, to);
    if (k + 1 >= to || !tokens[k + 1].Is(",")) break;
    ++k;
  }
  return std::nullopt;
}

// dbo.T, reporting.dbo.T and reporting..T at k all name T: SQLite has one
// schema. Emits T; returns its index.
size_t DropSchemaPrefix(const std::vector<Token>& tokens, size_t k, size_t to,
                        std::vector<Token>& emitted) {
  const bool space = tokens[k].spaceBefore;
  ++k;
  while (k + 1 < to && tokens[k + 1].Is(".")) ++k;
  if (k + 1 < to) {
    Token copy = tokens[k + 1];
    copy.spaceBefore = space;
    emitted.push_back(copy);
    ++k;
  }
  return k;
}

// GETDATE() and its kin at k, with a following "+ n" or "- n" (days) taken
// along; returns the index of the last token used.
size_t TranslateGetDate(const std::vector<Token>& tokens, size_t k, size_t to,
                        std::vector<Token>& emitted) {
  const Token& t = tokens[k];
  size_t end = k;
  if (k + 2 < to && tokens[k + 1].Is("(") && tokens[k + 2].Is(")")) {
    end = k + 2;
  } else if (!t.Is("current_timestamp")) {
    emitted.push_back(t);
    return k;
  }
  std::string call = "getdate()";
  // GETDATE()-1: SQL Server adds days to a datetime; SQLite would subtract
  // from the text's leading number.
  if (end + 2 < to && (tokens[end + 1].Is("-") || tokens[end + 1].Is("+")) &&
      tokens[end + 2].kind == Token::Number) {
    call = "ss_dateadd(getdate(), " + tokens[end + 1].text + tokens[end + 2].text + ")";
    end += 2;
  }
  emitted.push_back(Raw(call, t.spaceBefore));
  return end;
}

// CAST(x AS type) or CONVERT(type, x [, style]) at k as ss_cast(x, 'type'),
// with the type x has when it decides the text (money's two decimals);
// returns the index of the closing ')'. Errors go to out.error.
size_t TranslateCast(const std::vector<Token>& tokens, size_t k, size_t to, const SystemValues& sys,
                     const TypeScope* scope, Translated& out, std::vector<Token>& emitted) {
  const Token& t = tokens[k];
  size_t close = MatchParen(tokens, k + 1, to);
  if (close >= to) {
    out.error = SyntaxError(tokens, to - 1);
    return k;
  }
  size_t exprFrom, exprTo, typeFrom, typeTo;
  if (!t.Is("convert")) {
    size_t as = close;
    int depth = 0;
    for (size_t j = k + 2; j < close; ++j) {
      if (tokens[j].Is("(")) ++depth;
      if (tokens[j].Is(")")) --depth;
      if (depth == 0 && tokens[j].Is("as")) as = j;
    }
    if (as == close) {
      out.error = SyntaxError(tokens, close);
      return k;
    }
    exprFrom = k + 2, exprTo = as, typeFrom = as + 1, typeTo = close;
  } else {
    auto parts = SplitCommas(tokens, k + 2, close);
    if (parts.size() < 2) {
      out.error = SyntaxError(tokens, close);
      return k;
    }
    typeFrom = parts[0].first, typeTo = parts[0].second;
    exprFrom = parts[1].first, exprTo = parts[1].second;
  }
  std::optional<std::string> type = TypeName(tokens, typeFrom, typeTo);
  if (!type) {
    out.error = TypeError(tokens, typeFrom, typeTo);
    return k;
  }
  Translated inner = TranslateTokens(tokens, exprFrom, exprTo, sys, scope);
  if (inner.error) {
    out.error = inner.error;
    return k;
  }
  out.national = out.national || inner.national;
  out.variables.insert(inner.variables.begin(), inner.variables.end());
  std::optional<Column> source =
      scope ? ExpressionType(tokens, exprFrom, exprTo, *scope) : std::nullopt;
  // Exact numbers become text by their type (money with two decimals, a
  // decimal with its scale), which their SQLite value no longer tells.
  std::string from;
  if (source && (source->type == SqlType::Money || source->type == SqlType::SmallMoney))
    from = ", 'money'";
  if (source && source->type == SqlType::Decimal) from = ", " + QuoteSqlString(TypeText(*source));
  emitted.push_back(
      Raw("ss_cast(" + inner.sql + ", " + QuoteSqlString(*type) + from + ")", t.spaceBefore));
  return close;
}

}  // namespace

ServerMessage SyntaxError(const std::vector<Token>& tokens, size_t at) {
  std::string near;
  int line = 1;
  if (!tokens.empty()) {
    const Token& t = tokens[std::min(at, tokens.size() - 1)];
    near = t.text;
    line = t.line;
  }
  ServerMessage m = MakeMessage(102, 15, 1, "Incorrect syntax near '" + near + "'.");
  m.line = line;
  return m;
}

size_t ReadObjectName(const std::vector<Token>& tokens, size_t from, std::string& name) {
  std::vector<std::string> parts;
  size_t k = from;
  while (k < tokens.size() && IsName(tokens[k])) {
    parts.push_back(tokens[k].text);
    ++k;
    if (k < tokens.size() && tokens[k].Is(".")) {
      ++k;
      while (k < tokens.size() && tokens[k].Is(".")) {  // reporting..T
        parts.emplace_back();
        ++k;
      }
      continue;
    }
    break;
  }
  if (parts.empty()) return from;
  name = parts.back();
  return k;
}

namespace {

// A string, a variable or a system variable, emitted as SQLite reads it;
// false for any other token. An unknown system variable sets out.error.
bool EmitValueToken(const Token& t, const SystemValues& sys, Translated& out,
                    std::vector<Token>& emitted) {
  if (t.kind == Token::String) {
    out.national = out.national || t.national;
    emitted.push_back(t);
    return true;
  }
  if (t.kind == Token::SystemVariable) {
    std::optional<std::string> value = SystemVariable(t.text, sys);
    if (!value) {
      out.error = MakeMessage(137, 15, 2, "Must declare the scalar variable \"" + t.text + "\".");
      out.error->line = t.line;
      return true;
    }
    emitted.push_back(Raw(*value, t.spaceBefore));
    return true;
  }
  if (t.kind == Token::Variable) {
    out.variables.insert(t.text);
    // A variable standing as a select item gives a derived table a column
    // that compares as every character value here does (a parameter has no
    // collation of its own in SQLite, and a bare one would compare binary).
    bool item = !emitted.empty() && (emitted.back().Is("select") || emitted.back().Is("distinct") ||
                                     emitted.back().Is(","));
    emitted.push_back(item ? Raw("(" + t.text + " COLLATE SSCI)", t.spaceBefore) : t);
    return true;
  }
  return false;
}

// SELECT TOP n at the head of a statement becomes LIMIT n: with tokens[k]
// a TOP there, takes n into limit and moves k to its last token.
bool TakeTop(const std::vector<Token>& tokens, size_t& k, size_t to,
             const std::vector<Token>& emitted, std::string& limit) {
  if (emitted.empty() || emitted.size() > 2 ||
      !(emitted.back().Is("select") || emitted.back().Is("distinct")))
    return false;
  auto next = [&](size_t d) -> const Token* { return k + d < to ? &tokens[k + d] : nullptr; };
  if (next(1) && next(1)->Is("(") && next(2) && next(2)->kind == Token::Number && next(3) &&
      next(3)->Is(")")) {
    limit = next(2)->text;
    k += 3;
    return true;
  }
  if (next(1) && next(1)->kind == Token::Number) {
    limit = next(1)->text;
    k += 1;
    return true;
  }
  return false;
}

}  // namespace

Translated TranslateTokens(const std::vector<Token>& tokens, size_t from, size_t to,
                           const SystemValues& sys, const TypeScope* scope) {
  Translated out;
  to = std::min(to, tokens.size());
  if (from < to && tokens[from].Is("insert")) {
    out.error = CheckValuesRows(tokens, from, to);
    if (out.error) return out;
  }
  if (from < to && tokens[from].Is("select"))
    out.hints = SelectListHints(tokens, from, to, scope ? *scope : TypeScope{});
  std::vector<Token> emitted;
  std::string limit;
  for (size_t k = from; k < to; ++k) {
    const Token& t = tokens[k];
    auto next = [&](size_t d) -> const Token* { return k + d < to ? &tokens[k + d] : nullptr; };
    auto nextIs = [&](size_t d, std::string_view w) { return next(d) && next(d)->Is(w); };
    if (IsName(t) && nextIs(1, ".") &&
        (EqualsNoCase(t.text, "dbo") || EqualsNoCase(t.text, kDatabaseName))) {
      k = DropSchemaPrefix(tokens, k, to, emitted);
      continue;
    }
    if ((t.Is("with") || t.Is("(")) && !emitted.empty() && IsName(emitted.back())) {
      // Table hints shape only the locks the session takes.
      if (size_t end = SkipTableHints(tokens, k, to); end != k) {
        k = end - 1;
        continue;
      }
    }
    if (EmitValueToken(t, sys, out, emitted)) {
      if (out.error) return out;
      continue;
    }
    if (t.kind != Token::Word) {
      emitted.push_back(t);
      continue;
    }
    if (t.text[0] == '#') {
      // A #temp table's name, which SQLite reads only quoted.
      Token quoted = t;
      quoted.kind = Token::QuotedName;
      emitted.push_back(quoted);
      continue;
    }
    if (k == from && t.Is("insert") && !nextIs(1, "into")) {
      // INSERT T VALUES ...: SQLite wants its INTO.
      emitted.push_back(t);
      emitted.push_back(Raw("INTO"));
      continue;
    }
    std::string word = Lower(t.text);
    if (word == "getdate" || word == "sysdatetime" || word == "getutcdate" ||
        word == "current_timestamp") {
      k = TranslateGetDate(tokens, k, to, emitted);
      continue;
    }
    if ((word == "cast" || word == "convert" || word == "try_cast") && nextIs(1, "(")) {
      k = TranslateCast(tokens, k, to, sys, scope, out, emitted);
      if (out.error) return out;
      continue;
    }
    if (word == "isnull" && nextIs(1, "(")) {
      emitted.push_back(Raw("ifnull", t.spaceBefore));
      continue;
    }
    if (word == "top" && TakeTop(tokens, k, to, emitted, limit)) continue;
    emitted.push_back(t);
  }
  out.sql = Untokenize(RewriteOperators(emitted));
  if (!limit.empty()) out.sql += " LIMIT " + limit;
  return out;
}

namespace {

struct ColumnDef {
  std::string name;
  std::string decl;
  Column type;
};

// What a CREATE TABLE's items add up to: the columns, the SQLite text of
// each column and table constraint, and the primary key.
struct TableParts {
  std::vector<ColumnDef> columns;
  std::vector<std::string> pieces;  // the columns' first, in order, then constraints
  std::vector<std::string> pkColumns;
  std::string pkName;
};

const ColumnDef* FindColumnDef(const std::vector<ColumnDef>& columns, const std::string& name) {
  for (const auto& c : columns)
    if (Lower(c.name) == Lower(name)) return &c;
  return nullptr;
}

// DEFAULT's value from tokens[j] (the DEFAULT): a parenthesised expression,
// a signed number, a function call or one token. Returns its end.
size_t DefaultValueEnd(const std::vector<Token>& tokens, size_t j, size_t b) {
  size_t from = j + 1, end = j + 2;
  if (tokens[from].Is("("))
    end = MatchParen(tokens, from, b) + 1;
  else if (tokens[from].Is("-") || tokens[from].Is("+"))
    end = from + 2;
  else if (j + 2 < b && tokens[j + 2].Is("("))
    end = MatchParen(tokens, j + 2, b) + 1;
  return std::min(end, b);
}

// The constraints after a column's type, tokens [j, b): written onto def,
// a column PRIMARY KEY recorded in parts.
std::optional<ServerMessage> ReadColumnConstraints(const std::vector<Token>& tokens, size_t j,
                                                   size_t b, const std::string& table,
                                                   const ColumnDef& col, std::string& def,
                                                   std::string& constraintName, TableParts& parts) {
  while (j < b) {
    const Token& t = tokens[j];
    if (t.Is("not") && j + 1 < b && tokens[j + 1].Is("null")) {
      def += " NOT NULL";
      j += 2;
    } else if (t.Is("null")) {
      ++j;
    } else if (t.Is("constraint") && j + 1 < b) {
      constraintName = tokens[j + 1].text;
      j += 2;
    } else if (t.Is("primary") && j + 1 < b && tokens[j + 1].Is("key")) {
      if (!parts.pkColumns.empty()) {
        return MakeMessage(8110, 16, 0,
                           "Cannot add multiple PRIMARY KEY constraints to table '" + table + "'.");
      }
      parts.pkColumns.push_back(col.name);
      parts.pkName = constraintName;
      j += 2;
      if (j < b && (tokens[j].Is("clustered") || tokens[j].Is("nonclustered"))) ++j;
    } else if (t.Is("default") && j + 1 < b) {
      size_t end = DefaultValueEnd(tokens, j, b);
      Translated value = TranslateTokens(tokens, j + 1, end, {});
      if (value.error) return value.error;
      def += " DEFAULT (" + value.sql + ")";
      j = end;
    } else if (t.Is("collate") && j + 1 < b) {
      j += 2;  // every character column gets the stand-in's own collation below
    } else if (t.Is("unique")) {
      def += " UNIQUE";
      ++j;
    } else {
      return SyntaxError(tokens, j);
    }
  }
  return std::nullopt;
}

// A column, tokens [j, b): name type[(args)] constraints...
std::optional<ServerMessage> ReadColumn(const std::vector<Token>& tokens, size_t j, size_t b,
                                        const std::string& table, std::string& constraintName,
                                        TableParts& parts) {
  ColumnDef col;
  col.name = tokens[j].text;
  ++j;
  size_t typeFrom = j;
  if (j < b && tokens[j].kind == Token::Word) ++j;
  if (j < b && tokens[j].Is("(")) j = MatchParen(tokens, j, b) + 1;
  std::optional<std::string> decl = TypeName(tokens, typeFrom, std::min(j, b));
  if (!decl) return TypeError(tokens, typeFrom, j);
  col.decl = *decl;
  col.type = *ParseDeclaredType(col.decl);
  std::string def = QuoteSqlName(col.name) + " " + col.decl;
  if (auto error = ReadColumnConstraints(tokens, j, b, table, col, def, constraintName, parts))
    return error;
  switch (col.type.type) {
    case SqlType::Char:
    case SqlType::VarChar:
    case SqlType::NChar:
    case SqlType::NVarChar:
      // Case-insensitive and blind to trailing blanks, as a _CI_ collation compares.
      def += " COLLATE SSCI";
      break;
    default:
      break;
  }
  parts.pieces.insert(parts.pieces.begin() + static_cast<long>(parts.columns.size()), def);
  parts.columns.push_back(std::move(col));
  return std::nullopt;
}

// One item of the list, tokens [a, b) inside the parentheses that close at
// `close`: a column, or a table constraint.
std::optional<ServerMessage> ReadTableItem(const std::vector<Token>& tokens, size_t a, size_t b,
                                           size_t close, const std::string& table,
                                           TableParts& parts) {
  if (a >= b) return SyntaxError(tokens, a);
  size_t j = a;
  std::string constraintName;
  if (tokens[j].Is("constraint") && j + 1 < b) {
    constraintName = tokens[j + 1].text;
    j += 2;
  }
  if (j < b && tokens[j].Is("primary")) {
    // Table-level key: PRIMARY KEY [CLUSTERED] (cols)
    size_t open = j + 2;
    while (open < b && !tokens[open].Is("(")) ++open;
    if (open >= b || !parts.pkColumns.empty()) return SyntaxError(tokens, open);
    size_t end = MatchParen(tokens, open, close);
    for (auto [x, y] : SplitCommas(tokens, open + 1, end))
      if (x < y) parts.pkColumns.push_back(tokens[x].text);  // ASC/DESC after the name is dropped
    parts.pkName = constraintName;
    return std::nullopt;
  }
  if (j < b && (tokens[j].Is("unique") || tokens[j].Is("check") || tokens[j].Is("foreign"))) {
    std::vector<Token> kept;
    for (size_t m = j; m < b; ++m)
      if (!tokens[m].Is("clustered") && !tokens[m].Is("nonclustered")) kept.push_back(tokens[m]);
    parts.pieces.push_back(TranslateTokens(kept, 0, kept.size(), {}).sql);
    return std::nullopt;
  }
  return ReadColumn(tokens, j, b, table, constraintName, parts);
}

// SQL Server names an unnamed key PK__<table>__<hex>.
std::string UnnamedKeyName(const std::string& table) {
  uint64_t hash = 1469598103934665603ull;
  for (char ch : table) hash = (hash ^ static_cast<unsigned char>(ch)) * 1099511628211ull;
  char hex[20];
  std::snprintf(hex, sizeof hex, "%016llX", static_cast<unsigned long long>(hash));
  return "PK__" + table.substr(0, 8) + "__" + hex;
}

// Every typed column is checked before a row is written (so a bad value
// fails the statement with SQL Server's error) and normalised after it; the
// key is checked for duplicates with SQL Server's error too.
void AppendTriggers(TableDdl& ddl, const TableParts& parts, const std::string& temp) {
  const std::string table = QuoteSqlName(ddl.name);
  auto conv = [&](const ColumnDef& c, const std::string& value) {
    return "ss_conv(" + value + ", " + QuoteSqlString(c.decl) + ", " + QuoteSqlString(ddl.name) +
           ", " + QuoteSqlString(c.name) + ")";
  };
  std::string checks, sets;
  for (const auto& c : parts.columns) {
    checks += (checks.empty() ? "" : ", ") + conv(c, "NEW." + QuoteSqlName(c.name));
    sets += (sets.empty() ? "" : ", ") + QuoteSqlName(c.name) + " = " +
            conv(c, "NEW." + QuoteSqlName(c.name));
  }
  std::string keyCheck;
  if (!parts.pkColumns.empty()) {
    std::string values, match;
    for (const auto& name : parts.pkColumns) {
      const ColumnDef* c = FindColumnDef(parts.columns, name);
      std::string v = conv(*c, "NEW." + QuoteSqlName(c->name));
      values += ", " + v;
      match += " AND " + QuoteSqlName(c->name) + " = " + v;
    }
    keyCheck = "SELECT ss_dupkey(" + QuoteSqlString(parts.pkName) + ", " +
               QuoteSqlString(ddl.name) + values + ") WHERE EXISTS (SELECT 1 FROM " + table +
               " WHERE rowid <> ifnull(NEW.rowid, -1)" + match + ");";
  }
  std::string prefix = "CREATE " + temp + "TRIGGER " + QuoteSqlName("__ss_" + ddl.name + "_");
  for (const char* op : {"INSERT", "UPDATE"}) {
    std::string lop = Lower(op);
    ddl.statements.push_back(prefix.substr(0, prefix.size() - 1) + "before_" + lop + "\" BEFORE " +
                             op + " ON " + table + " BEGIN SELECT " + checks + "; " + keyCheck +
                             " END");
    ddl.statements.push_back(prefix.substr(0, prefix.size() - 1) + "after_" + lop + "\" AFTER " +
                             op + " ON " + table + " BEGIN UPDATE " + table + " SET " + sets +
                             " WHERE rowid = NEW.rowid; END");
  }
}

}  // namespace

std::optional<TableDdl> TranslateCreateTable(const std::vector<Token>& tokens,
                                             std::optional<ServerMessage>& error) {
  // CREATE TABLE name ( item, ... ) [ON filegroup]
  TableDdl ddl;
  size_t k = ReadObjectName(tokens, 2, ddl.name);
  if (k == 2 || k >= tokens.size() || !tokens[k].Is("(")) {
    error = SyntaxError(tokens, k);
    return std::nullopt;
  }
  size_t close = MatchParen(tokens, k, tokens.size());
  if (close >= tokens.size()) {
    error = SyntaxError(tokens, tokens.size());
    return std::nullopt;
  }
  TableParts parts;
  for (auto [a, b] : SplitCommas(tokens, k + 1, close)) {
    error = ReadTableItem(tokens, a, b, close, ddl.name, parts);
    if (error) return std::nullopt;
  }
  if (close + 1 < tokens.size() && !tokens[close + 1].Is("on")) {
    error = SyntaxError(tokens, close + 1);
    return std::nullopt;
  }
  for (const auto& name : parts.pkColumns) {
    if (!FindColumnDef(parts.columns, name)) {
      error = MakeMessage(1911, 16, 1,
                          "Column name '" + name + "' does not exist in the target table or view.");
      return std::nullopt;
    }
  }
  if (!parts.pkColumns.empty()) {
    std::string cols;
    for (const auto& c : parts.pkColumns) cols += (cols.empty() ? "" : ", ") + QuoteSqlName(c);
    parts.pieces.push_back("PRIMARY KEY (" + cols + ")");
    if (parts.pkName.empty()) parts.pkName = UnnamedKeyName(ddl.name);
  }
  std::string body;
  for (const auto& p : parts.pieces) body += (body.empty() ? "" : ", ") + p;
  // A #temp table is the session's own: SQLite's temp database is its connection's.
  const std::string temp = ddl.name[0] == '#' ? "TEMP " : "";
  ddl.statements.push_back("CREATE " + temp + "TABLE " + QuoteSqlName(ddl.name) + " (" + body +
                           ")");
  if (!parts.columns.empty()) AppendTriggers(ddl, parts, temp);
  return ddl;
}

}  // namespace standin
