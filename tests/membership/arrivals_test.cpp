#include <gtest/gtest.h>

#include "membership_fixture.h"
#include "util/files.h"
#include "util/time_text.h"

namespace bw::test {
namespace {

class ArrivalsTest : public MembershipFixture {
 protected:
  void SetUp() override {
    manage({700, 701});
    deriveLists({"950", "950"}, {"10", "10"});
  }
  void cardOptions() {
    settings.setChecked("选择框_开启自动审核进群", true);
    settings.setChecked("选择框_进群改名片", true);
  }
  std::string card() const {
    auto calls = actionsNamed("set_group_card");
    return calls.size() == 1 ? calls[0].text : "<" + std::to_string(calls.size()) + " cards>";
  }
};

TEST_F(ArrivalsTest, JoinOfAnUnmanagedGroupDoesNothing) {
  settings.setChecked("选择框_开启进群欢迎", true);
  arrivals.onMemberJoined(change(2, 999, 1, 5));
  EXPECT_EQ(count("select count(1) from 群成员"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
  EXPECT_TRUE(host.actions().empty());
  EXPECT_FALSE(FileExists(groupLog.dayFile(clock.now())));
}

TEST_F(ArrivalsTest, JoinRecordsLogsWelcomesAndCreditsTheInviter) {
  settings.setChecked("选择框_开启进群欢迎", true);
  arrivals.onMemberJoined(change(2, 700, 500, 12345));

  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700' and QQ号='12345'"), 1);
  EXPECT_EQ(text("select 加群时间 from 群成员 where QQ号='12345'"), UnixTimestamp(clock));
  EXPECT_EQ(ReadAll(groupLog.dayFile(clock.now())),
            "2026-12-7 21:05:09\t700\t进群\t12345\t500\r\n");
  auto actions = host.actions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].action, "send_group_msg");
  EXPECT_EQ(actions[0].group, 700);
  EXPECT_EQ(actions[0].text, "[CQ:at,qq=12345] ：欢迎进群,请不要发广告哦!");
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 1);
}

TEST_F(ArrivalsTest, RepeatedJoinProducesNothingAtAll) {
  settings.setChecked("选择框_开启进群欢迎", true);
  settings.setChecked("选择框_开启群人数控制", true);  // recounts at once
  deriveLists({"950", "950"}, {"10", "10"});
  arrivals.onMemberJoined(change(2, 700, 500, 5));
  host.clear();
  const std::string logBefore = ReadAll(groupLog.dayFile(clock.now()));
  std::vector<std::string> writes;
  sql.onStatement = [&writes](const std::string& s) {
    if (s.rfind("select", 0) != 0) writes.push_back(s);
    return true;
  };

  arrivals.onMemberJoined(change(2, 700, 500, 5));

  EXPECT_TRUE(host.actions().empty());
  EXPECT_EQ(ReadAll(groupLog.dayFile(clock.now())), logBefore);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='5'"), 1);
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "11");
  EXPECT_TRUE(writes.empty()) << writes.front();
}

TEST_F(ArrivalsTest, ScreeningSwitchOffSkipsMuteAndCardOnly) {
  settings.setChecked("选择框_进群禁言", true);
  settings.setChecked("选择框_进群改名片", true);
  settings.setChecked("选择框_开启进群欢迎", true);
  settings.setChecked("选择框_开启群人数控制", true);
  deriveLists({"950", "950"}, {"10", "10"});
  arrivals.onMemberJoined(change(2, 701, 500, 5));
  EXPECT_TRUE(actionsNamed("set_group_ban").empty());
  EXPECT_TRUE(actionsNamed("set_group_card").empty());
  EXPECT_EQ(actionsNamed("send_group_msg").size(), 1u);
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(lists.limits.cell(1, limitcol::kCurrent), "11");
}

TEST_F(ArrivalsTest, MuteUsesMinutes) {
  settings.setChecked("选择框_开启自动审核进群", true);
  settings.setChecked("选择框_进群禁言", true);
  settings.setText("编辑框_进群禁言时间", "3");
  arrivals.onMemberJoined(change(1, 700, 1, 5));
  auto bans = actionsNamed("set_group_ban");
  ASSERT_EQ(bans.size(), 1u);
  EXPECT_EQ(bans[0].account, 5);
  EXPECT_EQ(bans[0].number, 180);

  settings.setText("编辑框_进群禁言时间", "99999999999999999999");  // saturates, never wraps
  arrivals.onMemberJoined(change(1, 700, 1, 6));
  bans = actionsNamed("set_group_ban");
  ASSERT_EQ(bans.size(), 2u);
  EXPECT_GT(bans[1].number, 0);
  EXPECT_EQ(bans[1].number % 60, 0);
}

TEST_F(ArrivalsTest, CardCutsAsciiAtTwoNBytesAndKeepsShortChineseWhole) {
  cardOptions();
  settings.setChecked("选择框_名片字数", true);
  settings.setText("编辑框_名片字数", "2");
  qq.nicknames["5"] = "abcdefgh";
  qq.nicknames["6"] = "张三";
  arrivals.onMemberJoined(change(1, 700, 1, 5));
  EXPECT_EQ(card(), "abcd");
  host.clear();
  arrivals.onMemberJoined(change(1, 700, 1, 6));
  EXPECT_EQ(card(), "张三");
}

