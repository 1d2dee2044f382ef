// Database: the one shared connection of the robot, a thin layer over the ODBC 3
// call-level interface (unixODBC on Linux, odbc32 on Windows), called through
// the plain entry points with UTF-8 on Linux and the wide ones with UTF-16 on
// Windows (which every driver manager maps for ANSI drivers; Wine 8 aborts on
// the ANSI names). Table owners run prepared statements with bound values
// (storage/prepared.h); the calls below take SQL text (values quoted with
// SqlQuote) and hand out statement handles that the caller closes with
// CloseQuery (or holds in a ScopedQuery).
//
// Results follow the ODBC return codes strictly: Execute's result converts to
// true only on SQL_SUCCESS and tells "no row matched" from a failure; Query returns 0 on anything
// but SQL_SUCCESS (and frees the statement). GetText reads a column in pieces (255 bytes first),
// NULL gives
// "". Only handles this object issued and has not closed are used; any other
// is refused, so a stale handle cannot crash the driver. GetErrorText reports
// the diagnostics of the last failing call (statement records are copied out
// before the statement is freed), or the connection's when nothing failed.
// Failing calls are also written to the service log.
//
// What the two Linux drivers were seen to do, which this layer absorbs:
// - SQLite3 driver (libsqliteodbc): a delete or update that matches no row
//   returns SQL_NO_DATA (so Execute is false, as intended). A keyset cursor
//   request is answered with SQL_SUCCESS_WITH_INFO on SQLSetStmtAttr (it gives
//   a static cursor) and the statement then runs with SQL_SUCCESS: Query
//   ignores the attribute's answer. Scrolling (first/last/prior/absolute)
//   works on that cursor. A column can be read again after it was read.
//   Connection timeouts are accepted but not kept (reads back as 0). Opened
//   with JournalMode=WAL;SyncPragma=NORMAL (the driver's connection
//   attributes), which gives tens of times the autocommit insert rate of the
//   default rollback journal.
// - PostgreSQL Unicode driver (psqlodbc): text goes both ways as UTF-8 through
//   the ANSI calls. Unquoted column names come back folded to lower case
//   ("qq号" for QQ号): ColumnIndex matches names without ASCII case, so lookups
//   by name work on both. CREATE TABLE/INDEX IF NOT EXISTS on an existing
//   object answers SQL_SUCCESS_WITH_INFO: schema creation uses ExecuteCode and
//   accepts it. A delete matching no row returns SQL_NO_DATA too. INTEGER is
//   32-bit (the schema uses BIGINT) and '' is refused for a number column. A
//   column can be read only once per row (SQLGetData then returns
//   SQL_NO_DATA, read as ""). The connection timeout cannot be set once
//   connected.
//
// Thread-safety: every operation takes the connection's (recursive) lock, so
// calls from many threads are serialised; unserialised use of one connection
// races inside unixODBC and both drivers. A Transaction holds the lock for its
// whole life: other threads wait and never see its uncommitted rows. Calling
// BeginTransaction directly does not keep other threads out.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace bw {

using Statement = uint64_t;  // 0 = none
using OdbcHandle = void*;

// What a statement did: ran (and changed rows, or had nothing to change), matched
// no row, or failed. Writers must act on failed(); "no row" is not an error.
// Converts to true only when the driver answered SQL_SUCCESS, as the legacy
// callers test it.
struct ExecResult {
  int code = -1;  // the driver's return code (SQL_SUCCESS 0, SQL_NO_DATA 100, SQL_ERROR -1 ...)

  bool done() const { return code == 0 || code == 1; }
  bool noRow() const { return code == 100; }
  bool failed() const { return !done() && !noRow(); }
  explicit operator bool() const { return code == 0; }
};

class Database {
 public:
  Database();  // allocates the ODBC environment
  virtual ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  OdbcHandle GetConnectionHandle() const;
  void SetConnectionHandle(OdbcHandle handle);

  virtual bool Connect(const std::string& connectionString);
  bool ConnectSqlServer(const std::string& server, const std::string& database,
                        const std::string& user = "", const std::string& password = "");
  bool ConnectAccess(const std::string& file, const std::string& password, bool newDriver);
  bool ConnectExcel(const std::string& file, const std::string& password);
  // The SQLite3 ODBC driver on a file, in WAL mode with synchronous NORMAL.
  bool ConnectSqlite(const std::string& file);
  bool ConnectPostgres(const std::string& server, int port, const std::string& database,
                       const std::string& user, const std::string& password);
  bool Disconnect();
  bool connected() const;

