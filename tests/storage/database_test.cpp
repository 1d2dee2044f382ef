#include "storage/database.h"

#include <gtest/gtest.h>
#include <sql.h>
#include <sqlext.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "storage/sql.h"
#include "support/test_database.h"

namespace bw {
namespace {

using test::QueryText;
using test::TestDatabase;

TEST(ConnectionStringTest, DriverTextsAreExact) {
  EXPECT_EQ(Database::AccessConnectionString("C:\\d\\brindlewarden.mdb", "", false),
            "DBQ=C:\\d\\brindlewarden.mdb;Pwd=;DRIVER={Microsoft Access Driver (*.mdb)};");
  EXPECT_EQ(Database::AccessConnectionString("a.mdb", "pw", true),
            "ODBC;DSN=MS Access Database;DBQ=a.mdb;Driver={Microsoft Access Driver (*.mdb, "
            "*.accdb)};;DriverId=25;FIL=MS Access;MaxBufferSize=2048;PageTimeout=5;PWD=pw");
  EXPECT_EQ(Database::SqlServerConnectionString("srv", "db", "sa", ""),
            "driver={sql server};server=srv;database=db;uid=sa;pwd=");
  EXPECT_EQ(Database::SqlServerConnectionString("srv", "db", "", "x"),
            "driver={sql server};server=srv;database=db;uid=;pwd=x");
  EXPECT_EQ(Database::SqlServerConnectionString("srv", "db", "", ""),
            "Driver=SQL Server;Server=srv;Database=db;Trusted_Connection=Yes;Connect Timeout=90");
  EXPECT_EQ(Database::ExcelConnectionString("b.xls", "p"),
            "DBQ=b.xls;Pwd=p;DRIVER={MICROSOFT EXCEL DRIVER (*.XLS)};");
  EXPECT_EQ(Database::SqliteConnectionString("/d/brindlewarden.db"),
            "DRIVER={SQLite3};Database=/d/brindlewarden.db;JournalMode=WAL;SyncPragma=NORMAL;");
  EXPECT_EQ(Database::PostgresConnectionString("127.0.0.1", 5432, "bw", "u", "p"),
            "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=5432;Database=bw;Uid=u;Pwd=p;");
  // A password with ";" must not end the attribute early.
  EXPECT_EQ(Database::PostgresConnectionString("h", 1, "d", "u", "a;b}c"),
            "DRIVER={PostgreSQL Unicode};Server=h;Port=1;Database=d;Uid=u;Pwd={a;b}}c};");
}

TEST(ConnectionStringTest, BrowseAnswerLists) {
  std::vector<std::string> out;
  EXPECT_EQ(Database::ParseBrowseList("SERVER:Server={alpha,beta,(local)};UID:Login ID=?;",
                                      "SERVER:", out),
            3);
  EXPECT_EQ(out, (std::vector<std::string>{"alpha", "beta", "(local)"}));
  EXPECT_EQ(Database::ParseBrowseList("UID:Login ID=?;", "SERVER:", out), 0);
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(Database::ParseBrowseList("DATABASE:Database={master}", "DATABASE", out), 1);
  EXPECT_EQ(out, std::vector<std::string>{"master"});
}

TEST(DatabaseTest, UnconnectedOperationsFailQuietly) {
  Database db;
  EXPECT_FALSE(db.connected());
  EXPECT_FALSE(db.Execute("select 1"));
  EXPECT_EQ(db.Query("select 1"), 0u);
  EXPECT_EQ(db.GetText(0, 0), "");
  EXPECT_EQ(db.GetInt(0, 0), 0);
  EXPECT_FALSE(db.FetchNext(0));
  EXPECT_FALSE(db.CloseQuery(0));
  EXPECT_FALSE(db.Disconnect());
  EXPECT_FALSE(db.Connect("DRIVER={No Such Driver};"));
  std::string state, message;
  db.GetErrorText(state, message);
  EXPECT_FALSE(state.empty());
  EXPECT_NE(message.find("No Such Driver"), std::string::npos) << message;
}

class SqliteDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(db().Execute("create table t (id INTEGER, name TEXT, note TEXT, data BLOB)"));
  }
  Database& db() { return tdb_.db; }
  TestDatabase tdb_;
};

