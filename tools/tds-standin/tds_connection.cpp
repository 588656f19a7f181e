// Request dispatch for one client. The order of tokens follows what SQL
// Server sends, because drivers key their state machines on it: results,
// then DONE per statement with MORE on all but the last; procedure calls
// end with RETURNSTATUS, any RETURNVALUEs, then DONEPROC.
#include "tds_connection.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "tds_login.h"

namespace standin::tds {

namespace {

constexpr uint32_t kTds72 = 0x72000000;
constexpr uint32_t kTds74 = 0x74000004;
constexpr uint16_t kCurCmdSelect = 0xC1;

// The client closed its end, or the socket failed under us.
class ClientGone : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

std::string ToLower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

ServerMessage MakeMessage(int number, int state, int severity, std::string text) {
  ServerMessage m;
  m.number = number;
  m.state = state;
  m.severity = severity;
  m.text = std::move(text);
  return m;
}

bool IsText(const RpcParam& p) {
  switch (p.param.type) {
    case SqlType::Char: case SqlType::VarChar: case SqlType::NChar: case SqlType::NVarChar: return true;
    default: return false;
  }
}

// Values of an RPC call from `first` on, named from the declaration when
// the client sent them by position.
std::vector<Param> Bind(const std::vector<RpcParam>& params, size_t first, const std::vector<std::string>& names) {
  std::vector<Param> out;
  for (size_t k = first; k < params.size(); ++k) {
    Param p = params[k].param;
    size_t position = k - first;
    if (p.name.empty()) p.name = position < names.size() ? names[position] : "@P" + std::to_string(position + 1);
    out.push_back(std::move(p));
  }
  return out;
}

// True for a statement that only reads: a SELECT, possibly in parentheses.
bool IsQuery(std::string_view sql) {
  size_t i = sql.find_first_not_of(" \t\r\n(");
  if (i == std::string_view::npos || sql.size() - i < 6) return false;
  return EqualsIgnoreCase(sql.substr(i, 6), "select") &&
         (sql.size() == i + 6 || !std::isalnum(static_cast<unsigned char>(sql[i + 6])));
}

std::string DescribeCall(const RpcCall& call) {
  std::string text = call.procName;
  for (size_t k = 0; k < call.params.size(); ++k) {
    const RpcParam& p = call.params[k];
    text += k == 0 ? " " : ", ";
    text += p.name.empty() ? "#" + std::to_string(k + 1) : p.name;
    text += "=" + ParamLiteral(p.param);
    if (p.output) text += " OUTPUT";
  }
  return text;
}

}  // namespace

Connection::Connection(int fd, uint16_t spid, const ServerOptions& options, EventLog& log,
                       std::function<std::unique_ptr<Session>()> newSession)
    : fd_(fd), spid_(spid), options_(options), log_(log), newSession_(std::move(newSession)) {}

void Connection::Run() {
  try {
    Serve();
  } catch (const WireError& e) {
    log_.Write("wire", std::string("closing connection: ") + e.what());
  } catch (const ClientGone&) {
  } catch (const std::exception& e) {
    log_.Write("wire", std::string("closing connection after an internal error: ") + e.what());
  }
  if (stage_ == Stage::LoggedIn) log_.Write("logout", "user=" + user_);
  session_.reset();  // rolls back what the client left open
  ::shutdown(fd_, SHUT_RDWR);
}

void Connection::Serve() {
  if (options_.hangLogin) {
    log_.Write("login", "hang: connection accepted, never answered");
    char buf[4096];
    while (::recv(fd_, buf, sizeof buf, 0) > 0) {
    }
    return;
  }
  for (;;) {
    std::optional<tds::Message> m = Read();
    if (!m) return;
    bool counted = false;
    switch (stage_) {
      case Stage::Prelogin:
        if (m->type == packet::kPrelogin) {
          if (!HandlePrelogin(*m)) return;
          stage_ = Stage::Login;
          continue;
        }
        [[fallthrough]];  // a client may skip PRELOGIN
      case Stage::Login:
        if (m->type != packet::kLogin7) {
          throw WireError(std::string("expected LOGIN7, got a ") + PacketTypeName(m->type) + " message");
        }
        if (!HandleLogin(*m)) return;
        stage_ = Stage::LoggedIn;
        continue;
      case Stage::LoggedIn:
        switch (m->type) {
          case packet::kSqlBatch: HandleBatch(*m); counted = true; break;
          case packet::kRpc: HandleRpc(*m); counted = true; break;
          case packet::kTransactionManager: HandleTransactionManager(*m); counted = true; break;
          case packet::kAttention: HandleAttention(); break;
          default:
            throw WireError(std::string("unsupported ") + PacketTypeName(m->type) + " message (type " +
                            std::to_string(m->type) + ")");
        }
        break;
    }
    if (counted && options_.dropAfter > 0 && ++requests_ >= options_.dropAfter) {
      log_.Write("drop", "closing connection after request " + std::to_string(requests_));
      return;
    }
  }
}

bool Connection::ReadMore() {
  uint8_t buf[16384];
  for (;;) {
    ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n > 0) {
      assembler_.Feed(std::span<const uint8_t>(buf, size_t(n)));
      return true;
    }
    if (n == 0) return false;
    if (errno == EINTR) continue;
    throw ClientGone(std::strerror(errno));
  }
}

