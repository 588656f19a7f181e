// RPC requests: sp_executesql, the prepare/execute family, and any other name
// as a procedure of the database. Each call ends with RETURNSTATUS, its
// RETURNVALUEs (handles) and DONEPROC. Server cursors: tds_connection_cursor.cpp.
#include <cctype>

#include "sql_message.h"
#include "tds_connection.h"
#include "text_case.h"

namespace standin::tds {

namespace {

// True for a statement that only reads: a SELECT, possibly in parentheses.
bool IsQuery(std::string_view sql) {
  size_t i = sql.find_first_not_of(" \t\r\n(");
  if (i == std::string_view::npos || sql.size() - i < 6) return false;
  return EqualsNoCase(sql.substr(i, 6), "select") &&
         (sql.size() == i + 6 || !std::isalnum(static_cast<unsigned char>(sql[i + 6])));
}

std::string DescribeCall(const RpcCall& call) {
  std::string text = call.procName;
  text.reserve(text.size() + 24 * call.params.size() +
               (call.params.empty() ? 0 : call.params[0].param.value.s.size()));
  for (size_t k = 0; k < call.params.size(); ++k) {
    const RpcParam& p = call.params[k];
    text += k == 0 ? " " : ", ";
    if (p.name.empty()) {
      text += '#';
      text += std::to_string(k + 1);
    } else {
      text += p.name;
    }
    text += '=';
    text += ParamLiteral(p.param);
    if (p.output) text += " OUTPUT";
  }
  return text;
}

// The statement of sp_executesql or sp_execute is dynamic SQL: SET options it
// changes end with it. An engine fault is the client's error, as for a batch.
BatchOutput ExecuteDynamic(Session& session, const std::string& sql,
                           const std::vector<Param>& params) {
  try {
    return session.ExecuteDynamic(sql, params);
  } catch (const std::exception& e) {
    BatchOutput out;
    out.statements.emplace_back().error = MakeMessage(
        50000, 16, 1, std::string("Internal error in the stand-in engine: ") + e.what());
    return out;
  }
}

}  // namespace

void Connection::HandleRpc(const Message& m) {
  Bytes reply;
  std::vector<RpcCall> calls;
  try {
    calls = ParseRpc(m.payload);
  } catch (const RefusedRequest& e) {
    log_.Write("rpc", std::string("refused: ") + e.what());
    AppendError(reply, e.message);
    WriteDone(reply, token::kDone, done::kError, 0, 0);
    Reply(reply);
    return;
  } catch (const UnsupportedRequest& e) {
    log_.Write("rpc", std::string("rejected: ") + e.what());
    AppendError(
        reply, MakeMessage(
                   8009, 16, 1,
                   std::string("The incoming tabular data stream (TDS) remote procedure call (RPC) "
                               "protocol stream is incorrect: ") +
                       e.what()));
    WriteDone(reply, token::kDone, done::kError, 0, 0);
    Reply(reply);
    return;
  }
  for (size_t i = 0; i < calls.size() && !attention_ && !clientGone_; ++i)
    AppendRpcCall(reply, calls[i], i + 1 == calls.size());
  if (calls.empty()) WriteDone(reply, token::kDone, done::kFinal, 0, 0);
  Reply(reply);
}

// Drivers learn a prepared query's columns from sp_prepare's answer. A
// SELECT run with NULL parameters yields them without side effects; other
// statements are not run before their execute.
void Connection::AppendPreparedColumns(Bytes& out, const Prepared& p) {
  if (!IsQuery(p.sql)) return;
  std::vector<Param> nulls;
  for (const auto& n : p.paramNames) nulls.push_back(Param{n, SqlType::NVarChar, Value{}});
  BatchOutput probe = Execute(p.sql, nulls);
  for (const auto& st : probe.statements) {
    if (!st.columns.empty() && !st.error) {
      WriteColMetadata(out, DescribeColumns(st.columns, {}));
      return;
    }
  }
}

void Connection::AppendRpcCall(Bytes& out, const RpcCall& call, bool last) {
  log_.Write("rpc", DescribeCall(call));
  const std::string name = Lower(call.procName);
  const auto& params = call.params;
  bool anyError = false;
  int32_t returnStatus = 0;
  std::vector<OutputValue> outputs;

  auto missing = [&](const char* param) {
    AppendError(out,
                MakeMessage(201, 16, 4,
                            "Procedure or function '" + call.procName + "' expects parameter '" +
                                param + "', which was not supplied."));
    anyError = true;
  };
  auto run = [&](const std::string& sql, std::vector<Param> values, bool dynamic) {
    BatchOutput batch = dynamic ? ExecuteDynamic(*session_, sql, values) : Execute(sql, values);
    AppendBatch(out, batch, true, anyError);
    if (batch.procName) returnStatus = batch.returnStatus;
  };
  auto prepare = [&](size_t declAt, size_t stmtAt) {
    int32_t handle = nextHandle_++;
    Prepared p;
    p.sql = params[stmtAt].param.value.s;
    if (IsTextParam(params[declAt]))
      p.paramNames = DeclaredParamNames(params[declAt].param.value.s);
    prepared_[handle] = p;
    outputs.push_back({0, params[0].name, handle});
    return p;
  };

  if (name == "sp_executesql") {
    if (params.empty() || !IsTextParam(params[0])) {
      missing("@statement");
    } else {
      bool declared = params.size() > 1 && IsTextParam(params[1]) &&
                      (params[1].name.empty() || EqualsNoCase(params[1].name, "@params"));
      std::vector<std::string> names =
          declared ? DeclaredParamNames(params[1].param.value.s) : std::vector<std::string>{};
      run(params[0].param.value.s, CallValues(params, declared ? 2 : 1, names), true);
    }
  } else if (name == "sp_prepare") {
    if (params.size() < 3) {
      missing("@stmt");
    } else {
      AppendPreparedColumns(out, prepare(1, 2));
    }
  } else if (name == "sp_prepexec") {
    if (params.size() < 3) {
      missing("@stmt");
    } else {
      Prepared p = prepare(1, 2);
      run(p.sql, CallValues(params, 3, p.paramNames), true);
    }
  } else if (name == "sp_execute" || name == "sp_unprepare") {
    if (params.empty()) {
      missing("@handle");
    } else {
      auto handle = static_cast<int32_t>(params[0].param.value.i);
      auto it = prepared_.find(handle);
      if (it == prepared_.end()) {
        AppendError(out, MakeMessage(8179, 16, 4,
                                     "Could not find prepared statement with handle " +
                                         std::to_string(handle) + "."));
        anyError = true;
      } else if (name == "sp_unprepare") {
        prepared_.erase(it);
      } else {
        Prepared p = it->second;
        run(p.sql, CallValues(params, 1, p.paramNames), true);
      }
    }
  } else if (AppendCursorCall(out, name, call, anyError, outputs)) {
  } else if (name.starts_with("sp_cursor")) {
    AppendError(
        out, MakeMessage(8009, 16, 1, "Server cursors (" + call.procName + ") are not supported."));
    anyError = true;
  } else {
    // Any other name is a procedure of the database, called with its
    // parameters by name.
    run("EXEC " + call.procName, CallValues(params, 0, {}), false);
  }

  WriteReturnStatus(out, anyError && returnStatus == 0 ? -6 : returnStatus);
  for (const auto& o : outputs) WriteReturnValueInt(out, o.ordinal, o.name, o.value);
  WriteDone(out, token::kDoneProc,
            (last ? done::kFinal : done::kMore) | (anyError ? done::kError : 0), 0, 0);
}

}  // namespace standin::tds
