#include "storage/database.h"

#ifdef _WIN32
#include <windows.h>  // the ODBC headers need its types
#endif
#include <sql.h>
#include <sqlext.h>
#ifdef _WIN32
#include <odbcinst.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <unordered_map>

#include "storage/prepared.h"
#include "util/log.h"
#ifdef _WIN32
#include "util/wide_text.h"
#endif

namespace bw {
namespace {

// The text of the driver interface. On Windows the wide (UTF-16) entry points:
// every driver manager maps them for an ANSI driver, a Unicode driver takes
// them as they are, no text passes through the ANSI code page, and Wine's
// odbc32 implements these (its ANSI ones abort). On Linux the plain calls,
// whose text is UTF-8 for both drivers used there.
#ifdef _WIN32
using DriverChar = SQLWCHAR;
std::basic_string<DriverChar> ToDriver(const std::string& text) {
  const std::wstring wide = WideFromUtf8(text);
  return std::basic_string<DriverChar>(wide.begin(), wide.end());
}
std::string FromDriver(const DriverChar* text, size_t room) {
  // Up to the terminator: the SQLite3 driver reports wide lengths in bytes.
  size_t n = 0;
  while (n < room && text[n] != 0) ++n;
  return Utf8FromWide(std::wstring(text, text + n));
}
#define BW_ODBC(name) name##W
#else
using DriverChar = SQLCHAR;
std::basic_string<DriverChar> ToDriver(const std::string& text) {
  return std::basic_string<DriverChar>(text.begin(), text.end());
}
std::string FromDriver(const DriverChar* text, size_t room) {
  return std::string(reinterpret_cast<const char*>(text),
                     strnlen(reinterpret_cast<const char*>(text), room));
}
#define BW_ODBC(name) name
#endif
template <size_t N>
std::string FromDriver(const DriverChar (&text)[N]) {
  return FromDriver(text, N);
}

SQLHSTMT AsHandle(Statement stmt) {
  return reinterpret_cast<SQLHSTMT>(static_cast<uintptr_t>(stmt));
}

Statement AsStatement(SQLHSTMT handle) {
  return static_cast<Statement>(reinterpret_cast<uintptr_t>(handle));
}

bool AsciiEqualNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// A parameter buffer must stay put until the statement is executed or freed.
struct BoundParameter {
  std::string bytes;
  SQLLEN length = 0;
};

struct DiagRecord {
  std::string state;
  std::string message;
  int native = 0;
};

std::vector<DiagRecord> ReadDiagnostics(SQLSMALLINT type, SQLHANDLE handle) {
  std::vector<DiagRecord> out;
  if (handle == SQL_NULL_HANDLE) return out;
  for (SQLSMALLINT i = 1;; ++i) {
    DriverChar state[6] = {0};
    DriverChar message[512] = {0};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLRETURN rc = BW_ODBC(SQLGetDiagRec)(type, handle, i, state, &native, message, 511, &length);
    if (!SQL_SUCCEEDED(rc)) break;
    out.push_back({FromDriver(state), FromDriver(message), static_cast<int>(native)});
  }
  return out;
}

// Transparent lookup of prepared statements by a string_view of their text.
struct TextHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};

}  // namespace

// A prepared statement and the buffers its parameters are bound to. The
// buffers stay bound between runs: a run only rewrites their contents (and
// binds again when a value's kind changes or its text outgrows the buffer),
// which saves a driver call per value and row.
struct PreparedState {
  enum Kind { kUnbound, kInteger, kText, kNull };
  struct Parameter {
    Kind kind = kUnbound;
    std::unique_ptr<char[]> buffer;
    size_t capacity = 0;  // bytes
    SQLBIGINT number = 0;
    SQLLEN indicator = 0;
  };

  SQLHSTMT handle = SQL_NULL_HSTMT;
  uint64_t generation = 0;  // the connection's, when it was prepared
  bool cached = false;
  bool busy = false;
  std::vector<Parameter> parameters;
};

struct Database::Impl {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;
  bool inTransaction = false;
  // Statement handles handed out and not yet closed, with their bound parameters.
  std::map<SQLHSTMT, std::deque<BoundParameter>> open;
  // Diagnostics of the last failing call (statement handles are freed right
  // after a failure, so their records are copied out first).
  std::vector<DiagRecord> lastError;
  bool lastErrorFresh = false;
  // Prepared statements by their text; `generation` changes whenever the
  // connection's statements are freed, which retires every PreparedState.
  std::unordered_map<std::string, std::shared_ptr<PreparedState>, TextHash, std::equal_to<>>
      prepared;
  uint64_t generation = 1;
  bool preparedFullLogged = false;

  bool known(Statement stmt) const { return stmt != 0 && open.count(AsHandle(stmt)) != 0; }

