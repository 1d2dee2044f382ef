// The warnings table on each database backend: SQLite through its ODBC driver
// always, PostgreSQL when BW_TEST_POSTGRES names a server. Checked on the rows
// the table leaves.
#include "storage/warning_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "storage/database.h"
#include "support/test_database.h"
#include "util/log.h"

namespace bw {
namespace {

using ::testing::HasSubstr;

using test::Backend;

class WarningTableTest : public test::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (opened()) table_ = std::make_unique<WarningTable>(db());
  }
  WarningTable& table() { return *table_; }
  // 警告次数 of every row of the account, as text.
  std::vector<std::string> rowsOf(int64_t account) {
    std::vector<std::string> out;
    ScopedQuery q(db(),
                  "select 警告次数 from 警告记录 where QQ号='" + std::to_string(account) + "'");
    while (q.next()) out.push_back(q.text(0));
    return out;
  }

 private:
  std::unique_ptr<WarningTable> table_;
};

TEST_P(WarningTableTest, CountsOneRowPerAccount) {
  EXPECT_EQ(table().count(123456), 0);
  EXPECT_TRUE(rowsOf(123456).empty());
  EXPECT_EQ(table().addWarning(123456), 1);
  EXPECT_EQ(rowsOf(123456), std::vector<std::string>{"1"});
  EXPECT_EQ(table().addWarning(123456), 2);
  EXPECT_EQ(table().addWarning(654321), 1);
  EXPECT_EQ(rowsOf(123456), std::vector<std::string>{"2"});
  EXPECT_EQ(rowsOf(654321), std::vector<std::string>{"1"});
  EXPECT_EQ(table().count(123456), 2);
}

TEST_P(WarningTableTest, CountGrowsFromAStoredZeroInItsOwnRow) {
  // A count reset to 0 by hand must go on counting, not get a second row.
  ASSERT_TRUE(db().Execute("insert into 警告记录(QQ号,警告次数) values('123456','0')"));
  EXPECT_EQ(table().addWarning(123456), 1);
  EXPECT_EQ(table().addWarning(123456), 2);
  EXPECT_EQ(rowsOf(123456), std::vector<std::string>{"2"});
}

TEST_P(WarningTableTest, ConcurrentIncrementsAreNeverLost) {
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::mutex mu;
  std::vector<int32_t> seen;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kEach; ++i) {
        int32_t n = table().addWarning(123456);
        std::lock_guard lock(mu);
        seen.push_back(n);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(rowsOf(123456), std::vector<std::string>{std::to_string(kThreads * kEach)});
  // Every increment saw its own count: none read a count another had not yet written.
  std::sort(seen.begin(), seen.end());
  std::vector<int32_t> expected(kThreads * kEach);
  for (size_t i = 0; i < expected.size(); ++i) expected[i] = static_cast<int32_t>(i + 1);
  EXPECT_EQ(seen, expected);
}

TEST_P(WarningTableTest, FailedWriteIsLoggedAndLeavesTheRowAlone) {
  if (GetParam() != Backend::kSqlite) GTEST_SKIP() << "the refusing trigger is SQLite's";
  ASSERT_TRUE(db().Execute("insert into 警告记录(QQ号,警告次数) values('123456','3')"));
  ASSERT_TRUE(
      db().Execute("create trigger refuse_warnings before update on 警告记录 "
                   "begin select raise(abort, 'refused'); end"));
  std::vector<std::string> logged;
  LogSink previous = SetLogSink([&](LogLevel level, std::string_view line) {
    if (level >= LogLevel::kWarning) logged.emplace_back(line);
  });
  const int32_t judged = table().addWarning(123456);
  SetLogSink(previous);
  EXPECT_EQ(judged, 4);  // this violation is still judged by the new count
  EXPECT_EQ(rowsOf(123456), std::vector<std::string>{"3"});
  ASSERT_FALSE(logged.empty());
  EXPECT_THAT(logged.back(), HasSubstr("warning count of 123456 not stored (still 3)"));
}

INSTANTIATE_TEST_SUITE_P(Backends, WarningTableTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace bw
