#include "moderation/violations.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "moderation_fixture.h"
#include "util/log.h"

namespace bw::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

class ViolationsTest : public ModerationFixture, public ::testing::Test {
 protected:
  bool check(int64_t sender, const std::string& msg, int64_t group = kGroupA) {
    GroupMessageRecord r;
    r.fromGroup = group;
    r.fromQQ = sender;
    r.msg = msg;
    return violations.check(r);
  }
  static std::string Image(const std::string& name) { return "[CQ:image,file=" + name + "]"; }
};

TEST_F(ViolationsTest, VoiceIsJudgedAloneAndSkipsTheImageChecks) {
  settings.setChecked("选择框_踢图片大小", true);
  settings.setChecked("选择框_踢连续发图", true);
  settings.setText("编辑框_图片张数", "1");
  writeImage("big.jpg", "2000", "2000");
  const std::string msg = "[CQ:record,file=a.amr]" + Image("big.jpg");

  EXPECT_FALSE(check(kMember, msg));  // voice check off: the image is not measured either
  settings.setChecked("选择框_踢语音", true);
  EXPECT_TRUE(check(kMember, msg));
  EXPECT_THAT(runLogLines(), ElementsAre("检测违规|123456 检测到语音违规"));
}

TEST_F(ViolationsTest, ImageSizeLimitsAreStrictlyGreater) {
  settings.setChecked("选择框_踢图片大小", true);
  writeImage("square.jpg", "500", "500");
  writeImage("wide.jpg", "501", "500");
  writeImage("tall.jpg", "500", "501");

  EXPECT_FALSE(check(kMember, Image("square.jpg")));
  EXPECT_FALSE(check(kMember, Image("missing.jpg")));
  EXPECT_TRUE(check(kMember, Image("wide.jpg")));
  EXPECT_TRUE(check(kMember, Image("tall.jpg")));
  // Only the first image of a message is measured.
  EXPECT_FALSE(check(kMember, Image("square.jpg") + Image("wide.jpg")));
  settings.setText("编辑框_图片宽", "600");
  EXPECT_FALSE(check(kMember, Image("wide.jpg")));
  EXPECT_THAT(runLogLines(), ElementsAre("检测违规|123456 检测到大图违规大小501×500",
                                         "检测违规|123456 检测到大图违规大小500×501"));
}

TEST_F(ViolationsTest, ImageNameFromMessageCannotLeaveTheImageDirectory) {
  settings.setChecked("选择框_踢图片大小", true);
  WriteAll(dir.path() + "data/outside.cqimg", "[image]\r\nwidth=9000\r\nheight=9000\r\n");
  EXPECT_FALSE(check(kMember, Image("../outside")));
  writeImage("inside", "9000", "9000");
  EXPECT_TRUE(check(kMember, Image("inside")));
  EXPECT_TRUE(check(kMember, Image("inside,url=https://example.invalid/x")));
}

TEST_F(ViolationsTest, ImageCountAddsUpConsecutiveImagesOfOneSender) {
  settings.setChecked("选择框_踢连续发图", true);
  const std::string three = Image("1.jpg") + Image("2.jpg") + Image("3.jpg");

  EXPECT_TRUE(check(kMember, three + Image("4.jpg")));  // four in a first message
  EXPECT_FALSE(check(kOther, three));                   // three in a first message
  EXPECT_TRUE(check(kOther, "看" + Image("5.jpg")));    // the fourth in a row
  EXPECT_THAT(runLogLines(), ElementsAre("检测违规|123456 检测到连续发图违规 连续发图4张",
                                         "检测违规|654321 检测到连续发图违规 连续发图4张"));

  // The count restarted after the violation; another member's turn restarts it too.
  EXPECT_FALSE(check(kOther, three));
  EXPECT_FALSE(check(kMember, "我说句话"));
  EXPECT_FALSE(check(kOther, Image("6.jpg")));
  // Text of the same sender does not interrupt a run; other groups keep their own.
  EXPECT_FALSE(check(kOther, "还有", kGroupA));
  EXPECT_FALSE(check(kOther, three, kGroupB));
  EXPECT_FALSE(check(kOther, Image("7.jpg") + Image("8.jpg"), kGroupA));
  EXPECT_TRUE(check(kOther, Image("9.jpg"), kGroupB));
  EXPECT_EQ(runLogLines().back(), "检测违规|654321 检测到连续发图违规 连续发图4张");
}

TEST_F(ViolationsTest, BannedWordsAreCaseSensitiveAndReportTheFirstListedWord) {
  EXPECT_FALSE(settings.checked("选择框_踢关键词"));  // the check runs regardless
  EXPECT_FALSE(check(kMember, "加我qq"));
  EXPECT_TRUE(check(kMember, "加我QQ"));
  EXPECT_TRUE(check(kMember, "打电话或者加微信"));
  EXPECT_THAT(runLogLines(),
              ElementsAre("检测违规|123456 检测到违规词QQ 发送内容是:加我QQ",
                          "检测违规|123456 检测到违规词微信 发送内容是:打电话或者加微信"));
}

