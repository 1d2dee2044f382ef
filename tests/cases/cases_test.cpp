// Cases end to end over the rules as the service builds them: what the rules
// did becomes a case (and what the host refused does not), and undo lifts a
// mute or a blacklisting, refuses what cannot be taken back, and records
// itself. The host here can refuse acts, or answer them later as OneBot does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "cases/case_book.h"
#include "core/rule_modules.h"
#include "host/cq_code.h"
#include "storage/cqimg_file_info.h"
#include "support/robot_fixture.h"

namespace bw::test {
namespace {

using ::testing::HasSubstr;

constexpr int64_t kGroup = 111111;
constexpr int64_t kMember = 123456;
constexpr int64_t kAdmin = 1000000;  // the built-in administrator

// A recording host whose kicks and mutes can be refused, or answered only
// when the test says so (as OneBot answers on another thread, later).
class ActingHost : public RecordingHost {
 public:
  bool refuse = false;
  bool later = false;
  std::vector<std::function<void()>> pending;

  void setGroupKickThen(int64_t group, int64_t account, bool refuseRejoin,
                        ActOutcome outcome) override {
    CQ_setGroupKick(group, account, refuseRejoin);
    settle(std::move(outcome));
  }
  void setGroupBanThen(int64_t group, int64_t account, int64_t seconds,
                       ActOutcome outcome) override {
    CQ_setGroupBan(group, account, seconds);
    settle(std::move(outcome));
  }

 private:
  void settle(ActOutcome outcome) {
    const bool done = !refuse;
    if (later) {
      pending.push_back([outcome = std::move(outcome), done] { outcome(done); });
    } else {
      outcome(done);
    }
  }
};

class CasesTest : public RobotFixture, public ::testing::Test {
 protected:
  CasesTest() {
    manage({kGroup});
    settings.setChecked("选择框_开启广告检测", true);
    settings.setChecked("选择框_踢关键词", true);
    settings.setText("编辑框_踢人关键词", "加我微信");
  }

  Services actingServices() {
    return Services{clock, acting, settings,      lists,    runLog, groupLog,
                    db,    qq,     managedGroups, identity, images, {}};
  }

  void post(int64_t sender, const std::string& msg) {
    GroupMessageRecord r;
    r.fromGroup = kGroup;
    r.fromQQ = sender;
    r.msg = msg;
    rules.processor.process(r);
  }
  std::vector<CaseRecord> cases() {
    return rules.caseBook.page({}, {}, 1000).cases;  // newest first
  }
  std::vector<std::string> bans() {
    std::vector<std::string> out;
    for (const HostCall& c : acting.actions()) {
      if (c.action == "set_group_ban")
        out.push_back(std::to_string(c.account) + " " + std::to_string(c.number));
    }
    return out;
  }

