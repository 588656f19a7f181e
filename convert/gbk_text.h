// Byte counts in the program's text encoding. Texts are held in UTF-8, but some
// rules count GBK bytes: the 256-byte limit of a date-time text and the card
// number's positions ("the first two bytes", "bytes 3 to 12").
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace cardsync {

// Length in bytes of the UTF-8 character that starts at `at`: 1 for ASCII and
// for a byte that does not start a valid sequence (such a byte then stands for
// itself, so no input can stall a loop), else 2 to 4.
std::size_t Utf8CharLength(std::string_view utf8, std::size_t at);

// GBK bytes of one character given its UTF-8 form: 1 for ASCII, U+20AC and
// invalid bytes, 2 for every other character.
std::size_t GbkCharBytes(std::string_view utf8Char);

// Length of the text in GBK bytes.
std::size_t GbkByteLength(std::string_view utf8);

// The characters whose first GBK byte lies at positions position1Based ..
// position1Based + byteCount - 1 (1-based, a position below 1 counts as 1).
// A double-byte character that starts on the range's last byte is taken whole,
// and one that starts just before the range is left to the range before, so
// adjacent ranges such as (1,2) and (3,10) share out a text without splitting
// or repeating a character; a result can therefore be one byte longer than
// byteCount.
std::string GbkCopy(std::string_view utf8, std::size_t position1Based, std::size_t byteCount);

// The longest leading run of whole characters that fits in maxBytes GBK bytes.
std::string GbkTruncate(std::string_view utf8, std::size_t maxBytes);

}  // namespace cardsync
