#include "storage/schema.h"

#ifdef _WIN32
#include <windows.h>  // the ODBC headers need its types
#endif
#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <vector>

#include "storage/database.h"
#include "storage/sql.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {
namespace {

struct Column {
  const char* name;
  bool numeric;
  const char* extra;  // e.g. a default
};

struct Table {
  const char* name;
  std::vector<Column> columns;
};

// Numbers and names are text (the statements compare them as quoted text);
// times and counters are numbers so that they sort and compare as numbers.
const std::vector<Table>& Tables() {
  static const std::vector<Table> tables = {
      {"管理员", {{"QQ号", false, ""}, {"昵称", false, ""}, {"加入时间", true, ""}}},
      {"白名单", {{"QQ号", false, ""}, {"昵称", false, ""}, {"加入时间", true, ""}}},
      {"黑名单", {{"QQ号", false, ""}, {"昵称", false, ""}, {"加入时间", true, ""}}},
      // A member recorded on arrival has not spoken yet: 最后发言 0.
      {"群成员",
       {{"群号", false, ""},
        {"QQ号", false, ""},
        {"昵称", false, ""},
        {"名片", false, ""},
        {"性别", false, ""},
        {"加群时间", true, ""},
        {"最后发言", true, " DEFAULT 0"},
        {"权限", false, ""},
        {"不良记录", false, ""}}},
      // A counter the insert leaves out (退出个数) starts at 0, not NULL.
      {"邀请统计",
       {{"QQ号", false, ""},
        {"昵称", false, ""},
        {"现存个数", true, " DEFAULT 0"},
        {"邀请个数", true, " DEFAULT 0"},
        {"退出个数", true, " DEFAULT 0"}}},
      {"邀请记录", {{"QQ号", false, ""}, {"群号", false, ""}, {"邀请人QQ", false, ""}}},
      {"警告记录", {{"QQ号", false, ""}, {"警告次数", true, " DEFAULT 0"}}},
  };
  return tables;
}

struct Index {
  const char* name;
  const char* table;
  const char* columns;
};

const std::vector<Index>& Indexes() {
  static const std::vector<Index> indexes = {
      {"ix_管理员_QQ号", "管理员", "QQ号"},
      {"ix_白名单_QQ号", "白名单", "QQ号"},
      {"ix_黑名单_QQ号", "黑名单", "QQ号"},
      {"ix_群成员_群号", "群成员", "群号"},
      {"ix_群成员_QQ号", "群成员", "QQ号"},
      {"ix_邀请统计_QQ号", "邀请统计", "QQ号"},
      {"ix_邀请记录_QQ号", "邀请记录", "QQ号,群号"},
      {"ix_邀请记录_邀请人QQ", "邀请记录", "邀请人QQ"},
      {"ix_警告记录_QQ号", "警告记录", "QQ号"},
  };
  return indexes;
}

// DDL has no rows to report, and PostgreSQL answers "IF NOT EXISTS" on an
// existing object with a notice (SQL_SUCCESS_WITH_INFO): all of these are done.
bool DdlSucceeded(int rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA;
}

}  // namespace

std::vector<std::string> SchemaStatements(SqlDialect dialect) {
  const char* number = dialect == SqlDialect::kPostgres ? "BIGINT" : "INTEGER";
  std::vector<std::string> out;
  for (const auto& t : Tables()) {
    std::string sql = std::string("CREATE TABLE IF NOT EXISTS ") + t.name + " (";
    for (size_t i = 0; i < t.columns.size(); ++i) {
      const Column& c = t.columns[i];
      if (i) sql += ", ";
      sql += std::string(c.name) + " " + (c.numeric ? number : "TEXT") + c.extra;
    }
    out.push_back(sql + ")");
  }
  for (const auto& ix : Indexes()) {
    out.push_back(std::string("CREATE INDEX IF NOT EXISTS ") + ix.name + " ON " + ix.table + " (" +
                  ix.columns + ")");
  }
  return out;
}

bool CreateSchema(Database& db, SqlDialect dialect) {
  Transaction tx(db);
  if (!tx.ok()) return false;
  for (const auto& sql : SchemaStatements(dialect)) {
    if (!DdlSucceeded(db.ExecuteCode(sql))) {
      LogError("database: schema statement failed: " + sql);
      return false;
    }
  }
  return tx.commit();
}

std::string DatabaseFile(const std::string& dataDirectory) {
  return JoinPath(dataDirectory, "brindlewarden.db");
}

bool DeployAndConnectSqlite(Database& db, const std::string& dataDirectory) {
  const std::string file = DatabaseFile(dataDirectory);
  const bool existed = FileExists(file);
  if (!existed && !EnsureDirectory(dataDirectory)) {
    LogError("database: cannot create the directory " + dataDirectory);
    return false;
  }
  // Made here so that it is rw------- (the driver would create it by the
  // umask); its journal files take the same mode.
  if (!existed) {
    if (Status st = CreatePrivateFile(file); !st) {
      LogError("database: " + st.message());
      return false;
    }
  }
  if (!db.ConnectSqlite(file)) {
    LogError("database: cannot open " + file);
    return false;
  }
  // Missing tables are created in an existing file too (an empty file left by
  // an interrupted first start); its rows are never touched.
  if (!CreateSchema(db, SqlDialect::kSqlite)) {
    LogError("database: cannot create the tables in " + file);
    db.Disconnect();
    // Only a file this start created is removed, so the next start tries again.
    if (!existed) {
      for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    }
    return false;
  }
  return true;
}

bool DeployAndConnectPostgres(Database& db, const std::string& connectionString) {
  if (!db.Connect(connectionString)) {
    LogError("database: cannot connect to PostgreSQL");
    return false;
  }
  if (!CreateSchema(db, SqlDialect::kPostgres)) {
    LogError("database: cannot create the tables on PostgreSQL");
    db.Disconnect();
    return false;
  }
  return true;
}

bool SnapshotSqlite(Database& db, const std::string& file) {
  // Made first (VACUUM INTO takes an empty file), so that the copy of the
  // owner's data is rw------- as well.
  if (Status st = CreatePrivateFile(file); !st) {
    LogError("database: " + st.message());
    return false;
  }
  return db.Execute("VACUUM INTO " + SqlQuote(file)).done();
}

}  // namespace bw