  bool ensureConnectionHandle() {
    if (dbc != SQL_NULL_HDBC) return true;
    return SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc));
  }

  SQLHSTMT allocStatement() {
    if (dbc == SQL_NULL_HDBC) return SQL_NULL_HSTMT;
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, &stmt))) {
      remember(SQL_HANDLE_DBC, dbc, "SQLAllocHandle");
      return SQL_NULL_HSTMT;
    }
    return stmt;
  }

  // A statement with the requested cursor type. The SQLite driver answers a
  // keyset request with SQL_SUCCESS_WITH_INFO and gives a static cursor; either
  // way the statement runs with what the driver offers.
  SQLHSTMT allocStatement(int cursorType) {
    SQLHSTMT stmt = allocStatement();
    if (stmt != SQL_NULL_HSTMT) {
      SQLSetStmtAttr(stmt, SQL_ATTR_CURSOR_TYPE,
                     reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(cursorType)), 0);
    }
    return stmt;
  }

  void remember(SQLSMALLINT type, SQLHANDLE handle, const std::string& what) {
    lastError = ReadDiagnostics(type, handle);
    lastErrorFresh = true;
    std::string text = what + " failed";
    for (const auto& r : lastError) text += " [" + r.state + "] " + r.message;
    LogWarning("database: " + text);
  }

  void freeAllStatements() {
    for (auto& [stmt, params] : open) SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    open.clear();
    // A query still open in this thread sees its statement retired by the
    // generation; a one-off statement is freed by the disconnect.
    for (auto& [text, state] : prepared) {
      if (state->handle != SQL_NULL_HSTMT) SQLFreeHandle(SQL_HANDLE_STMT, state->handle);
      state->handle = SQL_NULL_HSTMT;
    }
    prepared.clear();
    ++generation;
  }
};

Database::Database() : impl_(std::make_unique<Impl>()) {
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &impl_->env))) {
    impl_->env = SQL_NULL_HENV;
    LogError("database: no ODBC environment");
    return;
  }
  SQLSetEnvAttr(impl_->env, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
}

Database::~Database() {
  std::lock_guard lock(mu_);
  Disconnect();
  if (impl_->dbc != SQL_NULL_HDBC) SQLFreeHandle(SQL_HANDLE_DBC, impl_->dbc);
  if (impl_->env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, impl_->env);
}

OdbcHandle Database::GetConnectionHandle() const {
  std::lock_guard lock(mu_);
  return impl_->dbc;
}

void Database::SetConnectionHandle(OdbcHandle handle) {
  std::lock_guard lock(mu_);
  impl_->freeAllStatements();
  impl_->dbc = static_cast<SQLHDBC>(handle);
  impl_->connected = handle != nullptr;
  impl_->inTransaction = false;
}

bool Database::Connect(const std::string& connectionString) {
  std::lock_guard lock(mu_);
  if (impl_->env == SQL_NULL_HENV || !impl_->ensureConnectionHandle()) return false;
  auto in = ToDriver(connectionString);
  DriverChar out[1024] = {0};
  SQLSMALLINT outLength = 0;
  SQLRETURN rc =
      BW_ODBC(SQLDriverConnect)(impl_->dbc, nullptr, in.data(), static_cast<SQLSMALLINT>(in.size()),
                                out, 1023, &outLength, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    impl_->remember(SQL_HANDLE_DBC, impl_->dbc, "connect");
    return false;
  }
  impl_->connected = true;
  return true;
}

bool Database::ConnectSqlServer(const std::string& server, const std::string& database,
                                const std::string& user, const std::string& password) {
  return Connect(SqlServerConnectionString(server, database, user, password));
}

bool Database::ConnectAccess(const std::string& file, const std::string& password, bool newDriver) {
  return Connect(AccessConnectionString(file, password, newDriver));
}

bool Database::ConnectExcel(const std::string& file, const std::string& password) {
  return Connect(ExcelConnectionString(file, password));
}

namespace {
// The database file as the driver must be told it. Under Wine 8, odbc32 hands
// the connection string to the Unix driver manager, whose driver needs the
// Unix path; and on the way to an ANSI driver (the SQLite3 one) the wide
// connection string loses the high byte of every character (seen with
// unixODBC 2.3.11), so a Chinese name would open another file: the path goes
// as a "file:" URI with every byte but the plain ones percent-encoded, which
// the driver opens. Windows drivers take the Windows path.
std::string DriverFilePath(const std::string& file) {
#ifdef _WIN32
  using ToUnix = char*(CDECL*)(LPCWSTR);
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  auto toUnix = reinterpret_cast<ToUnix>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
  if (toUnix) {
    char* unixPath = toUnix(WideFromUtf8(file).c_str());
    if (unixPath) {
      std::string uri = "file:";
      static const char kHex[] = "0123456789ABCDEF";
      for (const char* p = unixPath; *p; ++p) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
            c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
          uri += static_cast<char>(c);
        } else {
          uri += '%';
          uri += kHex[c >> 4];
          uri += kHex[c & 0xF];
        }
      }
      HeapFree(GetProcessHeap(), 0, unixPath);
      return uri;
    }
  }
#endif
  return file;
}
}  // namespace

bool Database::ConnectSqlite(const std::string& file) {
  return Connect(SqliteConnectionString(DriverFilePath(file)));
}

bool Database::ConnectPostgres(const std::string& server, int port, const std::string& database,
                               const std::string& user, const std::string& password) {
  return Connect(PostgresConnectionString(server, port, database, user, password));
}

bool Database::Disconnect() {
  std::lock_guard lock(mu_);
  if (impl_->dbc == SQL_NULL_HDBC) return false;
  impl_->freeAllStatements();
  // An open transaction would make the driver refuse to disconnect.
  if (impl_->inTransaction) Rollback();
  SQLRETURN rc = SQLDisconnect(impl_->dbc);
  if (!SQL_SUCCEEDED(rc)) {
    if (impl_->connected) impl_->remember(SQL_HANDLE_DBC, impl_->dbc, "disconnect");
    return false;
  }
  SQLFreeHandle(SQL_HANDLE_DBC, impl_->dbc);
  impl_->dbc = SQL_NULL_HDBC;
  impl_->connected = false;
  return true;
}

bool Database::connected() const {
  std::lock_guard lock(mu_);
  return impl_->connected;
}

