// The message history as the robot keeps it: only the groups opted in, only
// for their days, at most the cap per group, pruned by messages and by the
// hourly timer on the clock.
#include "moderation/message_history.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/identity.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/message_history_table.h"
#include "support/core_fixture.h"
#include "support/test_database.h"
#include "util/files.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

// (member, text) of a group's kept messages, oldest first.
std::vector<std::pair<int64_t, std::string>> Kept(MessageHistoryTable& table, int64_t group) {
  std::vector<std::pair<int64_t, std::string>> out;
  table.read(10000, group, 0, INT64_MAX, 1000000, [&](KeptMessage&& m) {
    out.emplace_back(m.member, m.text);
    return true;
  });
  return out;
}

class MessageHistoryCoreTest : public test::CoreFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(WriteFileAtomic(data + "群列表.txt",
                                "{1}1----100----甲群----群主\r\n{1}2----200----乙群----群主\r\n")
                    .ok());
    startRobot();
    ASSERT_TRUE(core.startedUp());
  }
  void say(int64_t group, int64_t member, std::string text) {
    entry.groupMessage({++id, group, member, std::move(text), 0});
    lifecycle.waitIdle();
  }
  MessageHistoryTable& table() { return core.modules.historyTable; }
  EventHandlers entry = LifecycleEntryPoints(lifecycle);
  int32_t id = 0;
};

TEST_F(MessageHistoryCoreTest, KeepsOptedInGroupsForTheirDaysThenForgetsThem) {
  say(100, 20001, "before anything is kept");
  ASSERT_TRUE(lifecycle.settings().setText(opt::kHistoryGroups, "100:2"));
  say(100, 20001, "第一天");
  say(200, 20002, "not kept: group 200 did not opt in");
  say(100, 10000, "the robot's own message");
  const std::string huge = "头" + std::string(100000, 'x') + "尾";
  say(100, 20003, huge);
  auto kept = Kept(table(), 100);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0], (std::pair<int64_t, std::string>{20001, "第一天"}));
  // A huge message is kept as a bounded excerpt of its head and tail.
  EXPECT_LE(kept[1].second.size(), kKeptTextBytes);
  EXPECT_TRUE(kept[1].second.starts_with("头xxx"));
  EXPECT_TRUE(kept[1].second.ends_with("xxx尾"));
  EXPECT_TRUE(Kept(table(), 200).empty());

  // A day later the first day's messages are still within the two days.
  clock.advance(24h);
  say(100, 20001, "第二天");
  EXPECT_EQ(Kept(table(), 100).size(), 3u);
  // Past two days, the next message's pass deletes the first day's.
  clock.advance(25h);
  say(100, 20001, "第三天");
  kept = Kept(table(), 100);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].second, "第二天");
  EXPECT_EQ(kept[1].second, "第三天");

  // Opting out: nothing more is kept, and the next pass deletes what was.
  ASSERT_TRUE(lifecycle.settings().setText(opt::kHistoryGroups, "200:1"));
  say(100, 20001, "after opting out");
  EXPECT_EQ(Kept(table(), 100).size(), 2u);
  core.modules.history.prune();
  EXPECT_TRUE(Kept(table(), 100).empty());
}

TEST(MessageHistoryOption, ReadsGroupsAndDaysAndNamesWhatItCannotRead) {
  std::vector<std::string> bad;
  const auto groups = ParseHistoryGroups("101:7+ 102:30 ++103:31+104+0105:1+x:2+106:0+107:1", &bad);
  EXPECT_EQ(groups, (std::map<int64_t, int64_t>{{101, 7}, {102, 30}, {107, 1}}));
  EXPECT_EQ(bad, (std::vector<std::string>{"103:31", "104", "0105:1", "x:2", "106:0"}));
  EXPECT_EQ(HistoryGroupsText({{101, 7}, {102, 0}, {103, 30}}), "101:7+103:30");
  EXPECT_EQ(ParseHistoryGroups(HistoryGroupsText(groups)), groups);
}

class MessageHistoryCapTest : public ::testing::Test {
 protected:
  MessageHistoryCapTest() : clock(LocalTime(2026, 12, 7, 12), VirtualClock::Mode::kManual) {
    identity.setLoginAccount("10000");
    settings.setText(opt::kHistoryGroups, "100:30+200:30");
  }
  test::TestDatabase db;
  VirtualClock clock;
  Settings settings;
  Identity identity;
  MessageHistoryTable table{db.db};
};

TEST_F(MessageHistoryCapTest, AGroupNeverHoldsMoreThanItsCapAndKeepsTheNewest) {
  MessageHistory history(clock, settings, identity, table, 50);
  for (int i = 1; i <= 120; ++i) {
    clock.advance(1s);
    history.record({i, 100, 20001, "m" + std::to_string(i), 0});
    ASSERT_LE(table.count(10000, 100), 50) << "after message " << i;
  }
  history.record({500, 200, 20002, "another group", 0});
  const auto kept = Kept(table, 100);
  ASSERT_FALSE(kept.empty());
  EXPECT_EQ(kept.back().second, "m120");
  EXPECT_GE(kept.size(), 45u);  // trimmed a little below the cap, not emptied
  EXPECT_EQ(table.count(10000, 200), 1);

  // A pass holds the cap too, whoever filled the table (another version, by hand).
  for (int i = 0; i < 30; ++i) table.add(10000, {clock.unixSeconds(), 100, 20001, 0, "extra"});
  history.prune();
  EXPECT_LE(table.count(10000, 100), 50);
}

TEST_F(MessageHistoryCapTest, TheHourlyTimerDeletesExpiredMessagesWithoutAnyMessage) {
  MessageHistory history(clock, settings, identity, table);
  const int64_t now = clock.unixSeconds();
  table.add(10000, {now - 31 * 86400, 100, 20001, 1, "older than 30 days"});
  table.add(10000, {now - 29 * 86400, 100, 20001, 2, "within 30 days"});
  table.add(10000, {now, 300, 20001, 3, "a group that never opted in"});
  table.add(20000, {now - 31 * 86400, 100, 20001, 4, "another robot's row"});
  history.startRetention();
  ASSERT_TRUE(clock.waitForSleepers(1));
  clock.advance(59min);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(table.count(10000, 100), 2);  // not an hour yet
  clock.advance(1min);
  for (int i = 0; i < 500 && table.count(10000, 100) != 1; ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(Kept(table, 100),
            (std::vector<std::pair<int64_t, std::string>>{{20001, "within 30 days"}}));
  EXPECT_EQ(table.count(10000, 300), 0);
  EXPECT_EQ(table.count(20000, 100), 1);  // each robot prunes its own rows only
  history.stopRetention();
  EXPECT_EQ(clock.sleepers(), 0);
}

}  // namespace
}  // namespace bw