  ActingHost acting;
  CqImgFileInfo images{identity};
  RuleModules rules{actingServices()};
};

TEST_F(CasesTest, WarningsMutesKicksAndBlacklistingsBecomeCasesWithTheirWhy) {
  settings.setChecked("选择框_警告次数踢", true);
  settings.setText("编辑框_踢人警告次数", "2");
  settings.setChecked("单选框_禁言", true);
  settings.setText("编辑框_禁言时间", "10");
  const int64_t start = clock.unixSeconds();

  post(kMember, "你好，加我微信 vx123");  // warned
  post(kMember, "加我微信!!");            // muted
  std::vector<CaseRecord> got = cases();
  ASSERT_EQ(got.size(), 2u);
  const CaseRecord& warn = got[1];
  EXPECT_EQ(warn.action, kCaseWarn);
  EXPECT_EQ(warn.group, kGroup);
  EXPECT_EQ(warn.member, kMember);
  EXPECT_EQ(warn.robot, 10000);
  EXPECT_EQ(warn.actor, 0);
  EXPECT_EQ(warn.rule, "关键词踢人/禁言");
  EXPECT_THAT(warn.reason, HasSubstr("加我微信"));
  EXPECT_EQ(warn.evidence, "你好，加我微信 vx123");
  EXPECT_GE(warn.time, start);
  const CaseRecord& mute = got[0];
  EXPECT_EQ(mute.action, kCaseMute);
  EXPECT_EQ(mute.amount, 600);
  EXPECT_EQ(mute.evidence, "加我微信!!");

  // An administrator's kick command, with blacklisting on: the kick and the
  // blacklisting, both by the administrator.
  settings.setChecked("选择框_踢出加黑", true);
  post(kAdmin, cq::At(555555) + " 走你");
  got = cases();
  ASSERT_EQ(got.size(), 4u);
  std::vector<std::string> actions = {got[0].action, got[1].action};
  std::sort(actions.begin(), actions.end());
  EXPECT_EQ(actions,
            (std::vector<std::string>{std::string(kCaseBlacklist), std::string(kCaseKick)}));
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(got[i].member, 555555);
    EXPECT_EQ(got[i].actor, kAdmin);
    EXPECT_THAT(got[i].evidence, HasSubstr("走你"));
  }
  const CaseRecord& kick = got[0].action == kCaseKick ? got[0] : got[1];
  EXPECT_EQ(kick.rule, "@踢人命令");
}

TEST_F(CasesTest, WhatTheHostRefusedIsNoCase) {
  settings.setChecked("单选框_禁言", true);
  acting.refuse = true;
  post(kMember, "加我微信");
  EXPECT_EQ(bans().size(), 1u);  // asked
  EXPECT_TRUE(cases().empty());  // but not done

  settings.setChecked("单选框_踢人", true);
  post(kAdmin, cq::At(kMember) + " 走你");
  EXPECT_TRUE(cases().empty());
  acting.refuse = false;
  post(kAdmin, cq::At(kMember) + " 走你");  // the refused kick is no repeat
  ASSERT_EQ(cases().size(), 1u);
  EXPECT_EQ(cases()[0].action, kCaseKick);
}

TEST_F(CasesTest, UndoLiftsAMuteOnceAndRecordsItself) {
  settings.setChecked("单选框_禁言", true);
  post(kMember, "加我微信");
  ASSERT_EQ(cases().size(), 1u);
  const int64_t muteCase = cases()[0].id;
  ASSERT_EQ(bans(), std::vector<std::string>{"123456 2592000"});

  const UndoResult r = rules.caseBook.undo(muteCase, 0);
  EXPECT_EQ(r.state, UndoResult::State::kDone) << r.message;
  EXPECT_EQ(bans(), (std::vector<std::string>{"123456 2592000", "123456 0"}));
  const std::vector<CaseRecord> got = cases();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].id, r.undoCase);
  EXPECT_EQ(got[0].action, kCaseUnmute);
  EXPECT_EQ(got[0].undoes, muteCase);
  EXPECT_EQ(got[0].member, kMember);
  EXPECT_TRUE(got[1].undone);

  // Neither the case nor the undo can be undone again; the host is not asked.
  for (int64_t id : {muteCase, r.undoCase}) {
    const UndoResult again = rules.caseBook.undo(id, 0);
    EXPECT_EQ(again.state, UndoResult::State::kRefused);
    EXPECT_FALSE(again.message.empty());
  }
  EXPECT_EQ(bans().size(), 2u);
  EXPECT_EQ(rules.caseBook.undo(9999, 0).state, UndoResult::State::kRefused);
}

