// The database schema: seven tables (管理员, 白名单, 黑名单, 群成员, 邀请统计, 邀请记录,
// 警告记录) with their exact column names, numbers and names as text, the
// times and counters numeric (INTEGER on SQLite, BIGINT on PostgreSQL, whose
// INTEGER is 32-bit), 最后发言 and the counters defaulting to 0, indexes on the
// columns the statements filter by (QQ号, 群号, 邀请人QQ).
#pragma once

#include <string>
#include <vector>

namespace bw {

class Database;

enum class SqlDialect { kSqlite, kPostgres };

// The CREATE TABLE / CREATE INDEX statements, all "IF NOT EXISTS".
std::vector<std::string> SchemaStatements(SqlDialect dialect);

// Creates every missing table and index in one transaction; existing tables
// and rows are kept. A driver's SQL_SUCCESS_WITH_INFO ("already exists") is
// success.
bool CreateSchema(Database& db, SqlDialect dialect);

// The SQLite file of a data directory: DataDirectory + "brindlewarden.db".
std::string DatabaseFile(const std::string& dataDirectory);

// Startup deployment on SQLite: creates the file with the schema when no file
// exists at the path (an existing file is never overwritten; tables missing
// in it are added), then stays connected. False (and disconnected) when the
// file cannot be opened or the tables cannot be made.
bool DeployAndConnectSqlite(Database& db, const std::string& dataDirectory);

// A consistent copy of the connected SQLite database in `file` (which must
// not exist), taken while other threads may write (VACUUM INTO). False on
// another database or when the file cannot be written.
bool SnapshotSqlite(Database& db, const std::string& file);

// PostgreSQL: connects and creates the tables that are missing.
bool DeployAndConnectPostgres(Database& db, const std::string& connectionString);

}  // namespace bw
