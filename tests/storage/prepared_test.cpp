// Prepared statements with bound values on each backend: SQLite through its
// ODBC driver always, PostgreSQL when BW_TEST_POSTGRES names a server. Values
// go in as parameters and are checked by what comes back out.
#include "storage/prepared.h"

#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "support/test_database.h"

namespace bw::test {
namespace {

class PreparedTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (!opened()) return;
    ASSERT_TRUE(db().Execute("create table 试样(编号 BIGINT, 文本 VARCHAR(4000), 数 BIGINT)"));
  }

  // The row of 编号 `id`: its text, or "<null>", or "<no row>".
  std::string textOf(int64_t id) {
    PreparedQuery q(db(), "select 文本 from 试样 where 编号=?", {id});
    EXPECT_TRUE(q.ok());
    if (!q.next()) return "<no row>";
    return q.null(0) ? "<null>" : q.text(0);
  }
};

TEST_P(PreparedTest, TextsAndNumbersComeBackAsTheyWentIn) {
  const std::vector<std::string> texts = {
      "O'Neil",
      "'); drop table 试样; --",
      "\"双引号\" 和 'single' 和 `反引号` \\ 反斜杠 ?",
      "😀👨‍👩‍👧 emoji 与 汉字 and 𠀀 (outside the BMP)",
      "\xC2\x80\xC3\xBF\xE2\x80\x8B\xEF\xBB\xBF\xF4\x8F\xBF\xBF",  // valid UTF-8 that looks binary
      "",
      std::string(5000, 'x').substr(0, 3000) + "末尾",  // outgrows the first buffer
      "short again",                                    // and fits in it after
  };
  const std::vector<int64_t> numbers = {0, -1, std::numeric_limits<int64_t>::max(),
                                        std::numeric_limits<int64_t>::min(), 4294967296LL};
  for (size_t i = 0; i < texts.size(); ++i) {
    int64_t changed = -5;
    ASSERT_TRUE(RunPrepared(db(), "insert into 试样(编号, 文本, 数) values(?, ?, ?)",
                            {static_cast<int64_t>(i), texts[i], numbers[i % numbers.size()]},
                            &changed)
                    .done())
        << i;
    EXPECT_EQ(changed, 1);
  }
  ASSERT_TRUE(RunPrepared(db(), "insert into 试样(编号, 文本, 数) values(?, ?, ?)",
                          {100, kSqlNull, kSqlNull})
                  .done());

  for (size_t i = 0; i < texts.size(); ++i) EXPECT_EQ(textOf(static_cast<int64_t>(i)), texts[i]);
  EXPECT_EQ(textOf(100), "<null>");
  EXPECT_EQ(textOf(7777), "<no row>");

  // Compared as bound values too, with the columns read in any order.
  PreparedQuery q(db(), "select 数, 编号 from 试样 where 文本=? or 文本=? order by 编号",
                  {texts[1], texts[3]});
  std::vector<std::pair<int64_t, int64_t>> rows;
  while (q.next()) {
    EXPECT_FALSE(q.null(0));
    rows.emplace_back(q.integer(1), q.integer(0));
    EXPECT_EQ(q.integer(1), q.integer(1));  // a column read twice
  }
  EXPECT_EQ(rows, (std::vector<std::pair<int64_t, int64_t>>{{1, numbers[1]}, {3, numbers[3]}}));

  // The hostile text changed nothing but its own row.
  PreparedQuery count(db(), "select count(*) from 试样");
  ASSERT_TRUE(count.next());
  EXPECT_EQ(count.integer(0), static_cast<int64_t>(texts.size()) + 1);
}

