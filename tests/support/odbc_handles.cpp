// ODBC handle owners and diagnostics for the tests.
#include "odbc_handles.h"

#include <stdexcept>

namespace cardsync::testing {

std::vector<OdbcDiagnostic> Diagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<OdbcDiagnostic> out;
  for (SQLSMALLINT i = 1;; ++i) {
    SQLCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLCHAR text[2048] = {};
    SQLSMALLINT len = 0;
    SQLRETURN rc = SQLGetDiagRec(type, handle, i, state, &native, text, sizeof text, &len);
    if (!SQL_SUCCEEDED(rc)) break;
    out.push_back(
        {reinterpret_cast<char*>(state), static_cast<long>(native), reinterpret_cast<char*>(text)});
  }
  return out;
}

std::string DiagnosticsText(SQLSMALLINT type, SQLHANDLE handle) {
  std::string text;
  for (const auto& d : Diagnostics(type, handle)) {
    if (!text.empty()) text += "; ";
    text += d.sqlState + " [" + std::to_string(d.nativeError) + "] " + d.message;
  }
  return text.empty() ? "no diagnostics" : text;
}

OdbcHandle::OdbcHandle(SQLSMALLINT type, SQLHANDLE parent) : type_(type) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(type, parent, &handle_))) {
    throw std::runtime_error("SQLAllocHandle(" + std::to_string(type) + ") failed");
  }
}

OdbcHandle::~OdbcHandle() {
  if (handle_ != SQL_NULL_HANDLE) SQLFreeHandle(type_, handle_);
}

OdbcConnection::OdbcConnection() : env_(SQL_HANDLE_ENV, SQL_NULL_HANDLE) {
  SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  dbc_ = std::make_unique<OdbcHandle>(SQL_HANDLE_DBC, env_.get());
}

OdbcConnection::~OdbcConnection() {
  if (connected_) SQLDisconnect(dbc_->get());
}

SQLRETURN OdbcConnection::Connect(const std::string& connectionString, int loginTimeoutSeconds) {
  SQLSetConnectAttr(dbc(), SQL_ATTR_LOGIN_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeoutSeconds)), 0);
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  SQLRETURN rc = SQLDriverConnect(
      dbc(), nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connectionString.c_str())),
      SQL_NTS, out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT);
  connected_ = SQL_SUCCEEDED(rc);
  return rc;
}

void OdbcConnection::ConnectOrThrow(const std::string& connectionString, int loginTimeoutSeconds) {
  if (!SQL_SUCCEEDED(Connect(connectionString, loginTimeoutSeconds))) {
    throw std::runtime_error("connect failed: " + DiagnosticsText(SQL_HANDLE_DBC, dbc()));
  }
}

std::vector<std::vector<std::string>> FetchAllAsText(SQLHSTMT stmt) {
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt, &columns);
  std::vector<std::vector<std::string>> rows;
  for (;;) {
    SQLRETURN rc = SQLFetch(stmt);
    if (rc == SQL_NO_DATA) break;
    if (!SQL_SUCCEEDED(rc))
      throw std::runtime_error("SQLFetch: " + DiagnosticsText(SQL_HANDLE_STMT, stmt));
    std::vector<std::string> row;
    for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(columns); ++c) {
      std::string value;
      bool isNull = false;
      // Long values arrive in pieces; each call returns the next one.
      for (;;) {
        char buf[4096];
        SQLLEN indicator = 0;
        rc = SQLGetData(stmt, c, SQL_C_CHAR, buf, sizeof buf, &indicator);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc))
          throw std::runtime_error("SQLGetData: " + DiagnosticsText(SQL_HANDLE_STMT, stmt));
        if (indicator == SQL_NULL_DATA) {
          isNull = true;
          break;
        }
        bool more = rc == SQL_SUCCESS_WITH_INFO &&
                    (indicator == SQL_NO_TOTAL || indicator >= SQLLEN(sizeof buf));
        value += more ? std::string(buf, sizeof buf - 1) : std::string(buf, size_t(indicator));
        if (!more) break;
      }
      row.push_back(isNull ? "<NULL>" : value);
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace cardsync::testing