std::optional<Message> Connection::Read() {
  if (!pending_.empty()) {
    Message m = std::move(pending_.front());
    pending_.pop_front();
    return m;
  }
  for (;;) {
    if (auto m = assembler_.Next()) return m;
    if (!ReadMore()) {
      if (assembler_.HasPartial()) throw WireError("client disconnected in the middle of a message");
      return std::nullopt;
    }
  }
}

bool Connection::DelayReply() {
  if (options_.delayMs <= 0) return false;
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(options_.delayMs);
  bool cancelled = false;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return cancelled;
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno != EINTR) throw ClientGone(std::strerror(errno));
    if (r <= 0) continue;
    // Whatever arrives meanwhile is kept for later, except a cancel, which
    // replaces the reply that was due.
    if (!ReadMore()) throw ClientGone("client disconnected while a reply was delayed");
    while (auto m = assembler_.Next()) {
      if (m->type == packet::kAttention) {
        cancelled = true;
      } else {
        pending_.push_back(std::move(*m));
      }
    }
    if (cancelled) return true;
  }
}

void Connection::Send(const Bytes& payload) {
  Bytes frame = FrameMessage(packet::kReply, payload, packetSize_, spid_);
  size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      throw ClientGone(std::strerror(errno));
    }
    sent += size_t(n);
  }
}

void Connection::Reply(const Bytes& payload) {
  if (DelayReply()) {
    log_.Write("attention", "request cancelled before its reply");
    Bytes done;
    WriteDone(done, token::kDone, done::kAttention, 0, 0);
    Send(done);
    return;
  }
  Send(payload);
}

bool Connection::HandlePrelogin(const Message& m) {
  PreloginRequest request = ParsePrelogin(m.payload);
  Reply(BuildPreloginResponse());
  if (request.encryption == encrypt::kOn || request.encryption == encrypt::kRequired) {
    // The answer says encryption is not supported; a client that insists
    // gives up on its own, and closing makes sure it does not wait.
    log_.Write("login", "refused: the client requires encryption, which this server does not support");
    return false;
  }
  return true;
}

