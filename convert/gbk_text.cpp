// GBK byte arithmetic on UTF-8 texts, by rule rather than by conversion: GBK
// (code page 936) writes every non-ASCII character it holds in two bytes, and
// the euro sign in one, so no conversion tables or iconv modules are needed.
#include "convert/gbk_text.h"

#include <cstdint>

namespace cardsync {
namespace {

constexpr std::string_view kEuroSign = "\xE2\x82\xAC";  // code page 936 byte 0x80

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

}  // namespace

std::size_t Utf8CharLength(std::string_view utf8, std::size_t at) {
  if (at >= utf8.size()) return 0;
  const auto lead = static_cast<unsigned char>(utf8[at]);
  std::size_t length = 1;
  // Second-byte bounds rule out overlong forms, surrogates and code points
  // beyond U+10FFFF, so every accepted sequence is one real character.
  unsigned char low = 0x80, high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 1;
  }
  if (utf8.size() - at < length) return 1;
  const auto second = static_cast<unsigned char>(utf8[at + 1]);
  if (second < low || second > high) return 1;
  for (std::size_t k = 2; k < length; ++k) {
    if (!IsContinuation(static_cast<unsigned char>(utf8[at + k]))) return 1;
  }
  return length;
}

std::size_t GbkCharBytes(std::string_view utf8Char) {
  if (utf8Char.size() <= 1 || utf8Char == kEuroSign) return 1;
  return 2;
}

std::size_t GbkByteLength(std::string_view utf8) {
  std::size_t total = 0;
  for (std::size_t at = 0; at < utf8.size();) {
    const std::size_t length = Utf8CharLength(utf8, at);
    total += GbkCharBytes(utf8.substr(at, length));
    at += length;
  }
  return total;
}

std::string GbkCopy(std::string_view utf8, std::size_t position1Based, std::size_t byteCount) {
  const std::size_t first = position1Based < 1 ? 1 : position1Based;
  // Saturate so a "copy the rest" count such as SIZE_MAX cannot wrap.
  const std::size_t last = byteCount > SIZE_MAX - first ? SIZE_MAX : first + byteCount - 1;
  std::string result;
  if (byteCount == 0) return result;
  std::size_t gbkPosition = 1;  // GBK position of the current character's first byte
  for (std::size_t at = 0; at < utf8.size() && gbkPosition <= last;) {
    const std::size_t length = Utf8CharLength(utf8, at);
    const std::string_view character = utf8.substr(at, length);
    if (gbkPosition >= first) result.append(character);
    gbkPosition += GbkCharBytes(character);
    at += length;
  }
  return result;
}

std::string GbkTruncate(std::string_view utf8, std::size_t maxBytes) {
  std::size_t used = 0;
  std::size_t at = 0;
  while (at < utf8.size()) {
    const std::size_t length = Utf8CharLength(utf8, at);
    const std::size_t bytes = GbkCharBytes(utf8.substr(at, length));
    if (bytes > maxBytes - used) break;
    used += bytes;
    at += length;
  }
  return std::string(utf8.substr(0, at));
}

}  // namespace cardsync
