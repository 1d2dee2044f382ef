// Every statement the robot issues, as text built with SqlQuote, on each
// database backend: SQLite through its ODBC driver always, PostgreSQL when
// BW_TEST_POSTGRES names a server.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "storage/database.h"
#include "storage/sql.h"
#include "support/test_database.h"

namespace bw {
namespace {

enum class Backend { kSqlite, kPostgres };

class StatementsTest : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    if (GetParam() == Backend::kSqlite) {
      sqlite_ = std::make_unique<test::TestDatabase>();
      db_ = &sqlite_->db;
    } else {
      pg_ = test::PostgresTestDatabase::Open();
      if (!pg_) GTEST_SKIP() << "BW_TEST_POSTGRES not set";
      db_ = &pg_->db;
    }
  }

  Database& db() { return *db_; }
  std::string one(const std::string& sql) { return test::QueryText(db(), sql); }
  // Column 0 of every row.
  std::vector<std::string> column(const std::string& sql) {
    std::vector<std::string> out;
    ScopedQuery q(db(), sql);
    EXPECT_TRUE(q.ok()) << sql;
    while (q.next()) out.push_back(q.text(0));
    return out;
  }
  int count(const std::string& sql) {
    ScopedQuery q(db(), sql);
    EXPECT_TRUE(q.ok()) << sql;
    return q.next() ? q.integer(0) : -1;
  }

  void addAccount(const std::string& table, const std::string& qq, const std::string& nick,
                  const std::string& time) {
    ASSERT_TRUE(db().Execute("insert into " + table + "(QQ号,昵称,加入时间) values(" +
                             SqlQuote(qq) + "," + SqlQuote(nick) + "," + SqlQuote(time) + ")"))
        << table;
  }

  void addMember(const std::string& group, const std::string& qq, const std::string& joined) {
    ASSERT_TRUE(db().Execute("insert into 群成员(群号,QQ号,加群时间) values(" + SqlQuote(group) +
                             "," + SqlQuote(qq) + "," + SqlQuote(joined) + ")"));
  }

  void refreshMember(const std::string& group, const std::string& qq, const std::string& nick,
                     const std::string& card, const std::string& joined,
                     const std::string& lastSpoke, const std::string& role) {
    ASSERT_TRUE(db().Execute(
        "insert into 群成员(群号,QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录) values(" +
        SqlQuote(group) + "," + SqlQuote(qq) + "," + SqlQuote(nick) + "," + SqlQuote(card) + "," +
        SqlQuote("0") + "," + SqlQuote(joined) + "," + SqlQuote(lastSpoke) + "," + SqlQuote(role) +
        "," + SqlQuote("0") + ")"));
  }

  std::unique_ptr<test::TestDatabase> sqlite_;
  std::unique_ptr<test::PostgresTestDatabase> pg_;
  Database* db_ = nullptr;
};

TEST_P(StatementsTest, AccountListsLoadInJoinOrderAndDelete) {
  for (const std::string table : {"管理员", "白名单", "黑名单"}) {
    // 999999999 sorts before 1000000000 only as a number.
    addAccount(table, "20002", "O'Neil", "1000000000");
    addAccount(table, "20001", "'); drop table 群成员; --", "999999999");
    Statement s = db().Query("select * from " + table + " order by 加入时间 asc");
    ASSERT_NE(s, 0u) << table;
    ASSERT_TRUE(db().FetchNext(s));
    EXPECT_EQ(db().GetTextByName(s, "QQ号"), "20001");
    EXPECT_EQ(db().GetTextByName(s, "昵称"), "'); drop table 群成员; --");
    EXPECT_EQ(db().GetIntByName(s, "加入时间"), 999999999);
    ASSERT_TRUE(db().FetchNext(s));
    EXPECT_EQ(db().GetTextByName(s, "QQ号"), "20002");
    EXPECT_EQ(db().GetTextByName(s, "昵称"), "O'Neil");
    EXPECT_FALSE(db().FetchNext(s));
    db().CloseQuery(s);

    EXPECT_TRUE(db().Execute("delete from " + table + " where QQ号=" + SqlQuote("20001")));
    EXPECT_FALSE(db().Execute("delete from " + table + " where QQ号=" + SqlQuote("20001")))
        << "a delete that matches no row is reported as failed";
  }
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号 =" + SqlQuote("20002")), 1);
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号 =" + SqlQuote("20001")), 0);
  // The hostile nickname did not run as SQL.
  EXPECT_EQ(count("select count(1) from 群成员"), 0);
}

