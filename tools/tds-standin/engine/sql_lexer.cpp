// T-SQL tokenizer and statement splitter for the stand-in's engine.
#include "sql_lexer.h"

#include <algorithm>
#include <cctype>

#include "sql_quote.h"
#include "text_case.h"

namespace standin {
namespace {

bool IsWordStart(unsigned char ch) {
  return std::isalpha(ch) || ch == '_' || ch == '#' || ch >= 0x80;
}
bool IsWordChar(unsigned char ch) {
  return std::isalnum(ch) || ch == '_' || ch == '#' || ch == '$' || ch >= 0x80;
}

// Words that open a statement when met at depth 0.
constexpr std::string_view kStarters[] = {
    "select",  "insert", "update",   "delete", "create",  "drop",   "alter", "set",
    "begin",   "commit", "rollback", "exec",   "execute", "if",     "else",  "print",
    "declare", "use",    "truncate", "end",    "save",    "return", "merge", "grant",
};

bool IsStarter(const Token& t) {
  if (t.kind != Token::Word) return false;
  for (std::string_view s : kStarters)
    if (t.Is(s)) return true;
  return false;
}

}  // namespace

bool Token::Is(std::string_view word) const {
  return (kind == Word || kind == Symbol) && EqualsNoCase(text, word);
}

namespace {

// Skips one blank character or one comment at i; false when neither starts
// there. A /* comment the text ends inside sets `unclosed`.
bool SkipBlank(std::string_view s, size_t& i, int& line, bool& unclosed) {
  unsigned char ch = static_cast<unsigned char>(s[i]);
  if (ch == '\n') {
    ++line;
    ++i;
    return true;
  }
  if (std::isspace(ch)) {
    ++i;
    return true;
  }
  if (ch == '-' && i + 1 < s.size() && s[i + 1] == '-') {
    while (i < s.size() && s[i] != '\n') ++i;
    return true;
  }
  if (ch == '/' && i + 1 < s.size() && s[i + 1] == '*') {
    size_t end = s.find("*/", i + 2);
    if (end == std::string_view::npos) {
      unclosed = true;
      end = s.size();
    }
    line += static_cast<int>(std::count(s.begin() + i, s.begin() + std::min(end, s.size()), '\n'));
    i = std::min(end + 2, s.size());
    return true;
  }
  return false;
}

// Reads from just after an opening quote to just after its closing one into
// text, a doubled `close` standing for one. Newlines are counted when `line`
// is given. False when the text ends first.
bool ReadQuoted(std::string_view s, size_t& i, char close, int* line, std::string& text) {
  while (i < s.size()) {
    if (s[i] == close) {
      if (i + 1 < s.size() && s[i + 1] == close) {
        text += close;
        i += 2;
        continue;
      }
      ++i;
      return true;
    }
    if (line && s[i] == '\n') ++*line;
    text += s[i++];
  }
  return false;
}

bool StartsNumber(std::string_view s, size_t i) {
  unsigned char ch = static_cast<unsigned char>(s[i]);
  return std::isdigit(ch) ||
         (ch == '.' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])));
}

// Where the number at i ends: digits and points, then an exponent when a
// whole one follows.
size_t NumberEnd(std::string_view s, size_t i) {
  while (i < s.size() && (std::isdigit(static_cast<unsigned char>(s[i])) || s[i] == '.')) ++i;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && std::isdigit(static_cast<unsigned char>(s[j]))) {
      i = j;
      while (i < s.size() && std::isdigit(static_cast<unsigned char>(s[i]))) ++i;
    }
  }
  return i;
}

// A word, a variable or a symbol at i (whichever starts there), read into t.
void ReadWordOrSymbol(std::string_view s, size_t& i, Token& t) {
  unsigned char ch = static_cast<unsigned char>(s[i]);
  size_t start = i;
  if (ch == '@') {
    bool system = i + 1 < s.size() && s[i + 1] == '@';
    i += system ? 2 : 1;
    while (i < s.size() && IsWordChar(static_cast<unsigned char>(s[i]))) ++i;
    t.kind = system ? Token::SystemVariable : Token::Variable;
    t.text = std::string(s.substr(start, i - start));
  } else if (IsWordStart(ch)) {
    while (i < s.size() && IsWordChar(static_cast<unsigned char>(s[i]))) ++i;
    t.kind = Token::Word;
    t.text = std::string(s.substr(start, i - start));
  } else {
    static constexpr std::string_view kTwo[] = {"<>", "!=", ">=", "<=", "!<", "!>", "||"};
    t.kind = Token::Symbol;
    t.text = std::string(1, static_cast<char>(ch));
    for (std::string_view two : kTwo)
      if (s.substr(i, 2) == two) t.text = std::string(two);
    i += t.text.size();
  }
}

}  // namespace

