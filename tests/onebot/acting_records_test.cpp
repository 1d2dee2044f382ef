// The rules over the OneBot host against a scripted peer: what the robot
// records about its own kicks and mutes follows what the implementation did,
// not what the rules decided; and the names the implementation gives are
// what 群列表.txt keeps across a restart.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "core/rule_modules.h"
#include "logs/statistics.h"
#include "onebot/connection.h"
#include "onebot/onebot_host.h"
#include "onebot/onebot_qq_services.h"
#include "scripted_peer.h"
#include "settings/option_names.h"
#include "storage/list_file.h"
#include "support/robot_fixture.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace bw::onebot {
namespace {

using test::ScriptedPeer;
using ::testing::Contains;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

constexpr int64_t kGroup = 100;
constexpr int64_t kOtherGroup = 200;

class NoImages : public ImageInfo {
 public:
  ImageSize imageSize(const std::string&, const std::string&) override { return {}; }
};

// Polls (really) until `pred` holds; the connection answers on its own thread.
template <typename Pred>
bool Eventually(Pred pred, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (pred()) return true;
    std::this_thread::sleep_for(5ms);
  }
  return pred();
}

// A whole robot whose host is the OneBot host over a scripted peer. The rules
// run on the fixture's virtual clock; the connection waits on the real one.
struct OneBotRobot : test::RobotFixture {
  explicit OneBotRobot(Millis callTimeout = 5000ms) {
    ConnectionOptions o;
    o.url = peer.url();
    o.callTimeout = callTimeout;
    o.sweepInterval = 20ms;
    o.firstRetry = 20ms;
    connection = std::make_unique<Connection>(realClock, o);
    EXPECT_TRUE(connection->start());
    EXPECT_TRUE(connection->waitUntilConnected());
    host = std::make_unique<OneBotHost>(*connection);
    host->setRunLog(&runLog);
    qqServices = std::make_unique<OneBotQqServices>(*connection, qq);
    rules = std::make_unique<RuleModules>(Services{clock,
                                                   *host,
                                                   settings,
                                                   lists,
                                                   runLog,
                                                   groupLog,
                                                   db,
                                                   *qqServices,
                                                   managedGroups,
                                                   identity,
                                                   images,
                                                   {}});
    manage({kGroup, kOtherGroup});
    settings.setChecked(opt::kAdDetectionOn, true);
    settings.setChecked(opt::kBannedWordsOn, true);
    settings.setText(opt::kBannedWords, "加我微信");
    settings.setChecked(opt::kWarnBeforePunish, false);
    settings.setChecked(opt::kPenaltyKick, true);
  }
  ~OneBotRobot() {
    rules.reset();
    host->setRunLog(nullptr);
  }

  void addMember(int64_t group, int64_t qq) {
    ASSERT_TRUE(db.Execute("insert into 群成员(群号,QQ号,加群时间) values('" +
                           std::to_string(group) + "','" + std::to_string(qq) + "','1765000000')"));
  }
  void violate(int64_t member) {
    GroupMessageRecord r;
    r.fromGroup = kGroup;
    r.fromQQ = member;
    r.msg = "加我微信";
    rules->processor.process(r);
  }
  size_t logged(const std::string& part) const {
    const auto lines = runLogLines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(part) != std::string::npos; });
  }
  // The join/leave statistics of today's group log.
  DayCounts today(int64_t group) {
    const std::string file = groupLog.dayFile(clock.now());
    return CountGroupEvents(FileExists(file) ? test::ReadAll(file) : std::string(),
                            std::to_string(group));
  }
  int64_t rows(int64_t qq) {
    return count("select count(*) from 群成员 where QQ号='" + std::to_string(qq) + "'");
  }
  size_t framesOf(const std::string& action) const {
    const auto all = peer.received();
    return std::count_if(all.begin(), all.end(),
                         [&](const auto& r) { return r.frame.value("action", "") == action; });
  }

  ScriptedPeer peer;
  RealClock realClock;
  std::unique_ptr<Connection> connection;
  std::unique_ptr<OneBotHost> host;
  std::unique_ptr<OneBotQqServices> qqServices;
  NoImages images;
  std::unique_ptr<RuleModules> rules;
};

