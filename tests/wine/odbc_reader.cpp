#include "odbc_reader.h"

#include <windows.h>
// After <windows.h>, whose types they use.
#include <sql.h>
#include <sqlext.h>

namespace bw::wine {
namespace {

std::string Narrow(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

}  // namespace

OdbcReader::OdbcReader() {
  SQLHENV env = SQL_NULL_HENV;
  if (SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &env))) {
    SQLSetEnvAttr(env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    env_ = env;
  }
}

OdbcReader::~OdbcReader() {
  if (connected_) SQLDisconnect(static_cast<SQLHDBC>(dbc_));
  if (dbc_) SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
  if (env_) SQLFreeHandle(SQL_HANDLE_ENV, env_);
}

void OdbcReader::remember(short type, void* handle, const char* what) {
  error_ = what;
  SQLWCHAR state[6] = {0};
  SQLWCHAR message[512] = {0};
  SQLINTEGER native = 0;
  SQLSMALLINT length = 0;
  if (SQL_SUCCEEDED(SQLGetDiagRecW(type, handle, 1, state, &native, message, 511, &length))) {
    error_ += " [" + Narrow(reinterpret_cast<wchar_t*>(state)) + "] " +
              Narrow(reinterpret_cast<wchar_t*>(message));
  }
}

bool OdbcReader::connect(const std::wstring& connectionString) {
  if (!env_) {
    error_ = "no ODBC environment";
    return false;
  }
  SQLHDBC dbc = SQL_NULL_HDBC;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_, &dbc))) {
    error_ = "no connection handle";
    return false;
  }
  dbc_ = dbc;
  std::wstring in = connectionString;
  SQLWCHAR out[1024] = {0};
  SQLSMALLINT outLength = 0;
  const SQLRETURN rc = SQLDriverConnectW(dbc, nullptr, reinterpret_cast<SQLWCHAR*>(in.data()),
                                         static_cast<SQLSMALLINT>(in.size()), out, 1023, &outLength,
                                         SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    remember(SQL_HANDLE_DBC, dbc, "SQLDriverConnectW");
    return false;
  }
  connected_ = true;
  return true;
}

bool OdbcReader::query(const std::wstring& sql, std::vector<std::wstring>& names,
                       std::vector<std::vector<std::wstring>>& rows) {
  names.clear();
  rows.clear();
  SQLHSTMT stmt = SQL_NULL_HSTMT;
  if (!connected_ || !SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
    error_ = "not connected";
    return false;
  }
  std::wstring text = sql;
  if (!SQL_SUCCEEDED(SQLExecDirectW(stmt, reinterpret_cast<SQLWCHAR*>(text.data()),
                                    static_cast<SQLINTEGER>(text.size())))) {
    remember(SQL_HANDLE_STMT, stmt, "SQLExecDirectW");
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return false;
  }
  SQLSMALLINT columns = 0;
  SQLNumResultCols(stmt, &columns);
  for (SQLSMALLINT c = 1; c <= columns; ++c) {
    SQLWCHAR name[256] = {0};
    SQLSMALLINT length = 0, type = 0, digits = 0, nullable = 0;
    SQLULEN size = 0;
    SQLDescribeColW(stmt, static_cast<SQLUSMALLINT>(c), name, 255, &length, &type, &size, &digits,
                    &nullable);
    // The name up to its terminator: the SQLite3 driver reports the length in
    // bytes, not characters.
    names.emplace_back(reinterpret_cast<wchar_t*>(name));
  }
  while (SQL_SUCCEEDED(SQLFetch(stmt))) {
    std::vector<std::wstring>& row = rows.emplace_back();
    for (SQLSMALLINT c = 1; c <= columns; ++c) {
      SQLWCHAR value[1024] = {0};
      SQLLEN indicator = 0;
      const SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(c), SQL_C_WCHAR, value,
                                      sizeof value - sizeof(SQLWCHAR), &indicator);
      if (!SQL_SUCCEEDED(rc)) {
        row.emplace_back(L"<error>");
      } else if (indicator == SQL_NULL_DATA) {
        row.emplace_back(L"<null>");
      } else {
        row.emplace_back(reinterpret_cast<wchar_t*>(value));
      }
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return true;
}

}  // namespace bw::wine
