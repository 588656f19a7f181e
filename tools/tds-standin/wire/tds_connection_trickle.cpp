// --trickle-ms: a server that hands out a result's rows slowly, one packet
// each, as a busy SQL Server streams a large result. Clients must read rows as
// they come and may cancel or hang up between two of them.
#include "tds_connection.h"

namespace standin::tds {

void Connection::AppendRow(Bytes& out, const std::vector<WireColumn>& columns,
                           const std::vector<Value>& row) {
  WriteRow(out, columns, row);
  if (options_.trickleMs > 0) rowEnds_.push_back(out.size());
}

void Connection::SendTrickled(const Bytes& payload, const std::vector<size_t>& rowEnds) {
  const std::span<const uint8_t> all(payload);
  auto sendPart = [&](size_t from, size_t to, bool last) {
    Bytes frame =
        FrameMessage(packet::kReply, all.subspan(from, to - from), packetSize_, spid_, last);
    if (tls_) {
      tls_->Write(frame);
      frame = tls_->TakeOutput();
    }
    SendRaw(frame);
  };
  // The first row goes out with the column metadata at once; each later one
  // waits its turn. The tokens after the last row close the message.
  size_t sent = 0;
  for (size_t end : rowEnds) {
    if (end <= sent || end > payload.size()) continue;
    if (sent != 0 && WaitWatchingForAttention(options_.trickleMs)) {
      log_.Write("attention", "request cancelled while its rows trickled");
      // What was sent stays sent; this DONE ends the message and tells the
      // client its cancel was seen.
      Bytes done;
      WriteDone(done, token::kDone, done::kAttention, 0, 0);
      Send(done);
      return;
    }
    sendPart(sent, end, false);
    sent = end;
  }
  sendPart(sent, payload.size(), true);
}

}  // namespace standin::tds
