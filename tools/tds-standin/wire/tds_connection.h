// One client connection from PRELOGIN to logout: reads requests, hands them
// to an engine Session and writes the answers as token streams. Faults in
// the client's bytes end this connection only. The members are defined by
// job: dispatch and socket I/O (tds_connection.cpp), login, batches and
// results, RPC calls, server cursors, transaction-manager requests, fault
// injection and trickled rows (tds_connection_<job>.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine.h"
#include "tds_buffer.h"
#include "tds_log.h"
#include "tds_packet.h"
#include "tds_request.h"
#include "tds_server.h"
#include "tds_tls.h"
#include "tds_tokens.h"

namespace standin::tds {

class Connection {
 public:
  // newSession is called once, after a successful login.
  Connection(int fd, uint16_t spid, const ServerOptions& options, EventLog& log,
             std::function<std::unique_ptr<Session>()> newSession);
  // Serves until the client leaves, a fault ends the connection, or the fd
  // is shut down from outside. Never throws; the fd is left to the caller.
  void Run();

 private:
  struct Prepared {
    std::string sql;
    std::vector<std::string> paramNames;
  };
  // A static server cursor: the rows are fixed when it opens, and fetches
  // walk them by position.
  struct Cursor {
    std::vector<WireColumn> columns;
    std::vector<std::vector<Value>> rows;
    int64_t first = 0;  // 1-based first row of the last fetch, 0 before any
    int64_t count = 0;  // rows that fetch returned
  };
  struct OutputValue {
    uint16_t ordinal;
    std::string name;
    int32_t value;
  };
  enum class Stage { Prelogin, Login, LoggedIn };
  // The client closed its end, or the socket failed under us.
  class ClientGone : public std::runtime_error {
   public:
    using std::runtime_error::runtime_error;
  };

  void Serve();
  std::optional<Message> Read();
  bool ReadMore();

  // Fault injection. --hang-login: reads and discards until the client gives
  // up. --drop-after: true once the connection should close after this
  // request. --delay-ms: waits before a reply; true when the client cancelled
  // meanwhile.
  void HangLogin();
  bool DropAfterRequest();
  bool DelayReply();
  // Waits ms milliseconds while reading what the client sends; true when it
  // cancelled meanwhile, ClientGone when it left.
  bool WaitWatchingForAttention(int ms);
  // Polled by the session while it waits for a lock: reads what the client
  // sent meanwhile without blocking; true once it cancelled or went away.
  bool AttentionArrived();

  void Send(const Bytes& payload);
  // --trickle-ms: sends the reply cut after each row (rowEnds), one part per
  // interval; a cancel between rows ends the reply there.
  void SendTrickled(const Bytes& payload, const std::vector<size_t>& rowEnds);
  void Reply(const Bytes& payload);
  // Bytes exactly as given, past TLS.
  void SendRaw(const Bytes& bytes);
  // Waits until the socket has bytes; before login only until the login
  // deadline, after which the connection ends.
  void AwaitBytes();

  bool HandlePrelogin(const Message& m);
  // The TLS handshake inside PRELOGIN messages; afterwards every byte on the
  // socket is a TLS record.
  void StartTls();
  bool HandleLogin(const Message& m);
  void HandleBatch(const Message& m);
  void HandleRpc(const Message& m);
  void HandleTransactionManager(const Message& m);
  void HandleAttention();

  // Appends one engine batch's tokens. In an RPC every DONE becomes DONEINPROC
  // and the caller closes with DONEPROC.
  void AppendBatch(Bytes& out, const BatchOutput& batch, bool inRpc, bool& anyError);
  void AppendError(Bytes& out, const ServerMessage& msg);
  // WriteRow, noting where the row ends for --trickle-ms.
  void AppendRow(Bytes& out, const std::vector<WireColumn>& columns, const std::vector<Value>& row);
  // Appends the tokens of one RPC call; `last` decides the final DONEPROC's MORE bit.
  void AppendRpcCall(Bytes& out, const RpcCall& call, bool last);
  // sp_prepare's answer: the column metadata of a prepared SELECT.
  void AppendPreparedColumns(Bytes& out, const Prepared& p);
  // sp_cursoropen/fetch/close; false when `name` is not a cursor call.
  bool AppendCursorCall(Bytes& out, const std::string& name, const RpcCall& call, bool& anyError,
                        std::vector<OutputValue>& outputs);
  void AppendCursorOpen(Bytes& out, const RpcCall& call, bool& anyError,
                        std::vector<OutputValue>& outputs);
  void AppendCursorFetch(Bytes& out, const RpcCall& call, bool& anyError);
  // Error 16916 for a handle that names no open cursor.
  void AppendNoCursor(Bytes& out, int64_t id, bool& anyError);
  BatchOutput Execute(const std::string& sql, const std::vector<Param>& params);
  Bytes Descriptor() const;

  int fd_;
  uint16_t spid_;
  std::chrono::steady_clock::time_point loginDeadline_;
  std::unique_ptr<TlsSession> tls_;  // set once the handshake is done
  const ServerOptions& options_;
  EventLog& log_;
  std::function<std::unique_ptr<Session>()> newSession_;
  std::unique_ptr<Session> session_;
  MessageAssembler assembler_;
  std::deque<Message> pending_;
  Stage stage_ = Stage::Prelogin;
  std::string user_;
  size_t packetSize_ = packet::kDefaultPacketSize;
  uint32_t tdsVersion_ = 0;
  int requests_ = 0;
  bool dropNow_ = false;
  bool attention_ = false;       // the request being served was cancelled
  bool clientGone_ = false;      // the client went away while a request ran
  std::vector<size_t> rowEnds_;  // --trickle-ms: where each row of the reply being built ends
  std::map<int32_t, Prepared> prepared_;
  int32_t nextHandle_ = 1;
  std::map<int32_t, Cursor> cursors_;
  int32_t nextCursor_ = 180150001;
  uint64_t transactionId_ = 0;
  ServerInfo serverInfo_;
};

}  // namespace standin::tds
