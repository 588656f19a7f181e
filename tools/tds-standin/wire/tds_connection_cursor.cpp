// Static read-only server cursors, which Qt's ODBC driver opens for every
// query that is not forward-only: sp_cursoropen runs the statement and keeps
// its rows, sp_cursorfetch walks them by position, sp_cursorclose drops them.
#include <algorithm>

#include "sql_message.h"
#include "tds_connection.h"

namespace standin::tds {

bool Connection::AppendCursorCall(Bytes& out, const std::string& name, const RpcCall& call,
                                  bool& anyError, std::vector<OutputValue>& outputs) {
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
    AppendError(out,
                MakeMessage(16916, 16, 1,
                            "A cursor with the handle " + std::to_string(id) + " does not exist."));
    anyError = true;
  };

  if (name == "sp_cursoropen") {
    if (params.size() < 2 || !IsTextParam(params[1])) {
      AppendError(out,
                  MakeMessage(201, 16, 4,
                              "Procedure or function 'sp_cursoropen' expects parameter '@stmt', "
                              "which was not supplied."));
      anyError = true;
      return true;
    }
    const int64_t scrollOpt = intParam(2, 0);
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
      case kFetchFirst:
        start = 1;
        break;
      case kFetchNext:
        start = c.first == 0 ? 1 : c.first + std::max<int64_t>(c.count, 1);
        break;
      case kFetchPrev:
        start = c.first - wanted;
        break;
      case kFetchLast:
        start = total - wanted + 1;
        break;
      case kFetchAbsolute:
        start = rowNum >= 0 ? rowNum : total + rowNum + 1;
        break;
      case kFetchRelative:
        start = c.first + rowNum;
        break;
      default:
        start = c.first;
        break;  // refresh and the rest: the current rows again
    }
    int64_t from = std::max<int64_t>(start, 1);
    int64_t to = std::min<int64_t>(start + wanted - 1, total);
    c.first = std::clamp<int64_t>(start, 0, total + 1);
    c.count = std::max<int64_t>(to - from + 1, 0);
    WriteColMetadata(out, c.columns);
    for (int64_t r = from; r <= to; ++r) AppendRow(out, c.columns, c.rows[size_t(r - 1)]);
    WriteDone(out, token::kDoneInProc, done::kMore | done::kCount, curcmd::kSelect,
              static_cast<uint64_t>(c.count));
    return true;
  }
  if (name == "sp_cursorclose") {
    int64_t id = intParam(0, 0);
    if (cursors_.erase(static_cast<int32_t>(id)) == 0) noCursor(id);
    return true;
  }
  if (name == "sp_cursoroption")
    return true;  // options of a static read-only cursor change nothing
  return false;
}

}  // namespace standin::tds