// Three violators; the first also sits in a second group, where the
// blacklist's kick-everywhere follows it.
void PunishThreeViolators(OneBotRobot& r) {
  r.settings.setChecked(opt::kBlacklistOnKick, true);
  r.settings.setChecked(opt::kBlacklistKickEverywhere, true);
  for (int64_t m = 20001; m <= 20003; ++m) r.addMember(kGroup, m);
  r.addMember(kOtherGroup, 20001);
  for (int64_t m = 20001; m <= 20003; ++m) r.violate(m);
}

// The four kicks were each reported failed. (The blacklist's sweep repeats
// the first kick, skipped as a repeat unless the refusal came back first.)
void ExpectEveryKickFailed(OneBotRobot& r) {
  for (const char* kick :
       {"群100 成员20001", "群200 成员20001", "群100 成员20002", "群100 成员20003"})
    EXPECT_TRUE(Eventually([&] { return r.logged(kick) >= 1; })) << kick;
  std::this_thread::sleep_for(100ms);  // any late record would come now
  EXPECT_GE(r.logged("踢人失败"), 4u);
}

TEST(ActingRecords, AKickTheImplementationRefusesIsRecordedNowhereAsDone) {
  // The shapes in which implementations refuse a call.
  const std::vector<ScriptedPeer::Json> refusals = {
      {{"status", "failed"}, {"retcode", 100}, {"data", nullptr}, {"message", "not admin"}},
      {{"status", "failed"}, {"retcode", 100}, {"wording", "权限不足"}},
      {{"status", "ok"}, {"retcode", 100}, {"data", nullptr}},
      {{"retcode", 100}, {"msg", "not admin"}},
      {{"status", "failed"}, {"retcode", "100"}},
  };
  for (const auto& refusal : refusals) {
    SCOPED_TRACE(refusal.dump());
    OneBotRobot r;
    r.peer.reply("set_group_kick", refusal);
    PunishThreeViolators(r);
    ExpectEveryKickFailed(r);
    EXPECT_EQ(r.logged("踢出"), 0u);
    EXPECT_EQ(r.today(kGroup).removals, 0);
    EXPECT_EQ(r.today(kOtherGroup).removals, 0);
    for (int64_t m = 20001; m <= 20003; ++m) EXPECT_EQ(r.rows(m), m == 20001 ? 2 : 1) << m;
  }
}

TEST(ActingRecords, AKickNeverAnsweredIsRecordedNowhereAsDone) {
  OneBotRobot r(300ms);
  r.peer.neverAnswer("set_group_kick");
  PunishThreeViolators(r);
  ExpectEveryKickFailed(r);
  EXPECT_EQ(r.logged("无应答"), r.logged("踢人失败"));
  EXPECT_EQ(r.logged("踢出"), 0u);
  EXPECT_EQ(r.today(kGroup).removals, 0);
  EXPECT_EQ(r.rows(20002), 1);
}

TEST(ActingRecords, ADoneKickIsRecordedWithoutAskingWhoTheRobotIs) {
  OneBotRobot r;
  r.peer.delay("get_login_info", 200ms);
  r.peer.answer("get_login_info", ScriptedPeer::Json{{"user_id", 10000}});
  PunishThreeViolators(r);
  ASSERT_TRUE(Eventually([&] { return r.logged("踢出") == 4; })) << r.logged("踢出");
  EXPECT_THAT(r.runLogLines(), Contains("踢人|20001踢出 群100"));
  EXPECT_THAT(r.runLogLines(), Contains("踢人|20001踢出 群200"));
  EXPECT_THAT(r.runLogLines(), Contains("踢人|20003踢出 群100"));
  ASSERT_TRUE(Eventually([&] { return r.today(kGroup).removals == 3; }));
  EXPECT_EQ(r.today(kOtherGroup).removals, 1);
  EXPECT_THAT(test::ReadAll(r.groupLog.dayFile(r.clock.now())), HasSubstr("20002\t10000"));
  for (int64_t m = 20001; m <= 20003; ++m) EXPECT_EQ(r.rows(m), 0) << m;
  EXPECT_EQ(r.logged("失败"), 0u);
  // The robot's own account is known locally: no kick waits for it.
  EXPECT_EQ(r.framesOf("get_login_info"), 0u);
}

