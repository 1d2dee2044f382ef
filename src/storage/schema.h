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

enum class SqlDialect { kSqlite, kPostgres, kAccess };

// The CREATE TABLE / CREATE INDEX statements, all "IF NOT EXISTS" except in
// Access's SQL, which has no such clause (there: TEXT(255) texts, DOUBLE times,
// INTEGER counters, no defaults).
std::vector<std::string> SchemaStatements(SqlDialect dialect);

// Creates every missing table and index; existing tables and rows are kept.
// SQLite and PostgreSQL: in one transaction, a driver's SQL_SUCCESS_WITH_INFO
// ("already exists") is success. Access: a table that answers a query is kept
// with its indexes, a missing one is created with its indexes.
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

// The Access file of a data directory: DataDirectory + "brindlewarden.mdb".
std::string AccessDatabaseFile(const std::string& dataDirectory);

// Startup deployment on Access (Windows): when no file exists at the path,
// the Access driver creates an empty database there (CREATE_DB) and the
// tables are made; an existing file is never overwritten (missing tables are
// added). Then stays connected with the Access connection string.
bool DeployAndConnectAccess(Database& db, const std::string& dataDirectory);

// The plug-in's database: an existing Access file, else an existing SQLite
// file, else a new Access file where the Access driver is installed, else a
// new SQLite file (Wine, or Windows without the Access driver).
enum class DatabaseKind { kAccess, kSqlite };
DatabaseKind ChoosePluginDatabase(bool accessFileExists, bool sqliteFileExists,
                                  bool accessDriverInstalled);
bool DeployAndConnectPluginDatabase(Database& db, const std::string& dataDirectory);

}  // namespace bw
