// The two messages that open a connection: PRELOGIN (version and encryption
// handshake) and LOGIN7 (credentials, database, packet size).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tds_buffer.h"

namespace standin::tds {

namespace encrypt {
constexpr uint8_t kOff = 0x00;
constexpr uint8_t kOn = 0x01;
constexpr uint8_t kNotSupported = 0x02;
constexpr uint8_t kRequired = 0x03;
}  // namespace encrypt

struct PreloginRequest {
  uint8_t encryption = encrypt::kOff;
};

PreloginRequest ParsePrelogin(std::span<const uint8_t> payload);
// The answer, carrying the server's encryption choice.
Bytes BuildPreloginResponse(uint8_t encryption = encrypt::kNotSupported);

struct Login7 {
  uint32_t tdsVersion = 0;  // as sent: 0x74000004 is TDS 7.4
  uint32_t packetSize = 0;
  std::string hostName;
  std::string userName;
  std::string password;
  std::string appName;
  std::string serverName;
  std::string library;
  std::string language;
  std::string database;
};

Login7 ParseLogin7(std::span<const uint8_t> payload);

// Passwords travel with each byte's nibbles swapped and XORed with 0xA5.
std::string DecodePassword(std::span<const uint8_t> obfuscated);
Bytes EncodePassword(std::string_view utf8);

// Builds a LOGIN7 payload; tests use it to talk to the server without a driver.
Bytes BuildLogin7(const Login7& login);

}  // namespace standin::tds