TEST_F(ViolationsTest, BannedWordListFollowsTheEditBox) {
  settings.setText("编辑框_踢人关键词", "苹果++香蕉+");
  EXPECT_FALSE(check(kMember, "加微信"));
  EXPECT_FALSE(check(kMember, "一句普通的话"));
  EXPECT_TRUE(check(kMember, "卖香蕉"));
  settings.setText("编辑框_踢人关键词", "");
  EXPECT_FALSE(check(kMember, "卖香蕉"));
}

TEST_F(ViolationsTest, AnnouncementIsSuppressedForTheSamePairUntilAnotherGroupIntervenes) {
  settings.setChecked("选择框_踢人发言", true);
  settings.setText("编辑框_踢人发言", "[昵称]违规");
  settings.setChecked("单选框_禁言", true);
  settings.setText("编辑框_禁言时间", "1");
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  violations.punish(kGroupB, kMember, PenaltyMode::kNormal);
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  EXPECT_THAT(
      acts(),
      ElementsAre("send_group_msg 111111 [CQ:at,qq=123456] 违规",
                  "set_group_ban 111111 123456 60",  //
                  "set_group_ban 111111 123456 60", "send_group_msg 222222 [CQ:at,qq=123456] 违规",
                  "set_group_ban 222222 123456 60", "send_group_msg 111111 [CQ:at,qq=123456] 违规",
                  "set_group_ban 111111 123456 60"));
}

TEST_F(ViolationsTest, PenaltyRightAfterAWarningOfThePairIsNotAnnounced) {
  settings.setChecked("选择框_警告次数踢", true);
  settings.setChecked("选择框_踢人发言", true);
  settings.setText("编辑框_警告语", "[昵称]警告");
  settings.setText("编辑框_踢人发言", "[昵称]踢了");
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  EXPECT_THAT(acts(), ElementsAre("send_group_msg 111111 [CQ:at,qq=123456] 警告",
                                  "set_group_kick 111111 123456"));
  EXPECT_EQ(warnings(kMember), 2);
}

TEST_F(ViolationsTest, KickModeIgnoresMuteAndWarnings) {
  settings.setChecked("选择框_警告次数踢", true);
  settings.setChecked("单选框_禁言", true);
  violations.punish(kGroupA, kMember, PenaltyMode::kKick);
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456"));
  EXPECT_EQ(warnings(kMember), -1);  // no row
  EXPECT_THAT(runLogLines(), ElementsAre("踢人|123456踢出 群111111"));
}

TEST_F(ViolationsTest, MuteLastsTheMinutesOfTheEditBox) {
  settings.setChecked("单选框_禁言", true);
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  EXPECT_THAT(acts(), ElementsAre("set_group_ban 111111 123456 2592000"));
  EXPECT_THAT(runLogLines(), ElementsAre("禁言|123456在群111111禁言43200分钟"));
  // A length past any clock saturates instead of wrapping into an unmute.
  host.clear();
  settings.setText("编辑框_禁言时间", "99999999999999999999");
  violations.punish(kGroupA, kOther, PenaltyMode::kNormal);
  ASSERT_EQ(host.actions().size(), 1u);
  EXPECT_GT(host.actions()[0].number, int64_t{1} << 60);
}

TEST_F(ViolationsTest, BlacklistAndKickEverywhereWaitASecondBetweenKicks) {
  settings.setChecked("选择框_踢出加黑", true);
  settings.setChecked("选择框_加黑全踢", true);
  addMemberRow(kGroupA, kMember);
  addMemberRow(kGroupB, kMember);
  addMemberRow(333333, kMember);
  addMemberRow(kGroupB, kOther);
  const SystemTime before = clock.now();
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);

  EXPECT_THAT(acts(), ElementsAre("set_group_kick 111111 123456", "set_group_kick 222222 123456",
                                  "set_group_kick 333333 123456"));
  EXPECT_EQ(clock.now() - before, std::chrono::milliseconds(2000));
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号='123456'"), 1);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='123456'"), 0);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='654321'"), 1);
  auto lines = runLogLines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "踢人|123456踢出 群222222"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "踢人|123456踢出 群333333"), 1);
}

TEST_F(ViolationsTest, InvitersAreKickedBeforeTheOffender) {
  settings.setChecked("选择框_株连九族", true);
  db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('123456','222222','777777')");
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  EXPECT_THAT(acts(), ElementsAre("set_group_kick 222222 777777", "set_group_kick 111111 123456"));
}