TEST_F(CasesTest, AKickCannotBeUndoneButItsBlacklistingCan) {
  settings.setChecked("单选框_踢人", true);
  settings.setChecked("选择框_踢出加黑", true);
  post(kMember, "加我微信");
  std::vector<CaseRecord> got = cases();
  ASSERT_EQ(got.size(), 2u);
  const CaseRecord kick = got[0].action == kCaseKick ? got[0] : got[1];
  const CaseRecord listed = got[0].action == kCaseKick ? got[1] : got[0];
  ASSERT_EQ(listed.action, kCaseBlacklist);
  ASSERT_EQ(count("select count(1) from 黑名单 where QQ号='123456'"), 1);

  const size_t callsBefore = acting.actions().size();
  const UndoResult refused = rules.caseBook.undo(kick.id, 0);
  EXPECT_EQ(refused.state, UndoResult::State::kRefused);
  EXPECT_THAT(refused.message, HasSubstr("踢出"));
  EXPECT_EQ(acting.actions().size(), callsBefore);
  EXPECT_FALSE(rules.caseBook.page({}, {}, 10).cases.empty());

  const UndoResult lifted = rules.caseBook.undo(listed.id, 0);
  EXPECT_EQ(lifted.state, UndoResult::State::kDone) << lifted.message;
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号='123456'"), 0);
  EXPECT_FALSE(rules.accountLists.isBlacklisted(kMember));
  got = cases();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].action, kCaseUnblacklist);
  EXPECT_EQ(got[0].undoes, listed.id);
  EXPECT_FALSE(got[1].undone && got[2].undone);  // the kick stays as it was
}

TEST_F(CasesTest, AnUndoTheHostAnswersLaterIsRecordedOnlyOnceItIsDone) {
  settings.setChecked("单选框_禁言", true);
  post(kMember, "加我微信");
  post(kMember + 1, "加我微信");
  std::vector<CaseRecord> got = cases();
  ASSERT_EQ(got.size(), 2u);
  const int64_t first = got[1].id, second = got[0].id;

  acting.later = true;
  const UndoResult waiting = rules.caseBook.undo(first, 0);
  EXPECT_EQ(waiting.state, UndoResult::State::kPending);
  EXPECT_EQ(cases().size(), 2u);                                 // no undo case yet
  EXPECT_TRUE(rules.caseBook.page({}, {}, 10).cases[1].undone);  // but claimed
  EXPECT_TRUE(rules.caseBook.undoPending(first));                // and waiting, not done
  ASSERT_EQ(acting.pending.size(), 1u);
  acting.pending[0]();
  acting.pending.clear();
  got = cases();
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0].undoes, first);
  EXPECT_FALSE(rules.caseBook.undoPending(first));

  // Refused later: the mark is taken back, so the owner can try again.
  acting.refuse = true;
  EXPECT_EQ(rules.caseBook.undo(second, 0).state, UndoResult::State::kPending);
  ASSERT_EQ(acting.pending.size(), 1u);
  acting.pending[0]();
  acting.pending.clear();
  EXPECT_EQ(cases().size(), 3u);
  EXPECT_FALSE(rules.caseBook.page({}, {}, 10).cases[1].undone);
  EXPECT_FALSE(rules.caseBook.undoPending(second));
}

// With no account connected, what only QQ can do is refused before anything
// changes; what the robot keeps itself (the blacklist) is undone as ever.
TEST_F(CasesTest, WithoutALinkAMuteIsNotLiftedButABlacklistingIsTakenBack) {
  settings.setChecked("单选框_禁言", true);
  post(kMember, "加我微信");
  ASSERT_TRUE(rules.accountLists.addToList(AccountList::kBlacklist, kMember + 1));
  CaseRecord listed;
  listed.group = kGroup;
  listed.member = kMember + 1;
  listed.action = std::string(kCaseBlacklist);
  const int64_t listedCase = rules.cases.record(listed);
  const int64_t muteCase = cases()[1].id;
  const size_t callsBefore = acting.actions().size();

  const UndoResult refused = rules.caseBook.undo(muteCase, 0, /*linked=*/false);
  EXPECT_EQ(refused.state, UndoResult::State::kRefused);
  EXPECT_THAT(refused.message, HasSubstr("未连接QQ"));
  EXPECT_EQ(acting.actions().size(), callsBefore);
  ASSERT_EQ(cases().size(), 2u);
  EXPECT_FALSE(cases()[1].undone);

  const UndoResult taken = rules.caseBook.undo(listedCase, 0, /*linked=*/false);
  EXPECT_EQ(taken.state, UndoResult::State::kDone) << taken.message;
  EXPECT_FALSE(rules.accountLists.isBlacklisted(kMember + 1));
  ASSERT_EQ(cases().size(), 3u);
  EXPECT_EQ(cases()[0].actor, 10000);  // made in the panel: the robot's own account
  EXPECT_EQ(CaseBook::ActorText(cases()[0]), "面板");
}