bool Connection::HandleLogin(const Message& m) {
  Login7 login = ParseLogin7(m.payload);
  Bytes reply;
  auto refuse = [&](std::vector<ServerMessage> errors, const std::string& why) {
    for (const auto& e : errors) AppendError(reply, e);
    WriteDone(reply, token::kDone, done::kError, 0, 0);
    log_.Write("login", "user=" + login.userName + " failed: " + why);
    Reply(reply);
    return false;
  };
  const ServerMessage loginFailed = MakeMessage(18456, 1, 14, "Login failed for user '" + login.userName + "'.");
  if (login.tdsVersion < kTds72) {
    return refuse({MakeMessage(4002, 1, 16, "This server speaks TDS 7.2 to 7.4 only."), loginFailed},
                  "TDS version too old");
  }
  tdsVersion_ = std::min(login.tdsVersion, kTds74);
  if (login.packetSize >= packet::kMinPacketSize && login.packetSize <= packet::kMaxPacketSize) {
    packetSize_ = login.packetSize;
  }
  if (!EqualsIgnoreCase(login.userName, options_.user) || login.password != options_.password) {
    return refuse({loginFailed}, "wrong user name or password");
  }
  const std::string database = login.database.empty() ? options_.database : login.database;
  if (!EqualsIgnoreCase(database, options_.database)) {
    return refuse({MakeMessage(4060, 1, 11,
                           "Cannot open database \"" + database + "\" requested by the login. The login failed."),
                   loginFailed},
                  "unknown database " + database);
  }
  session_ = newSession_();
  user_ = login.userName;

  ServerMessage changedDb = MakeMessage(5701, 2, 0, "Changed database context to '" + options_.database + "'.");
  ServerMessage changedLanguage = MakeMessage(5703, 1, 0, "Changed language setting to us_english.");
  WriteEnvChange(reply, envchange::kDatabase, options_.database, "master");
  WriteMessage(reply, false, changedDb, serverInfo_);
  WriteEnvChangeBytes(reply, envchange::kCollation, std::span<const uint8_t>(kCollation, 5), {});
  WriteEnvChange(reply, envchange::kLanguage, "us_english", "");
  WriteMessage(reply, false, changedLanguage, serverInfo_);
  WriteLoginAck(reply, tdsVersion_);
  WriteEnvChange(reply, envchange::kPacketSize, std::to_string(packetSize_), std::to_string(packetSize_));
  WriteDone(reply, token::kDone, done::kFinal, 0, 0);
  Reply(reply);
  log_.Write("login", "user=" + login.userName + " ok database=" + options_.database);
  return true;
}

BatchOutput Connection::Execute(const std::string& sql, const std::vector<Param>& params) {
  try {
    return session_->Execute(sql, params);
  } catch (const std::exception& e) {
    BatchOutput out;
    StatementOutput s;
    s.error = MakeMessage(50000, 1, 16, std::string("Internal error in the stand-in engine: ") + e.what());
    out.statements.push_back(std::move(s));
    return out;
  }
}

void Connection::AppendError(Bytes& out, const ServerMessage& msg) {
  WriteMessage(out, true, msg, serverInfo_);
  log_.Write("error", std::to_string(msg.number) + " " + msg.text);
}

void Connection::AppendBatch(Bytes& out, const BatchOutput& batch, bool inRpc, bool& anyError) {
  size_t lastDone = std::string::npos;
  for (const auto& s : batch.statements) {
    if (!s.columns.empty()) {
      std::vector<WireColumn> columns = DescribeColumns(s.columns, s.rows);
      WriteColMetadata(out, columns);
      for (const auto& row : s.rows) WriteRow(out, columns, row);
    }
    for (const auto& info : s.infos) WriteMessage(out, false, info, serverInfo_);
    if (s.error) {
      AppendError(out, *s.error);
      anyError = true;
    }
    uint8_t kind = (inRpc || (batch.procName && s.inProc)) ? token::kDoneInProc : token::kDone;
    uint16_t status = done::kMore | (s.rowCount ? done::kCount : 0) | (s.error ? done::kError : 0);
    lastDone = out.size();
    WriteDone(out, kind, status, s.columns.empty() ? 0 : kCurCmdSelect,
              static_cast<uint64_t>(std::max<int64_t>(s.rowCount.value_or(0), 0)));
  }
  if (inRpc) return;
  if (batch.procName) {
    WriteReturnStatus(out, batch.returnStatus);
    WriteDone(out, token::kDoneProc, anyError ? done::kError : done::kFinal, 0, 0);
  } else if (lastDone == std::string::npos) {
    WriteDone(out, token::kDone, done::kFinal, 0, 0);
  } else {
    out[lastDone + 1] &= static_cast<uint8_t>(~done::kMore);  // low byte of the status
  }
}

