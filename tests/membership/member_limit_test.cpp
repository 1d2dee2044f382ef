#include <gtest/gtest.h>

#include "membership_fixture.h"

namespace bw::test {
namespace {

class MemberLimitTest : public MembershipFixture {
 protected:
  void SetUp() override {
    manage({700});
    settings.setChecked("选择框_开启群人数控制", true);
  }
  std::string current() const { return lists.limits.cell(0, limitcol::kCurrent); }
  std::string kicked() const { return lists.limits.cell(0, limitcol::kKicked); }
  std::vector<int64_t> kickedAccounts() const {
    std::vector<int64_t> out;
    for (const auto& c : actionsNamed("set_group_kick")) out.push_back(c.account);
    return out;
  }
};

TEST_F(MemberLimitTest, JoinUpToTheLimitKeepsEveryoneAndOneMoreRemovesOne) {
  deriveLists({"950"}, {"949"});
  addMemberRow(700, 1, 100, 5);
  addMemberRow(700, 2, 200, 0);

  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(current(), "950");
  EXPECT_TRUE(kickedAccounts().empty());

  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(current(), "950");
  EXPECT_EQ(kicked(), "1");
  // Never-spoken first, earliest joiner among them.
  EXPECT_EQ(kickedAccounts(), std::vector<int64_t>{2});
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='2'"), 0);
  EXPECT_FALSE(actionsNamed("set_group_kick")[0].enable);  // re-join not refused
}

TEST_F(MemberLimitTest, CountFarAboveTheLimitRemovesExactlyOnePerJoin) {
  deriveLists({"950"}, {"960"});
  for (int i = 1; i <= 5; ++i) addMemberRow(700, i, 100 * i, 0);
  for (int join = 0; join < 3; ++join) limit.enforceMemberLimit(1, true);
  EXPECT_EQ(current(), "960");
  EXPECT_EQ(kicked(), "3");
  EXPECT_EQ(kickedAccounts(), (std::vector<int64_t>{1, 2, 3}));
}

TEST_F(MemberLimitTest, NobodyNeverSpokeFallsBackToTheEarliestJoiner) {
  deriveLists({"1"}, {"1"});
  addMemberRow(700, 31, 300, 9);
  addMemberRow(700, 32, 100, 8);
  addMemberRow(700, 33, 200, 7);
  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(kickedAccounts(), std::vector<int64_t>{32});
}

TEST_F(MemberLimitTest, OldestLastMessageWithoutNeverSpokenPriority) {
  settings.setChecked("选择框_人数控制_优先踢未发言", false);
  settings.setChecked("单选框_人数控制_踢最后发言最早", true);
  deriveLists({"1"}, {"1"});
  addMemberRow(700, 41, 100, 50);
  addMemberRow(700, 42, 200, 20);
  addMemberRow(700, 43, 300, 30);
  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(kickedAccounts(), std::vector<int64_t>{42});
}

TEST_F(MemberLimitTest, LatestJoinerRuleRemovesTheNewestNeverSpokenMember) {
  settings.setChecked("单选框_人数控制_踢最晚加群", true);
  deriveLists({"1"}, {"1"});
  addMemberRow(700, 51, 100, 0);
  addMemberRow(700, 52, 300, 0);
  addMemberRow(700, 53, 400, 9);  // latest overall but has spoken
  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(kickedAccounts(), std::vector<int64_t>{52});
}

TEST_F(MemberLimitTest, RobotOwnerAndAdministratorsAreNeverChosen) {
  deriveLists({"1"}, {"1"});
  addMemberRow(700, 10000, 10, 0);  // the robot itself
  addMemberRow(700, 61, 20, 0, 3);  // owner
  addMemberRow(700, 62, 30, 0, 2);  // administrator
  addMemberRow(700, 63, 40, 0, 1);
  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(kickedAccounts(), std::vector<int64_t>{63});
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700'"), 3);
}

// Member-count control removes through the same kickMember as departures and
// penalties: a kick that repeats the previous one is not sent again.
TEST_F(MemberLimitTest, RemovalSharesTheRepeatSuppressionOfKickMember) {
  deriveLists({"1"}, {"1"});
  addMemberRow(700, 81, 100, 0);
  departures.kickMember(700, 81, false);
  addMemberRow(700, 81, 100, 0);  // back in the group before the next kick
  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(kickedAccounts(), std::vector<int64_t>{81});
  EXPECT_EQ(current(), "1");
}

TEST_F(MemberLimitTest, NoCandidateLeavesTheCountAboveTheLimit) {
  deriveLists({"1"}, {"1"});
  limit.enforceMemberLimit(1, true);
  EXPECT_EQ(current(), "2");
  EXPECT_EQ(kicked(), "");
  EXPECT_TRUE(kickedAccounts().empty());
}

TEST_F(MemberLimitTest, RemovalAnnouncesChargesTheInviterAndLogs) {
  settings.setChecked("选择框_人数控制_踢出发言", true);
  settings.setText("编辑框_人数控制_踢人发言", "【[昵称]】走了 [时间]");
  deriveLists({"0"}, {"0"});  // no limit configured: every join removes one
  addMemberRow(700, 71, 100, 0);
  invites.recordInvitation(700, 71, 500);

  limit.enforceMemberLimit(1, true);

  auto actions = host.actions();
  ASSERT_EQ(actions.size(), 2u);
  EXPECT_EQ(actions[0].action, "send_group_msg");
  EXPECT_EQ(actions[0].text, "【[CQ:at,qq=71] 】走了 2026年12月7日21时5分9秒");
  EXPECT_EQ(actions[1].action, "set_group_kick");
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(current(), "0");
  const std::string log = ReadAll(groupLog.dayFile(clock.now()));
  EXPECT_NE(log.find("\t700\t退群\t71\t10000\r\n"), std::string::npos) << log;
}

TEST_F(MemberLimitTest, LeavesLowerTheCountBelowZero) {
  deriveLists({"950"}, {""});
  limit.enforceMemberLimit(1, false);
  limit.enforceMemberLimit(1, false);
  EXPECT_EQ(current(), "-2");
}

TEST_F(MemberLimitTest, RecountReadsEveryManagedGroupFromTheTable) {
  settings.setChecked("选择框_开启群人数控制", false);
  manage({700, 701});
  deriveLists({"950", "950"}, {"5", "5"});
  addMemberRow(700, 1, 1);
  addMemberRow(700, 2, 1);
  addMemberRow(701, 3, 1);
  addMemberRow(702, 4, 1);
  // Ticking the switch recounts at once.
  settings.setChecked("选择框_开启群人数控制", true);
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "2");
  EXPECT_EQ(lists.limits.cell(1, limitcol::kCurrent), "1");
}

TEST_F(MemberLimitTest, UnknownPositionChangesNothing) {
  deriveLists({"950"}, {"3"});
  limit.enforceMemberLimit(2, true);
  limit.enforceMemberLimit(0, false);
  EXPECT_EQ(current(), "3");
}

}  // namespace
}  // namespace bw::test