int Database::ExecuteCode(const std::string& sql, int64_t* rowCount) {
  std::lock_guard lock(mu_);
  SQLHSTMT stmt = impl_->allocStatement();
  if (stmt == SQL_NULL_HSTMT) return SQL_ERROR;
  auto text = ToDriver(sql);
  SQLRETURN rc = BW_ODBC(SQLExecDirect)(stmt, text.data(), static_cast<SQLINTEGER>(text.size()));
  if (rc == SQL_ERROR) impl_->remember(SQL_HANDLE_STMT, stmt, "statement \"" + sql + "\"");
  if (rowCount) {
    SQLLEN rows = -1;
    if (SQL_SUCCEEDED(rc) && SQL_SUCCEEDED(SQLRowCount(stmt, &rows))) {
      *rowCount = rows;
    } else {
      *rowCount = rc == SQL_NO_DATA ? 0 : -1;
    }
  }
  SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  return rc;
}

ExecResult Database::Execute(const std::string& sql, int64_t* rowCount) {
  return ExecResult{ExecuteCode(sql, rowCount)};
}

bool Database::ExecutePrepared(const std::string& sql, const std::vector<std::string>& parameters) {
  std::lock_guard lock(mu_);
  Statement stmt = Prepare(sql, 0);
  if (stmt == 0) return false;
  bool ok = true;
  for (size_t i = 0; i < parameters.size() && ok; ++i) {
    ok = BindBytes(stmt, static_cast<int>(i + 1), parameters[i]);
  }
  ok = ok && ExecuteStatement(stmt);
  CloseQuery(stmt);
  return ok;
}

Statement Database::Query(const std::string& sql, int cursorType) {
  std::lock_guard lock(mu_);
  SQLHSTMT stmt = impl_->allocStatement(cursorType);
  if (stmt == SQL_NULL_HSTMT) return 0;
  auto text = ToDriver(sql);
  SQLRETURN rc = BW_ODBC(SQLExecDirect)(stmt, text.data(), static_cast<SQLINTEGER>(text.size()));
  if (rc != SQL_SUCCESS) {
    if (rc == SQL_ERROR) impl_->remember(SQL_HANDLE_STMT, stmt, "query \"" + sql + "\"");
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return 0;
  }
  impl_->open[stmt];
  return AsStatement(stmt);
}

Statement Database::Prepare(const std::string& sql, int cursorType) {
  std::lock_guard lock(mu_);
  SQLHSTMT stmt = impl_->allocStatement(cursorType);
  if (stmt == SQL_NULL_HSTMT) return 0;
  auto text = ToDriver(sql);
  SQLRETURN rc = BW_ODBC(SQLPrepare)(stmt, text.data(), static_cast<SQLINTEGER>(text.size()));
  if (!SQL_SUCCEEDED(rc)) {
    impl_->remember(SQL_HANDLE_STMT, stmt, "prepare \"" + sql + "\"");
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
    return 0;
  }
  impl_->open[stmt];
  return AsStatement(stmt);
}

bool Database::ExecuteStatement(Statement stmt) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt)) return false;
  SQLRETURN rc = SQLExecute(AsHandle(stmt));
  if (rc == SQL_ERROR) impl_->remember(SQL_HANDLE_STMT, AsHandle(stmt), "execute");
  return rc == SQL_SUCCESS;
}

bool Database::BindBytes(Statement stmt, int parameter, const std::string& bytes) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || parameter < 1) return false;
  auto& params = impl_->open[AsHandle(stmt)];
  BoundParameter& p = params.emplace_back();
  p.bytes = bytes;
  p.length = static_cast<SQLLEN>(p.bytes.size());
  SQLULEN size = std::max<SQLULEN>(1, p.bytes.size());
  SQLRETURN rc = SQLBindParameter(AsHandle(stmt), static_cast<SQLUSMALLINT>(parameter),
                                  SQL_PARAM_INPUT, SQL_C_BINARY, SQL_LONGVARBINARY, size, 0,
                                  p.bytes.data(), p.length, &p.length);
  if (!SQL_SUCCEEDED(rc)) {
    impl_->remember(SQL_HANDLE_STMT, AsHandle(stmt), "bind");
    return false;
  }
  return true;
}

bool Database::CloseQuery(Statement stmt) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt)) return false;
  SQLHSTMT h = AsHandle(stmt);
  impl_->open.erase(h);
  return SQL_SUCCEEDED(SQLFreeHandle(SQL_HANDLE_STMT, h));
}

size_t Database::openStatements() const {
  std::lock_guard lock(mu_);
  return impl_->open.size();
}

namespace {
bool Fetch(SQLHSTMT stmt, SQLSMALLINT orientation, SQLLEN offset) {
  return SQL_SUCCEEDED(SQLFetchScroll(stmt, orientation, offset));
}
}  // namespace

bool Database::FetchNext(Statement stmt) {
  std::lock_guard lock(mu_);
  return impl_->known(stmt) && Fetch(AsHandle(stmt), SQL_FETCH_NEXT, 0);
}

bool Database::FetchPrior(Statement stmt) {
  std::lock_guard lock(mu_);
  return impl_->known(stmt) && Fetch(AsHandle(stmt), SQL_FETCH_PRIOR, 0);
}

bool Database::FetchFirst(Statement stmt) {
  std::lock_guard lock(mu_);
  return impl_->known(stmt) && Fetch(AsHandle(stmt), SQL_FETCH_FIRST, 0);
}

bool Database::FetchLast(Statement stmt) {
  std::lock_guard lock(mu_);
  return impl_->known(stmt) && Fetch(AsHandle(stmt), SQL_FETCH_LAST, 0);
}