void Connection::HandleBatch(const Message& m) {
  std::string sql = ParseSqlBatch(m.payload);
  log_.Write("batch", sql);
  BatchOutput batch = Execute(sql, {});
  Bytes reply;
  bool anyError = false;
  AppendBatch(reply, batch, false, anyError);
  Reply(reply);
}

void Connection::AppendRpcCall(Bytes& out, const RpcCall& call, bool last) {
  log_.Write("rpc", DescribeCall(call));
  const std::string name = ToLower(call.procName);
  const auto& params = call.params;
  bool anyError = false;
  int32_t returnStatus = 0;
  std::vector<OutputValue> outputs;

  auto missing = [&](const char* param) {
    AppendError(out, MakeMessage(201, 4, 16,
                             "Procedure or function '" + call.procName + "' expects parameter '" + param +
                                 "', which was not supplied."));
    anyError = true;
  };
  auto run = [&](const std::string& sql, std::vector<Param> values) {
    BatchOutput batch = Execute(sql, values);
    AppendBatch(out, batch, true, anyError);
    if (batch.procName) returnStatus = batch.returnStatus;
  };
  auto prepare = [&](size_t declAt, size_t stmtAt) {
    int32_t handle = nextHandle_++;
    Prepared p;
    p.sql = params[stmtAt].param.value.s;
    if (IsText(params[declAt])) p.paramNames = DeclaredParamNames(params[declAt].param.value.s);
    prepared_[handle] = p;
    outputs.push_back({0, params[0].name, handle});
    return p;
  };

  if (name == "sp_executesql") {
    if (params.empty() || !IsText(params[0])) {
      missing("@statement");
    } else {
      bool declared = params.size() > 1 && IsText(params[1]) && (params[1].name.empty() ||
                                                                 EqualsIgnoreCase(params[1].name, "@params"));
      std::vector<std::string> names = declared ? DeclaredParamNames(params[1].param.value.s)
                                                : std::vector<std::string>{};
      run(params[0].param.value.s, Bind(params, declared ? 2 : 1, names));
    }
  } else if (name == "sp_prepare") {
    if (params.size() < 3) {
      missing("@stmt");
    } else {
      Prepared p = prepare(1, 2);
      // Drivers learn a prepared query's columns from sp_prepare's answer.
      // A SELECT run with NULL parameters yields them without side effects;
      // other statements are not run before their execute.
      if (IsQuery(p.sql)) {
        std::vector<Param> nulls;
        for (const auto& n : p.paramNames) nulls.push_back(Param{n, SqlType::NVarChar, Value{}});
        BatchOutput probe = Execute(p.sql, nulls);
        for (const auto& st : probe.statements) {
          if (!st.columns.empty() && !st.error) {
            WriteColMetadata(out, DescribeColumns(st.columns, {}));
            break;
          }
        }
      }
    }
  } else if (name == "sp_prepexec") {
    if (params.size() < 3) {
      missing("@stmt");
    } else {
      Prepared p = prepare(1, 2);
      run(p.sql, Bind(params, 3, p.paramNames));
    }
  } else if (name == "sp_execute" || name == "sp_unprepare") {
    if (params.empty()) {
      missing("@handle");
    } else {
      auto handle = static_cast<int32_t>(params[0].param.value.i);
      auto it = prepared_.find(handle);
      if (it == prepared_.end()) {
        AppendError(out, MakeMessage(8179, 4, 16,
                                 "Could not find prepared statement with handle " + std::to_string(handle) + "."));
        anyError = true;
      } else if (name == "sp_unprepare") {
        prepared_.erase(it);
      } else {
        Prepared p = it->second;
        run(p.sql, Bind(params, 1, p.paramNames));
      }
    }
  } else if (AppendCursorCall(out, name, call, anyError, outputs)) {
  } else if (name.starts_with("sp_cursor")) {
    AppendError(out, MakeMessage(8009, 1, 16, "Server cursors (" + call.procName + ") are not supported."));
    anyError = true;
  } else {
    // Any other name is a procedure of the database, called with its
    // parameters by name.
    run("EXEC " + call.procName, Bind(params, 0, {}));
  }

  WriteReturnStatus(out, anyError && returnStatus == 0 ? -6 : returnStatus);
  for (const auto& o : outputs) WriteReturnValueInt(out, o.ordinal, o.name, o.value);
  WriteDone(out, token::kDoneProc, (last ? done::kFinal : done::kMore) | (anyError ? done::kError : 0), 0, 0);
}

