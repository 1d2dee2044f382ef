#include "storage/schema.h"

#ifdef _WIN32
#include <windows.h>  // the ODBC headers need its types
#endif
#include <sql.h>
#include <sqlext.h>

#include <cstdio>
#include <vector>

#include "storage/case_table.h"
#include "storage/database.h"
#include "storage/prepared.h"
#include "storage/service_lock.h"
#include "storage/sql.h"
#include "storage/warning_point_table.h"
#include "util/files.h"
#include "util/log.h"

namespace bw {
namespace {

struct Column {
  const char* name;
  bool numeric;
  const char* extra;      // e.g. a default
  bool time = false;      // Unix seconds, past 2038 too
  bool longText = false;  // more than Access's TEXT(255): a MEMO there
};

struct Table {
  const char* name;
  std::vector<Column> columns;
};

// Numbers and names are text (the statements compare them as quoted text);
// times and counters are numbers so that they sort and compare as numbers.
const std::vector<Table>& Tables() {
  static const std::vector<Table> tables = {
      // 机器人: the robot account that listed the row, so that services sharing
      // one database keep their own lists (empty in rows from before it).
      {"管理员",
       {{"QQ号", false, ""},
        {"昵称", false, ""},
        {"加入时间", true, "", true},
        {"机器人", false, ""}}},
      {"白名单",
       {{"QQ号", false, ""},
        {"昵称", false, ""},
        {"加入时间", true, "", true},
        {"机器人", false, ""}}},
      {"黑名单",
       {{"QQ号", false, ""},
        {"昵称", false, ""},
        {"加入时间", true, "", true},
        {"机器人", false, ""}}},
      // A member recorded on arrival has not spoken yet: 最后发言 0.
      {"群成员",
       {{"群号", false, ""},
        {"QQ号", false, ""},
        {"昵称", false, ""},
        {"名片", false, ""},
        {"性别", false, ""},
        {"加群时间", true, "", true},
        {"最后发言", true, " DEFAULT 0", true},
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
      // Newcomers asked a question and not yet answered; 机器人 is the asking account.
      {"入群验证",
       {{"机器人", false, ""},
        {"群号", false, ""},
        {"QQ号", false, ""},
        {"问题", false, ""},
        {"答案", false, ""},
        {"加群时间", true, "", true},
        {"截止时间", true, "", true},
        {"答错次数", true, " DEFAULT 0"}}},
      // Kept group messages (opt-in per group): numbers as numbers, so that
      // ranges of time read through the index; the ids are wide (DOUBLE on
      // Access, whose INTEGER is 32-bit).
      {"消息记录",
       {{"机器人", true, "", true},
        {"时间", true, "", true},
        {"群号", true, "", true},
        {"QQ号", true, "", true},
        {"消息ID", true, "", true},
        {"内容", false, "", false, true}}},
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
      {"ix_入群验证_成员", "入群验证", "机器人,群号,QQ号"},
      {"ix_消息记录_群号_时间", "消息记录", "机器人,群号,时间"},
  };
  return indexes;
}

// Columns added after the tables first shipped: a table made before lacks them
// and gets them at the next start (its rows keep NULL there).
struct AddedColumn {
  const char* table;
  const char* column;
};
const std::vector<AddedColumn>& AddedColumns() {
  static const std::vector<AddedColumn> added = {
      {"管理员", "机器人"}, {"白名单", "机器人"}, {"黑名单", "机器人"}};
  return added;
}

// Tables whose statements their owner writes (a key, long texts, indexes
// over several columns): name and statements per dialect.
struct OwnedTable {
  const char* name;
  std::vector<std::string> (*statements)(SqlDialect);
};

const std::vector<OwnedTable>& OwnedTables() {
  static const std::vector<OwnedTable> tables = {
      {kCaseTableName, CaseTableSchema},
      {kWarningPointTableName, WarningPointTableSchema},
  };
  return tables;
}

// DDL has no rows to report, and PostgreSQL answers "IF NOT EXISTS" on an
// existing object with a notice (SQL_SUCCESS_WITH_INFO): all of these are done.
bool DdlSucceeded(int rc) {
  return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO || rc == SQL_NO_DATA;
}

}  // namespace

namespace {

// Access (Jet) SQL: no "IF NOT EXISTS"; texts are TEXT(255), times DOUBLE
// (its INTEGER is 32-bit, too small past 2038), counters INTEGER; no column
// defaults (the ODBC driver's SQL has none: the statements name every counter).
std::string ColumnType(const Column& c, SqlDialect dialect) {
  if (dialect == SqlDialect::kAccess) {
    if (!c.numeric) return c.longText ? "MEMO" : "TEXT(255)";
    return c.time ? "DOUBLE" : "INTEGER";
  }
  if (!c.numeric) return "TEXT";
  return std::string(dialect == SqlDialect::kPostgres ? "BIGINT" : "INTEGER") + c.extra;
}

std::string CreateTable(const Table& t, SqlDialect dialect) {
  std::string sql =
      dialect == SqlDialect::kAccess ? "CREATE TABLE " : "CREATE TABLE IF NOT EXISTS ";
  sql += std::string(t.name) + " (";
  for (size_t i = 0; i < t.columns.size(); ++i) {
    if (i) sql += ", ";
    sql += std::string(t.columns[i].name) + " " + ColumnType(t.columns[i], dialect);
  }
  return sql + ")";
}

std::string CreateIndex(const Index& ix, SqlDialect dialect) {
  return std::string(dialect == SqlDialect::kAccess ? "CREATE INDEX "
                                                    : "CREATE INDEX IF NOT EXISTS ") +
         ix.name + " ON " + ix.table + " (" + ix.columns + ")";
}

// Adds the columns an existing table lacks. PostgreSQL says "IF NOT EXISTS"
// (a failing probe would abort its transaction); SQLite and Access are probed.
bool AddMissingColumns(Database& db, SqlDialect dialect) {
  for (const AddedColumn& c : AddedColumns()) {
    const std::string type = dialect == SqlDialect::kAccess ? "TEXT(255)" : "TEXT";
    std::string sql;
    if (dialect == SqlDialect::kPostgres) {
      sql = std::string("ALTER TABLE ") + c.table + " ADD COLUMN IF NOT EXISTS " + c.column + " " +
            type;
    } else {
      const std::string probe =
          std::string("SELECT ") + c.column + " FROM " + c.table + " WHERE 1=0";
      if (DdlSucceeded(db.ExecuteCode(probe))) continue;
      sql = std::string("ALTER TABLE ") + c.table + " ADD COLUMN " + c.column + " " + type;
    }
    if (!DdlSucceeded(db.ExecuteCode(sql))) {
      LogError("database: schema statement failed: " + sql);
      return false;
    }
  }
  return true;
}

// Access: a table that answers a query exists and is kept as it is (with its
// indexes); a missing one is created with its indexes.
bool CreateAccessSchema(Database& db) {
  for (const auto& t : Tables()) {
    if (db.ExecuteCode(std::string("SELECT COUNT(*) FROM ") + t.name) >= 0) continue;
    std::vector<std::string> statements = {CreateTable(t, SqlDialect::kAccess)};
    for (const auto& ix : Indexes()) {
      if (std::string(ix.table) == t.name)
        statements.push_back(CreateIndex(ix, SqlDialect::kAccess));
    }
    for (const std::string& sql : statements) {
      if (!DdlSucceeded(db.ExecuteCode(sql))) {
        LogError("database: schema statement failed: " + sql);
        return false;
      }
    }
  }
  for (const auto& t : OwnedTables()) {
    if (db.ExecuteCode(std::string("SELECT COUNT(*) FROM ") + t.name) >= 0) continue;
    for (const std::string& sql : t.statements(SqlDialect::kAccess)) {
      if (!DdlSucceeded(db.ExecuteCode(sql))) {
        LogError("database: schema statement failed: " + sql);
        return false;
      }
    }
  }
  return AddMissingColumns(db, SqlDialect::kAccess);
}

}  // namespace

std::vector<std::string> SchemaStatements(SqlDialect dialect) {
  std::vector<std::string> out;
  for (const auto& t : Tables()) out.push_back(CreateTable(t, dialect));
  for (const auto& ix : Indexes()) out.push_back(CreateIndex(ix, dialect));
  for (const auto& t : OwnedTables()) {
    for (std::string& sql : t.statements(dialect)) out.push_back(std::move(sql));
  }
  return out;
}

bool CreateSchema(Database& db, SqlDialect dialect) {
  if (dialect == SqlDialect::kAccess) return CreateAccessSchema(db);
  Transaction tx(db);
  if (!tx.ok()) return false;
  // Services starting at once against one empty PostgreSQL database would race
  // on "IF NOT EXISTS" (one fails on a duplicate type); the second waits here,
  // then finds everything in place. DDL is transactional there: all or nothing.
  if (!LockAcrossServices(db, LockSpace::kSchema, 0)) return false;
  for (const auto& sql : SchemaStatements(dialect)) {
    if (!DdlSucceeded(db.ExecuteCode(sql))) {
      LogError("database: schema statement failed: " + sql);
      return false;
    }
  }
  return AddMissingColumns(db, dialect) && tx.commit();
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
      for (const char* suffix : {"", "-wal", "-shm"}) RemoveFile(file + suffix);
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
  // The file name is a bound value: VACUUM INTO takes an expression.
  return RunPrepared(db, "VACUUM INTO ?", {file}).done();
}

}  // namespace bw

namespace bw {

std::string AccessDatabaseFile(const std::string& dataDirectory) {
  return JoinPath(dataDirectory, "brindlewarden.mdb");
}

bool DeployAndConnectAccess(Database& db, const std::string& dataDirectory) {
  const std::string file = AccessDatabaseFile(dataDirectory);
  const bool existed = FileExists(file);
  if (!existed) {
    if (!EnsureDirectory(dataDirectory)) {
      LogError("database: cannot create the directory " + dataDirectory);
      return false;
    }
    if (!Database::CreateAccessFile(file)) {
      LogError("database: the Access driver cannot create " + file);
      return false;
    }
  }
  if (!db.ConnectAccess(file, "", false)) {
    LogError("database: cannot open " + file);
    return false;
  }
  if (!CreateSchema(db, SqlDialect::kAccess)) {
    LogError("database: cannot create the tables in " + file);
    db.Disconnect();
    if (!existed) RemoveFile(file);  // the next start tries again
    return false;
  }
  return true;
}

DatabaseKind ChoosePluginDatabase(bool accessFileExists, bool sqliteFileExists,
                                  bool accessDriverInstalled) {
  if (accessFileExists) return DatabaseKind::kAccess;
  if (sqliteFileExists) return DatabaseKind::kSqlite;
  return accessDriverInstalled ? DatabaseKind::kAccess : DatabaseKind::kSqlite;
}

bool DeployAndConnectPluginDatabase(Database& db, const std::string& dataDirectory) {
  const DatabaseKind kind = ChoosePluginDatabase(FileExists(AccessDatabaseFile(dataDirectory)),
                                                 FileExists(DatabaseFile(dataDirectory)),
                                                 Database::AccessDriverInstalled());
  if (kind == DatabaseKind::kAccess) return DeployAndConnectAccess(db, dataDirectory);
  LogInfo("database: no Access database and no Access driver: SQLite in " +
          DatabaseFile(dataDirectory));
  return DeployAndConnectSqlite(db, dataDirectory);
}

}  // namespace bw