TEST_F(SqliteDatabaseTest, OpensInWalModeWithSynchronousNormal) {
  EXPECT_EQ(QueryText(db(), "PRAGMA journal_mode"), "wal");
  EXPECT_EQ(QueryText(db(), "PRAGMA synchronous"), "1");  // NORMAL
}

TEST_F(SqliteDatabaseTest, ExecuteIsTrueOnlyOnPlainSuccess) {
  int64_t rows = -7;
  EXPECT_TRUE(db().Execute("insert into t(id,name) values('1','a')", &rows));
  EXPECT_EQ(rows, 1);
  EXPECT_TRUE(db().Execute("update t set name='b' where id='1'", &rows));
  EXPECT_EQ(rows, 1);
  // A delete or update that matches nothing answers SQL_NO_DATA: failed.
  EXPECT_EQ(db().ExecuteCode("delete from t where id='2'", &rows), SQL_NO_DATA);
  EXPECT_EQ(rows, 0);
  EXPECT_FALSE(db().Execute("delete from t where id='2'"));
  EXPECT_FALSE(db().Execute("update t set name='c' where id='2'"));
  EXPECT_TRUE(db().Execute("delete from t where id='1'"));
  EXPECT_EQ(db().Count("t"), 0);
}

TEST_F(SqliteDatabaseTest, InvalidSqlFailsWithDiagnosticsAndLeavesNoStatement) {
  EXPECT_FALSE(db().Execute("insert into nowhere values('1')"));
  std::string state, message;
  db().GetErrorText(state, message);
  EXPECT_FALSE(state.empty());
  EXPECT_NE(message.find("nowhere"), std::string::npos) << message;

  EXPECT_EQ(db().Query("select * from nowhere"), 0u);
  EXPECT_EQ(db().Query("selec oops"), 0u);
  EXPECT_EQ(db().openStatements(), 0u);
  // The connection is still usable.
  EXPECT_TRUE(db().Execute("insert into t(id) values('1')"));
}

TEST_F(SqliteDatabaseTest, KeysetRequestRunsOnTheDriversCursor) {
  ASSERT_TRUE(db().Execute("insert into t(id,name) values('1','a')"));
  ASSERT_TRUE(db().Execute("insert into t(id,name) values('2','b')"));
  ASSERT_TRUE(db().Execute("insert into t(id,name) values('3','c')"));
  Statement s = db().Query("select name from t order by id");  // keyset (1) requested
  ASSERT_NE(s, 0u);
  EXPECT_TRUE(db().FetchLast(s));
  EXPECT_EQ(db().GetText(s, 0), "c");
  EXPECT_TRUE(db().FetchPrior(s));
  EXPECT_EQ(db().GetText(s, 0), "b");
  EXPECT_TRUE(db().FetchFirst(s));
  EXPECT_EQ(db().GetText(s, 0), "a");
  EXPECT_TRUE(db().FetchAbsolute(s, 3));
  EXPECT_EQ(db().GetText(s, 0), "c");
  EXPECT_FALSE(db().FetchNext(s));
  EXPECT_TRUE(db().CloseQuery(s));
  EXPECT_EQ(db().openStatements(), 0u);

  Statement forward = db().Query("select name from t order by id", 0);
  ASSERT_NE(forward, 0u);
  int n = 0;
  while (db().FetchNext(forward)) ++n;
  EXPECT_EQ(n, 3);
  db().CloseQuery(forward);
}

TEST_F(SqliteDatabaseTest, LongTextIsReadInPieces) {
  const std::string ascii(300, 'x');
  // 3-byte characters: piece borders fall inside characters.
  std::string chinese;
  for (int i = 0; i < 400; ++i) chinese += "群";
  ASSERT_TRUE(db().Execute("insert into t(id,name,note) values('1'," + SqlQuote(ascii) + "," +
                           SqlQuote(chinese) + ")"));
  ScopedQuery q(db(), "select name, note from t");
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.text(0), ascii);
  EXPECT_EQ(q.text(1), chinese);
}

