// TDS framing and the PRELOGIN messages the TLS relay exchanges: the one it
// sends the server, the reading of the server's answer, and the answer it gives
// FreeTDS on the loopback side. Everything read from the wire goes through
// bounds-checked parsing; nothing here touches a socket.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace cardsync::db::tds {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kHeaderSize = 8;
constexpr std::uint8_t kTypePrelogin = 0x12;  // also carries the TLS handshake in TDS 7.x
constexpr std::uint8_t kTypeReply = 0x04;
constexpr std::uint8_t kStatusEndOfMessage = 0x01;
// FreeTDS and SQL Server keep handshake packets within 4096 bytes.
constexpr std::size_t kHandshakePacketSize = 4096;

// B_FENCRYPTION of a PRELOGIN message.
enum class Encryption : std::uint8_t {
  Off = 0x00,
  On = 0x01,
  NotSupported = 0x02,
  Required = 0x03
};

struct PacketHeader {
  std::uint8_t type = 0;
  std::uint8_t status = 0;
  std::size_t length = 0;  // the whole packet, header included
};
// Reads an 8-byte header; nothing when its length cannot hold a header.
std::optional<PacketHeader> ReadHeader(std::span<const std::uint8_t, kHeaderSize> bytes);

// `payload` as packets of `type` of at most `packetSize` bytes, the last one
// ending the message.
Bytes Frame(std::uint8_t type, std::span<const std::uint8_t> payload, std::size_t packetSize);

// What the relay asks the server: VERSION, ENCRYPTION = `asked`, INSTOPT (empty:
// whichever instance listens on the port), TERMINATOR.
Bytes PreloginRequest(Encryption asked);

struct PreloginAnswer {
  std::optional<std::uint8_t> encryption;  // the raw byte; nothing when absent
  std::array<std::uint8_t, 6> version{};   // the server's VERSION option data
};
// Reads the options of a PRELOGIN payload; nothing when an option points outside
// it or the terminator is missing.
std::optional<PreloginAnswer> ParsePrelogin(std::span<const std::uint8_t> payload);

// The answer FreeTDS gets from the relay: the server's version, encryption not
// supported (the relay encrypts; FreeTDS must not), no MARS.
Bytes PreloginReplyForDriver(const PreloginAnswer& server);

}  // namespace cardsync::db::tds
