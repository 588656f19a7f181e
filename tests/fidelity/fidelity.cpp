// The fidelity runner: runs each case of a cases file through FreeTDS's ODBC
// driver against any SQL Server (or the stand-in) and compares what comes back
// with SQL Server's documented answer: the result's types and rows, the first
// error's number and text. Each case runs in a transaction rolled back after
// it, so a real server's database is left as it was.
//
//   fidelity CASES HOST PORT USER DATABASE   (password in $FIDELITY_PASSWORD;
//   $FIDELITY_ODBC_EXTRA is appended to the connection string)
#include <sql.h>
#include <sqlext.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Case {
  std::string name;
  int line = 0;
  std::vector<std::string> setup, sql, params;
  std::optional<std::string> types, error, after;
  std::vector<std::string> rows, afterRows;
  bool noResult = false;
};

// What one request answered: the last result set and the first error.
struct Answer {
  std::string types;
  std::vector<std::string> rows;
  bool hadResult = false;
  long error = 0;
  std::string message;
};

std::string Trim(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\r')) s.pop_back();
  size_t b = s.find_first_not_of(' ');
  return b == std::string::npos ? "" : s.substr(b);
}

std::vector<Case> ReadCases(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<Case> cases;
  std::string text;
  for (int line = 1; std::getline(in, text); ++line) {
    if (text.empty() || text[0] == '#' || Trim(text).empty()) continue;
    size_t colon = text.find(':');
    if (colon == std::string::npos)
      throw std::runtime_error(path + ":" + std::to_string(line) + ": no key");
    std::string key = text.substr(0, colon), value = Trim(text.substr(colon + 1));
    if (key == "case") {
      cases.emplace_back();
      cases.back().name = value;
      cases.back().line = line;
      continue;
    }
    if (cases.empty())
      throw std::runtime_error(path + ":" + std::to_string(line) + ": before any case");
    Case& c = cases.back();
    if (key == "setup")
      c.setup.push_back(value);
    else if (key == "sql")
      c.sql.push_back(value);
    else if (key == "param")
      c.params.push_back(value);
    else if (key == "type")
      c.types = value;
    else if (key == "row")
      c.rows.push_back(value);
    else if (key == "result" && value == "none")
      c.noResult = true;
    else if (key == "error")
      c.error = value;
    else if (key == "after")
      c.after = value;
    else if (key == "after-row")
      c.afterRows.push_back(value);
    else
      throw std::runtime_error(path + ":" + std::to_string(line) + ": unknown key '" + key + "'");
  }
  return cases;
}

std::string Lower(std::string s) {
  for (char& ch : s) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
  return s;
}

std::pair<long, std::string> FirstError(SQLHSTMT stmt) {
  SQLCHAR state[6], text[1024];
  SQLINTEGER native = 0;
  SQLSMALLINT len = 0;
  if (!SQL_SUCCEEDED(
          SQLGetDiagRec(SQL_HANDLE_STMT, stmt, 1, state, &native, text, sizeof text, &len)))
    return {-1, ""};
  std::string message(reinterpret_cast<char*>(text));
  // "[FreeTDS][SQL Server]text": the server's own words follow the last ']'.
  if (size_t b = message.rfind(']'); b != std::string::npos) message = message.substr(b + 1);
  return {native, message};
}

// A column as SQL Server describes it: "int", "varchar(30)", "decimal(12,1)".
std::string Describe(SQLHSTMT stmt, SQLUSMALLINT col) {
  SQLCHAR name[64] = {};
  SQLSMALLINT len = 0;
  SQLLEN precision = 0, scale = 0, length = 0;
  SQLColAttribute(stmt, col, SQL_DESC_TYPE_NAME, name, sizeof name, &len, nullptr);
  SQLColAttribute(stmt, col, SQL_DESC_PRECISION, nullptr, 0, nullptr, &precision);
  SQLColAttribute(stmt, col, SQL_DESC_SCALE, nullptr, 0, nullptr, &scale);
  SQLColAttribute(stmt, col, SQL_DESC_LENGTH, nullptr, 0, nullptr, &length);
  std::string type = Lower(reinterpret_cast<char*>(name));
  if (type == "numeric") type = "decimal";  // the same type, as literals and columns name it
  if (type == "decimal")
    return type + "(" + std::to_string(precision) + "," + std::to_string(scale) + ")";
  if (type == "char" || type == "varchar" || type == "nchar" || type == "nvarchar")
    return type + "(" +
           (length <= 0 || length > 8000 ? std::string("max") : std::to_string(length)) + ")";
  return type;
}

