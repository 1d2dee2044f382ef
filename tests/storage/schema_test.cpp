#include "storage/schema.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>

#include "storage/database.h"
#include "storage/sql.h"
#include "support/temp_dir.h"
#include "support/test_database.h"

namespace bw {
namespace {

using test::ReadAll;
using test::TempDir;
using test::WriteAll;

const std::map<std::string, std::vector<std::string>>& ExpectedTables() {
  static const std::map<std::string, std::vector<std::string>> tables = {
      {"管理员", {"QQ号", "昵称", "加入时间", "机器人"}},
      {"白名单", {"QQ号", "昵称", "加入时间", "机器人"}},
      {"黑名单", {"QQ号", "昵称", "加入时间", "机器人"}},
      {"群成员",
       {"群号", "QQ号", "昵称", "名片", "性别", "加群时间", "最后发言", "权限", "不良记录"}},
      {"邀请统计", {"QQ号", "昵称", "现存个数", "邀请个数", "退出个数"}},
      {"邀请记录", {"QQ号", "群号", "邀请人QQ"}},
      {"警告记录", {"QQ号", "警告次数"}},
      {"入群验证", {"机器人", "群号", "QQ号", "问题", "答案", "加群时间", "截止时间", "答错次数"}},
      {"消息记录", {"机器人", "时间", "群号", "QQ号", "消息ID", "内容"}},
  };
  return tables;
}

std::vector<std::string> ColumnsOf(Database& db, const std::string& table) {
  std::vector<std::string> out;
  Statement s = db.Query("select * from " + table);
  if (s == 0) return out;
  for (int i = 0; i < db.ColumnCount(s); ++i) out.push_back(db.ColumnName(s, i));
  db.CloseQuery(s);
  return out;
}

TEST(SchemaTest, FirstStartCreatesTheFileWithEveryTable) {
  TempDir dir;
  const std::string data = dir.path() + "data/10000/";
  Database db;
  ASSERT_TRUE(DeployAndConnectSqlite(db, data));
  EXPECT_EQ(DatabaseFile(data), data + "brindlewarden.db");
  EXPECT_TRUE(std::filesystem::is_regular_file(DatabaseFile(data)));
  for (const auto& [table, columns] : ExpectedTables()) {
    EXPECT_EQ(ColumnsOf(db, table), columns) << table;
  }
  // 最后发言 defaults to 0 for a member recorded on arrival.
  ASSERT_TRUE(db.Execute("insert into 群成员(群号,QQ号,加群时间) values('1','2','1700000000')"));
  EXPECT_EQ(test::QueryText(db, "select 最后发言 from 群成员"), "0");
  // Indexes exist on the filtered columns.
  EXPECT_EQ(db.Count("sqlite_master", "type='index' and tbl_name='群成员'"), 2);
  EXPECT_EQ(db.Count("sqlite_master", "type='index' and tbl_name='邀请记录'"), 2);
}

TEST(SchemaTest, TheDatabaseAndItsDirectoryAreTheOwnersAlone) {
  const mode_t oldMask = ::umask(022);  // the usual umask: plain creation is world-readable
  TempDir dir;
  const std::string data = dir.path() + "data/10000/";
  Database db;
  const bool deployed = DeployAndConnectSqlite(db, data);
  const bool wrote = deployed && db.Execute("insert into 黑名单(QQ号) values('20001')");
  ::umask(oldMask);
  ASSERT_TRUE(deployed);
  ASSERT_TRUE(wrote);
  struct stat st {};
  ASSERT_EQ(::stat(data.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  int databaseFiles = 0;  // the file and whatever journal the driver keeps beside it
  for (const auto& e : std::filesystem::directory_iterator(data)) {
    const std::string name = e.path().filename().string();
    if (!name.starts_with("brindlewarden.db")) continue;
    ++databaseFiles;
    ASSERT_EQ(::stat(e.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << name;
  }
  EXPECT_GE(databaseFiles, 1);
}

TEST(SchemaTest, ExistingFileKeepsItsRows) {
  TempDir dir;
  {
    Database db;
    ASSERT_TRUE(DeployAndConnectSqlite(db, dir.path()));
    ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('1','O''Neil','5')"));
  }
  Database db;
  ASSERT_TRUE(DeployAndConnectSqlite(db, dir.path()));
  EXPECT_EQ(test::QueryText(db, "select 昵称 from 黑名单 where QQ号='1'"), "O'Neil");
  EXPECT_EQ(db.Count("黑名单"), 1);
}

TEST(SchemaTest, ExistingFileMissingTablesGetsThem) {
  TempDir dir;
  {
    Database db;
    ASSERT_TRUE(db.ConnectSqlite(DatabaseFile(dir.path())));
    ASSERT_TRUE(db.Execute("create table 管理员 (QQ号 TEXT, 昵称 TEXT, 加入时间 INTEGER)"));
    ASSERT_TRUE(db.Execute("insert into 管理员 values('7','n','1')"));
  }
  Database db;
  ASSERT_TRUE(DeployAndConnectSqlite(db, dir.path()));
  EXPECT_EQ(db.Count("管理员"), 1);
  EXPECT_EQ(ColumnsOf(db, "警告记录"), ExpectedTables().at("警告记录"));
  // The table made before the robot column gets it, and keeps its row.
  EXPECT_EQ(ColumnsOf(db, "管理员"), ExpectedTables().at("管理员"));
  EXPECT_EQ(test::QueryText(db, "select QQ号 from 管理员 where 机器人 is null"), "7");
}

TEST(SchemaTest, ForeignFileIsNeverOverwritten) {
  TempDir dir;
  const std::string file = DatabaseFile(dir.path());
  const std::string junk = "Standard Jet DB, not SQLite at all\n" + std::string(5000, 'j');
  WriteAll(file, junk);
  Database db;
  EXPECT_FALSE(DeployAndConnectSqlite(db, dir.path()));
  EXPECT_FALSE(db.connected());
  EXPECT_EQ(ReadAll(file), junk);

  // A directory at the path counts as existing as well.
  TempDir other;
  std::filesystem::create_directory(DatabaseFile(other.path()));
  Database db2;
  EXPECT_FALSE(DeployAndConnectSqlite(db2, other.path()));
  EXPECT_TRUE(std::filesystem::is_directory(DatabaseFile(other.path())));
}

TEST(SchemaTest, SqliteAndPostgresDifferOnlyInTheNumberType) {
  const auto sqlite = SchemaStatements(SqlDialect::kSqlite);
  const auto pg = SchemaStatements(SqlDialect::kPostgres);
  ASSERT_EQ(sqlite.size(), pg.size());
  for (size_t i = 0; i < sqlite.size(); ++i) {
    std::string s = sqlite[i];
    for (size_t p; (p = s.find("INTEGER")) != std::string::npos;) s.replace(p, 7, "BIGINT");
    EXPECT_EQ(s, pg[i]);
  }
}

// Access's SQL has no "IF NOT EXISTS" and no column defaults. Its statements
// are run here against SQLite, which takes Access's type names, so that the
// creation logic is exercised without the Windows-only Access driver.
TEST(SchemaTest, AccessSchemaIsCreatedOnceAndKeepsRows) {
  TempDir dir;
  Database db;
  ASSERT_TRUE(db.ConnectSqlite(DatabaseFile(dir.path())));
  // A file whose first start was interrupted: one table made, with a row.
  ASSERT_TRUE(db.Execute("CREATE TABLE 管理员 (QQ号 TEXT(255), 昵称 TEXT(255), 加入时间 DOUBLE)"));
  ASSERT_TRUE(db.Execute("insert into 管理员 values('7','n','1')"));

  ASSERT_TRUE(CreateSchema(db, SqlDialect::kAccess));
  for (const auto& [table, columns] : ExpectedTables()) {
    EXPECT_EQ(ColumnsOf(db, table), columns) << table;
  }
  EXPECT_EQ(db.Count("管理员"), 1);
  EXPECT_EQ(db.Count("sqlite_master", "type='index' and tbl_name='群成员'"), 2);
  // A second start finds every table and changes nothing.
  ASSERT_TRUE(db.Execute("insert into 警告记录(QQ号,警告次数) values('8','2')"));
  ASSERT_TRUE(CreateSchema(db, SqlDialect::kAccess));
  EXPECT_EQ(db.Count("警告记录"), 1);
  EXPECT_EQ(db.Count("管理员"), 1);
  // Times past 2038 are kept and compared as numbers.
  ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('9','x','4102444800')"));
  ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('10','y','999999999')"));
  EXPECT_EQ(test::QueryText(db, "select QQ号 from 黑名单 order by 加入时间 desc"), "9");
  EXPECT_EQ(db.Count("黑名单", "加入时间 > '2147483647'"), 1);
}

TEST(SchemaTest, ThePluginKeepsTheDatabaseItHasAndPrefersAccess) {
  // Existing data wins: never a second, empty database beside it.
  EXPECT_EQ(ChoosePluginDatabase(true, true, false), DatabaseKind::kAccess);
  EXPECT_EQ(ChoosePluginDatabase(false, true, true), DatabaseKind::kSqlite);
  // A first start: Access where its driver is, else SQLite (Wine).
  EXPECT_EQ(ChoosePluginDatabase(false, false, true), DatabaseKind::kAccess);
  EXPECT_EQ(ChoosePluginDatabase(false, false, false), DatabaseKind::kSqlite);

  // An Access file this system cannot open is reported, and no SQLite file
  // appears beside it.
  TempDir dir;
  WriteAll(AccessDatabaseFile(dir.path()), "Standard Jet DB");
  Database db;
  EXPECT_FALSE(DeployAndConnectPluginDatabase(db, dir.path()));
  EXPECT_FALSE(std::filesystem::exists(DatabaseFile(dir.path())));
  EXPECT_EQ(ReadAll(AccessDatabaseFile(dir.path())), "Standard Jet DB");

  // Without one: SQLite here, where no Access driver exists.
  TempDir fresh;
  Database db2;
  ASSERT_TRUE(DeployAndConnectPluginDatabase(db2, fresh.path()));
  EXPECT_TRUE(std::filesystem::is_regular_file(DatabaseFile(fresh.path())));
}

// What the PostgreSQL driver does, which the layer absorbs.
class PostgresSchemaTest : public ::testing::Test {
 protected:
  void SetUp() override {
    pg_ = test::PostgresTestDatabase::Open(/*withSchema=*/false);
    if (!pg_) GTEST_SKIP() << "BW_TEST_POSTGRES not set";
  }
  std::unique_ptr<test::PostgresTestDatabase> pg_;
};

TEST_F(PostgresSchemaTest, CreatesMissingTablesAndAcceptsExistingOnes) {
  Database& db = pg_->db;
  ASSERT_TRUE(CreateSchema(db, SqlDialect::kPostgres));
  ASSERT_TRUE(db.Execute("insert into 管理员(QQ号,昵称,加入时间) values('1','a','4102444800')"));
  // A second run finds everything: the driver answers with a notice.
  EXPECT_EQ(db.ExecuteCode(SchemaStatements(SqlDialect::kPostgres).front()), SQL_SUCCESS_WITH_INFO);
  EXPECT_TRUE(CreateSchema(db, SqlDialect::kPostgres));
  EXPECT_EQ(db.Count("管理员"), 1);

  // Unquoted names come back folded to lower case; lookups still find them.
  Statement s = db.Query("select * from 管理员");
  ASSERT_NE(s, 0u);
  EXPECT_EQ(db.ColumnName(s, 0), "qq号");
  EXPECT_EQ(db.ColumnType(s, 2), SQL_BIGINT);
  ASSERT_TRUE(db.FetchNext(s));
  EXPECT_EQ(db.GetTextByName(s, "QQ号"), "1");
  db.CloseQuery(s);

  // A number column refuses '' on PostgreSQL.
  EXPECT_FALSE(db.Execute("insert into 警告记录(QQ号,警告次数) values('1','')"));
}

TEST_F(PostgresSchemaTest, DriverReadsAndStatusCodes) {
  Database& db = pg_->db;
  ASSERT_TRUE(db.Execute("create table t (id BIGINT, name TEXT)"));
  std::string chinese;
  for (int i = 0; i < 120; ++i) chinese += "群";  // 360 bytes
  ASSERT_TRUE(db.Execute("insert into t values('1'," + SqlQuote(chinese) + ")"));
  ASSERT_TRUE(db.Execute("insert into t(id) values('2')"));
  {
    ScopedQuery q(db, "select name from t order by id");
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.text(0), chinese);
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.text(0), "");  // NULL
  }
  EXPECT_EQ(db.ExecuteCode("delete from t where id='9'"), SQL_NO_DATA);
  EXPECT_EQ(db.Query("select * from nowhere"), 0u);
  EXPECT_EQ(db.openStatements(), 0u);
  std::string state, message;
  db.GetErrorText(state, message);
  EXPECT_EQ(state, "42P01");  // undefined table
}

}  // namespace
}  // namespace bw
