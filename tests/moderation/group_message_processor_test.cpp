#include "moderation/group_message_processor.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "moderation_fixture.h"

namespace bw::test {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

class ProcessorTest : public ModerationFixture, public ::testing::Test {
 protected:
  ProcessorTest() {
    settings.setChecked("选择框_开启邀请查询", true);
    settings.setChecked("选择框_开启广告检测", true);
    settings.setChecked("选择框_开启关键词回复", true);
  }
  void makeAdministrator(int64_t qq) {
    accounts.addToList(AccountList::kAdministrators, std::to_string(qq));
    accounts.loadAdministrators();
  }
  void inviteStatsRow(int64_t inviter, int present) {
    db.Execute("insert into 邀请统计(QQ号,昵称,现存个数,邀请个数,退出个数) values('" +
               std::to_string(inviter) + "','n','" + std::to_string(present) + "','" +
               std::to_string(present) + "','0')");
  }
};

TEST_F(ProcessorTest, FirstViolationWarnsAndTheSecondKicksWithAllBookkeeping) {
  settings.setChecked("选择框_警告次数踢", true);
  addMemberRow(kGroupA, kMember);
  db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('123456','111111','777777')");
  inviteStatsRow(777777, 1);

  post(kGroupA, kMember, "加微信领红包");
  EXPECT_THAT(acts(), ElementsAre("send_group_msg 111111 【[CQ:at,qq=123456] "
                                  "】本群禁止发广告，警告一次，下次再发踢"));
  EXPECT_EQ(warnings(kMember), 1);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='123456'"), 1);

  host.clear();
  post(kGroupA, kMember, "加微信领红包");
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456"));
  EXPECT_EQ(warnings(kMember), 2);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='123456'"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录 where QQ号='123456'"), 0);
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='777777'"), 0);
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='777777'"), 1);
  EXPECT_THAT(ReadAll(groupLog.dayFile(clock.now())), HasSubstr("111111\t退群\t123456\t10000"));
  EXPECT_THAT(runLogLines(), ElementsAre("操作|开启邀请查询", "操作|开启广告检测",
                                         "检测违规|123456 检测到违规词微信 发送内容是:加微信领红包",
                                         "检测违规|123456 检测到违规词微信 发送内容是:加微信领红包",
                                         "踢人|123456踢出 群111111"));
}

TEST_F(ProcessorTest, InviteQueryMustBeTheWholeMessage) {
  post(kGroupA, kMember, "邀请查询");
  ASSERT_EQ(acts().size(), 1u);
  EXPECT_THAT(acts()[0], HasSubstr("您现存邀请人数为"));
  host.clear();
  post(kGroupA, kMember, "邀请查询 ");
  EXPECT_THAT(acts(), IsEmpty());
  // Switched off, the exact command is an ordinary message.
  settings.setChecked("选择框_开启邀请查询", false);
  post(kGroupA, kMember, "邀请查询");
  EXPECT_THAT(acts(), IsEmpty());
}

TEST_F(ProcessorTest, StatisticsCommandsAreForAdministratorsOnly) {
  inviteStatsRow(kOther, 5);
  const std::string clear = At(kOther) + "清空统计 加微信";
  post(kGroupA, kMember, clear);  // not a command: detected as a violation
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456"));
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='654321'"), 5);

  host.clear();
  makeAdministrator(555);
  post(kGroupA, 555, clear);
  // The command ran for the mentioned member, and no detection followed it.
  ASSERT_EQ(acts().size(), 1u);
  EXPECT_THAT(acts()[0], HasSubstr("邀请记录已清空"));
  EXPECT_EQ(count("select count(1) from 邀请统计 where QQ号='654321'"), 0);
}

TEST_F(ProcessorTest, AdministratorsKickWithTheCommandWord) {
  settings.setChecked("单选框_禁言", true);  // the command kicks regardless
  post(kGroupA, kAdmin, At(kMember) + "走你");
  post(kGroupA, kAdmin, At(kOther) + "你好 微信");          // no command word, never examined
  post(kGroupA, kAdmin, At(kRobot) + At(kOther) + "走你");  // the robot's mention is skipped
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456", "set_group_kick 111111 654321"));
  EXPECT_EQ(warnings(kMember), -1);

  // Without a command word nothing is a command.
  host.clear();
  settings.setText("编辑框_踢人命令", "");
  post(kGroupA, kAdmin, At(777777) + "看看");
  EXPECT_THAT(acts(), IsEmpty());
}