TEST_F(ViolationsTest, TemplatesFillEveryNicknameAndTheTime) {
  settings.setChecked("选择框_警告次数踢", true);
  settings.setText("编辑框_警告语", "[昵称][昵称]于[时间]");
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  // An empty warning template still sends its (empty) warning.
  settings.setText("编辑框_警告语", "");
  settings.setText("编辑框_踢人警告次数", "3");
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  EXPECT_THAT(acts(), ElementsAre("send_group_msg 111111 [CQ:at,qq=123456] [CQ:at,qq=123456] "
                                  "于2026年12月7日21时5分9秒",
                                  "send_group_msg 111111 "));
  EXPECT_EQ(warnings(kMember), 2);
}

TEST_F(ViolationsTest, MuteOfNoMinutesIsNeverSentAndTellsTheOwner) {
  // A ban of 0 seconds would lift a mute instead of imposing one.
  settings.setChecked("单选框_禁言", true);
  for (const char* minutes : {"", "0", "十分钟", "-5"}) {
    settings.setText("编辑框_禁言时间", minutes);
    violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  }
  EXPECT_THAT(acts(), IsEmpty());
  const auto lines = runLogLines();
  ASSERT_EQ(lines.size(), 4u);
  for (const std::string& line : lines) {
    EXPECT_THAT(line, StartsWith("禁言|禁言失败: 禁言时间为"));
    EXPECT_THAT(line, HasSubstr("请在广告检测页填写禁言时间"));
  }
  EXPECT_THAT(lines[0], HasSubstr("禁言时间为0分钟"));
  // Once a length is filled in, the mute goes out.
  settings.setText("编辑框_禁言时间", "10");
  violations.punish(kGroupA, kMember, PenaltyMode::kNormal);
  EXPECT_THAT(acts(), ElementsAre("set_group_ban 111111 123456 600"));
}

TEST_F(ViolationsTest, RobotAndAccountZeroAreNeverPunished) {
  std::vector<std::string> logged;
  LogSink previous =
      SetLogSink([&](LogLevel, std::string_view line) { logged.emplace_back(line); });
  settings.setChecked("选择框_警告次数踢", true);
  settings.setChecked("选择框_踢人发言", true);
  settings.setChecked("选择框_踢出加黑", true);
  for (int64_t account : {kRobot, int64_t{0}}) {
    violations.punish(kGroupA, account, PenaltyMode::kNormal);  // would warn
    violations.punish(kGroupA, account, PenaltyMode::kKick);    // would kick
    settings.setChecked("单选框_禁言", true);
    settings.setChecked("选择框_警告次数踢", false);
    violations.punish(kGroupA, account, PenaltyMode::kNormal);  // would mute
    settings.setChecked("单选框_踢人", true);
    settings.setChecked("选择框_警告次数踢", true);
  }
  SetLogSink(previous);
  EXPECT_THAT(acts(), IsEmpty());
  EXPECT_THAT(runLogLines(), IsEmpty());
  EXPECT_EQ(count("select count(1) from 警告记录"), 0);
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
  ASSERT_EQ(logged.size(), 6u);
  EXPECT_THAT(logged[0], HasSubstr("robot's own account"));
  // Anyone else is still punished.
  violations.punish(kGroupA, kMember, PenaltyMode::kKick);
  const auto done = acts();
  ASSERT_EQ(done.size(), 2u);  // the announcement, then the kick
  EXPECT_EQ(done[1], "set_group_kick 111111 123456");
}

TEST_F(ViolationsTest, DetectionSwitchIsLogged) {
  settings.setChecked("选择框_开启广告检测", true);
  settings.setChecked("选择框_开启广告检测", false);
  EXPECT_THAT(runLogLines(), ElementsAre("操作|开启广告检测", "操作|关闭广告检测"));
}

}  // namespace
}  // namespace bw::test

namespace bw::test {
namespace {

TEST_F(ViolationsTest, ListChangesWhileMessagesAreChecked) {
  // The list is swapped whole: a check sees the old list or the new one.
  SetLogLevel(LogLevel::kWarning);
  settings.setText("编辑框_踢人关键词", "香蕉");
  std::atomic<bool> done{false};
  std::thread editor([&] {
    for (int i = 0; i < 200; ++i)
      settings.setText("编辑框_踢人关键词", i % 2 ? "苹果+香蕉" : "香蕉+橙子");
    done = true;
  });
  int fired = 0, rounds = 0;
  while (!done || rounds < 200) {
    fired += check(kMember, "卖香蕉") ? 1 : 0;
    EXPECT_FALSE(check(kMember, "卖西瓜"));
    ++rounds;
  }
  editor.join();
  SetLogLevel(LogLevel::kInfo);
  EXPECT_EQ(fired, rounds);
}

}  // namespace
}  // namespace bw::test
