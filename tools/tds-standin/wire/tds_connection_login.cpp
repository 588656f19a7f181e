// The first two messages of a connection: PRELOGIN, answered "no
// encryption" or, with a certificate, "encryption required" followed by the
// TLS handshake; and LOGIN7, checked against the configured user, password and
// database. The tokens of a successful login follow SQL Server's order.
#include <algorithm>

#include "sql_message.h"
#include "tds_connection.h"
#include "tds_login.h"
#include "text_case.h"

namespace standin::tds {

namespace {

constexpr uint32_t kTds72 = 0x72000000;
constexpr uint32_t kTds74 = 0x74000004;

}  // namespace

bool Connection::HandlePrelogin(const Message& m) {
  PreloginRequest request = ParsePrelogin(m.payload);
  if (options_.tls) {
    // A server that insists answers ON to a client that asks, REQ to one
    // that would only protect its login; both then encrypt everything.
    const bool asked =
        request.encryption == encrypt::kOn || request.encryption == encrypt::kRequired;
    Reply(BuildPreloginResponse(asked ? encrypt::kOn : encrypt::kRequired));
    if (request.encryption == encrypt::kNotSupported) {
      log_.Write("login", "refused: the client cannot encrypt, which this server requires");
      return false;
    }
    StartTls();
    return true;
  }
  Reply(BuildPreloginResponse());
  if (request.encryption == encrypt::kOn || request.encryption == encrypt::kRequired) {
    // The answer says encryption is not supported; a client that insists
    // gives up on its own, and closing makes sure it does not wait.
    log_.Write("login",
               "refused: the client requires encryption, which this server does not support");
    return false;
  }
  return true;
}

void Connection::StartTls() {
  auto session = std::make_unique<TlsSession>(*options_.tls);
  for (bool done = false; !done;) {
    std::optional<Message> m = Read();
    if (!m) throw ClientGone("client left during the TLS handshake");
    if (m->type != packet::kPrelogin) {
      throw WireError(std::string("expected the TLS handshake in a PRELOGIN message, got a ") +
                      PacketTypeName(m->type) + " message");
    }
    session->Feed(m->payload);
    done = session->Handshake();
    Bytes out = session->TakeOutput();
    if (!out.empty()) SendRaw(FrameMessage(packet::kPrelogin, out, packetSize_, spid_));
  }
  // Whatever followed the last handshake packet is already encrypted.
  tls_ = std::move(session);
  tls_->Feed(assembler_.TakeRest());
  bool closed = false;
  assembler_.Feed(tls_->Read(closed));
  if (closed) throw ClientGone("client closed TLS right after the handshake");
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
  const ServerMessage loginFailed =
      MakeMessage(18456, 14, 1, "Login failed for user '" + login.userName + "'.");
  if (login.tdsVersion < kTds72) {
    return refuse(
        {MakeMessage(4002, 16, 1, "This server speaks TDS 7.2 to 7.4 only."), loginFailed},
        "TDS version too old");
  }
  tdsVersion_ = std::min(login.tdsVersion, kTds74);
  if (login.packetSize >= packet::kMinPacketSize && login.packetSize <= packet::kMaxPacketSize) {
    packetSize_ = login.packetSize;
  }
  if (!EqualsNoCase(login.userName, options_.user) || login.password != options_.password) {
    return refuse({loginFailed}, "wrong user name or password");
  }
  const std::string database = login.database.empty() ? options_.database : login.database;
  if (!EqualsNoCase(database, options_.database)) {
    return refuse({MakeMessage(4060, 11, 1,
                               "Cannot open database \"" + database +
                                   "\" requested by the login. The login failed."),
                   loginFailed},
                  "unknown database " + database);
  }
  session_ = newSession_();
  session_->SetInterruptCheck([this] { return AttentionArrived(); });
  user_ = login.userName;

  ServerMessage changedDb =
      MakeMessage(5701, 0, 2, "Changed database context to '" + options_.database + "'.");
  ServerMessage changedLanguage =
      MakeMessage(5703, 0, 1, "Changed language setting to us_english.");
  WriteEnvChange(reply, envchange::kDatabase, options_.database, "master");
  WriteMessage(reply, false, changedDb, serverInfo_);
  WriteEnvChangeBytes(reply, envchange::kCollation, std::span<const uint8_t>(kCollation, 5), {});
  WriteEnvChange(reply, envchange::kLanguage, "us_english", "");
  WriteMessage(reply, false, changedLanguage, serverInfo_);
  WriteLoginAck(reply, tdsVersion_);
  WriteEnvChange(reply, envchange::kPacketSize, std::to_string(packetSize_),
                 std::to_string(packetSize_));
  WriteDone(reply, token::kDone, done::kFinal, 0, 0);
  Reply(reply);
  log_.Write("login", "user=" + login.userName + " ok database=" + options_.database);
  return true;
}

}  // namespace standin::tds