TEST_P(StatementsTest, MemberListRefreshAndLookups) {
  refreshMember("30001", "40001", "甲", "名片'一", "1700000000", "1700000500", "3");
  refreshMember("30001", "40002", "乙", "", "1700000100", "0", "2");
  refreshMember("30001", "40003", "丙", "", "1700000200", "1700000300", "1");
  refreshMember("30002", "40001", "甲", "", "1700000000", "0", "2");
  EXPECT_EQ(column("SELECT distinct  QQ号 from 群成员 where 权限='3' or 权限='2'").size(), 2u);
  EXPECT_EQ(count("select count(1) from 群成员 where 群号 =" + SqlQuote("30001")), 3);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号 =" + SqlQuote("40001")), 2);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号 =" + SqlQuote("40001") +
                  " and 群号=" + SqlQuote("30002")),
            1);
  auto groups = column("select 群号 from 群成员 where QQ号=" + SqlQuote("40001"));
  std::sort(groups.begin(), groups.end());
  EXPECT_EQ(groups, (std::vector<std::string>{"30001", "30002"}));

  // A refresh replaces a group's rows.
  EXPECT_TRUE(db().Execute("delete from 群成员 where 群号=" + SqlQuote("30002")));
  EXPECT_EQ(count("select count(1) from 群成员 where 群号 =" + SqlQuote("30002")), 0);
  EXPECT_EQ(one("select 名片 from 群成员 where QQ号='40001'"), "名片'一");
}

TEST_P(StatementsTest, MemberLimitOrders) {
  const std::string g = SqlQuote("30001");
  refreshMember("30001", "40001", "", "", "1700000300", "1700000900", "1");
  refreshMember("30001", "40002", "", "", "1700000100", "1700000800", "1");
  addMember("30001", "40003", "1700000200");  // arrived, never spoke
  addMember("30001", "40004", "999999999");   // arrived, never spoke
  using V = std::vector<std::string>;
  EXPECT_EQ(column("select QQ号 from 群成员 where 群号=" + g + " ORDER BY 加群时间 asc"),
            (V{"40004", "40002", "40003", "40001"}));
  EXPECT_EQ(column("select QQ号 from 群成员 where 群号=" + g + " ORDER BY 加群时间 DESC"),
            (V{"40001", "40003", "40002", "40004"}));
  const V bySpeech = column("select QQ号 from 群成员 where 群号=" + g + " ORDER BY 最后发言 asc");
  ASSERT_EQ(bySpeech.size(), 4u);
  EXPECT_EQ((V{bySpeech[2], bySpeech[3]}), (V{"40002", "40001"}));
  // Members recorded on arrival have 最后发言 0.
  EXPECT_EQ(
      column("select QQ号 from 群成员 where 最后发言=0 and 群号=" + g + " ORDER BY 加群时间 asc"),
      (V{"40004", "40003"}));
  EXPECT_EQ(
      column("select QQ号 from 群成员 where 最后发言=0 and 群号=" + g + " ORDER BY 加群时间 DESC"),
      (V{"40003", "40004"}));

  EXPECT_TRUE(
      db().Execute("delete from 群成员 where QQ号=" + SqlQuote("40003") + " and 群号=" + g));
  EXPECT_FALSE(
      db().Execute("delete from 群成员 where QQ号=" + SqlQuote("40003") + " and 群号=" + g));
}

