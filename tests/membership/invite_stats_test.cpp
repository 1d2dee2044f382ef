#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "membership_fixture.h"

namespace bw::test {
namespace {

using InviteStatsTest = MembershipFixture;

TEST_F(InviteStatsTest, CountsFollowInvitationsAndDepartures) {
  qq.nicknames["500"] = "A'lice";
  // First invitation creates the row with the inviter's nickname.
  EXPECT_EQ(invites.recordInvitation(700, 601, 500), 1);
  EXPECT_EQ(text("select 昵称 from 邀请统计 where QQ号='500'"), "A'lice");
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录 where 邀请人QQ='500'"), 1);

  // Second invitation updates the same row.
  EXPECT_EQ(invites.recordInvitation(700, 602, 500), 2);
  EXPECT_EQ(count("select count(1) from 邀请统计"), 1);
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 2);

  // A departure charges the inviter; a second one for the same pair does nothing.
  EXPECT_EQ(invites.recordDeparture(700, 601), 1);
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 2);
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(count("select count(1) from 邀请记录 where QQ号='601'"), 0);
  EXPECT_EQ(invites.recordDeparture(700, 601), 0);
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 1);
  // The nickname was fetched once only.
  EXPECT_EQ(qq.requests, std::vector<std::string>{"nickname:500"});
}

TEST_F(InviteStatsTest, DepartureFromAnotherGroupDoesNotChargeTheInviter) {
  invites.recordInvitation(700, 601, 500);
  EXPECT_EQ(invites.recordDeparture(701, 601), 0);
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 1);
}

TEST_F(InviteStatsTest, ConcurrentInvitationsLoseNoIncrement) {
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  // Widen the window between reading and writing the counts, where a worker
  // without the database held would lose another worker's increment.
  sql.onStatement = [](const std::string& s) {
    if (s.rfind("update 邀请统计", 0) == 0 || s.rfind("insert into 邀请统计", 0) == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  };
  std::vector<std::thread> workers;
  for (int t = 0; t < kThreads; ++t) {
    workers.emplace_back([this, t] {
      for (int i = 0; i < kEach; ++i) {
        invites.recordInvitation(700, 1000 + t * kEach + i, 500);
      }
    });
  }
  for (auto& w : workers) w.join();
  EXPECT_EQ(count("select count(1) from 邀请统计"), 1);  // one row, not one per racing worker
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), kThreads * kEach);
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='500'"), kThreads * kEach);
  EXPECT_EQ(count("select count(1) from 邀请记录"), kThreads * kEach);
}

TEST_F(InviteStatsTest, QueryReplyFillsTheTemplate) {
  invites.recordInvitation(700, 601, 500);
  invites.recordInvitation(700, 602, 500);
  invites.recordDeparture(700, 602);
  invites.replyInviteQuery(700, 500);
  invites.replyInviteQuery(700, 501);  // no row: all zero

  auto sent = actionsNamed("send_group_msg");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].group, 700);
  EXPECT_EQ(sent[0].text, "[CQ:at,qq=500] \r\n您现存邀请人数为：1\r\n总邀请人数：2\r\n已退出：1");
  EXPECT_EQ(sent[1].text, "[CQ:at,qq=501] \r\n您现存邀请人数为：0\r\n总邀请人数：0\r\n已退出：0");
}

TEST_F(InviteStatsTest, QueryTemplateReplacesEveryOccurrenceAndTheTime) {
  settings.setText("编辑框_邀请查询回复", "[总邀请人数]/[总邀请人数] [时间]");
  invites.recordInvitation(700, 601, 500);
  invites.replyInviteQuery(700, 500);
  ASSERT_EQ(actionsNamed("send_group_msg").size(), 1u);
  EXPECT_EQ(actionsNamed("send_group_msg")[0].text, "1/1 2026年12月7日21时5分9秒");
}

TEST_F(InviteStatsTest, InvitedListAndClear) {
  invites.replyInvitedList(700, 500);
  invites.recordInvitation(700, 601, 500);
  invites.recordInvitation(701, 602, 500);
  invites.replyInvitedList(700, 500);
  invites.clearInviteStats(700, 500);
  // The cleared inviter's members leave: nobody is charged.
  EXPECT_EQ(invites.recordDeparture(700, 601), 0);

  auto sent = actionsNamed("send_group_msg");
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0].text, "[CQ:at,qq=500] 邀请的QQ有\r\n");
  EXPECT_EQ(sent[1].text, "[CQ:at,qq=500] 邀请的QQ有\r\n601\r\n602\r\n");
  EXPECT_EQ(sent[2].text, "[CQ:at,qq=500] 邀请记录已清空!");
  EXPECT_EQ(count("select count(1) from 邀请统计"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
}

TEST_F(InviteStatsTest, ShowInviteStatsFillsTheListWithOrWithoutFilter) {
  qq.nicknames["500"] = "A";
  invites.recordInvitation(700, 601, 500);
  invites.recordInvitation(700, 602, 501);
  invites.recordDeparture(700, 601);

  invites.showInviteStats("");
  EXPECT_EQ(lists.inviteStats.rowCount(), 2u);
  EXPECT_EQ(lists.inviteStats.cell(0, 1), "500");
  EXPECT_EQ(lists.inviteStats.cell(1, 1), "501");

  invites.showInviteStats("500");
  ASSERT_EQ(lists.inviteStats.rowCount(), 1u);
  EXPECT_EQ(lists.inviteStats.rows()[0].cells,
            (std::vector<std::string>{"1", "500", "A", "0", "1", "1"}));

  invites.showInviteStats("x' or '1'='1");
  EXPECT_EQ(lists.inviteStats.rowCount(), 0u);
}

TEST_F(InviteStatsTest, AFailedWriteChangesNoCountAndReportsNothingDone) {
  invites.recordInvitation(700, 601, 500);
  // The second invitation's update fails: neither the counts nor the records move.
  sql.onStatement = [](const std::string& s) { return s.rfind("update 邀请统计", 0) != 0; };
  EXPECT_EQ(invites.recordInvitation(700, 602, 500), std::nullopt);
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(count("select count(1) from 邀请记录 where QQ号='602'"), 0);
  // A departure whose charge fails keeps the member's record for a later try.
  EXPECT_EQ(invites.recordDeparture(700, 601), std::nullopt);
  EXPECT_EQ(count("select count(1) from 邀请记录 where QQ号='601'"), 1);
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='500'"), 1);
  // A clear that fails sends no confirmation.
  sql.onStatement = [](const std::string& s) { return s.rfind("delete from 邀请记录", 0) != 0; };
  invites.clearInviteStats(700, 500);
  EXPECT_TRUE(actionsNamed("send_group_msg").empty());
  EXPECT_EQ(count("select count(1) from 邀请统计 where QQ号='500'"), 1);
}

TEST_F(InviteStatsTest, SwitchingTheQueryWritesRunLogEntries) {
  settings.setChecked("选择框_开启邀请查询", true);
  settings.setChecked("选择框_开启邀请查询", false);
  EXPECT_EQ(runLogLines(), (std::vector<std::string>{"操作|开启邀请查询", "操作|关闭邀请查询"}));
}

}  // namespace
}  // namespace bw::test
