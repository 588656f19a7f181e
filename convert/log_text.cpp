// Escaping for log lines, decoding UTF-8 strictly: an overlong or truncated sequence
// is shown byte by byte, never taken for the character it imitates.
#include "convert/log_text.h"

#include <cstdint>
#include <cstdio>

namespace cardsync {
namespace {

std::string Hex(const char* format, unsigned value) {
  char text[16];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Length of the well-formed UTF-8 sequence at `text`, 0 when there is none; `code`
// gets its code point.
std::size_t Sequence(std::string_view text, char32_t& code) {
  const auto byte = [&text](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  std::size_t length = 0;
  char32_t smallest = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, code = lead & 0x1F, smallest = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, code = lead & 0x0F, smallest = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, code = lead & 0x07, smallest = 0x10000;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

bool Hidden(char32_t code) {
  return (code >= 0x80 && code <= 0x9F) || (code >= 0x202A && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string LogText(std::string_view utf8) {
  std::string shown;
  shown.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const unsigned char c = static_cast<unsigned char>(utf8[i]);
    if (c < 0x80) {
      if (c == '\n') {
        shown += "\\n";
      } else if (c == '\r') {
        shown += "\\r";
      } else if (c == '\t') {
        shown += "\\t";
      } else if (c == '\\') {
        shown += "\\\\";
      } else if (c < 0x20 || c == 0x7F) {
        shown += Hex("\\x%02x", c);
      } else {
        shown += char(c);
      }
      ++i;
      continue;
    }
    char32_t code = 0;
    const std::size_t length = Sequence(utf8.substr(i), code);
    if (length == 0) {
      shown += Hex("\\x%02x", c);
      ++i;
    } else {
      shown += Hidden(code) ? Hex("\\u%04x", unsigned(code)) : std::string(utf8.substr(i, length));
      i += length;
    }
  }
  return shown;
}

}  // namespace cardsync