TEST_F(CasesTest, ARefusedApplicantIsACaseThatCannotBeUndone) {
  settings.setChecked("选择框_开启自动审核进群", true);
  ASSERT_TRUE(rules.accountLists.addToList(AccountList::kBlacklist, kMember));
  JoinRequestRecord r;
  r.subType = 1;
  r.fromGroup = kGroup;
  r.fromQQ = kMember;
  r.msg = "我是来学习的";
  r.responseFlag = "flag-1";
  rules.screening.screenJoinRequest(r);
  r.fromQQ = kMember + 1;  // not listed: let in, no case
  r.responseFlag = "flag-2";
  rules.screening.screenJoinRequest(r);

  const std::vector<CaseRecord> got = cases();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].action, kCaseRefuseJoin);
  EXPECT_EQ(got[0].member, kMember);
  EXPECT_EQ(got[0].rule, "黑名单");
  EXPECT_THAT(got[0].reason, HasSubstr("黑名单"));
  EXPECT_EQ(got[0].evidence, "我是来学习的");
  const UndoResult undo = rules.caseBook.undo(got[0].id, 0);
  EXPECT_EQ(undo.state, UndoResult::State::kRefused);
  EXPECT_THAT(undo.message, HasSubstr("重新申请"));
}

TEST_F(CasesTest, UndoTakesBackTheWarningPointsOfACase) {
  // Points given by an automod rule: the giving and its case.
  const int64_t given = clock.unixSeconds();
  ASSERT_TRUE(rules.warningPoints.add(10000, kGroup, kMember, 2, given));
  ASSERT_TRUE(rules.warningPoints.add(10000, kGroup, kMember, 1, given));
  CaseRecord c;
  c.time = given;
  c.group = kGroup;
  c.member = kMember;
  c.action = std::string(kCasePoints);
  c.rule = "广告词";
  c.amount = 2;
  const int64_t id = rules.cases.record(c);
  ASSERT_GT(id, 0);
  ASSERT_EQ(rules.warningPoints.held(kGroup, kMember, given - 86400), 3);

  const UndoResult r = rules.caseBook.undo(id, kAdmin);
  EXPECT_EQ(r.state, UndoResult::State::kDone) << r.message;
  EXPECT_EQ(rules.warningPoints.held(kGroup, kMember, given - 86400), 1);  // the other giving stays
  const std::vector<CaseRecord> got = cases();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].action, kCaseRemovePoints);
  EXPECT_EQ(got[0].amount, 2);
  EXPECT_EQ(got[0].actor, kAdmin);
  EXPECT_TRUE(got[1].undone);
  // Taken back once only.
  EXPECT_EQ(rules.caseBook.undo(id, kAdmin).state, UndoResult::State::kRefused);
  EXPECT_EQ(rules.warningPoints.held(kGroup, kMember, given - 86400), 1);
}

TEST(CsvField, QuotesWhatCsvNeedsAndDisarmsFormulas) {
  struct Row {
    std::string in, out;
  } rows[] = {
      {"加我微信", "加我微信"},
      {"a,b", "\"a,b\""},
      {"他说\"你好\"", "\"他说\"\"你好\"\"\""},
      {"两\r\n行", "\"两\r\n行\""},
      {"=cmd|' /C calc'!A0", "'=cmd|' /C calc'!A0"},
      {"+1+1", "'+1+1"},
      {"-2", "'-2"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {"=HYPERLINK(\"x\",\"y\")", "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\""},
      {"", ""},
  };
  for (const Row& r : rows) EXPECT_EQ(CaseBook::CsvField(r.in), r.out) << r.in;
}

}  // namespace
}  // namespace bw::test
