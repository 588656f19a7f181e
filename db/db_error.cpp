// Turns a driver's diagnostic text into the server's own words, the one place
// where the message a user reads for a database error is shaped.
#include "db/db_error.h"

namespace cardsync::db {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// "[FreeTDS][SQL Server]" style prefixes: a run of bracket groups at the start of
// the text or of a later diagnostic record glued on after a blank.
std::size_t PrefixLength(std::string_view text) {
  std::size_t length = 0;
  while (length < text.size() && text[length] == '[') {
    const std::size_t close = text.find(']', length);
    if (close == std::string_view::npos || text.substr(length + 1, close - length - 1).find('[') != std::string_view::npos) {
      break;
    }
    length = close + 1;
  }
  return length;
}

}  // namespace

std::string CleanServerText(std::string_view text) {
  std::string cleaned;
  cleaned.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const bool recordStart = cleaned.empty() || cleaned.back() == ' ';
    if (recordStart && text[i] == '[') {
      if (const std::size_t prefix = PrefixLength(text.substr(i)); prefix > 0) {
        i += prefix;
        continue;
      }
    }
    const unsigned char c = static_cast<unsigned char>(text[i++]);
    if (IsControl(c)) {
      // A line break between two records still separates them.
      if ((c == '\n' || c == '\r' || c == '\t') && !cleaned.empty() && cleaned.back() != ' ') cleaned += ' ';
      continue;
    }
    cleaned += static_cast<char>(c);
  }
  while (!cleaned.empty() && (cleaned.back() == ' ' || cleaned.back() == '.')) cleaned.pop_back();
  std::size_t start = 0;
  while (start < cleaned.size() && cleaned[start] == ' ') ++start;
  return cleaned.substr(start);
}

}  // namespace cardsync::db
