// The owner of 消息记录 on SQLite (and PostgreSQL when BW_TEST_POSTGRES names
// a server): a long read comes back whole and in order across its chunks,
// texts come back as they went in, and deletions touch only what they name.
#include "storage/message_history_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "storage/database.h"
#include "storage/schema.h"
#include "support/test_database.h"

namespace bw::test {
namespace {

class MessageHistoryTableTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (opened()) table_ = std::make_unique<MessageHistoryTable>(db());
  }
  std::vector<KeptMessage> readAll(int64_t robot, int64_t group, size_t limit = 1000000) {
    std::vector<KeptMessage> out;
    table_->read(robot, group, 0, INT64_MAX, limit, [&](KeptMessage&& m) {
      out.push_back(std::move(m));
      return true;
    });
    return out;
  }

  std::unique_ptr<MessageHistoryTable> table_;
};

TEST_P(MessageHistoryTableTest, ALongReadComesBackWholeInOrderAcrossItsChunks) {
  // Three messages a second, so that chunks end between seconds that hold several rows.
  constexpr int kRows = 4501;
  {
    Transaction tx(db());
    for (int i = 0; i < kRows; ++i)
      ASSERT_TRUE(table_->add(10000, {1'800'000'000 + i / 3, 100, 20000 + i % 7, i, "m"}));
    ASSERT_TRUE(tx.commit());
  }
  ASSERT_TRUE(table_->add(10000, {1'800'000'000, 200, 1, 1, "another group"}));
  ASSERT_TRUE(table_->add(20000, {1'800'000'000, 100, 1, 1, "another robot"}));
  const std::vector<KeptMessage> all = readAll(10000, 100);
  ASSERT_EQ(all.size(), static_cast<size_t>(kRows));
  std::set<int64_t> ids;
  for (size_t i = 0; i < all.size(); ++i) {
    ids.insert(all[i].msgId);
    if (i) {
      EXPECT_LE(all[i - 1].time, all[i].time) << i;
    }
    EXPECT_EQ(all[i].group, 100);
  }
  EXPECT_EQ(ids.size(), static_cast<size_t>(kRows));  // none twice, none left out
  EXPECT_EQ(table_->count(10000, 100), kRows);

  // A range, a limit, and a reader that stops.
  size_t seen = 0;
  EXPECT_EQ(table_->read(10000, 100, 1'800'000'010, 1'800'000'020, 1000,
                         [&](KeptMessage&&) { return ++seen, true; }),
            30u);
  EXPECT_EQ(readAll(10000, 100, 2500).size(), 2500u);
  EXPECT_EQ(table_->read(10000, 100, 0, INT64_MAX, 1000, [](KeptMessage&&) { return false; }), 1u);

  // Deletions name their robot and group.
  std::vector<int64_t> groups = table_->groups(10000);
  std::sort(groups.begin(), groups.end());
  EXPECT_EQ(groups, (std::vector<int64_t>{100, 200}));
  ASSERT_TRUE(table_->removeOlder(10000, 100, 1'800'000'100));
  EXPECT_EQ(table_->count(10000, 100), kRows - 300);
  ASSERT_TRUE(table_->trimTo(10000, 100, 1000));
  EXPECT_LE(table_->count(10000, 100), 1000);
  EXPECT_GE(table_->count(10000, 100), 998);  // the second of the last row removed goes whole
  EXPECT_EQ(readAll(10000, 100).back().msgId, kRows - 1);  // the newest stay
  ASSERT_TRUE(table_->removeGroup(10000, 100));
  EXPECT_EQ(table_->count(10000, 100), 0);
  EXPECT_EQ(table_->count(10000, 200), 1);
  EXPECT_EQ(table_->count(20000, 100), 1);
}

TEST_P(MessageHistoryTableTest, TextsComeBackAsTheyWentInAndHugeOnesBounded) {
  const std::vector<std::string> texts = {"O'Neil", "'); drop table 消息记录; --",
                                          "[CQ:at,qq=20001] 加我微信 😀", "",
                                          "头" + std::string(50000, 'x') + "尾"};
  for (size_t i = 0; i < texts.size(); ++i)
    ASSERT_TRUE(table_->add(10000, {1'800'000'000 + static_cast<int64_t>(i), 100, 1,
                                    static_cast<int64_t>(i), texts[i]}));
  const std::vector<KeptMessage> all = readAll(10000, 100);
  ASSERT_EQ(all.size(), texts.size());
  for (size_t i = 0; i + 1 < texts.size(); ++i) EXPECT_EQ(all[i].text, texts[i]);
  EXPECT_LE(all.back().text.size(), kKeptTextBytes);
  EXPECT_TRUE(all.back().text.starts_with("头x"));
  EXPECT_TRUE(all.back().text.ends_with("x尾"));
}

INSTANTIATE_TEST_SUITE_P(Backends, MessageHistoryTableTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName);

}  // namespace
}  // namespace bw::test