TEST_F(SqliteDatabaseTest, NullReadsAsEmptyAndZero) {
  ASSERT_TRUE(db().Execute("insert into t(name) values('a')"));
  ScopedQuery q(db(), "select id, note from t");
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.text(0), "");
  EXPECT_EQ(q.integer(0), 0);
  EXPECT_EQ(q.text("note"), "");
}

TEST_F(SqliteDatabaseTest, ColumnsByNameIgnoreAsciiCase) {
  ASSERT_TRUE(db().Execute("create table m (QQ号 TEXT, 昵称 TEXT, 加入时间 INTEGER)"));
  ASSERT_TRUE(db().Execute("insert into m values('10001','甲','1765112709')"));
  Statement s = db().Query("select * from m");
  ASSERT_NE(s, 0u);
  ASSERT_TRUE(db().FetchNext(s));
  EXPECT_EQ(db().ColumnCount(s), 3);
  EXPECT_EQ(db().ColumnName(s, 0), "QQ号");
  EXPECT_EQ(db().ColumnIndex(s, "qq号"), 0);  // as PostgreSQL names it
  EXPECT_EQ(db().GetTextByName(s, "Qq号"), "10001");
  EXPECT_EQ(db().GetTextByName(s, "昵称"), "甲");
  EXPECT_EQ(db().GetIntByName(s, "加入时间"), 1765112709);
  EXPECT_EQ(db().ColumnIndex(s, "QQ"), -1);
  EXPECT_EQ(db().GetTextByName(s, "no such"), "");
  EXPECT_EQ(db().GetIntByName(s, "no such"), 0);
  EXPECT_EQ(db().ColumnName(s, 3), "");
  db().CloseQuery(s);
}

TEST_F(SqliteDatabaseTest, NumbersReadAsIntegersAndReals) {
  ASSERT_TRUE(db().Execute("insert into t(id,name) values('4102444800','2.5')"));
  ScopedQuery q(db(), "select id, name from t");
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.integer64(0), 4102444800);  // beyond 32 bits
  EXPECT_DOUBLE_EQ(db().GetDouble(q.handle(), 1), 2.5);
  EXPECT_FLOAT_EQ(db().GetFloat(q.handle(), 1), 2.5f);
}

TEST_F(SqliteDatabaseTest, CountWithAndWithoutCondition) {
  ASSERT_TRUE(db().Execute("insert into t(id) values('1')"));
  ASSERT_TRUE(db().Execute("insert into t(id) values('2')"));
  EXPECT_EQ(db().Count("t"), 2);
  EXPECT_EQ(db().Count("t", "id='2'"), 1);
  EXPECT_EQ(db().Count("nowhere"), 0);
  EXPECT_EQ(db().openStatements(), 0u);
}

TEST_F(SqliteDatabaseTest, ClosedStatementIsRefused) {
  Statement s = db().Query("select 1");
  ASSERT_NE(s, 0u);
  EXPECT_TRUE(db().CloseQuery(s));
  EXPECT_FALSE(db().CloseQuery(s));
  EXPECT_FALSE(db().FetchNext(s));
  EXPECT_EQ(db().GetText(s, 0), "");
  EXPECT_EQ(db().ColumnCount(s), 0);
}

TEST_F(SqliteDatabaseTest, PreparedBytesRoundTrip) {
  const std::string bytes("a\0b\xff'c", 6);
  ASSERT_TRUE(db().ExecutePrepared("insert into t(id,data) values(1,?)", {bytes}));
  ScopedQuery q(db(), "select data from t");
  ASSERT_TRUE(q.next());
  EXPECT_EQ(db().GetBytes(q.handle(), 0), bytes);
  EXPECT_EQ(db().GetBytesByName(q.handle(), "DATA"), "");  // each piece is read once
}

