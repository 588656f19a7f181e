// Static read-only server cursors, which Qt's ODBC driver opens for every
// query that is not forward-only: sp_cursoropen runs the statement and keeps
// its rows, sp_cursorfetch walks them by position, sp_cursorclose drops them.
#include <algorithm>

#include "sql_message.h"
#include "tds_connection.h"

namespace standin::tds {

namespace {

// sp_cursoropen's scroll option bit for a statement with parameters.
constexpr int32_t kParameterized = 0x1000;
// sp_cursorfetch's fetch types.
constexpr int32_t kFetchFirst = 0x01, kFetchNext = 0x02, kFetchPrev = 0x04, kFetchLast = 0x08,
                  kFetchAbsolute = 0x10, kFetchRelative = 0x20;

int64_t IntParam(const std::vector<RpcParam>& params, size_t k, int64_t fallback) {
  return k < params.size() && !params[k].param.value.null ? params[k].param.value.i : fallback;
}

// The 1-based first row a fetch asks for, from where the last fetch was;
// it may lie outside the rows, which the caller clamps.
int64_t FetchStart(int64_t fetchType, int64_t rowNum, int64_t wanted, int64_t first, int64_t count,
                   int64_t total) {
  switch (fetchType & 0xFF) {
    case kFetchFirst:
      return 1;
    case kFetchNext:
      return first == 0 ? 1 : first + std::max<int64_t>(count, 1);
    case kFetchPrev:
      return first - wanted;
    case kFetchLast:
      return total - wanted + 1;
    case kFetchAbsolute:
      return rowNum >= 0 ? rowNum : total + rowNum + 1;
    case kFetchRelative:
      return first + rowNum;
    default:
      return first;  // refresh and the rest: the current rows again
  }
}

}  // namespace

void Connection::AppendNoCursor(Bytes& out, int64_t id, bool& anyError) {
  AppendError(out,
              MakeMessage(16916, 16, 1,
                          "A cursor with the handle " + std::to_string(id) + " does not exist."));
  anyError = true;
}

void Connection::AppendCursorOpen(Bytes& out, const RpcCall& call, bool& anyError,
                                  std::vector<OutputValue>& outputs) {
  const auto& params = call.params;
  auto output = [&](size_t k, int64_t value) {
    if (k < params.size() && params[k].output) {
      outputs.push_back({static_cast<uint16_t>(k), params[k].name, static_cast<int32_t>(value)});
    }
  };
  if (params.size() < 2 || !IsTextParam(params[1])) {
    AppendError(out, MakeMessage(201, 16, 4,
                                 "Procedure or function 'sp_cursoropen' expects parameter '@stmt', "
                                 "which was not supplied."));
    anyError = true;
    return;
  }
  const int64_t scrollOpt = IntParam(params, 2, 0);
  std::vector<std::string> names;
  size_t first = params.size();
  if ((scrollOpt & kParameterized) && params.size() > 5 && IsTextParam(params[5])) {
    names = DeclaredParamNames(params[5].param.value.s);
    first = 6;
  }
  BatchOutput batch = Execute(params[1].param.value.s, CallValues(params, first, names));
  auto withRows =
      std::find_if(batch.statements.begin(), batch.statements.end(),
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
    WriteDone(out, token::kDoneInProc, done::kMore, curcmd::kSelect, 0);
    id = nextCursor_++;
    cursors_[id] = std::move(c);
  }
  output(0, id);
  output(2, scrollOpt & ~kParameterized);
  output(3, IntParam(params, 3, 0));
  output(4, rowCount);
}

void Connection::AppendCursorFetch(Bytes& out, const RpcCall& call, bool& anyError) {
  const auto& params = call.params;
  int64_t id = IntParam(params, 0, 0);
  auto it = cursors_.find(static_cast<int32_t>(id));
  if (it == cursors_.end()) {
    AppendNoCursor(out, id, anyError);
    return;
  }
  Cursor& c = it->second;
  const int64_t total = static_cast<int64_t>(c.rows.size());
  const int64_t wanted = std::max<int64_t>(IntParam(params, 3, 1), 1);
  const int64_t start = FetchStart(IntParam(params, 1, kFetchNext), IntParam(params, 2, 0), wanted,
                                   c.first, c.count, total);
  int64_t from = std::max<int64_t>(start, 1);
  int64_t to = std::min<int64_t>(start + wanted - 1, total);
  c.first = std::clamp<int64_t>(start, 0, total + 1);
  c.count = std::max<int64_t>(to - from + 1, 0);
  WriteColMetadata(out, c.columns);
  for (int64_t r = from; r <= to; ++r) AppendRow(out, c.columns, c.rows[size_t(r - 1)]);
  WriteDone(out, token::kDoneInProc, done::kMore | done::kCount, curcmd::kSelect,
            static_cast<uint64_t>(c.count));
}

bool Connection::AppendCursorCall(Bytes& out, const std::string& name, const RpcCall& call,
                                  bool& anyError, std::vector<OutputValue>& outputs) {
  if (name == "sp_cursoropen") {
    AppendCursorOpen(out, call, anyError, outputs);
  } else if (name == "sp_cursorfetch") {
    AppendCursorFetch(out, call, anyError);
  } else if (name == "sp_cursorclose") {
    int64_t id = IntParam(call.params, 0, 0);
    if (cursors_.erase(static_cast<int32_t>(id)) == 0) AppendNoCursor(out, id, anyError);
  } else if (name != "sp_cursoroption") {  // options of a static read-only cursor change nothing
    return false;
  }
  return true;
}

}  // namespace standin::tds
