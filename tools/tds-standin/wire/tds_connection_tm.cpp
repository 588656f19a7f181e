// Transaction-manager requests: the begin, commit and rollback a driver sends
// as packets when autocommit is off. Each answer carries an ENVCHANGE with a
// transaction descriptor, which the driver quotes in later requests.
#include "sql_message.h"
#include "tds_connection.h"

namespace standin::tds {

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
      log_.Write("tm", std::string(commit ? "commit" : "rollback") +
                           (tm.beginAfter ? ", then begin" : ""));
      Bytes old = Descriptor();
      error = commit ? session_->CommitTransaction() : session_->RollbackTransaction();
      if (!error) {
        WriteEnvChangeBytes(
            reply, commit ? envchange::kCommitTransaction : envchange::kRollbackTransaction, {},
            old);
        if (tm.beginAfter) begin();
      }
      break;
    }
    case TmRequest::Kind::Other:
      log_.Write("tm", "unsupported request type " + std::to_string(tm.requestType));
      error = MakeMessage(8009, 16, 1,
                          "Transaction manager request type " + std::to_string(tm.requestType) +
                              " is not supported.");
      break;
  }
  if (error) AppendError(reply, *error);
  WriteDone(reply, token::kDone, error ? done::kError : done::kFinal, 0, 0);
  Reply(reply);
}

}  // namespace standin::tds