TEST_F(ProcessorTest, KickCommandTargetsThatAreNoAccountAreRefused) {
  settings.setChecked("选择框_踢出加黑", true);
  post(kGroupA, kAdmin, "[CQ:at,qq=all] 走你");
  post(kGroupA, kAdmin, At(kRobot) + "走你");  // only the robot is mentioned: no target
  post(kGroupA, kAdmin, "[CQ:at,qq=0] 走你");
  EXPECT_THAT(acts(), IsEmpty());
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
}

TEST_F(ProcessorTest, InviteCommandTargetsThatAreNoAccountSendNothing) {
  settings.setChecked("选择框_开启邀请查询", true);
  invites.recordInvitation(kGroupA, kOther, kMember);
  post(kGroupA, kAdmin, "[CQ:at,qq=5x] 清空统计");
  post(kGroupA, kAdmin, "[CQ:at,qq=all] 邀请明细");
  post(kGroupA, kAdmin, At(kRobot) + "清空统计");  // only the robot is mentioned: no target
  EXPECT_THAT(acts(), IsEmpty());
  EXPECT_EQ(count("select count(1) from 邀请统计"), 1);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 1);
}

TEST_F(ProcessorTest, TheRobotIsNeverKickedWarnedOrMuted) {
  settings.setChecked("选择框_警告次数踢", true);
  settings.setChecked("选择框_踢出加黑", true);
  // A command naming the robot's account in another spelling.
  post(kGroupA, kAdmin, "[CQ:at,qq=010000] 走你");
  // Messages the host attributes to the robot, or to no account at all.
  post(kGroupA, kRobot, "加微信");
  post(kGroupA, 0, "加微信");
  settings.setChecked("选择框_警告次数踢", false);
  settings.setChecked("单选框_禁言", true);
  post(kGroupA, kRobot, "加微信");
  EXPECT_THAT(acts(), IsEmpty());
  EXPECT_EQ(count("select count(1) from 警告记录"), 0);
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
  // The detection itself still reports what it saw.
  EXPECT_THAT(runLogLines(), Contains("检测违规|10000 检测到违规词微信 发送内容是:加微信"));
}

TEST_F(ProcessorTest, WhitelistedMembersAreNotCheckedButAnonymousSendersAre) {
  accounts.addToList(AccountList::kWhitelist, "123456");
  accounts.loadWhitelist();
  post(kGroupA, kMember, "加微信");
  EXPECT_THAT(acts(), IsEmpty());
  post(kGroupA, kAnonymousSender, "加微信");
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 80000000"));
}

TEST_F(ProcessorTest, MentionOfTheRobotIsAnsweredAfterThePenalty) {
  addKeyword("你好", "欢迎光临", "模糊");
  post(kGroupA, kMember, At(kRobot) + "你好 加微信");
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456",
                                  "send_group_msg 111111 [CQ:at,qq=123456] 欢迎光临"));
  // Without the mention, or with group replies off, there is no answer.
  host.clear();
  post(kGroupA, kOther, "你好");
  settings.setChecked("选择框_回复群消息", false);
  post(kGroupA, kOther, At(kRobot) + "你好");
  EXPECT_THAT(acts(), IsEmpty());
}

TEST_F(ProcessorTest, RepliesRunWithDetectionOffAndCommandsHandled) {
  settings.setChecked("选择框_开启广告检测", false);
  addKeyword("邀请", "见群公告", "模糊");
  post(kGroupA, kMember, At(kRobot) + "加微信 邀请");
  EXPECT_THAT(acts(), ElementsAre("send_group_msg 111111 [CQ:at,qq=123456] 见群公告"));
}

TEST_F(ProcessorTest, AnAdministratorSpeakingEndsAMembersImageRun) {
  settings.setChecked("选择框_踢连续发图", true);
  const std::string img = "[CQ:image,file=a.jpg]";
  post(kGroupA, kMember, img + img + img);
  post(kGroupA, kAdmin, "大家好");
  post(kGroupA, kMember, img);
  EXPECT_THAT(acts(), IsEmpty());
  post(kGroupA, kMember, img + img + img);
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456"));
}

TEST_F(ProcessorTest, PrivateMessagesNeedBothSwitches) {
  addKeyword("帮助", "请看说明", "精准");
  PrivateMessageRecord r;
  r.fromQQ = kMember;
  r.msg = "帮助";
  settings.setChecked("选择框_开启关键词回复", false);
  privateHandler.handle(r);
  EXPECT_THAT(acts(), IsEmpty());
  settings.setChecked("选择框_开启关键词回复", true);
  privateHandler.handle(r);
  EXPECT_THAT(acts(), ElementsAre("send_private_msg 123456 请看说明"));
  settings.setChecked("选择框_回复私聊消息", false);
  privateHandler.handle(r);
  EXPECT_EQ(acts().size(), 1u);
}

}  // namespace
}  // namespace bw::test
