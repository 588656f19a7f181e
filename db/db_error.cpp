// Turns a driver's diagnostic text into the server's own words, the one place
// where the message a user reads for a database error is shaped.
#include "db/db_error.h"

#include <algorithm>
#include <iterator>
#include <vector>

namespace cardsync::db {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7f; }

// Length of a "[FreeTDS][SQL Server]" style prefix at the start of `text`: a run
// of bracket groups glued to the message after it. "[x] text" is no prefix.
std::size_t PrefixLength(std::string_view text) {
  std::size_t length = 0;
  while (length < text.size() && text[length] == '[') {
    const std::size_t close = text.find(']', length);
    if (close == std::string_view::npos) return 0;
    if (text.substr(length + 1, close - length - 1).find('[') != std::string_view::npos) return 0;
    length = close + 1;
  }
  if (length == text.size() || text[length] == ' ') return 0;
  return length;
}

void TrimRecord(std::string& record) {
  while (!record.empty() && (record.back() == ' ' || record.back() == '.')) record.pop_back();
  std::size_t start = 0;
  while (start < record.size() && record[start] == ' ') ++start;
  record.erase(0, start);
}

// Server errors about the values of one statement. FreeTDS gives some of them a
// general SQLSTATE, so the numbers are listed as well.
constexpr int kValueErrors[] = {
    220,   // arithmetic overflow for a data type
    232,   // arithmetic overflow for a type
    241,   // date and/or time from character string
    242,   // out-of-range datetime
    244,   // value overflows a column of a smaller type
    245,   // conversion failed
    248,   // conversion overflowed an int column
    293,   // cannot convert char value to smalldatetime
    295,   // conversion to smalldatetime
    296,   // smalldatetime out of range
    298,   // smalldatetime out of range
    515,   // cannot insert NULL
    517,   // adding a value to a date column caused an overflow
    547,   // constraint conflict
    2601,  // duplicate key in a unique index
    2627,  // primary key or unique constraint violation
    2628,  // string or binary data would be truncated (2019 form)
    8114,  // error converting data type
    8115,  // arithmetic overflow converting expression
    8152,  // string or binary data would be truncated
};

}  // namespace

bool DatabaseError::AboutTheValues() const {
  if (ConnectionLost()) return false;
  if (sqlState_.starts_with("22") || sqlState_.starts_with("23")) return true;
  return std::find(std::begin(kValueErrors), std::end(kValueErrors), nativeError_) !=
         std::end(kValueErrors);
}

std::string CleanServerText(std::string_view text) {
  // Qt glues several diagnostic records together with a blank; each starts with
  // the driver's prefix, which is where they are told apart again.
  std::vector<std::string> records(1);
  std::size_t i = 0;
  while (i < text.size()) {
    std::string& current = records.back();
    if (text[i] == '[' && (current.empty() || current.back() == ' ')) {
      if (const std::size_t prefix = PrefixLength(text.substr(i)); prefix > 0) {
        if (current.find_first_not_of(' ') != std::string::npos) records.emplace_back();
        i += prefix;
        continue;
      }
    }
    const unsigned char c = static_cast<unsigned char>(text[i++]);
    if (IsControl(c)) {
      // A line break or tab still separates words.
      if ((c == '\n' || c == '\r' || c == '\t') && !current.empty() && current.back() != ' ')
        current += ' ';
      continue;
    }
    current += static_cast<char>(c);
  }
  std::string cleaned;
  for (std::string& record : records) {
    TrimRecord(record);
    if (record.empty()) continue;
    if (!cleaned.empty()) cleaned += "; ";
    cleaned += record;
  }
  return cleaned;
}

}  // namespace cardsync::db