bool Connection::AppendCursorCall(Bytes& out, const std::string& name, const RpcCall& call, bool& anyError,
                                  std::vector<OutputValue>& outputs) {
  constexpr int32_t kParameterized = 0x1000;
  constexpr int32_t kFetchFirst = 0x01, kFetchNext = 0x02, kFetchPrev = 0x04, kFetchLast = 0x08,
                    kFetchAbsolute = 0x10, kFetchRelative = 0x20;
  const auto& params = call.params;
  auto intParam = [&](size_t k, int64_t fallback) {
    return k < params.size() && !params[k].param.value.null ? params[k].param.value.i : fallback;
  };
  auto output = [&](size_t k, int64_t value) {
    if (k < params.size() && params[k].output) {
      outputs.push_back({static_cast<uint16_t>(k), params[k].name, static_cast<int32_t>(value)});
    }
  };
  auto noCursor = [&](int64_t id) {
    AppendError(out, MakeMessage(16916, 1, 16, "A cursor with the handle " + std::to_string(id) + " does not exist."));
    anyError = true;
  };

  if (name == "sp_cursoropen") {
    if (params.size() < 2 || !IsText(params[1])) {
      AppendError(out, MakeMessage(201, 4, 16, "Procedure or function 'sp_cursoropen' expects parameter '@stmt', "
                                               "which was not supplied."));
      anyError = true;
      return true;
    }
    const int64_t scrollOpt = intParam(2, 0);
    std::vector<std::string> names;
    size_t first = params.size();
    if ((scrollOpt & kParameterized) && params.size() > 5 && IsText(params[5])) {
      names = DeclaredParamNames(params[5].param.value.s);
      first = 6;
    }
    BatchOutput batch = Execute(params[1].param.value.s, Bind(params, first, names));
    auto withRows = std::find_if(batch.statements.begin(), batch.statements.end(),
                                 [](const StatementOutput& st) { return !st.columns.empty() && !st.error; });
    int32_t id = 0;
    int64_t rowCount = -1;
    if (withRows == batch.statements.end()) {
      // Nothing to scroll: the statement ran directly, as SQL Server does.
      AppendBatch(out, batch, true, anyError);
    } else {
      for (const auto& st : batch.statements) {
        for (const auto& info : st.infos) WriteMessage(out, false, info, serverInfo_);
        if (st.error) {
          AppendError(out, *st.error);
          anyError = true;
        }
      }
      Cursor c;
      c.columns = DescribeColumns(withRows->columns, withRows->rows);
      c.rows = std::move(withRows->rows);
      rowCount = static_cast<int64_t>(c.rows.size());
      WriteColMetadata(out, c.columns);
      WriteDone(out, token::kDoneInProc, done::kMore, kCurCmdSelect, 0);
      id = nextCursor_++;
      cursors_[id] = std::move(c);
    }
    output(0, id);
    output(2, scrollOpt & ~kParameterized);
    output(3, intParam(3, 0));
    output(4, rowCount);
    return true;
  }
  if (name == "sp_cursorfetch") {
    int64_t id = intParam(0, 0);
    auto it = cursors_.find(static_cast<int32_t>(id));
    if (it == cursors_.end()) {
      noCursor(id);
      return true;
    }
    Cursor& c = it->second;
    const int64_t total = static_cast<int64_t>(c.rows.size());
    const int64_t fetchType = intParam(1, kFetchNext);
    const int64_t rowNum = intParam(2, 0);
    const int64_t wanted = std::max<int64_t>(intParam(3, 1), 1);
    int64_t start = 0;
    switch (fetchType & 0xFF) {
      case kFetchFirst: start = 1; break;
      case kFetchNext: start = c.first == 0 ? 1 : c.first + std::max<int64_t>(c.count, 1); break;
      case kFetchPrev: start = c.first - wanted; break;
      case kFetchLast: start = total - wanted + 1; break;
      case kFetchAbsolute: start = rowNum >= 0 ? rowNum : total + rowNum + 1; break;
      case kFetchRelative: start = c.first + rowNum; break;
      default: start = c.first; break;  // refresh and the rest: the current rows again
    }
    int64_t from = std::max<int64_t>(start, 1);
    int64_t to = std::min<int64_t>(start + wanted - 1, total);
    c.first = std::clamp<int64_t>(start, 0, total + 1);
    c.count = std::max<int64_t>(to - from + 1, 0);
    WriteColMetadata(out, c.columns);
    for (int64_t r = from; r <= to; ++r) WriteRow(out, c.columns, c.rows[size_t(r - 1)]);
    WriteDone(out, token::kDoneInProc, done::kMore | done::kCount, kCurCmdSelect, static_cast<uint64_t>(c.count));
    return true;
  }
  if (name == "sp_cursorclose") {
    int64_t id = intParam(0, 0);
    if (cursors_.erase(static_cast<int32_t>(id)) == 0) noCursor(id);
    return true;
  }
  if (name == "sp_cursoroption") return true;  // options of a static read-only cursor change nothing
  return false;
}