TEST_F(SqliteDatabaseTest, HostileValuesStayOneValue) {
  const std::string names[] = {"O'Neil", "'); drop table t; --", "''", "a\\'b", "群'友"};
  int id = 0;
  for (const auto& n : names) {
    ASSERT_TRUE(
        db().Execute("insert into t(id,name) values(" + SqlQuote(++id) + "," + SqlQuote(n) + ")"));
  }
  EXPECT_EQ(db().Count("t"), 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(QueryText(db(), "select name from t where id=" + SqlQuote(i + 1)), names[i]);
    EXPECT_EQ(QueryText(db(), "select id from t where name=" + SqlQuote(names[i])),
              std::to_string(i + 1));
  }
}

TEST_F(SqliteDatabaseTest, TransactionCommitsOrRollsBack) {
  {
    Transaction tx(db());
    ASSERT_TRUE(tx.ok());
    ASSERT_TRUE(db().Execute("insert into t(id) values('1')"));
  }  // not committed
  EXPECT_EQ(db().Count("t"), 0);
  {
    Transaction tx(db());
    ASSERT_TRUE(db().Execute("insert into t(id) values('2')"));
    EXPECT_TRUE(tx.commit());
    EXPECT_FALSE(tx.commit());
  }
  EXPECT_EQ(db().Count("t"), 1);
  // Autocommit is back on: a later plain statement is kept without a commit.
  ASSERT_TRUE(db().Execute("insert into t(id) values('3')"));
  ASSERT_TRUE(db().Disconnect());
  ASSERT_TRUE(db().ConnectSqlite(tdb_.file()));
  EXPECT_EQ(db().Count("t"), 2);
}

TEST_F(SqliteDatabaseTest, TransactionKeepsOtherThreadsOut) {
  std::atomic<bool> counted{false};
  std::atomic<int> seen{-1};
  std::thread other;
  {
    Transaction tx(db());
    ASSERT_TRUE(db().Execute("insert into t(id) values('1')"));
    other = std::thread([&] {
      seen = db().Count("t");
      counted = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(counted);  // waiting for the transaction
    ASSERT_TRUE(db().Execute("insert into t(id) values('2')"));
    tx.commit();
  }
  other.join();
  EXPECT_EQ(seen, 2);
}

TEST_F(SqliteDatabaseTest, ManyThreadsShareTheConnection) {
  constexpr int kThreads = 4, kRows = 100;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kRows; ++i) {
        if (!db().Execute("insert into t(id,name) values(" + SqlQuote(t * kRows + i) + ",'n')"))
          ++failures;
        ScopedQuery q(db(), "select count(1) from t");
        if (!q.next() || q.integer(0) < 1) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(db().Count("t"), kThreads * kRows);
}

TEST_F(SqliteDatabaseTest, DisconnectClosesStatementsAndStopsWork) {
  Statement s = db().Query("select 1");
  ASSERT_NE(s, 0u);
  EXPECT_TRUE(db().Disconnect());
  EXPECT_FALSE(db().connected());
  EXPECT_EQ(db().openStatements(), 0u);
  EXPECT_FALSE(db().FetchNext(s));
  EXPECT_FALSE(db().Execute("insert into t(id) values('1')"));
  EXPECT_TRUE(db().ConnectSqlite(tdb_.file()));
  EXPECT_TRUE(db().Execute("insert into t(id) values('1')"));
}

TEST_F(SqliteDatabaseTest, DescribesColumns) {
  Statement s = db().Query("select id, name from t");
  ASSERT_NE(s, 0u);
  EXPECT_EQ(db().ColumnType(s, 0), SQL_INTEGER);
  EXPECT_NE(db().ColumnType(s, 1), 0);
  EXPECT_TRUE(db().ColumnNullable(s, 0));
  EXPECT_EQ(db().ColumnType(s, 5), 0);
  db().CloseQuery(s);
}

}  // namespace
}  // namespace bw
