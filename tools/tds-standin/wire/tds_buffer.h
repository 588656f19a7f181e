// Byte-level building blocks of the TDS side: a bounds-checked reader for
// everything that comes off the wire, a writer for everything that goes out,
// and the text conversions (UTF-16LE, GBK) the protocol needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace standin::tds {

// A malformed or truncated message. It ends the connection that sent it,
// never the process.
class WireError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<uint8_t>;

// Every read is checked against what is left; a length taken from the packet
// can therefore never read past its end.
class ByteReader {
 public:
  explicit ByteReader(std::span<const uint8_t> data) : data_(data) {}

  size_t remaining() const { return data_.size() - pos_; }
  size_t position() const { return pos_; }
  bool empty() const { return remaining() == 0; }

  uint8_t u8();
  uint8_t peek() const;
  uint16_t u16le();
  uint16_t u16be();
  uint32_t u32le();
  uint32_t u32be();
  uint64_t u64le();
  std::span<const uint8_t> bytes(size_t n);
  void skip(size_t n) { bytes(n); }
  // n UTF-16 code units, returned as UTF-8.
  std::string ucs2(size_t n);
  // B_VARCHAR / US_VARCHAR: a 1- or 2-byte count of UTF-16 units, then the units.
  std::string bVarchar() { return ucs2(u8()); }
  std::string usVarchar() { return ucs2(u16le()); }

 private:
  void need(size_t n, const char* what) const;
  std::span<const uint8_t> data_;
  size_t pos_ = 0;
};

// Little-endian unless the name says otherwise; TDS mixes both (packet
// headers and PRELOGIN are big-endian, tokens little-endian).
void put_u8(Bytes& out, uint8_t v);
void put_u16le(Bytes& out, uint16_t v);
void put_u16be(Bytes& out, uint16_t v);
void put_u32le(Bytes& out, uint32_t v);
void put_u32be(Bytes& out, uint32_t v);
void put_u64le(Bytes& out, uint64_t v);
void put_bytes(Bytes& out, std::span<const uint8_t> data);
void put_bytes(Bytes& out, std::string_view data);
// UTF-8 text as UTF-16LE units, without a count.
void put_ucs2(Bytes& out, std::string_view utf8);
// Counted forms; text longer than the count allows is a programming error.
void put_b_varchar(Bytes& out, std::string_view utf8);
void put_us_varchar(Bytes& out, std::string_view utf8);

// Overwrites a 16-bit little-endian length reserved earlier at `at`.
void patch_u16le(Bytes& out, size_t at, uint16_t v);

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);
// UTF-16LE bytes (odd trailing byte ignored) to UTF-8.
std::string Utf16leToUtf8(std::span<const uint8_t> bytes);
Bytes Utf8ToUtf16le(std::string_view utf8);

// char/varchar bytes travel in the collation's code page, GBK (936) here.
// A character GBK cannot hold becomes '?', as SQL Server does.
std::string Utf8ToGbk(std::string_view utf8);
// Invalid GBK sequences become U+FFFD.
std::string GbkToUtf8(std::string_view gbk);
// Code page 1252, for varchar parameters a client sends under a Latin collation.
std::string Cp1252ToUtf8(std::string_view bytes);

}  // namespace standin::tds