void Connection::HandleRpc(const Message& m) {
  Bytes reply;
  std::vector<RpcCall> calls;
  try {
    calls = ParseRpc(m.payload);
  } catch (const UnsupportedRequest& e) {
    log_.Write("rpc", std::string("rejected: ") + e.what());
    AppendError(reply, MakeMessage(8009, 1, 16,
                               std::string("The incoming tabular data stream (TDS) remote procedure call (RPC) "
                                           "protocol stream is incorrect: ") + e.what()));
    WriteDone(reply, token::kDone, done::kError, 0, 0);
    Reply(reply);
    return;
  }
  for (size_t i = 0; i < calls.size(); ++i) AppendRpcCall(reply, calls[i], i + 1 == calls.size());
  if (calls.empty()) WriteDone(reply, token::kDone, done::kFinal, 0, 0);
  Reply(reply);
}

Bytes Connection::Descriptor() const {
  Bytes d;
  put_u64le(d, transactionId_);
  return d;
}

void Connection::HandleTransactionManager(const Message& m) {
  TmRequest tm = ParseTransactionManager(m.payload);
  Bytes reply;
  std::optional<ServerMessage> error;
  auto begin = [&] {
    error = session_->BeginTransaction();
    if (!error) {
      ++transactionId_;
      WriteEnvChangeBytes(reply, envchange::kBeginTransaction, Descriptor(), {});
    }
  };
  switch (tm.kind) {
    case TmRequest::Kind::Begin:
      log_.Write("tm", "begin");
      begin();
      break;
    case TmRequest::Kind::Commit:
    case TmRequest::Kind::Rollback: {
      bool commit = tm.kind == TmRequest::Kind::Commit;
      log_.Write("tm", std::string(commit ? "commit" : "rollback") + (tm.beginAfter ? ", then begin" : ""));
      Bytes old = Descriptor();
      error = commit ? session_->CommitTransaction() : session_->RollbackTransaction();
      if (!error) {
        WriteEnvChangeBytes(reply, commit ? envchange::kCommitTransaction : envchange::kRollbackTransaction, {}, old);
        if (tm.beginAfter) begin();
      }
      break;
    }
    case TmRequest::Kind::Other:
      log_.Write("tm", "unsupported request type " + std::to_string(tm.requestType));
      error = MakeMessage(8009, 1, 16,
                      "Transaction manager request type " + std::to_string(tm.requestType) + " is not supported.");
      break;
  }
  if (error) AppendError(reply, *error);
  WriteDone(reply, token::kDone, error ? done::kError : done::kFinal, 0, 0);
  Reply(reply);
}

void Connection::HandleAttention() {
  // The reply to the cancelled request has already gone out in full; the
  // client still waits for this acknowledgement before its next request.
  log_.Write("attention", "acknowledged");
  Bytes done;
  WriteDone(done, token::kDone, done::kAttention, 0, 0);
  Send(done);
}

}  // namespace standin::tds
