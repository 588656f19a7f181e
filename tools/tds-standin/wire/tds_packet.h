// TDS packet framing: an 8-byte header in front of every piece of a message,
// the last piece marked end-of-message. The assembler takes whatever TCP
// delivers and hands back whole messages; the framer cuts replies into packets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "tds_buffer.h"

namespace standin::tds {

namespace packet {
constexpr uint8_t kSqlBatch = 0x01;
constexpr uint8_t kRpc = 0x03;
constexpr uint8_t kReply = 0x04;
constexpr uint8_t kAttention = 0x06;
constexpr uint8_t kBulkLoad = 0x07;
constexpr uint8_t kTransactionManager = 0x0E;
constexpr uint8_t kLogin7 = 0x10;
constexpr uint8_t kSspi = 0x11;
constexpr uint8_t kPrelogin = 0x12;

constexpr uint8_t kStatusEom = 0x01;
constexpr uint8_t kStatusIgnore = 0x02;  // the client abandons the message it was sending
constexpr uint8_t kStatusResetConnection = 0x08;
constexpr uint8_t kStatusResetSkipTran = 0x10;

constexpr size_t kHeaderSize = 8;
constexpr size_t kMinPacketSize = 512;
constexpr size_t kMaxPacketSize = 32767;
constexpr size_t kDefaultPacketSize = 4096;
}  // namespace packet

struct Message {
  uint8_t type = 0;
  uint8_t status = 0;  // status of the first packet: carries the reset flags
  Bytes payload;
};

const char* PacketTypeName(uint8_t type);

// Reassembles messages from a byte stream cut anywhere: a header split over
// two reads, a message over many packets. No socket here, so it can be fed
// hostile bytes in tests.
class MessageAssembler {
 public:
  explicit MessageAssembler(size_t maxMessageBytes = 64u << 20)
      : maxMessageBytes_(maxMessageBytes) {}

  void Feed(std::span<const uint8_t> data);
  // The next complete message, if one is buffered. Throws WireError on a
  // header that cannot be right. Messages the client flagged "ignore" are
  // dropped here.
  std::optional<Message> Next();
  // True while bytes of an unfinished message are buffered.
  bool HasPartial() const { return !buffer_.empty() || inMessage_; }
  // Messages of more bytes than this end the connection from now on.
  void SetLimit(size_t maxMessageBytes) { maxMessageBytes_ = maxMessageBytes; }
  // Hands back the bytes read past the last whole message and forgets them:
  // after a TLS handshake they are the first encrypted record, not packets.
  // Throws WireError when a message was left unfinished.
  Bytes TakeRest();

 private:
  size_t maxMessageBytes_;
  Bytes buffer_;
  bool inMessage_ = false;
  Message current_;
};

// Cuts a reply into packets of at most packetSize bytes (header included).
// endOfMessage false: the message goes on in later packets, so none of these
// carries EOM (a reply sent in parts, such as trickled rows).
Bytes FrameMessage(uint8_t type, std::span<const uint8_t> payload, size_t packetSize, uint16_t spid,
                   bool endOfMessage = true);

}  // namespace standin::tds
