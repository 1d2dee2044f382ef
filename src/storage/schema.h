// The database schema: seven tables (管理员, 白名单, 黑名单, 群成员, 邀请统计, 邀请记录,
// 警告记录) with their exact column names, numbers and names as text, the
// times and counters numeric, indexes on the columns the statements filter by.
#pragma once

#include <string>

namespace bw {

class Database;

enum class SqlDialect { kSqlite, kPostgres };

// Creates every missing table and index; existing tables and rows are kept.
bool CreateSchema(Database& db, SqlDialect dialect);

// The SQLite file of a data directory: DataDirectory + "brindlewarden.db".
std::string DatabaseFile(const std::string& dataDirectory);

// Startup deployment on SQLite: creates the file with the schema when no file
// exists at the path (an existing file is never overwritten), then connects.
bool DeployAndConnectSqlite(Database& db, const std::string& dataDirectory);

}  // namespace bw