TEST_F(ArrivalsTest, CardNeverKeepsHalfACharacter) {
  settings.setChecked("选择框_名片字数", true);
  settings.setText("编辑框_名片字数", "2");
  EXPECT_EQ(BuildNewcomerCard(settings, "a张三"), "a张");  // 1 + 2 bytes; the next would need 5
  settings.setText("编辑框_名片字数", "1");
  EXPECT_EQ(BuildNewcomerCard(settings, "a张"), "a");
  settings.setText("编辑框_名片字数", "0");
  EXPECT_EQ(BuildNewcomerCard(settings, "abc"), "");
  settings.setText("编辑框_名片字数", "x");
  EXPECT_EQ(BuildNewcomerCard(settings, "abc"), "");
}

TEST_F(ArrivalsTest, CardPrefixAndSuffix) {
  cardOptions();
  settings.setChecked("选择框_名片前缀", true);
  qq.nicknames["5"] = "O'Neil";
  arrivals.onMemberJoined(change(1, 700, 1, 5));
  EXPECT_EQ(card(), "brindle_O'Neil");
  host.clear();
  settings.setChecked("选择框_名片后缀", true);
  settings.setText("编辑框_进群名片后缀", "|新");
  arrivals.onMemberJoined(change(1, 700, 1, 6));  // no nickname known
  EXPECT_EQ(card(), "brindle_|新");
}

TEST_F(ArrivalsTest, WelcomeUsesTheGroupTextThenTheDefaultThenNothing) {
  lists.welcome.setCell(1, welcomecol::kText, "欢迎[昵称]和[昵称]，现在是[时间]");
  arrivals.sendWelcome(701, 5);
  arrivals.sendWelcome(700, 5);
  settings.setText("编辑框_欢迎语", "");
  arrivals.sendWelcome(700, 5);
  arrivals.sendWelcome(999, 5);  // not managed
  auto sent = actionsNamed("send_group_msg");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].group, 701);
  EXPECT_EQ(sent[0].text, "欢迎[CQ:at,qq=5] 和[CQ:at,qq=5] ，现在是2026年12月7日21时5分9秒");
  EXPECT_EQ(sent[1].group, 700);
  EXPECT_EQ(sent[1].text, "[CQ:at,qq=5] ：欢迎进群,请不要发广告哦!");
}

TEST_F(ArrivalsTest, WelcomeGoesWhereTheRadioBoxesSay) {
  settings.setChecked("单选框_两者都发", true);
  arrivals.sendWelcome(700, 5);
  settings.setChecked("单选框_只发私聊", true);
  arrivals.sendWelcome(700, 6);
  auto actions = host.actions();
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[0].action, "send_group_msg");
  EXPECT_EQ(actions[1].action, "send_private_msg");
  EXPECT_EQ(actions[1].account, 5);
  EXPECT_EQ(actions[1].text, actions[0].text);
  EXPECT_EQ(actions[2].action, "send_private_msg");
  EXPECT_EQ(actions[2].account, 6);
}

TEST_F(ArrivalsTest, WelcomeOfAStaleListRowIsLookedUpByGroup) {
  // The welcome list still holds only the second group (being rebuilt).
  lists.welcome.clear();
  ListRow row;
  row.cells = {"1", "701", "g", "第二群欢迎"};
  lists.welcome.append(row);
  arrivals.sendWelcome(700, 5);
  arrivals.sendWelcome(701, 5);
  auto sent = actionsNamed("send_group_msg");
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].text, "[CQ:at,qq=5] ：欢迎进群,请不要发广告哦!");
  EXPECT_EQ(sent[1].text, "第二群欢迎");
}

TEST_F(ArrivalsTest, ApprovedJoinNeverTouchesInviteStatistics) {
  arrivals.onMemberJoined(change(1, 700, 500, 5));
  EXPECT_EQ(count("select count(1) from 邀请统计"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
}

TEST_F(ArrivalsTest, JoinAboveTheLimitRemovesOneMember) {
  settings.setChecked("选择框_开启群人数控制", true);
  deriveLists({"10", "950"}, {"10", "0"});
  addMemberRow(700, 3, 100, 0);
  arrivals.onMemberJoined(change(1, 700, 1, 5));
  auto kicks = actionsNamed("set_group_kick");
  ASSERT_EQ(kicks.size(), 1u);
  EXPECT_EQ(kicks[0].account, 3);  // the earlier never-spoken member, not the newcomer
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "10");
}

TEST_F(ArrivalsTest, SwitchingTheWelcomeWritesRunLogEntries) {
  settings.setChecked("选择框_开启进群欢迎", true);
  settings.setChecked("选择框_开启进群欢迎", false);
  EXPECT_EQ(runLogLines(), (std::vector<std::string>{"操作|开启进群欢迎", "操作|关闭进群欢迎"}));
}

}  // namespace
}  // namespace bw::test
