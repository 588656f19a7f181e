// PRELOGIN and LOGIN7 readers. Every offset/length pair in LOGIN7 points into
// the same message, so each is checked against the message before use.
#include "tds_login.h"

#include <array>

namespace standin::tds {

namespace {

namespace prelogin {
constexpr uint8_t kVersion = 0x00;
constexpr uint8_t kEncryption = 0x01;
constexpr uint8_t kInstOpt = 0x02;
constexpr uint8_t kThreadId = 0x03;
constexpr uint8_t kMars = 0x04;
constexpr uint8_t kTerminator = 0xFF;
}  // namespace prelogin

// The fixed part of LOGIN7 up to and including cbSSPILong.
constexpr size_t kLogin7FixedSize = 94;

}  // namespace

PreloginRequest ParsePrelogin(std::span<const uint8_t> payload) {
  PreloginRequest request;
  ByteReader options(payload);
  for (;;) {
    uint8_t token = options.u8();
    if (token == prelogin::kTerminator) break;
    uint16_t offset = options.u16be();
    uint16_t length = options.u16be();
    if (size_t(offset) + length > payload.size()) {
      throw WireError("PRELOGIN option " + std::to_string(token) + " points past the message");
    }
    if (token == prelogin::kEncryption && length >= 1) request.encryption = payload[offset];
  }
  return request;
}

Bytes BuildPreloginResponse(uint8_t encryption) {
  // Options in order, each with its data; offsets count from the payload start.
  struct Option {
    uint8_t token;
    Bytes data;
  };
  const std::array<Option, 5> options{{
      {prelogin::kVersion, {0x0F, 0x00, 0x07, 0xD0, 0x00, 0x00}},  // 15.0.2000
      {prelogin::kEncryption, {encryption}},
      {prelogin::kInstOpt, {0x00}},
      {prelogin::kThreadId, {}},
      {prelogin::kMars, {0x00}},
  }};
  Bytes out;
  uint16_t offset = static_cast<uint16_t>(options.size() * 5 + 1);
  for (const auto& o : options) {
    put_u8(out, o.token);
    put_u16be(out, offset);
    put_u16be(out, static_cast<uint16_t>(o.data.size()));
    offset = static_cast<uint16_t>(offset + o.data.size());
  }
  put_u8(out, prelogin::kTerminator);
  for (const auto& o : options) put_bytes(out, o.data);
  return out;
}

std::string DecodePassword(std::span<const uint8_t> obfuscated) {
  Bytes plain(obfuscated.begin(), obfuscated.end());
  for (auto& b : plain) {
    b ^= 0xA5;
    b = static_cast<uint8_t>((b << 4) | (b >> 4));
  }
  return Utf16leToUtf8(plain);
}

Bytes EncodePassword(std::string_view utf8) {
  Bytes out = Utf8ToUtf16le(utf8);
  for (auto& b : out) {
    b = static_cast<uint8_t>((b << 4) | (b >> 4));
    b ^= 0xA5;
  }
  return out;
}

Login7 ParseLogin7(std::span<const uint8_t> payload) {
  ByteReader r(payload);
  uint32_t declared = r.u32le();
  if (declared > payload.size() || declared < kLogin7FixedSize) {
    throw WireError("LOGIN7 length " + std::to_string(declared) + " does not match the message (" +
                    std::to_string(payload.size()) + " bytes)");
  }
  auto record = payload.first(declared);
  Login7 login;
  login.tdsVersion = r.u32le();
  login.packetSize = r.u32le();
  r.skip(4 + 4 + 4);  // client program version, process id, connection id
  r.skip(4);          // option flags 1-3, type flags
  r.skip(4 + 4);      // time zone, LCID

  // Each variable field is an (offset, count) pair; counts are UTF-16 units.
  auto text = [&](bool isPassword = false) {
    uint16_t offset = r.u16le();
    uint16_t count = r.u16le();
    size_t bytes = size_t(count) * 2;
    if (size_t(offset) + bytes > record.size()) {
      throw WireError("LOGIN7 field at " + std::to_string(offset) + " with " +
                      std::to_string(count) + " characters runs past the login record");
    }
    auto field = record.subspan(offset, bytes);
    return isPassword ? DecodePassword(field) : Utf16leToUtf8(field);
  };
  login.hostName = text();
  login.userName = text();
  login.password = text(true);
  login.appName = text();
  login.serverName = text();
  r.skip(4);  // extension offset/length: features are not acknowledged
  login.library = text();
  login.language = text();
  login.database = text();
  return login;
}

Bytes BuildLogin7(const Login7& login) {
  std::array<std::pair<std::string, bool>, 8> fields{{
      {login.hostName, false},
      {login.userName, false},
      {login.password, true},
      {login.appName, false},
      {login.serverName, false},
      {login.library, false},
      {login.language, false},
      {login.database, false},
  }};
  Bytes data;
  Bytes fixed;
  put_u32le(fixed, 0);  // patched below
  put_u32le(fixed, login.tdsVersion);
  put_u32le(fixed, login.packetSize);
  put_u32le(fixed, 0);
  put_u32le(fixed, 0);
  put_u32le(fixed, 0);
  put_u32le(fixed, 0xE0 | (0x03u << 8));  // flags: ODBC, init-db fatal, init-lang warn
  put_u32le(fixed, 0);
  put_u32le(fixed, 0x0409);
  size_t offset = kLogin7FixedSize;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i == 5) {  // the unused/extension slot comes before the library name
      put_u16le(fixed, 0);
      put_u16le(fixed, 0);
    }
    Bytes value =
        fields[i].second ? EncodePassword(fields[i].first) : Utf8ToUtf16le(fields[i].first);
    put_u16le(fixed, static_cast<uint16_t>(offset + data.size()));
    put_u16le(fixed, static_cast<uint16_t>(value.size() / 2));
    put_bytes(data, value);
  }
  for (int i = 0; i < 6; ++i) put_u8(fixed, 0);  // client id
  for (int i = 0; i < 3; ++i) {                  // SSPI, attach file, change password
    put_u16le(fixed, static_cast<uint16_t>(offset + data.size()));
    put_u16le(fixed, 0);
  }
  put_u32le(fixed, 0);  // cbSSPILong
  put_bytes(fixed, data);
  uint32_t total = static_cast<uint32_t>(fixed.size());
  for (int i = 0; i < 4; ++i) fixed[i] = static_cast<uint8_t>(total >> (8 * i));
  return fixed;
}

}  // namespace standin::tds