bool Database::FetchAbsolute(Statement stmt, int64_t row) {
  std::lock_guard lock(mu_);
  return impl_->known(stmt) && Fetch(AsHandle(stmt), SQL_FETCH_ABSOLUTE, static_cast<SQLLEN>(row));
}

int Database::ColumnIndex(Statement stmt, const std::string& name) {
  std::lock_guard lock(mu_);
  const int count = ColumnCount(stmt);
  for (int i = 0; i < count; ++i) {
    if (AsciiEqualNoCase(ColumnName(stmt, i), name)) return i;
  }
  return -1;
}

std::string Database::GetTextByName(Statement stmt, const std::string& name) {
  std::lock_guard lock(mu_);
  int i = ColumnIndex(stmt, name);
  return i < 0 ? std::string() : GetText(stmt, i);
}

std::string Database::GetBytesByName(Statement stmt, const std::string& name) {
  std::lock_guard lock(mu_);
  int i = ColumnIndex(stmt, name);
  return i < 0 ? std::string() : GetBytes(stmt, i);
}

int32_t Database::GetIntByName(Statement stmt, const std::string& name) {
  std::lock_guard lock(mu_);
  int i = ColumnIndex(stmt, name);
  return i < 0 ? 0 : GetInt(stmt, i);
}

float Database::GetFloatByName(Statement stmt, const std::string& name) {
  std::lock_guard lock(mu_);
  int i = ColumnIndex(stmt, name);
  return i < 0 ? 0.0f : GetFloat(stmt, i);
}

double Database::GetDoubleByName(Statement stmt, const std::string& name) {
  std::lock_guard lock(mu_);
  int i = ColumnIndex(stmt, name);
  return i < 0 ? 0.0 : GetDouble(stmt, i);
}

namespace {

// Reads a column in pieces: the first into `firstPiece` bytes, every further one
// into a buffer of the size the driver reported. A NULL or an error gives "".
// Text pieces end in a terminator of one unit (a byte, or two for UTF-16).
std::string ReadPieces(SQLHSTMT stmt, int column, SQLSMALLINT cType, size_t firstPiece,
                       bool* null = nullptr) {
  if (null) *null = false;
  const size_t unit = cType == SQL_C_CHAR ? 1 : cType == SQL_C_WCHAR ? 2 : 0;
  std::string out;
  std::vector<char> buffer(firstPiece);
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(column + 1), cType, buffer.data(),
                              static_cast<SQLLEN>(buffer.size()), &indicator);
    if (rc == SQL_NO_DATA) break;  // every piece was read
    if (rc == SQL_ERROR || rc == SQL_INVALID_HANDLE || indicator == SQL_NULL_DATA) {
      if (null) *null = indicator == SQL_NULL_DATA;
      return {};
    }
    // A text piece is terminated inside the buffer, a byte piece fills it.
    size_t room = buffer.size() - unit;
    if (unit) room -= room % unit;
    size_t got = room;
    if (indicator >= 0) got = std::min<size_t>(got, static_cast<size_t>(indicator));
    if (unit) {
      size_t end = 0;
      while (end + unit <= got && !(buffer[end] == 0 && (unit == 1 || buffer[end + 1] == 0))) {
        end += unit;
      }
      got = end;
    }
    out.append(buffer.data(), got);
    if (rc != SQL_SUCCESS_WITH_INFO) break;
    if (indicator >= 0 && static_cast<size_t>(indicator) <= room) break;  // not truncated
    size_t next = indicator > 0 ? static_cast<size_t>(indicator) + unit : buffer.size() * 2;
    buffer.assign(std::max<size_t>(next, 16), 0);
  }
  return out;
}

}  // namespace

namespace {
std::string ReadText(SQLHSTMT stmt, int column, bool* null = nullptr) {
#ifdef _WIN32
  // Read as UTF-16: its bytes, two per unit, then converted.
  const std::string bytes = ReadPieces(stmt, column, SQL_C_WCHAR, 510, null);
  return Utf8FromWide(
      std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / 2));
#else
  return ReadPieces(stmt, column, SQL_C_CHAR, 255, null);
#endif
}
}  // namespace

std::string Database::GetText(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return {};
  return ReadText(AsHandle(stmt), column);
}

std::string Database::GetBytes(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return {};
  return ReadPieces(AsHandle(stmt), column, SQL_C_BINARY, 10240);
}

namespace {
template <typename T>
T ReadScalar(SQLHSTMT stmt, int column, SQLSMALLINT cType) {
  T value{};
  SQLLEN indicator = 0;
  SQLRETURN rc = SQLGetData(stmt, static_cast<SQLUSMALLINT>(column + 1), cType, &value,
                            sizeof value, &indicator);
  if (!SQL_SUCCEEDED(rc) || indicator == SQL_NULL_DATA) return T{};
  return value;
}
}  // namespace

int32_t Database::GetInt(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return 0;
  return ReadScalar<SQLINTEGER>(AsHandle(stmt), column, SQL_C_SLONG);
}

int64_t Database::GetInt64(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return 0;
  return ReadScalar<SQLBIGINT>(AsHandle(stmt), column, SQL_C_SBIGINT);
}

float Database::GetFloat(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return 0;
  return ReadScalar<SQLREAL>(AsHandle(stmt), column, SQL_C_FLOAT);
}

double Database::GetDouble(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return 0;
  return ReadScalar<SQLDOUBLE>(AsHandle(stmt), column, SQL_C_DOUBLE);
}