TEST_P(StatementsTest, InviteStatisticsFlow) {
  const std::string inviter = SqlQuote("50001");
  ASSERT_TRUE(db().Execute("insert into 邀请统计(QQ号,昵称,现存个数,邀请个数) values(" + inviter +
                           "," + SqlQuote("邀请'人") + "," + SqlQuote("1") + "," + SqlQuote("1") +
                           ")"));
  ASSERT_TRUE(db().Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values(" + SqlQuote("60001") +
                           "," + SqlQuote("30001") + "," + inviter + ")"));
  {
    ScopedQuery q(db(), "select 现存个数,邀请个数 from 邀请统计 where QQ号 =" + inviter);
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.integer(0), 1);
    EXPECT_EQ(q.integer(1), 1);
  }
  EXPECT_TRUE(db().Execute("update 邀请统计 set 现存个数=" + SqlQuote("2") +
                           ",邀请个数=" + SqlQuote("2") + " where QQ号=" + inviter));
  EXPECT_EQ(one("select 邀请人QQ from 邀请记录 where QQ号 =" + SqlQuote("60001") +
                " and 群号 = " + SqlQuote("30001")),
            "50001");
  // The invited member leaves.
  EXPECT_TRUE(db().Execute("delete from 邀请记录 where QQ号 =" + SqlQuote("60001") +
                           " and 群号 = " + SqlQuote("30001")));
  {
    ScopedQuery q(db(), "select 现存个数,退出个数 from 邀请统计 where QQ号 =" + inviter);
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.integer(0), 2);
    EXPECT_EQ(q.integer(1), 0);  // left out by the insert: starts at 0
  }
  EXPECT_TRUE(db().Execute("update 邀请统计 set 现存个数=" + SqlQuote("1") +
                           ",退出个数=" + SqlQuote("1") + "  where QQ号=" + inviter));
  {
    ScopedQuery q(db(), "select 现存个数,退出个数,邀请个数 from 邀请统计 where QQ号 =" + inviter);
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.integer(0), 1);
    EXPECT_EQ(q.integer(1), 1);
    EXPECT_EQ(q.integer(2), 2);
  }
  ASSERT_TRUE(db().Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values(" + SqlQuote("60002") +
                           "," + SqlQuote("30001") + "," + inviter + ")"));
  EXPECT_EQ(column("select QQ号 from 邀请记录 where 邀请人QQ =" + inviter),
            std::vector<std::string>{"60002"});
  {
    ScopedQuery q(db(), "select * from 邀请记录 where QQ号=" + SqlQuote("60002"));
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.text("邀请人QQ"), "50001");
    EXPECT_EQ(q.text("群号"), "30001");
  }
  {
    ScopedQuery q(db(), "select * from 邀请统计 where QQ号=" + inviter);
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.text("QQ号"), "50001");
    EXPECT_EQ(q.text("昵称"), "邀请'人");
    EXPECT_EQ(q.integer("现存个数"), 1);
    EXPECT_EQ(q.integer("邀请个数"), 2);
    EXPECT_EQ(q.integer("退出个数"), 1);
  }
  EXPECT_EQ(column("select * from 邀请统计 ").size(), 1u);
  // The clear command.
  EXPECT_TRUE(db().Execute("delete from 邀请统计 where QQ号=" + inviter));
  EXPECT_TRUE(db().Execute("delete from 邀请记录 where 邀请人QQ=" + inviter));
  EXPECT_FALSE(db().Execute("delete from 邀请记录 where 邀请人QQ=" + inviter));
}

TEST_P(StatementsTest, WarningCounter) {
  const std::string qq = SqlQuote("70001");
  EXPECT_EQ(one("select 警告次数 from 警告记录 where QQ号 =" + qq), "<no row>");
  ASSERT_TRUE(
      db().Execute("insert into 警告记录(QQ号,警告次数) values(" + qq + "," + SqlQuote("1") + ")"));
  EXPECT_TRUE(db().Execute("update 警告记录 set 警告次数=" + SqlQuote("2") + " where QQ号=" + qq));
  ScopedQuery q(db(), "select 警告次数 from 警告记录 where QQ号 =" + qq);
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.integer(0), 2);
  EXPECT_FALSE(
      db().Execute("update 警告记录 set 警告次数=" + SqlQuote("1") + " where QQ号='70002'"));
}

TEST_P(StatementsTest, TimesBeyond32BitsAreKept) {
  // 2100-01-01: the counters and times are 64-bit on every backend.
  addAccount("管理员", "1", "n", "4102444800");
  ScopedQuery q(db(), "select 加入时间 from 管理员");
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.integer64(0), 4102444800);
  EXPECT_EQ(one("select 加入时间 from 管理员"), "4102444800");
}

INSTANTIATE_TEST_SUITE_P(Backends, StatementsTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         [](const auto& info) {
                           return info.param == Backend::kSqlite ? "Sqlite" : "Postgres";
                         });

}  // namespace
}  // namespace bw
