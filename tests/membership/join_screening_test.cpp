#include <gtest/gtest.h>

#include <chrono>

#include "core/lifecycle.h"
#include "core/robot_core.h"
#include "membership_fixture.h"
#include "settings/option_names.h"

namespace bw::test {
namespace {

constexpr const char* kBlacklisted = "你已经在黑名单里面禁止入群有问题联系群主或管理员!";
constexpr const char* kInAnotherGroup = "你已经在别的群里面禁止一号多群有问题联系群主或管理员!";
constexpr const char* kLevelTooLow = "你的等级不符合要求!";

class JoinScreeningTest : public MembershipFixture {
 protected:
  void SetUp() override {
    manage({700});
    settings.setChecked("选择框_开启自动审核进群", true);
  }
  JoinRequestRecord request(int64_t applicant, std::string msg = "", int32_t subType = 1,
                            int64_t group = 700, int64_t inviter = 0) {
    JoinRequestRecord r;
    r.inviter = inviter;
    r.subType = subType;
    r.fromGroup = group;
    r.fromQQ = applicant;
    r.msg = std::move(msg);
    r.responseFlag = "flag-" + std::to_string(applicant);
    return r;
  }
  // "approve", "refuse:<reason>", or "none"/"<n> answers".
  std::string outcome() const {
    auto answers = actionsNamed("set_group_add_request");
    if (answers.empty()) return "none";
    if (answers.size() > 1) return std::to_string(answers.size()) + " answers";
    EXPECT_EQ(answers[0].number, 1);  // always a join request
    if (answers[0].decision == 1) return answers[0].text.empty() ? "approve" : "approve+reason";
    return "refuse:" + answers[0].text;
  }
  void screen(const JoinRequestRecord& r) {
    host.clear();
    screening.screenJoinRequest(r);
  }
};

TEST_F(JoinScreeningTest, NothingIsAnsweredWhenScreeningIsOffUnmanagedOrAnInvitationOfTheRobot) {
  settings.setChecked("选择框_开启自动审核进群", false);
  screen(request(5));
  EXPECT_EQ(outcome(), "none");
  settings.setChecked("选择框_开启自动审核进群", true);
  screen(request(5, "", 1, 999));
  EXPECT_EQ(outcome(), "none");
  screen(request(5, "", 2));
  EXPECT_EQ(outcome(), "none");
}

TEST_F(JoinScreeningTest, DecisionTableRowByRow) {
  ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('1','b','1')"));
  addMemberRow(800, 2, 1);  // account 2 is in another group
  qq.levels["3"] = "5";
  qq.levels["4"] = "50";

  // Blacklisted: refused whatever the other options say.
  screen(request(1));
  EXPECT_EQ(outcome(), std::string("refuse:") + kBlacklisted);
  settings.setChecked("选择框_禁止一号多群", true);
  settings.setChecked("选择框_等级检测", true);
  screen(request(1));
  EXPECT_EQ(outcome(), std::string("refuse:") + kBlacklisted);

  // One account in several groups ticked: a member elsewhere is refused, anybody else approved
  // without a level lookup (account 3 would fail it).
  screen(request(2));
  EXPECT_EQ(outcome(), std::string("refuse:") + kInAnotherGroup);
  qq.requests.clear();
  screen(request(3));
  EXPECT_EQ(outcome(), "approve");
  EXPECT_TRUE(qq.requests.empty());

  // Level check alone: known and below → refused; unknown or enough → approved.
  settings.setChecked("选择框_禁止一号多群", false);
  screen(request(3));
  EXPECT_EQ(outcome(), std::string("refuse:") + kLevelTooLow);
  screen(request(2));  // in another group, but that test is off; level unknown
  EXPECT_EQ(outcome(), "approve");
  screen(request(4));
  EXPECT_EQ(outcome(), "approve");

  // Neither option: approved.
  settings.setChecked("选择框_等级检测", false);
  screen(request(3));
  EXPECT_EQ(outcome(), "approve");
}

TEST_F(JoinScreeningTest, LevelBoundaryAndNonNumericTexts) {
  settings.setChecked("选择框_等级检测", true);
  qq.levels["9"] = "9";
  qq.levels["10"] = "10";
  qq.levels["11"] = "abc";
  screen(request(9));
  EXPECT_EQ(outcome(), std::string("refuse:") + kLevelTooLow);
  screen(request(10));
  EXPECT_EQ(outcome(), "approve");
  screen(request(11));  // non-numeric level counts as 0
  EXPECT_EQ(outcome(), std::string("refuse:") + kLevelTooLow);
  settings.setText("编辑框_进群等级", "x");  // non-numeric minimum counts as 0
  screen(request(11));
  EXPECT_EQ(outcome(), "approve");
}

TEST_F(JoinScreeningTest, ApprovalCreditsTheInviterTheHostNamed) {
  screen(request(5, "", 1, 700, 12345));
  EXPECT_EQ(outcome(), "approve");
  EXPECT_EQ(text("select 邀请人QQ from 邀请记录 where QQ号='5' and 群号='700'"), "12345");
  EXPECT_EQ(count("select 邀请个数 from 邀请统计 where QQ号='12345'"), 1);
}

TEST_F(JoinScreeningTest, NoNamedInviterOrRefusalCreditsNobody) {
  screen(request(5, "[CQ:at,qq=12345]"));
  EXPECT_EQ(outcome(), "approve");
  ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('6','b','1')"));
  screen(request(6, "", 1, 700, 12345));
  EXPECT_EQ(outcome(), std::string("refuse:") + kBlacklisted);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
  EXPECT_EQ(count("select count(1) from 邀请统计"), 0);
}

// The applicant writes the comment: an inviter named there is nobody's word
// but the applicant's, and must neither be credited nor be punished later.
TEST_F(JoinScreeningTest, AnInviterWrittenIntoTheCommentIsNeitherCreditedNorKicked) {
  settings.setChecked(opt::kKickInviter, true);
  screen(request(5, "邀请人qq=30000]"));
  EXPECT_EQ(outcome(), "approve");
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
  EXPECT_EQ(count("select count(1) from 邀请统计"), 0);

  // The applicant misbehaves: the inviter sweep of a penalty finds nobody.
  host.clear();
  departures.kickInviters(5);
  EXPECT_TRUE(actionsNamed("set_group_kick").empty());
}

// The legacy host gives only text; its entry point reads the inviter from it.
// Records that arrive built (OneBot, replay) keep their inviter and text.
class JoinRequestEntryTest : public ::testing::Test {
 protected:
  JoinRequestEntryTest() {
    LifecycleHooks hooks;
    hooks.handlers.joinRequest = [this](const JoinRequestRecord& r) { seen.push_back(r); };
    lifecycle.setHooks(std::move(hooks));
    lifecycle.managedGroups().replace({700});
  }
  TempDir dir;
  VirtualClock clock{LocalTime(2026, 12, 7, 21, 5, 9)};
  RecordingHost host;
  OfflineQqServices qq;
  Lifecycle lifecycle{host, clock, qq, dir.path().substr(0, dir.path().size() - 1),
                      QueueMode::kSynchronous};
  std::vector<JoinRequestRecord> seen;
};

TEST_F(JoinRequestEntryTest, LegacyTextIsParsedBuiltRecordsAreTakenAsGiven) {
  // Not running yet: nothing is queued by either entry.
  JoinRequestRecord built;
  built.subType = 1;
  built.fromGroup = 700;
  built.fromQQ = 5;
  built.msg = "邀请人qq=30000]";
  lifecycle.joinRequest(built);
  EXPECT_TRUE(seen.empty());
  lifecycle.setRunning();

  lifecycle._eventRequest_AddGroup(1, 0, 700, 5, "邀请人：[CQ:at,qq=12345] 备注", "f1");
  lifecycle._eventRequest_AddGroup(1, 0, 700, 6, "[CQ:at,qq=12345]", "f2");  // no 邀请人
  lifecycle._eventRequest_AddGroup(1, 0, 700, 7, "邀请人 qq=1'); delete from 黑名单; --]", "f3");
  lifecycle.joinRequest(built);
  built.inviter = 30000;
  LifecycleEntryPoints(lifecycle).joinRequest(built);
  lifecycle.waitIdle();

  ASSERT_EQ(seen.size(), 5u);
  EXPECT_EQ(seen[0].inviter, 12345);
  EXPECT_EQ(seen[0].msg, "邀请人：[CQ:at,qq=12345] 备注");
  EXPECT_EQ(seen[1].inviter, 0);
  EXPECT_EQ(seen[2].inviter, 0);  // no account number
  EXPECT_EQ(seen[3].inviter, 0);  // the text of a built record is never parsed
  EXPECT_EQ(seen[3].msg, "邀请人qq=30000]");
  EXPECT_EQ(seen[4].inviter, 30000);
}

TEST_F(JoinScreeningTest, ApprovalsAreSpacedOneSecondRefusalsAreNot) {
  const auto start = clock.now();
  screening.screenJoinRequest(request(5));
  EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(1000));
  ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('6','b','1')"));
  const auto afterApproval = clock.now();
  screening.screenJoinRequest(request(6));
  EXPECT_EQ(clock.now(), afterApproval);
}

TEST_F(JoinScreeningTest, FailingQueriesLetTheApplicantPass) {
  settings.setChecked("选择框_禁止一号多群", true);
  ASSERT_TRUE(db.Execute("insert into 黑名单(QQ号,昵称,加入时间) values('5','b','1')"));
  addMemberRow(800, 5, 1);
  sql.onStatement = [](const std::string& s) { return s.rfind("select count(1)", 0) != 0; };
  screen(request(5));
  EXPECT_EQ(outcome(), "approve");
}

}  // namespace
}  // namespace bw::test