  virtual ExecResult Execute(const std::string& sql, int64_t* rowCount = nullptr);
  // Execute with the driver's return code itself (SQL_SUCCESS 0,
  // SQL_SUCCESS_WITH_INFO 1, SQL_NO_DATA 100, SQL_ERROR -1) for callers that
  // must tell them apart, such as schema creation.
  int ExecuteCode(const std::string& sql, int64_t* rowCount = nullptr);
  bool ExecutePrepared(const std::string& sql, const std::vector<std::string>& parameters);
  virtual Statement Query(const std::string& sql, int cursorType = 1);
  Statement Prepare(const std::string& sql, int cursorType = 1);
  bool ExecuteStatement(Statement stmt);
  bool BindBytes(Statement stmt, int parameter, const std::string& bytes);
  bool CloseQuery(Statement stmt);
  // Statements handed out by Query/Prepare and not closed yet. A handle that is
  // not open (closed already, or never issued) is refused by every operation.
  size_t openStatements() const;

  bool FetchNext(Statement stmt);
  bool FetchPrior(Statement stmt);
  bool FetchFirst(Statement stmt);
  bool FetchLast(Statement stmt);
  bool FetchAbsolute(Statement stmt, int64_t row);

  int ColumnIndex(Statement stmt, const std::string& name);
  std::string GetTextByName(Statement stmt, const std::string& name);
  std::string GetBytesByName(Statement stmt, const std::string& name);
  int32_t GetIntByName(Statement stmt, const std::string& name);
  float GetFloatByName(Statement stmt, const std::string& name);
  double GetDoubleByName(Statement stmt, const std::string& name);
  std::string GetText(Statement stmt, int column);
  std::string GetBytes(Statement stmt, int column);
  int32_t GetInt(Statement stmt, int column);
  int64_t GetInt64(Statement stmt, int column);
  float GetFloat(Statement stmt, int column);
  double GetDouble(Statement stmt, int column);
  std::string ColumnName(Statement stmt, int column);
  int ColumnCount(Statement stmt);
  int ColumnType(Statement stmt, int column);
  int ColumnSize(Statement stmt, int column);
  bool ColumnNullable(Statement stmt, int column);

  int Count(const std::string& table, const std::string& condition = "");

  bool BeginTransaction();
  bool Rollback();
  bool Commit();
  bool SetConnectionTimeout(int seconds);
  int GetConnectionTimeout();
  // Diagnostics of the connection: states and messages appended; returns the
  // native code of the last record, or 0 when reading them failed.
  int GetErrorText(std::string& state, std::string& message);
  std::string Browse(const std::string& request);
  int ListSqlServers(std::vector<std::string>& out);
  int ListSqlServerDatabases(const std::string& server, const std::string& user,
                             const std::string& password, std::vector<std::string>& out);

  // The list of a browse answer: when `answer` contains `marker`, the text
  // between "={" and the next "}" split at ","; returns the count.
  static int ParseBrowseList(const std::string& answer, const std::string& marker,
                             std::vector<std::string>& out);

  // Creates an empty Access database file through the Access ODBC driver's
  // setup (SQLConfigDataSource with CREATE_DB; Windows only, false elsewhere).
  static bool CreateAccessFile(const std::string& file);
  // Whether the Access ODBC driver is installed (Windows only).
  static bool AccessDriverInstalled();

  // Connection strings, exactly as the drivers expect them.
  static std::string AccessConnectionString(const std::string& file, const std::string& password,
                                            bool newDriver);
  static std::string SqlServerConnectionString(const std::string& server,
                                               const std::string& database, const std::string& user,
                                               const std::string& password);
  static std::string ExcelConnectionString(const std::string& file, const std::string& password);
  static std::string SqliteConnectionString(const std::string& file);
  static std::string PostgresConnectionString(const std::string& server, int port,
                                              const std::string& database, const std::string& user,
                                              const std::string& password);

 private:
  friend class Transaction;
  friend class PreparedQuery;
  struct Impl;
  mutable std::recursive_mutex mu_;
  std::unique_ptr<Impl> impl_;
};

// A result set closed when it goes out of scope.
class ScopedQuery {
 public:
  ScopedQuery(Database& db, const std::string& sql, int cursorType = 1);
  ~ScopedQuery();
  ScopedQuery(const ScopedQuery&) = delete;
  ScopedQuery& operator=(const ScopedQuery&) = delete;

  bool ok() const { return stmt_ != 0; }
  Statement handle() const { return stmt_; }
  bool next();   // FetchNext; false at the end or when the query failed
  bool first();  // FetchFirst
  std::string text(int column);
  std::string text(const std::string& name);
  int32_t integer(int column);
  int32_t integer(const std::string& name);
  int64_t integer64(int column);

 private:
  Database& db_;
  Statement stmt_;
};

// A transaction that holds the connection's lock; rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  bool ok() const { return begun_; }
  bool commit();

 private:
  Database& db_;
  std::unique_lock<std::recursive_mutex> lock_;
  bool begun_ = false;
  bool done_ = false;
};

}  // namespace bw