namespace {
struct ColumnDescription {
  bool ok = false;
  std::string name;
  SQLSMALLINT type = 0;
  SQLULEN size = 0;
  SQLSMALLINT nullable = 0;
};

ColumnDescription Describe(SQLHSTMT stmt, int column) {
  ColumnDescription d;
  // Large: with a small buffer the SQLite3 driver cuts a character in half
  // without reporting the truncation.
  DriverChar name[256] = {0};
  SQLSMALLINT nameLength = 0, digits = 0;
  SQLRETURN rc = BW_ODBC(SQLDescribeCol)(stmt, static_cast<SQLUSMALLINT>(column + 1), name, 255,
                                         &nameLength, &d.type, &d.size, &digits, &d.nullable);
  if (!SQL_SUCCEEDED(rc)) return d;
  d.ok = true;
  d.name = FromDriver(name);
  return d;
}
}  // namespace

std::string Database::ColumnName(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return {};
  return Describe(AsHandle(stmt), column).name;
}

int Database::ColumnCount(Statement stmt) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt)) return 0;
  SQLSMALLINT count = 0;
  if (!SQL_SUCCEEDED(SQLNumResultCols(AsHandle(stmt), &count))) return 0;
  return count;
}

int Database::ColumnType(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return 0;
  return Describe(AsHandle(stmt), column).type;
}

int Database::ColumnSize(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return 0;
  return static_cast<int>(Describe(AsHandle(stmt), column).size);
}

bool Database::ColumnNullable(Statement stmt, int column) {
  std::lock_guard lock(mu_);
  if (!impl_->known(stmt) || column < 0) return false;
  return Describe(AsHandle(stmt), column).nullable == SQL_NULLABLE;
}

int Database::Count(const std::string& table, const std::string& condition) {
  std::lock_guard lock(mu_);
  std::string sql = "select count(1) from " + table + " ";
  if (!condition.empty()) sql += "where " + condition;
  Statement stmt = Query(sql, 0);
  if (stmt == 0) return 0;
  int n = FetchNext(stmt) ? GetInt(stmt, 0) : 0;
  CloseQuery(stmt);
  return n;
}

bool Database::BeginTransaction() {
  std::lock_guard lock(mu_);
  if (!impl_->connected) return false;
  SQLRETURN rc = SQLSetConnectAttr(impl_->dbc, SQL_ATTR_AUTOCOMMIT,
                                   reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0);
  if (!SQL_SUCCEEDED(rc)) {
    impl_->remember(SQL_HANDLE_DBC, impl_->dbc, "begin transaction");
    return false;
  }
  impl_->inTransaction = true;
  return true;
}

bool Database::Rollback() {
  std::lock_guard lock(mu_);
  if (impl_->dbc == SQL_NULL_HDBC) return false;
  SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, impl_->dbc, SQL_ROLLBACK);
  if (!SQL_SUCCEEDED(rc)) impl_->remember(SQL_HANDLE_DBC, impl_->dbc, "rollback");
  SQLSetConnectAttr(impl_->dbc, SQL_ATTR_AUTOCOMMIT,
                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  impl_->inTransaction = false;
  return SQL_SUCCEEDED(rc);
}

bool Database::Commit() {
  std::lock_guard lock(mu_);
  if (impl_->dbc == SQL_NULL_HDBC) return false;
  SQLRETURN rc = SQLEndTran(SQL_HANDLE_DBC, impl_->dbc, SQL_COMMIT);
  if (!SQL_SUCCEEDED(rc)) impl_->remember(SQL_HANDLE_DBC, impl_->dbc, "commit");
  SQLSetConnectAttr(impl_->dbc, SQL_ATTR_AUTOCOMMIT,
                    reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  impl_->inTransaction = false;
  return SQL_SUCCEEDED(rc);
}

bool Database::SetConnectionTimeout(int seconds) {
  std::lock_guard lock(mu_);
  if (impl_->env == SQL_NULL_HENV || !impl_->ensureConnectionHandle()) return false;
  SQLRETURN rc = SQLSetConnectAttr(impl_->dbc, SQL_ATTR_CONNECTION_TIMEOUT,
                                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(seconds)), 0);
  return SQL_SUCCEEDED(rc);
}

int Database::GetConnectionTimeout() {
  std::lock_guard lock(mu_);
  if (impl_->env == SQL_NULL_HENV || !impl_->ensureConnectionHandle()) return 0;
  SQLUINTEGER value = 0;
  SQLINTEGER length = 0;
  if (!SQL_SUCCEEDED(SQLGetConnectAttr(impl_->dbc, SQL_ATTR_CONNECTION_TIMEOUT, &value,
                                       sizeof value, &length)))
    return 0;
  return static_cast<int>(value);
}

int Database::GetErrorText(std::string& state, std::string& message) {
  std::lock_guard lock(mu_);
  std::vector<DiagRecord> records;
  if (impl_->lastErrorFresh) {
    records = impl_->lastError;
  } else {
    records = ReadDiagnostics(SQL_HANDLE_DBC, impl_->dbc);
  }
  int native = 0;
  for (const auto& r : records) {
    state += r.state;
    message += r.message;
    native = r.native;
  }
  return native;
}

std::string Database::Browse(const std::string& request) {
  std::lock_guard lock(mu_);
  if (impl_->env == SQL_NULL_HENV || !impl_->ensureConnectionHandle()) return {};
  auto in = ToDriver(request);
  DriverChar out[2048] = {0};
  SQLSMALLINT outLength = 0;
  SQLRETURN rc = BW_ODBC(SQLBrowseConnect)(
      impl_->dbc, in.data(), static_cast<SQLSMALLINT>(in.size()), out, 2047, &outLength);
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NEED_DATA) return {};
  return FromDriver(out);
}