std::vector<std::string> FetchRows(SQLHSTMT stmt, SQLSMALLINT columns) {
  std::vector<std::string> rows;
  while (SQL_SUCCEEDED(SQLFetch(stmt))) {
    std::string row;
    for (SQLUSMALLINT c = 1; c <= columns; ++c) {
      std::string value;
      char buf[4096];
      SQLLEN ind = 0;
      SQLRETURN rc;
      while (SQL_SUCCEEDED(rc = SQLGetData(stmt, c, SQL_C_CHAR, buf, sizeof buf, &ind))) {
        if (ind == SQL_NULL_DATA) {
          value = "NULL";
          break;
        }
        value += buf;
        if (rc == SQL_SUCCESS) break;
      }
      row += (c > 1 ? " | " : "") + value;
    }
    rows.push_back(row);
  }
  return rows;
}

Answer Collect(SQLHSTMT stmt, SQLRETURN rc) {
  Answer a;
  for (; rc != SQL_NO_DATA; rc = SQLMoreResults(stmt)) {
    if (rc == SQL_ERROR) {
      auto [number, message] = FirstError(stmt);
      if (a.error == 0) a.error = number, a.message = message;
      if (number == -1) break;
      continue;
    }
    SQLSMALLINT columns = 0;
    if (!SQL_SUCCEEDED(SQLNumResultCols(stmt, &columns)) || columns == 0) continue;
    a.hadResult = true;
    a.types.clear();
    for (SQLUSMALLINT c = 1; c <= columns; ++c) a.types += (c > 1 ? " | " : "") + Describe(stmt, c);
    a.rows = FetchRows(stmt, columns);
  }
  return a;
}

// The value bound for a "param: TYPE VALUE" line, kept alive until the request ran.
struct Bound {
  std::string text;
  SQLLEN indicator = 0;
};

bool Bind(SQLHSTMT stmt, SQLUSMALLINT n, const std::string& declared, Bound& b) {
  size_t space = declared.find(' ');
  std::string type = Lower(declared.substr(0, space)),
              value = space == std::string::npos ? "" : declared.substr(space + 1);
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'')
    value = value.substr(1, value.size() - 2);
  b.text = value;
  b.indicator = value == "NULL" ? SQL_NULL_DATA : SQLLEN(b.text.size());
  std::string base = type.substr(0, type.find('('));
  int size = 0, digits = 0;
  if (size_t open = type.find('('); open != std::string::npos)
    std::sscanf(type.c_str() + open, "(%d,%d", &size, &digits);
  struct Map {
    const char* name;
    SQLSMALLINT sqlType;
    int size;
  };
  static const Map kTypes[] = {{"int", SQL_INTEGER, 10},
                               {"bigint", SQL_BIGINT, 19},
                               {"smallint", SQL_SMALLINT, 5},
                               {"bit", SQL_BIT, 1},
                               {"float", SQL_DOUBLE, 15},
                               {"varchar", SQL_VARCHAR, 0},
                               {"nvarchar", SQL_WVARCHAR, 0},
                               {"char", SQL_CHAR, 0},
                               {"decimal", SQL_DECIMAL, 0},
                               {"numeric", SQL_NUMERIC, 0},
                               {"datetime", SQL_TYPE_TIMESTAMP, 23}};
  for (const Map& m : kTypes) {
    if (base != m.name) continue;
    if (m.sqlType == SQL_TYPE_TIMESTAMP) digits = 3;
    SQLULEN columnSize = m.size > 0 ? SQLULEN(m.size) : SQLULEN(size > 0 ? size : 1);
    return SQL_SUCCEEDED(SQLBindParameter(stmt, n, SQL_PARAM_INPUT, SQL_C_CHAR, m.sqlType,
                                          columnSize, SQLSMALLINT(digits), b.text.data(),
                                          SQLLEN(b.text.size()), &b.indicator));
  }
  return false;
}

SQLRETURN Exec(SQLHSTMT stmt, const std::string& sql) {
  SQLFreeStmt(stmt, SQL_CLOSE);
  return SQLExecDirect(stmt, reinterpret_cast<SQLCHAR*>(const_cast<char*>(sql.c_str())), SQL_NTS);
}

bool MatchesError(const std::string& expected, const Answer& a) {
  size_t space = expected.find(' ');
  if (std::to_string(a.error) != expected.substr(0, space)) return false;
  std::string text = space == std::string::npos ? "" : expected.substr(space + 1);
  if (!text.empty() && text.back() == '*')
    return a.message.rfind(text.substr(0, text.size() - 1), 0) == 0;
  return text.empty() || a.message == text;
}

