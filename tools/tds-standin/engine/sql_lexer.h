// Tokens of T-SQL text and the split of a batch into statements. SQL Server
// needs no ';' between statements, so statements are cut where a statement
// keyword starts at bracket depth 0, the way its own parser reads them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct Token {
  enum Kind { Word, QuotedName, Variable, SystemVariable, Number, String, Symbol, End } kind = End;
  std::string text;                      // as written; for String and QuotedName the unquoted value
  bool national = false;                 // N'...'
  bool spaceBefore = false;              // blanks or a comment came before it
  int line = 1;                          // within the batch, from 1
  size_t offset = 0;                     // of its first character in the text
  bool Is(std::string_view word) const;  // a Word or Symbol, without regard to case
};

// Throws nothing: an unterminated string or comment ends at the end of text and
// is reported by whoever reads the tokens (syntax error near it).
std::vector<Token> Tokenize(std::string_view text, bool* unterminated = nullptr);

// Writes tokens back as SQL text, quoting strings and names again.
std::string Untokenize(const std::vector<Token>& tokens, size_t from = 0,
                       size_t to = static_cast<size_t>(-1));

// Splits a batch's tokens into statements; ';' separators are dropped.
std::vector<std::vector<Token>> SplitStatements(const std::vector<Token>& tokens);

// The lines of a script, cut into batches at lines holding only GO.
struct ScriptBatch {
  std::string text;
  int firstLine = 1;
};
std::vector<ScriptBatch> SplitBatches(std::string_view script);

}  // namespace standin
