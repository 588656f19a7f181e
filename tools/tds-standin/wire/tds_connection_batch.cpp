// SQL batches, and the tokens of an engine batch's results. Their order is
// SQL Server's, because drivers key their state machines on it: rows and
// messages, then one DONE per statement with MORE on all but the last. RPC
// calls reuse AppendBatch with DONEINPROC in place of DONE.
#include <algorithm>

#include "sql_message.h"
#include "tds_connection.h"

namespace standin::tds {

BatchOutput Connection::Execute(const std::string& sql, const std::vector<Param>& params) {
  try {
    return session_->Execute(sql, params);
  } catch (const std::exception& e) {
    BatchOutput out;
    StatementOutput s;
    s.error = MakeMessage(50000, 16, 1,
                          std::string("Internal error in the stand-in engine: ") + e.what());
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
      for (const auto& row : s.rows) AppendRow(out, columns, row);
    }
    for (const auto& info : s.infos) WriteMessage(out, false, info, serverInfo_);
    if (s.error) {
      AppendError(out, *s.error);
      anyError = true;
    }
    uint8_t kind = (inRpc || (batch.procName && s.inProc)) ? token::kDoneInProc : token::kDone;
    uint16_t status = done::kMore | (s.rowCount ? done::kCount : 0) | (s.error ? done::kError : 0);
    lastDone = out.size();
    WriteDone(out, kind, status, s.columns.empty() ? 0 : curcmd::kSelect,
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

}  // namespace standin::tds