std::string Join(const std::vector<std::string>& rows) {
  std::string out;
  for (const auto& r : rows) out += "\n      " + r;
  return out.empty() ? " (no rows)" : out;
}

// Runs one case; returns the differences found, empty when it answered as expected.
std::vector<std::string> RunCase(SQLHDBC dbc, const Case& c) {
  std::vector<std::string> diffs;
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt);
  Exec(stmt, "BEGIN TRANSACTION");
  for (const std::string& s : c.setup) {
    Answer setup = Collect(stmt, Exec(stmt, s));
    if (setup.error != 0)
      diffs.push_back("setup failed: " + std::to_string(setup.error) + " " + setup.message);
  }
  std::string sql;
  for (const std::string& s : c.sql) sql += (sql.empty() ? "" : "\r\n") + s;
  std::vector<Bound> bound(c.params.size());
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
  for (size_t k = 0; k < c.params.size(); ++k)
    if (!Bind(stmt, SQLUSMALLINT(k + 1), c.params[k], bound[k]))
      diffs.push_back("cannot bind: " + c.params[k]);
  Answer got = Collect(stmt, Exec(stmt, sql));
  SQLFreeStmt(stmt, SQL_RESET_PARAMS);
  if (c.error && !MatchesError(*c.error, got))
    diffs.push_back("error: expected " + *c.error + ", got " + std::to_string(got.error) + " " +
                    got.message);
  if (!c.error && got.error != 0)
    diffs.push_back("unexpected error " + std::to_string(got.error) + " " + got.message);
  if (c.types && got.types != *c.types)
    diffs.push_back("type: expected " + *c.types + ", got " + got.types);
  if (!c.rows.empty() && got.rows != c.rows)
    diffs.push_back("rows: expected" + Join(c.rows) + "\n    got" + Join(got.rows));
  if (c.noResult && got.hadResult) diffs.push_back("a result set where none was expected");
  if (c.after) {
    Answer after = Collect(stmt, Exec(stmt, *c.after));
    if (after.rows != c.afterRows)
      diffs.push_back("after: expected" + Join(c.afterRows) + "\n    got" + Join(after.rows));
  }
  Exec(stmt, "IF @@TRANCOUNT > 0 ROLLBACK TRANSACTION");
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return diffs;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) {
    std::cerr << "usage: fidelity CASES HOST PORT USER DATABASE (password in $FIDELITY_PASSWORD)\n";
    return 64;
  }
  const char* password = std::getenv("FIDELITY_PASSWORD");
  const char* extra = std::getenv("FIDELITY_ODBC_EXTRA");
  std::string conn = std::string("Driver=FreeTDS;Server=") + argv[2] + ";Port=" + argv[3] +
                     ";UID=" + argv[4] + ";PWD={" + (password ? password : "") +
                     "};Database=" + argv[5] + ";TDS_Version=7.4;ClientCharset=UTF-8" +
                     (extra && *extra ? std::string(";") + extra : "");
  std::vector<Case> cases;
  try {
    cases = ReadCases(argv[1]);
  } catch (const std::exception& e) {
    std::cerr << "fidelity: " << e.what() << "\n";
    return 64;
  }
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env);
  SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
  SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc);
  SQLCHAR out[1024];
  SQLSMALLINT outLen = 0;
  if (!SQL_SUCCEEDED(SQLDriverConnect(dbc, nullptr, reinterpret_cast<SQLCHAR*>(conn.data()),
                                      SQL_NTS, out, sizeof out, &outLen, SQL_DRIVER_NOPROMPT))) {
    std::cerr << "fidelity: cannot connect to " << argv[2] << ":" << argv[3] << "\n";
    return 69;
  }
  int failed = 0;
  for (const Case& c : cases) {
    std::vector<std::string> diffs = RunCase(dbc, c);
    std::cout << (diffs.empty() ? "ok   " : "FAIL ") << c.name << " (" << argv[1] << ":" << c.line
              << ")\n";
    for (const auto& d : diffs) std::cout << "    " << d << "\n";
    failed += diffs.empty() ? 0 : 1;
  }
  std::cout << cases.size() - size_t(failed) << " of " << cases.size()
            << " cases answered as SQL Server does\n";
  SQLDisconnect(dbc);
  SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  SQLFreeHandle(SQL_HANDLE_ENV, env);
  return failed == 0 ? 0 : 1;
}
