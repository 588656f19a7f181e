// PRELOGIN messages and TDS packet framing for the TLS relay. Option tokens are
// five bytes (token, big-endian offset and length from the payload's start),
// ended by 0xFF; their data follows them.
#include "db/tls_prelogin.h"

#include <algorithm>

namespace cardsync::db::tds {
namespace {

constexpr std::uint8_t kOptionVersion = 0x00;
constexpr std::uint8_t kOptionEncryption = 0x01;
constexpr std::uint8_t kOptionInstance = 0x02;
constexpr std::uint8_t kOptionMars = 0x04;
constexpr std::uint8_t kOptionTerminator = 0xFF;
constexpr std::size_t kOptionTokenSize = 5;
// The relay's own version in its PRELOGIN: the server reads it only for logging.
constexpr std::array<std::uint8_t, 6> kClientVersion = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

void PutU16Be(Bytes& out, std::size_t value) {
  out.push_back(std::uint8_t(value >> 8));
  out.push_back(std::uint8_t(value));
}

std::size_t GetU16Be(const std::uint8_t* at) { return std::size_t(at[0]) << 8 | at[1]; }

struct Option {
  std::uint8_t token;
  Bytes data;
};

Bytes BuildOptions(const std::vector<Option>& options) {
  Bytes out;
  std::size_t offset = options.size() * kOptionTokenSize + 1;
  for (const Option& option : options) {
    out.push_back(option.token);
    PutU16Be(out, offset);
    PutU16Be(out, option.data.size());
    offset += option.data.size();
  }
  out.push_back(kOptionTerminator);
  for (const Option& option : options)
    out.insert(out.end(), option.data.begin(), option.data.end());
  return out;
}

}  // namespace

std::optional<PacketHeader> ReadHeader(std::span<const std::uint8_t, kHeaderSize> bytes) {
  PacketHeader header{bytes[0], bytes[1], GetU16Be(&bytes[2])};
  if (header.length < kHeaderSize) return std::nullopt;
  return header;
}

Bytes Frame(std::uint8_t type, std::span<const std::uint8_t> payload, std::size_t packetSize) {
  const std::size_t room = packetSize - kHeaderSize;
  Bytes out;
  std::uint8_t packetId = 1;
  std::size_t at = 0;
  do {
    const std::size_t size = std::min(room, payload.size() - at);
    const bool last = at + size == payload.size();
    out.push_back(type);
    out.push_back(last ? kStatusEndOfMessage : 0);
    PutU16Be(out, size + kHeaderSize);
    out.insert(out.end(), {0x00, 0x00, packetId++, 0x00});
    out.insert(out.end(), payload.begin() + std::ptrdiff_t(at),
               payload.begin() + std::ptrdiff_t(at + size));
    at += size;
  } while (at < payload.size());
  return out;
}

Bytes PreloginRequest(Encryption asked) {
  return BuildOptions({{kOptionVersion, Bytes(kClientVersion.begin(), kClientVersion.end())},
                       {kOptionEncryption, {std::uint8_t(asked)}},
                       {kOptionInstance, {0x00}}});
}

std::optional<PreloginAnswer> ParsePrelogin(std::span<const std::uint8_t> payload) {
  PreloginAnswer answer;
  for (std::size_t at = 0;; at += kOptionTokenSize) {
    if (at >= payload.size()) return std::nullopt;  // no terminator
    const std::uint8_t token = payload[at];
    if (token == kOptionTerminator) return answer;
    if (at + kOptionTokenSize > payload.size()) return std::nullopt;
    const std::size_t offset = GetU16Be(&payload[at + 1]);
    const std::size_t length = GetU16Be(&payload[at + 3]);
    if (offset > payload.size() || length > payload.size() - offset) return std::nullopt;
    if (token == kOptionEncryption && length >= 1) answer.encryption = payload[offset];
    if (token == kOptionVersion && length >= answer.version.size()) {
      std::copy_n(payload.begin() + std::ptrdiff_t(offset), answer.version.size(),
                  answer.version.begin());
    }
  }
}

Bytes PreloginReplyForDriver(const PreloginAnswer& server) {
  return BuildOptions({{kOptionVersion, Bytes(server.version.begin(), server.version.end())},
                       {kOptionEncryption, {std::uint8_t(Encryption::NotSupported)}},
                       {kOptionInstance, {0x00}},
                       {kOptionMars, {0x00}}});
}

}  // namespace cardsync::db::tds