TEST_P(PreparedTest, OneStatementTakesNullNumbersAndTextInTurn) {
  // One statement text, run with the kinds of its values changing between runs.
  const char* kInsert = "insert into 试样(编号, 文本, 数) values(?, ?, ?)";
  ASSERT_TRUE(RunPrepared(db(), kInsert, {1, "a", 10}).done());
  ASSERT_TRUE(RunPrepared(db(), kInsert, {2, kSqlNull, kSqlNull}).done());
  ASSERT_TRUE(RunPrepared(db(), kInsert, {3, "c", 30}).done());
  ASSERT_TRUE(RunPrepared(db(), kInsert, {4, "", kSqlNull}).done());

  PreparedQuery q(db(), "select 编号, 文本, 数 from 试样 order by 编号");
  std::vector<std::string> seen;
  while (q.next()) {
    seen.push_back(std::to_string(q.integer(0)) + ":" + (q.null(1) ? "null" : q.text(1)) + ":" +
                   (q.null(2) ? "null" : std::to_string(q.integer(2))));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"1:a:10", "2:null:null", "3:c:30", "4::null"}));
}

TEST_P(PreparedTest, WritesTellChangedFromNoRowAndFailure) {
  ASSERT_TRUE(RunPrepared(db(), "insert into 试样(编号, 数) values(?, ?)", {1, 5}).done());
  ASSERT_TRUE(RunPrepared(db(), "insert into 试样(编号, 数) values(?, ?)", {2, 5}).done());
  int64_t changed = -5;
  EXPECT_TRUE(RunPrepared(db(), "update 试样 set 数 = 数 + ? where 数=?", {1, 5}, &changed).done());
  EXPECT_EQ(changed, 2);
  const ExecResult none = RunPrepared(db(), "delete from 试样 where 编号=?", {99}, &changed);
  EXPECT_TRUE(none.noRow());
  EXPECT_FALSE(none.failed());
  EXPECT_EQ(changed, 0);

  // A wrong count of values is refused before anything runs.
  EXPECT_TRUE(RunPrepared(db(), "delete from 试样 where 编号=?", {}).failed());
  EXPECT_TRUE(RunPrepared(db(), "delete from 试样 where 编号=?", {1, 2}).failed());
  // A statement the database refuses fails, and is prepared anew afterwards.
  EXPECT_TRUE(RunPrepared(db(), "insert into 没有这张表(编号) values(?)", {1}).failed());
  ASSERT_TRUE(db().Execute("create table 没有这张表(编号 BIGINT)"));
  EXPECT_TRUE(RunPrepared(db(), "insert into 没有这张表(编号) values(?)", {1}).done());

  PreparedQuery q(db(), "select sum(数) from 试样");
  ASSERT_TRUE(q.next());
  EXPECT_EQ(q.integer(0), 12);
}

TEST_P(PreparedTest, QueriesNestWithTheSameTextAndSurviveAReconnect) {
  for (int i = 1; i <= 3; ++i) {
    ASSERT_TRUE(RunPrepared(db(), "insert into 试样(编号, 数) values(?, ?)", {i, i * 10}).done());
  }
  const char* kSelect = "select 数 from 试样 where 编号 >= ? order by 编号";
  std::vector<int64_t> pairs;
  PreparedQuery outer(db(), kSelect, {1});
  while (outer.next()) {
    PreparedQuery inner(db(), kSelect, {3});  // the same text while the outer one is open
    while (inner.next()) pairs.push_back(outer.integer(0) + inner.integer(0));
  }
  EXPECT_EQ(pairs, (std::vector<int64_t>{40, 50, 60}));

  if (GetParam() == Backend::kSqlite) {
    // After a reconnect the statements are prepared on the new connection.
    ASSERT_TRUE(db().Disconnect());
    ASSERT_TRUE(db().ConnectSqlite(sqliteFile()));
    PreparedQuery q(db(), kSelect, {2});
    std::vector<int64_t> values;
    while (q.next()) values.push_back(q.integer(0));
    EXPECT_EQ(values, (std::vector<int64_t>{20, 30}));
  }
}

TEST(PreparedOffline, ADisconnectedDatabaseFailsEveryStatement) {
  Database db;
  EXPECT_TRUE(RunPrepared(db, "select ?", {1}).failed());
  PreparedQuery q(db, "select ?", {1});
  EXPECT_FALSE(q.ok());
  EXPECT_FALSE(q.next());
  EXPECT_EQ(q.text(0), "");
}

INSTANTIATE_TEST_SUITE_P(Backends, PreparedTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName);

}  // namespace
}  // namespace bw::test
