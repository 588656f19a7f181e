// ASCII case folding for keywords and names, which this server compares
// without regard to case (the collation is case-insensitive). Bytes past ASCII
// are left alone, so UTF-8 text passes through whole.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace standin {

inline std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return out;
}

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace standin
