// Bounds-checked reading, little/big-endian writing and the text conversions
// of the TDS side. GBK goes through iconv: glibc already carries the tables,
// and a hand-written GBK map would be thousands of lines to get wrong.
#include "tds_buffer.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

namespace standin::tds {

void ByteReader::need(size_t n, const char* what) const {
  if (n > remaining()) {
    throw WireError(std::string("truncated message: ") + what + " needs " + std::to_string(n) +
                    " bytes at offset " + std::to_string(pos_) + ", " +
                    std::to_string(remaining()) + " left");
  }
}

uint8_t ByteReader::u8() {
  need(1, "byte");
  return data_[pos_++];
}

uint8_t ByteReader::peek() const {
  need(1, "byte");
  return data_[pos_];
}

uint16_t ByteReader::u16le() {
  need(2, "u16");
  uint16_t v = static_cast<uint16_t>(data_[pos_] | (data_[pos_ + 1] << 8));
  pos_ += 2;
  return v;
}

uint16_t ByteReader::u16be() {
  need(2, "u16");
  uint16_t v = static_cast<uint16_t>((data_[pos_] << 8) | data_[pos_ + 1]);
  pos_ += 2;
  return v;
}

uint32_t ByteReader::u32le() {
  need(4, "u32");
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | data_[pos_ + i];
  pos_ += 4;
  return v;
}

uint32_t ByteReader::u32be() {
  need(4, "u32");
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | data_[pos_ + i];
  pos_ += 4;
  return v;
}

uint64_t ByteReader::u64le() {
  need(8, "u64");
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | data_[pos_ + i];
  pos_ += 8;
  return v;
}

std::span<const uint8_t> ByteReader::bytes(size_t n) {
  need(n, "data");
  auto s = data_.subspan(pos_, n);
  pos_ += n;
  return s;
}

std::string ByteReader::ucs2(size_t n) {
  if (n > remaining() / 2) need(n * 2, "UTF-16 text");
  return Utf16leToUtf8(bytes(n * 2));
}

void put_u8(Bytes& out, uint8_t v) { out.push_back(v); }

void put_u16le(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v));
  out.push_back(static_cast<uint8_t>(v >> 8));
}

void put_u16be(Bytes& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void put_u32le(Bytes& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_u32be(Bytes& out, uint32_t v) {
  for (int i = 3; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_u64le(Bytes& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void put_bytes(Bytes& out, std::span<const uint8_t> data) {
  out.insert(out.end(), data.begin(), data.end());
}

void put_bytes(Bytes& out, std::string_view data) {
  out.insert(out.end(), data.begin(), data.end());
}

void put_ucs2(Bytes& out, std::string_view utf8) {
  for (char16_t c : Utf8ToUtf16(utf8)) put_u16le(out, c);
}

void put_b_varchar(Bytes& out, std::string_view utf8) {
  std::u16string u = Utf8ToUtf16(utf8);
  if (u.size() > 0xFF) u.resize(0xFF);
  put_u8(out, static_cast<uint8_t>(u.size()));
  for (char16_t c : u) put_u16le(out, c);
}

void put_us_varchar(Bytes& out, std::string_view utf8) {
  std::u16string u = Utf8ToUtf16(utf8);
  if (u.size() > 0xFFFF) u.resize(0xFFFF);
  put_u16le(out, static_cast<uint16_t>(u.size()));
  for (char16_t c : u) put_u16le(out, c);
}

void patch_u16le(Bytes& out, size_t at, uint16_t v) {
  out.at(at) = static_cast<uint8_t>(v);
  out.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Decodes one UTF-8 sequence at s[i]; malformed input yields U+FFFD and
// consumes one byte so decoding always moves on.
char32_t NextCodePoint(std::string_view s, size_t& i) {
  auto b0 = static_cast<uint8_t>(s[i]);
  int extra = 0;
  char32_t cp = 0;
  if (b0 < 0x80) {
    ++i;
    return b0;
  } else if ((b0 & 0xE0) == 0xC0) {
    extra = 1;
    cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2;
    cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3;
    cp = b0 & 0x07;
  } else {
    ++i;
    return kReplacement;
  }
  if (i + extra >= s.size()) {
    ++i;
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    auto b = static_cast<uint8_t>(s[i + k]);
    if ((b & 0xC0) != 0x80) {
      ++i;
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  i += extra + 1;
  if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kReplacement;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// One iconv descriptor per direction and thread: descriptors keep shift
// state and may not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts all of `in`; returns false when iconv rejects it.
  bool Convert(std::string_view in, std::string& out) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return false;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    std::string buf(in.size() * 4 + 8, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = buf.data();
    size_t dstLeft = buf.size();
    if (iconv(cd_, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return false;
    out.append(buf.data(), buf.size() - dstLeft);
    return true;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = NextCodePoint(utf8, i);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view u) {
  std::string out;
  out.reserve(u.size());
  for (size_t i = 0; i < u.size(); ++i) {
    char32_t c = u[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
        u[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

// Straight from the wire's bytes: a request's text and every text parameter
// pass through here, and most of it is ASCII.
std::string Utf16leToUtf8(std::span<const uint8_t> bytes) {
  const size_t n = bytes.size() / 2;
  auto unit = [&](size_t k) -> char32_t { return bytes[2 * k] | (bytes[2 * k + 1] << 8); };
  std::string out;
  out.reserve(n);
  for (size_t k = 0; k < n; ++k) {
    char32_t c = unit(k);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
      continue;
    }
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < n && unit(k + 1) >= 0xDC00 && unit(k + 1) <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (unit(k + 1) - 0xDC00);
      ++k;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    AppendUtf8(out, c);
  }
  return out;
}

Bytes Utf8ToUtf16le(std::string_view utf8) {
  Bytes out;
  put_ucs2(out, utf8);
  return out;
}

std::string Utf8ToGbk(std::string_view utf8) {
  thread_local Converter conv("GBK", "UTF-8");
  std::string out;
  if (conv.Convert(utf8, out)) return out;
  // Some character has no GBK form: convert one character at a time so only
  // that one is replaced.
  out.clear();
  for (size_t i = 0; i < utf8.size();) {
    size_t start = i;
    char32_t cp = NextCodePoint(utf8, i);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp == kReplacement || !conv.Convert(utf8.substr(start, i - start), out)) {
      out.push_back('?');
    }
  }
  return out;
}

std::string GbkToUtf8(std::string_view gbk) {
  thread_local Converter conv("UTF-8", "GBK");
  std::string out;
  if (conv.Convert(gbk, out)) return out;
  out.clear();
  for (size_t i = 0; i < gbk.size();) {
    auto b = static_cast<uint8_t>(gbk[i]);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
    } else if (i + 1 < gbk.size() && conv.Convert(gbk.substr(i, 2), out)) {
      i += 2;
    } else {
      AppendUtf8(out, kReplacement);
      ++i;
    }
  }
  return out;
}

std::string Cp1252ToUtf8(std::string_view bytes) {
  thread_local Converter conv("UTF-8", "CP1252");
  std::string out;
  if (conv.Convert(bytes, out)) return out;
  out.clear();
  for (char c : bytes) {
    auto b = static_cast<uint8_t>(c);
    AppendUtf8(out, b < 0x80 ? b : kReplacement);
  }
  return out;
}

}  // namespace standin::tds