int Database::ParseBrowseList(const std::string& answer, const std::string& marker,
                              std::vector<std::string>& out) {
  out.clear();
  if (answer.find(marker) == std::string::npos) return 0;
  size_t open = answer.find("={");
  if (open == std::string::npos) return 0;
  open += 2;
  size_t close = answer.find('}', open);
  if (close == std::string::npos) return 0;
  std::string list = answer.substr(open, close - open);
  size_t start = 0;
  for (;;) {
    size_t comma = list.find(',', start);
    out.push_back(list.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return static_cast<int>(out.size());
}

int Database::ListSqlServers(std::vector<std::string>& out) {
  return ParseBrowseList(Browse("Driver={SQL Server}"), "SERVER:", out);
}

int Database::ListSqlServerDatabases(const std::string& server, const std::string& user,
                                     const std::string& password, std::vector<std::string>& out) {
  return ParseBrowseList(
      Browse("Driver={SQL Server};SERVER=" + server + ";UID=" + user + ";PWD=" + password),
      "DATABASE", out);
}

namespace {
#ifdef _WIN32
constexpr wchar_t kAccessDriver[] = L"Microsoft Access Driver (*.mdb)";
#endif
}  // namespace

bool Database::CreateAccessFile(const std::string& file) {
#ifdef _WIN32
  // One attribute, "CREATE_DB=<file> General" (the sort order), in a list
  // that ends with an empty entry.
  std::wstring attributes = L"CREATE_DB=\"" + WideFromUtf8(file) + L"\" General";
  attributes.push_back(L'\0');
  attributes.push_back(L'\0');
  if (SQLConfigDataSourceW(nullptr, ODBC_ADD_DSN, kAccessDriver, attributes.c_str())) return true;
  DWORD code = 0;
  WCHAR message[512] = {0};
  WORD length = 0;
  SQLInstallerErrorW(1, &code, message, 511, &length);
  LogWarning("database: creating " + file + " failed (" + std::to_string(code) + ") " +
             Utf8FromWide(message));
  return false;
#else
  LogWarning("database: no Access driver here to create " + file);
  return false;
#endif
}

bool Database::AccessDriverInstalled() {
#ifdef _WIN32
  // The names, each ending in a NUL, the list in an empty one.
  std::vector<WCHAR> names(16384, 0);
  WORD used = 0;
  if (!SQLGetInstalledDriversW(names.data(), static_cast<WORD>(names.size() - 1), &used))
    return false;
  for (const WCHAR* name = names.data(); *name; name += std::wcslen(name) + 1) {
    if (std::wcscmp(name, kAccessDriver) == 0) return true;
  }
#endif
  return false;
}

std::string Database::AccessConnectionString(const std::string& file, const std::string& password,
                                             bool newDriver) {
  if (newDriver) {
    return "ODBC;DSN=MS Access Database;DBQ=" + file +
           ";Driver={Microsoft Access Driver (*.mdb, *.accdb)};;DriverId=25;FIL=MS "
           "Access;MaxBufferSize=2048;PageTimeout=5;PWD=" +
           password;
  }
  return "DBQ=" + file + ";Pwd=" + password + ";DRIVER={Microsoft Access Driver (*.mdb)};";
}

std::string Database::SqlServerConnectionString(const std::string& server,
                                                const std::string& database,
                                                const std::string& user,
                                                const std::string& password) {
  if (!user.empty() || !password.empty()) {
    return "driver={sql server};server=" + server + ";database=" + database + ";uid=" + user +
           ";pwd=" + password;
  }
  return "Driver=SQL Server;Server=" + server + ";Database=" + database +
         ";Trusted_Connection=Yes;Connect Timeout=90";
}

std::string Database::ExcelConnectionString(const std::string& file, const std::string& password) {
  return "DBQ=" + file + ";Pwd=" + password + ";DRIVER={MICROSOFT EXCEL DRIVER (*.XLS)};";
}

std::string Database::SqliteConnectionString(const std::string& file) {
  // WAL with synchronous NORMAL: about fifty times the autocommit insert rate
  // of the default rollback journal, and a crash still loses no committed row
  // of the database file (at most the last transactions before a power loss).
  return "DRIVER={SQLite3};Database=" + file + ";JournalMode=WAL;SyncPragma=NORMAL;";
}

namespace {
// A value with a ";" (or braces) must be braced, or it would end the attribute.
std::string ConnectionValue(const std::string& value) {
  if (value.find_first_of(";{}") == std::string::npos) return value;
  std::string out = "{";
  for (char c : value) {
    out += c;
    if (c == '}') out += '}';
  }
  return out + "}";
}
}  // namespace

std::string Database::PostgresConnectionString(const std::string& server, int port,
                                               const std::string& database, const std::string& user,
                                               const std::string& password) {
  return "DRIVER={PostgreSQL Unicode};Server=" + ConnectionValue(server) +
         ";Port=" + std::to_string(port) + ";Database=" + ConnectionValue(database) +
         ";Uid=" + ConnectionValue(user) + ";Pwd=" + ConnectionValue(password) + ";";
}

// --- ScopedQuery ---

ScopedQuery::ScopedQuery(Database& db, const std::string& sql, int cursorType)
    : db_(db), stmt_(db.Query(sql, cursorType)) {}

ScopedQuery::~ScopedQuery() {
  if (stmt_ != 0) db_.CloseQuery(stmt_);
}

bool ScopedQuery::next() { return stmt_ != 0 && db_.FetchNext(stmt_); }
bool ScopedQuery::first() { return stmt_ != 0 && db_.FetchFirst(stmt_); }
std::string ScopedQuery::text(int column) { return db_.GetText(stmt_, column); }
std::string ScopedQuery::text(const std::string& name) { return db_.GetTextByName(stmt_, name); }
int32_t ScopedQuery::integer(int column) { return db_.GetInt(stmt_, column); }
int32_t ScopedQuery::integer(const std::string& name) { return db_.GetIntByName(stmt_, name); }
int64_t ScopedQuery::integer64(int column) { return db_.GetInt64(stmt_, column); }

// --- PreparedQuery ---

namespace {

constexpr size_t kMostPrepared = 256;

#ifdef _WIN32
constexpr SQLSMALLINT kTextC = SQL_C_WCHAR;
constexpr SQLSMALLINT kTextSql = SQL_WVARCHAR;
constexpr size_t kTextUnit = 2;
#else
constexpr SQLSMALLINT kTextC = SQL_C_CHAR;
constexpr SQLSMALLINT kTextSql = SQL_VARCHAR;
constexpr size_t kTextUnit = 1;
#endif

std::string Shortened(std::string_view sql) {
  return std::string(sql.substr(0, 200)) + (sql.size() > 200 ? "…" : "");
}

// Binds (or only refills) parameter `index` (from 0) with `value`.
bool BindValue(SQLHSTMT stmt, PreparedState::Parameter& p, size_t index, const SqlValue& value) {
  const auto number = static_cast<SQLUSMALLINT>(index + 1);
  switch (value.kind()) {
    case SqlValue::Kind::kInteger:
      p.number = value.integer();
      p.indicator = 0;
      if (p.kind == PreparedState::kInteger) return true;
      p.kind = PreparedState::kInteger;
      return SQL_SUCCEEDED(SQLBindParameter(stmt, number, SQL_PARAM_INPUT, SQL_C_SBIGINT,
                                            SQL_BIGINT, 0, 0, &p.number, 0, &p.indicator));
    case SqlValue::Kind::kNull:
      p.indicator = SQL_NULL_DATA;
      if (p.kind == PreparedState::kNull) return true;
      p.kind = PreparedState::kNull;
      return SQL_SUCCEEDED(SQLBindParameter(stmt, number, SQL_PARAM_INPUT, kTextC, kTextSql, 1, 0,
                                            nullptr, 0, &p.indicator));
    case SqlValue::Kind::kText: {
#ifdef _WIN32
      const std::wstring wide = WideFromUtf8(std::string(value.text()));
      const char* bytes = reinterpret_cast<const char*>(wide.data());
      const size_t size = wide.size() * 2;
#else
      const char* bytes = value.text().data();
      const size_t size = value.text().size();
#endif
      const bool rebind = p.kind != PreparedState::kText || p.capacity < size + kTextUnit;
      if (rebind) {
        size_t capacity = 64;
        while (capacity < size + kTextUnit) capacity *= 2;
        p.buffer = std::make_unique<char[]>(capacity);
        p.capacity = capacity;
      }
      if (size) std::memcpy(p.buffer.get(), bytes, size);
      std::memset(p.buffer.get() + size, 0, kTextUnit);
      p.indicator = static_cast<SQLLEN>(size);
      if (!rebind) return true;
      p.kind = PreparedState::kText;
      const SQLULEN characters = (p.capacity - kTextUnit) / kTextUnit;
      return SQL_SUCCEEDED(SQLBindParameter(stmt, number, SQL_PARAM_INPUT, kTextC, kTextSql,
                                            characters, 0, p.buffer.get(),
                                            static_cast<SQLLEN>(p.capacity), &p.indicator));
    }
  }
  return false;
}

}  // namespace

PreparedQuery::PreparedQuery(Database& db, std::string_view sql,
                             std::initializer_list<SqlValue> values)
    : db_(db), lock_(db.mu_) {
  run(sql, std::span<const SqlValue>(values.begin(), values.size()));
}

PreparedQuery::PreparedQuery(Database& db, std::string_view sql, std::span<const SqlValue> values)
    : db_(db), lock_(db.mu_) {
  run(sql, values);
}

void PreparedQuery::run(std::string_view sql, std::span<const SqlValue> values) {
  result_ = ExecResult{SQL_ERROR};
  Database::Impl& impl = *db_.impl_;
  if (!impl.connected || impl.dbc == SQL_NULL_HDBC) {
    LogWarning("database: not connected for \"" + Shortened(sql) + "\"");
    return;
  }
  auto it = impl.prepared.find(sql);
  if (it != impl.prepared.end() && !it->second->busy) {
    state_ = it->second;
  } else {
    // Not prepared yet, or in use by a query of this thread that is still open.
    auto state = std::make_shared<PreparedState>();
    state->generation = impl.generation;
    state->handle = impl.allocStatement();
    if (state->handle == SQL_NULL_HSTMT) return;
    auto text = ToDriver(std::string(sql));
    SQLRETURN rc =
        BW_ODBC(SQLPrepare)(state->handle, text.data(), static_cast<SQLINTEGER>(text.size()));
    SQLSMALLINT count = 0;
    if (SQL_SUCCEEDED(rc)) rc = SQLNumParams(state->handle, &count);
    if (!SQL_SUCCEEDED(rc)) {
      impl.remember(SQL_HANDLE_STMT, state->handle, "prepare \"" + Shortened(sql) + "\"");
      SQLFreeHandle(SQL_HANDLE_STMT, state->handle);
      return;
    }
    state->parameters.resize(static_cast<size_t>(count));
    if (it == impl.prepared.end()) {
      if (impl.prepared.size() < kMostPrepared) {
        state->cached = true;
        impl.prepared.emplace(std::string(sql), state);
      } else if (!impl.preparedFullLogged) {
        impl.preparedFullLogged = true;
        LogWarning("database: more than " + std::to_string(kMostPrepared) +
                   " statement texts; the others are prepared for each run");
      }
    }
    state_ = std::move(state);
  }
  state_->busy = true;
  if (values.size() != state_->parameters.size()) {
    LogWarning("database: \"" + Shortened(sql) + "\" takes " +
               std::to_string(state_->parameters.size()) + " values, not " +
               std::to_string(values.size()));
    return;
  }
  for (size_t i = 0; i < values.size(); ++i) {
    if (!BindValue(state_->handle, state_->parameters[i], i, values[i])) {
      state_->parameters[i].kind = PreparedState::kUnbound;
      impl.remember(SQL_HANDLE_STMT, state_->handle, "bind to \"" + Shortened(sql) + "\"");
      return;
    }
  }
  const SQLRETURN rc = SQLExecute(state_->handle);
  result_ = ExecResult{rc};
  if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) {
    impl.remember(SQL_HANDLE_STMT, state_->handle, "statement \"" + Shortened(sql) + "\"");
    return;
  }
  if (SQL_SUCCEEDED(rc)) {
    SQLSMALLINT count = 0;
    if (SQL_SUCCEEDED(SQLNumResultCols(state_->handle, &count))) columns_ = count;
  }
}

PreparedQuery::~PreparedQuery() {
  if (!state_) return;
  Database::Impl& impl = *db_.impl_;
  const bool live = state_->generation == impl.generation && state_->handle != SQL_NULL_HSTMT;
  state_->busy = false;
  if (!live) return;
  // A statement that failed is not trusted again (a PostgreSQL plan made
  // stale by a schema change, a broken connection): the next run prepares anew.
  if (!state_->cached || result_.failed()) {
    if (state_->cached) {
      auto it = impl.prepared.begin();
      for (; it != impl.prepared.end(); ++it) {
        if (it->second == state_) break;
      }
      if (it != impl.prepared.end()) impl.prepared.erase(it);
    }
    SQLFreeHandle(SQL_HANDLE_STMT, state_->handle);
    state_->handle = SQL_NULL_HSTMT;
    return;
  }
  if (columns_ > 0) SQLFreeStmt(state_->handle, SQL_CLOSE);
}

int64_t PreparedQuery::changed() {
  if (result_.noRow()) return 0;
  if (!result_.done() || !state_ || state_->generation != db_.impl_->generation) return -1;
  SQLLEN rows = -1;
  if (!SQL_SUCCEEDED(SQLRowCount(state_->handle, &rows))) return -1;
  return rows;
}

bool PreparedQuery::next() {
  if (columns_ <= 0 || !result_.done() || !state_ || state_->generation != db_.impl_->generation ||
      state_->handle == SQL_NULL_HSTMT)
    return false;
  const SQLRETURN rc = SQLFetch(state_->handle);
  if (!SQL_SUCCEEDED(rc)) {
    if (rc != SQL_NO_DATA) db_.impl_->remember(SQL_HANDLE_STMT, state_->handle, "fetch");
    row_.clear();
    nulls_.clear();
    return false;
  }
  // Every column at once, in order: psqlodbc reads each column only once, and
  // drivers may refuse to go back to an earlier one.
  row_.resize(static_cast<size_t>(columns_));
  nulls_.assign(static_cast<size_t>(columns_), false);
  for (int i = 0; i < columns_; ++i) {
    bool null = false;
    row_[static_cast<size_t>(i)] = ReadText(state_->handle, i, &null);
    nulls_[static_cast<size_t>(i)] = null;
  }
  return true;
}

bool PreparedQuery::null(int column) const {
  return column < 0 || static_cast<size_t>(column) >= nulls_.size() ||
         nulls_[static_cast<size_t>(column)];
}

std::string PreparedQuery::text(int column) const {
  if (column < 0 || static_cast<size_t>(column) >= row_.size()) return {};
  return row_[static_cast<size_t>(column)];
}

int64_t PreparedQuery::integer(int column) const {
  if (column < 0 || static_cast<size_t>(column) >= row_.size()) return 0;
  const std::string& t = row_[static_cast<size_t>(column)];
  // Also "12.0", as a driver may give a number column.
  char* end = nullptr;
  errno = 0;
  const long long n = std::strtoll(t.c_str(), &end, 10);
  if (end == t.c_str() || errno == ERANGE) return 0;
  return n;
}

ExecResult RunPrepared(Database& db, std::string_view sql, std::initializer_list<SqlValue> values,
                       int64_t* changed) {
  return RunPrepared(db, sql, std::span<const SqlValue>(values.begin(), values.size()), changed);
}

ExecResult RunPrepared(Database& db, std::string_view sql, std::span<const SqlValue> values,
                       int64_t* changed) {
  PreparedQuery q(db, sql, values);
  if (changed) *changed = q.changed();
  return q.result();
}

// --- Transaction ---

Transaction::Transaction(Database& db) : db_(db), lock_(db.mu_) { begun_ = db_.BeginTransaction(); }

Transaction::~Transaction() {
  if (begun_ && !done_) db_.Rollback();
}

bool Transaction::commit() {
  if (!begun_ || done_) return false;
  done_ = true;
  return db_.Commit();
}

}  // namespace bw
