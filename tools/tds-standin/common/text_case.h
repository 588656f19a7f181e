// ASCII case folding for keywords and names, which this server compares
// without regard to case (the collation is case-insensitive). Bytes past ASCII
// are left alone, so UTF-8 text passes through whole.
#pragma once

#include <string>
#include <string_view>

namespace standin {

// std::tolower asks the C locale for every character; keywords are ASCII.
constexpr char FoldAscii(char ch) {
  return ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch + ('a' - 'A')) : ch;
}

inline std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = FoldAscii(ch);
  return out;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

}  // namespace standin
