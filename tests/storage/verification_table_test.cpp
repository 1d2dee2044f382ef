// 入群验证 on each database backend: SQLite always, PostgreSQL when
// BW_TEST_POSTGRES names a server. Two robots share the database, as two
// services sharing one PostgreSQL would.
#include "storage/verification_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "host/identity.h"
#include "storage/database.h"
#include "support/test_database.h"

namespace bw {
namespace {

using test::Backend;

class VerificationTableTest : public test::BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (!opened()) return;
    one_.setLoginAccount("10000");
    two_.setLoginAccount("20000");
    first = std::make_unique<VerificationTable>(db(), one_);
    second = std::make_unique<VerificationTable>(db(), two_);
  }

  static PendingVerification Pending(int64_t group, int64_t member, int64_t deadline) {
    PendingVerification p;
    p.group = group;
    p.member = member;
    p.question = "O'Neil 问: 1 + 1 = ?";
    p.answers = {"2", "二"};
    p.joined = deadline - 300;
    p.deadline = deadline;
    return p;
  }

  std::unique_ptr<VerificationTable> first, second;

 private:
  Identity one_, two_;
};

TEST_P(VerificationTableTest, RowsRoundTripPerRobotEarliestDeadlineFirst) {
  ASSERT_TRUE(first->add(Pending(100, 30001, 4102444000)));  // past 2038
  ASSERT_TRUE(first->add(Pending(100, 30002, 1796700300)));
  ASSERT_TRUE(second->add(Pending(100, 30001, 1796700100)));
  PendingVerification again = Pending(100, 30002, 1796700200);
  again.question = std::string(248, 'x') + "青榆";  // cut before the character that does not fit
  ASSERT_TRUE(first->add(again));                   // replaces the row of 30002

  const std::vector<PendingVerification> rows = first->all();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].member, 30002);
  EXPECT_EQ(rows[0].deadline, 1796700200);
  EXPECT_EQ(rows[0].question, std::string(248, 'x'));
  EXPECT_EQ(rows[1].member, 30001);
  EXPECT_EQ(rows[1].deadline, 4102444000);
  EXPECT_EQ(rows[1].joined, 4102444000 - 300);
  EXPECT_EQ(rows[1].question, "O'Neil 问: 1 + 1 = ?");
  EXPECT_THAT(rows[1].answers, ::testing::ElementsAre("2", "二"));
  ASSERT_EQ(second->all().size(), 1u);  // the other robot's row stays its own

  EXPECT_TRUE(first->remove(100, 30001));
  EXPECT_FALSE(first->remove(100, 30001));
  EXPECT_EQ(second->all().size(), 1u);
  EXPECT_EQ(first->addWrong(100, 30001), -1);  // gone: nothing to count
}

TEST_P(VerificationTableTest, WrongAnswersCountedAtOnceAreNeverLost) {
  ASSERT_TRUE(first->add(Pending(100, 30001, 1796700300)));
  ASSERT_TRUE(second->add(Pending(100, 30001, 1796700300)));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) first->addWrong(100, 30001);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(first->all().at(0).wrong, 100);
  EXPECT_EQ(first->addWrong(100, 30001), 101);
  EXPECT_EQ(second->all().at(0).wrong, 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, VerificationTableTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres),
                         test::BackendName);

}  // namespace
}  // namespace bw
