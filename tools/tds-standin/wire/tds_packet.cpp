// Packet header checks and reassembly. The header's length field is the one
// length a client cannot avoid sending, so it is checked before anything else.
#include "tds_packet.h"

#include <algorithm>

namespace standin::tds {

const char* PacketTypeName(uint8_t type) {
  switch (type) {
    case packet::kSqlBatch:
      return "SQL batch";
    case packet::kRpc:
      return "RPC";
    case packet::kReply:
      return "reply";
    case packet::kAttention:
      return "attention";
    case packet::kBulkLoad:
      return "bulk load";
    case packet::kTransactionManager:
      return "transaction manager";
    case packet::kLogin7:
      return "LOGIN7";
    case packet::kSspi:
      return "SSPI";
    case packet::kPrelogin:
      return "PRELOGIN";
    default:
      return "unknown";
  }
}

void MessageAssembler::Feed(std::span<const uint8_t> data) {
  buffer_.insert(buffer_.end(), data.begin(), data.end());
}

std::optional<Message> MessageAssembler::Next() {
  for (;;) {
    if (buffer_.size() < packet::kHeaderSize) return std::nullopt;
    ByteReader header(std::span<const uint8_t>(buffer_.data(), packet::kHeaderSize));
    uint8_t type = header.u8();
    uint8_t status = header.u8();
    uint16_t length = header.u16be();
    if (length < packet::kHeaderSize) {
      throw WireError("packet length " + std::to_string(length) + " is shorter than its header");
    }
    if (length > packet::kMaxPacketSize + 1) {
      throw WireError("packet length " + std::to_string(length) +
                      " exceeds the largest packet size");
    }
    if (buffer_.size() < length) return std::nullopt;

    if (!inMessage_) {
      current_ = Message{type, status, {}};
      inMessage_ = true;
    } else if (type != current_.type) {
      throw WireError(std::string("a ") + PacketTypeName(type) + " packet arrived inside a " +
                      PacketTypeName(current_.type) + " message");
    }
    if (current_.payload.size() + (length - packet::kHeaderSize) > maxMessageBytes_) {
      throw WireError("message larger than " + std::to_string(maxMessageBytes_) + " bytes");
    }
    current_.payload.insert(current_.payload.end(), buffer_.begin() + packet::kHeaderSize,
                            buffer_.begin() + length);
    buffer_.erase(buffer_.begin(), buffer_.begin() + length);

    if (status & packet::kStatusEom) {
      inMessage_ = false;
      if (status & packet::kStatusIgnore) continue;
      return std::move(current_);
    }
  }
}

Bytes MessageAssembler::TakeRest() {
  if (inMessage_)
    throw WireError(std::string("a ") + PacketTypeName(current_.type) +
                    " message was left unfinished");
  Bytes rest;
  rest.swap(buffer_);
  return rest;
}

Bytes FrameMessage(uint8_t type, std::span<const uint8_t> payload, size_t packetSize, uint16_t spid,
                   bool endOfMessage) {
  packetSize = std::clamp(packetSize, packet::kMinPacketSize, packet::kMaxPacketSize);
  const size_t chunk = packetSize - packet::kHeaderSize;
  Bytes out;
  out.reserve(payload.size() + (payload.size() / chunk + 1) * packet::kHeaderSize);
  uint8_t packetId = 1;
  size_t pos = 0;
  do {
    size_t n = std::min(chunk, payload.size() - pos);
    bool last = endOfMessage && pos + n == payload.size();
    put_u8(out, type);
    put_u8(out, last ? packet::kStatusEom : 0);
    put_u16be(out, static_cast<uint16_t>(n + packet::kHeaderSize));
    put_u16be(out, spid);
    put_u8(out, packetId++);
    put_u8(out, 0);
    put_bytes(out, payload.subspan(pos, n));
    pos += n;
  } while (pos < payload.size());
  return out;
}

}  // namespace standin::tds
