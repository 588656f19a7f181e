// Small RAII owners for raw ODBC handles, shared by the fixture and the
// wire tests, with the diagnostics text that failures carry.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

namespace cardsync::testing {

struct OdbcDiagnostic {
  std::string sqlState;
  long nativeError = 0;
  std::string message;
};

// All diagnostic records of a handle, in order.
std::vector<OdbcDiagnostic> Diagnostics(SQLSMALLINT type, SQLHANDLE handle);
std::string DiagnosticsText(SQLSMALLINT type, SQLHANDLE handle);

class OdbcHandle {
 public:
  OdbcHandle(SQLSMALLINT type, SQLHANDLE parent);
  ~OdbcHandle();
  OdbcHandle(const OdbcHandle&) = delete;
  OdbcHandle& operator=(const OdbcHandle&) = delete;
  SQLHANDLE get() const { return handle_; }
  SQLSMALLINT type() const { return type_; }

 private:
  SQLSMALLINT type_;
  SQLHANDLE handle_ = SQL_NULL_HANDLE;
};

// An environment plus a connection; disconnects on destruction.
class OdbcConnection {
 public:
  OdbcConnection();
  ~OdbcConnection();
  // Returns the SQLDriverConnect result; diagnostics stay on dbc().
  SQLRETURN Connect(const std::string& connectionString, int loginTimeoutSeconds = 10);
  // Connects or throws std::runtime_error with the diagnostics.
  void ConnectOrThrow(const std::string& connectionString, int loginTimeoutSeconds = 10);
  SQLHDBC dbc() const { return dbc_->get(); }

 private:
  OdbcHandle env_;
  std::unique_ptr<OdbcHandle> dbc_;
  bool connected_ = false;
};

// Every row of the statement's current result set as text, NULL as "<NULL>".
std::vector<std::vector<std::string>> FetchAllAsText(SQLHSTMT stmt);

}  // namespace cardsync::testing