std::vector<Token> Tokenize(std::string_view s, bool* unterminated) {
  std::vector<Token> out;
  size_t i = 0;
  int line = 1;
  bool space = false;
  bool unclosed = false;
  while (i < s.size()) {
    if (SkipBlank(s, i, line, unclosed)) {
      space = true;
      continue;
    }
    unsigned char ch = static_cast<unsigned char>(s[i]);
    Token t;
    t.line = line;
    t.offset = i;
    t.spaceBefore = space;
    space = false;
    bool national = (ch == 'N' || ch == 'n') && i + 1 < s.size() && s[i + 1] == '\'';
    if (ch == '\'' || national) {
      t.kind = Token::String;
      t.national = national;
      i += national ? 2 : 1;
      if (!ReadQuoted(s, i, '\'', &line, t.text)) unclosed = true;
    } else if (ch == '[' || ch == '"') {
      t.kind = Token::QuotedName;
      ++i;
      if (!ReadQuoted(s, i, ch == '[' ? ']' : '"', nullptr, t.text)) unclosed = true;
    } else if (StartsNumber(s, i)) {
      size_t start = i;
      i = NumberEnd(s, i);
      t.kind = Token::Number;
      t.text = std::string(s.substr(start, i - start));
    } else {
      ReadWordOrSymbol(s, i, t);
    }
    out.push_back(std::move(t));
  }
  if (unterminated) *unterminated = unclosed;
  return out;
}

std::string Untokenize(const std::vector<Token>& tokens, size_t from, size_t to) {
  std::string out;
  to = std::min(to, tokens.size());
  for (size_t k = from; k < to; ++k) {
    const Token& t = tokens[k];
    if (k > from && t.spaceBefore) out += ' ';
    if (t.kind == Token::String) {
      out += QuoteSqlString(t.text);
    } else if (t.kind == Token::QuotedName) {
      out += QuoteSqlName(t.text);
    } else {
      out += t.text;
    }
  }
  return out;
}

std::vector<std::vector<Token>> SplitStatements(const std::vector<Token>& tokens) {
  std::vector<std::vector<Token>> out;
  std::vector<Token> cur;
  int depth = 0, caseDepth = 0;
  bool updateNeedsSet = false, insertHasValues = false;
  auto inProcedure = [&] {
    if (cur.empty() || !(cur.front().Is("create") || cur.front().Is("alter"))) return false;
    for (size_t j = 1; j < cur.size() && j < 4; ++j)
      if (cur[j].Is("procedure") || cur[j].Is("proc")) return true;
    return false;
  };
  auto flush = [&] {
    if (!cur.empty()) out.push_back(std::move(cur));
    cur.clear();
    depth = caseDepth = 0;
    updateNeedsSet = insertHasValues = false;
  };
  for (size_t k = 0; k < tokens.size(); ++k) {
    const Token& t = tokens[k];
    if (t.kind == Token::Symbol && t.text == ";" && depth == 0 && !inProcedure()) {
      flush();
      continue;
    }
    if (depth == 0 && !cur.empty() && IsStarter(t)) {
      const Token& first = cur.front();
      const Token& prev = cur.back();
      bool starts = true;
      // INSERT ... SELECT is one statement; INSERT ... VALUES (...) ends before a SELECT.
      if (t.Is("select") &&
          ((first.Is("insert") && !insertHasValues) || first.Is("create") || prev.Is("union") ||
           prev.Is("all") || prev.Is("except") || prev.Is("intersect") || first.Is("with")))
        starts = false;
      if (t.Is("set") && updateNeedsSet) starts = false;
      if ((t.Is("else") || t.Is("end")) && caseDepth > 0) starts = false;
      if ((t.Is("delete") || t.Is("update")) && prev.Is("on")) starts = false;
      // A CREATE PROCEDURE takes the rest of the batch as its body.
      if (inProcedure()) starts = false;
      // "BEGIN TRAN" and "COMMIT TRAN" own the word after them.
      if ((prev.Is("begin") || prev.Is("commit") || prev.Is("rollback")) && cur.size() == 1 &&
          (t.Is("tran") || t.Is("transaction")))
        starts = false;
      if (starts) flush();
    }
    if (t.Is("(")) ++depth;
    if (t.Is(")") && depth > 0) --depth;
    if (t.Is("case")) ++caseDepth;
    if (t.Is("end") && caseDepth > 0 && depth == 0) --caseDepth;
    if (depth == 0 && t.Is("values")) insertHasValues = true;
    if (cur.empty() && t.Is("update"))
      updateNeedsSet = true;
    else if (t.Is("set") && depth == 0)
      updateNeedsSet = false;
    cur.push_back(t);
  }
  flush();
  return out;
}

std::vector<ScriptBatch> SplitBatches(std::string_view script) {
  std::vector<ScriptBatch> out;
  ScriptBatch cur;
  int line = 1;
  size_t pos = 0;
  while (pos <= script.size()) {
    size_t end = script.find('\n', pos);
    if (end == std::string_view::npos) end = script.size();
    std::string_view text = script.substr(pos, end - pos);
    std::string_view trimmed = text;
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.front())))
      trimmed.remove_prefix(1);
    while (!trimmed.empty() && std::isspace(static_cast<unsigned char>(trimmed.back())))
      trimmed.remove_suffix(1);
    if (EqualsNoCase(trimmed, "go")) {
      out.push_back(std::move(cur));
      cur = ScriptBatch{};
      cur.firstLine = line + 1;
    } else {
      cur.text.append(text);
      cur.text += '\n';
    }
    ++line;
    if (end == script.size()) break;
    pos = end + 1;
  }
  out.push_back(std::move(cur));
  // Batches of blanks only are not sent, as sqlcmd does not send them.
  std::erase_if(out, [](const ScriptBatch& b) {
    return std::all_of(b.text.begin(), b.text.end(),
                       [](char ch) { return std::isspace(static_cast<unsigned char>(ch)); });
  });
  return out;
}

}  // namespace standin