TEST(ActingRecords, AMuteIsRecordedOnlyOnceItWasDone) {
  for (const bool refused : {true, false}) {
    SCOPED_TRACE(refused ? "refused" : "done");
    OneBotRobot r;
    r.settings.setChecked(opt::kPenaltyMute, true);
    r.settings.setText(opt::kMuteMinutes, "10");
    if (refused) r.peer.reply("set_group_ban", {{"status", "ok"}, {"retcode", 100}});
    r.violate(20001);
    ASSERT_TRUE(r.peer.nextRequest("set_group_ban"));
    const std::string outcome = refused ? "禁言失败" : "20001在群100禁言10分钟";
    ASSERT_TRUE(Eventually([&] { return r.logged(outcome) == 1; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(r.logged("20001在群100禁言10分钟"), refused ? 0u : 1u);
  }
}

TEST(ActingRecords, TheMemberLimitCountsOnlyTheKicksThatWereDone) {
  for (const bool refused : {true, false}) {
    SCOPED_TRACE(refused ? "refused" : "done");
    OneBotRobot r;
    r.settings.setChecked(opt::kMemberLimitOn, true);
    r.lists.limits.clear();
    r.lists.limits.append({false, {"1", std::to_string(kGroup), "g", "950", "950", ""}});
    r.addMember(kGroup, 20001);
    if (refused) r.peer.reply("set_group_kick", {{"status", "failed"}, {"retcode", 100}});
    r.rules->memberLimit.enforceMemberLimit(1, true);  // one above the limit
    ASSERT_TRUE(r.peer.nextRequest("set_group_kick"));
    if (refused) ASSERT_TRUE(Eventually([&] { return r.logged("踢人失败") == 1; }));
    if (!refused) ASSERT_TRUE(Eventually([&] { return r.rows(20001) == 0; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(r.lists.limits.cell(0, limitcol::kKicked), refused ? "" : "1");
    EXPECT_EQ(r.today(kGroup).removals, refused ? 0 : 1);
    EXPECT_EQ(r.rows(20001), refused ? 1 : 0);
  }
}

TEST(ActingRecords, GroupNamesThatWouldBreakTheListFileSurviveARestart) {
  OneBotRobot r;
  using Json = ScriptedPeer::Json;
  r.peer.answer("get_login_info", Json{{"user_id", 10000}});
  r.peer.answer("get_group_list", Json::array({
                                      {{"group_id", 301}, {"group_name", "甲----乙"}},
                                      {{"group_id", 302}, {"group_name", "早\r\n晚"}},
                                      {{"group_id", 303}, {"group_name", "上\u2028下\u2029左\n右"}},
                                      {{"group_id", 304}, {"group_name", "结尾-"}},
                                  }));
  r.peer.answer("get_group_member_info", Json{{"role", "owner"}});
  ASSERT_TRUE(r.rules->memberRefresh.refreshGroupList());
  const std::vector<std::string> shown = {"甲—乙", "早 晚", "上 下 左 右", "结尾—"};
  ASSERT_EQ(r.lists.groups.rowCount(), shown.size());
  for (size_t i = 0; i < shown.size(); ++i)
    EXPECT_EQ(r.lists.groups.cell(i, groupcol::kName), shown[i]) << i;

  // The saved file, read back as a restart reads it.
  const std::string file = r.rules->store.path("群列表.txt");
  ASSERT_TRUE(SaveListFile(r.lists.groups, 4, file).ok());
  ListViews restarted;
  ListModel& reread = restarted.groups;
  ASSERT_TRUE(LoadListFile(reread, file).ok());
  ASSERT_EQ(reread.rowCount(), shown.size());
  for (size_t i = 0; i < shown.size(); ++i) {
    EXPECT_EQ(reread.cell(i, groupcol::kName), shown[i]) << i;
    EXPECT_EQ(reread.cell(i, groupcol::kRole), "群主") << i;
  }
}

}  // namespace
}  // namespace bw::onebot
