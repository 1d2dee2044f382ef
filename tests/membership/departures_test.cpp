#include <gtest/gtest.h>

#include <chrono>
#include <latch>
#include <thread>

#include "membership_fixture.h"
#include "util/files.h"

namespace bw::test {
namespace {

class DeparturesTest : public MembershipFixture {
 protected:
  void SetUp() override { manage({700, 701, 702}); }
  void allBlacklistOptions() {
    settings.setChecked("选择框_开启广告检测", true);
    settings.setChecked("选择框_踢出加黑", true);
    settings.setChecked("选择框_加黑全踢", true);
    logStart = runLogLines().size();  // after the switch entries of violation detection
  }
  std::vector<std::string> newRunLogLines() const {
    auto lines = runLogLines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(logStart));
    return lines;
  }
  size_t logStart = 0;
  std::vector<std::pair<int64_t, int64_t>> kicks() const {
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& c : actionsNamed("set_group_kick")) out.emplace_back(c.group, c.account);
    return out;
  }
};

TEST_F(DeparturesTest, LeaveOfAnUnmanagedGroupChangesNothing) {
  addMemberRow(999, 5, 1);
  invites.recordInvitation(999, 5, 500);
  allBlacklistOptions();
  departures.onMemberLeft(change(2, 999, 1, 5));
  EXPECT_EQ(count("select count(1) from 群成员"), 1);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 1);
  EXPECT_TRUE(host.actions().empty());
  EXPECT_FALSE(FileExists(groupLog.dayFile(clock.now())));
}

TEST_F(DeparturesTest, LeaveRemovesTheRowLogsAndMovesTheInviterCountsWithNoOption) {
  addMemberRow(700, 5, 1);
  invites.recordInvitation(700, 5, 500);
  departures.onMemberLeft(change(1, 700, 5, 5));
  EXPECT_EQ(count("select count(1) from 群成员"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
  EXPECT_EQ(count("select 现存个数 from 邀请统计 where QQ号='500'"), 0);
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 1);
  const std::string log = ReadAll(groupLog.dayFile(clock.now()));
  EXPECT_EQ(log, "2026-12-7 21:05:09\t700\t退群\t5\t5\r\n");
  EXPECT_TRUE(host.actions().empty());
}

TEST_F(DeparturesTest, SelfLeaveIsNeverBlacklisted) {
  allBlacklistOptions();
  addMemberRow(701, 5, 1);
  departures.onMemberLeft(change(1, 700, 5, 5));
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
  EXPECT_TRUE(host.actions().empty());
}

TEST_F(DeparturesTest, KickBlacklistNeedsViolationDetection) {
  settings.setChecked("选择框_踢出加黑", true);
  settings.setChecked("选择框_加黑全踢", true);
  addMemberRow(701, 5, 1);
  departures.onMemberLeft(change(2, 700, 1, 5));
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
  EXPECT_TRUE(host.actions().empty());
}

TEST_F(DeparturesTest, KickedMemberIsBlacklistedOnceAndSweptFromTheOtherGroups) {
  allBlacklistOptions();
  for (int64_t g : {700, 701, 702}) addMemberRow(g, 5, 1);
  departures.onMemberLeft(change(2, 700, 1, 5));

  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号='5'"), 1);
  EXPECT_EQ(kicks(), (std::vector<std::pair<int64_t, int64_t>>{{701, 5}, {702, 5}}));
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='5'"), 0);
  EXPECT_EQ(newRunLogLines(), (std::vector<std::string>{"操作|5加入黑名单成功", "踢人|5踢出 群701",
                                                        "踢人|5踢出 群702"}));
  const std::string log = ReadAll(groupLog.dayFile(clock.now()));
  EXPECT_NE(log.find("\t701\t退群\t5\t10000\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find("\t702\t退群\t5\t10000\r\n"), std::string::npos) << log;
}

TEST_F(DeparturesTest, LeaveRunsMemberCountControlWhenOn) {
  settings.setChecked("选择框_开启群人数控制", true);
  deriveLists({"950", "950", "950"}, {"10", "20", "30"});
  departures.onMemberLeft(change(1, 701, 5, 5));
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "10");
  EXPECT_EQ(lists.limits.cell(1, limitcol::kCurrent), "19");
}

TEST_F(DeparturesTest, RepeatedKickOfTheSamePairIsSentOnce) {
  departures.kickMember(700, 5, true);
  departures.kickMember(700, 5, true);
  ASSERT_EQ(kicks().size(), 1u);
  EXPECT_TRUE(actionsNamed("set_group_kick")[0].enable);  // refuse re-join passed through
  departures.kickMember(701, 6, false);
  departures.kickMember(700, 5, false);
  EXPECT_EQ(kicks(), (std::vector<std::pair<int64_t, int64_t>>{{700, 5}, {701, 6}, {700, 5}}));
}

TEST_F(DeparturesTest, TheRobotItselfAndAccountZeroAreNeverKicked) {
  addMemberRow(700, 10000, 1);
  departures.kickMember(700, 10000, false);
  departures.kickMember(700, 0, true);
  departures.kickMember(700, 5, false);
  EXPECT_EQ(kicks(), (std::vector<std::pair<int64_t, int64_t>>{{700, 5}}));
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='10000'"), 1);
}

TEST_F(DeparturesTest, KickDoesTheBookkeeping) {
  addMemberRow(700, 5, 1);
  addMemberRow(701, 5, 1);
  invites.recordInvitation(700, 5, 500);
  departures.kickMember(700, 5, false);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='5'"), 1);  // only that group's row
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 1);
  EXPECT_EQ(ReadAll(groupLog.dayFile(clock.now())), "2026-12-7 21:05:09\t700\t退群\t5\t10000\r\n");
}

// A legacy host whose kicks answer with a failure status.
class RefusingHost : public RecordingHost {
 public:
  int32_t CQ_setGroupKick(int64_t group, int64_t account, bool refuseRejoin) override {
    RecordingHost::CQ_setGroupKick(group, account, refuseRejoin);
    return -1;
  }
};

TEST_F(DeparturesTest, AKickTheHostRefusesLeavesEveryRecordAndMayBeTriedAgain) {
  addMemberRow(700, 5, 1);
  invites.recordInvitation(700, 5, 500);
  RefusingHost refusing;
  MemberRemoval removal(refusing, groupLog, identity, invites, modules.memberTable);
  int recorded = 0;
  EXPECT_TRUE(removal.kickMember(700, 5, false, [&] { ++recorded; }));
  EXPECT_TRUE(removal.kickMember(700, 5, false, [&] { ++recorded; }));  // no repeat: still there
  EXPECT_EQ(refusing.actions().size(), 2u);
  EXPECT_EQ(recorded, 0);
  EXPECT_EQ(count("select count(1) from 群成员 where QQ号='5'"), 1);
  EXPECT_EQ(count("select 退出个数 from 邀请统计 where QQ号='500'"), 0);
  EXPECT_FALSE(FileExists(groupLog.dayFile(clock.now())));
}

TEST_F(DeparturesTest, InvitersAreKickedFromTheirInvitationGroupsOneSecondApart) {
  invites.recordInvitation(700, 5, 501);
  invites.recordInvitation(701, 5, 502);
  std::vector<std::chrono::system_clock::time_point> times;
  host.setObserver([this, &times](const HostCall& c) {
    if (c.action == "set_group_kick") times.push_back(clock.now());
  });
  departures.kickInviters(5);
  host.setObserver(nullptr);
  EXPECT_EQ(kicks(), (std::vector<std::pair<int64_t, int64_t>>{{700, 501}, {701, 502}}));
  ASSERT_EQ(times.size(), 2u);
  EXPECT_EQ(times[1] - times[0], std::chrono::milliseconds(1000));
}

TEST_F(DeparturesTest, KickInvitersIgnoresInvitersThatAreNoAccount) {
  ASSERT_TRUE(db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('5','700','abc')"));
  ASSERT_TRUE(db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('5','x','501')"));
  departures.kickInviters(5);
  EXPECT_TRUE(kicks().empty());
}

TEST_F(DeparturesTest, ConcurrentKicksOfOnePairSendOneKick) {
  // Two workers released at the same instant kick the same new pair, many times
  // over. An unguarded compare-then-remember lets both through only rarely;
  // under ThreadSanitizer the race is reported every time.
  constexpr int kRounds = 50;
  for (int round = 0; round < kRounds; ++round) {
    std::latch start(2);
    auto kick = [&] {
      start.arrive_and_wait();
      departures.kickMember(700, 1000 + round, false);
    };
    std::thread a(kick), b(kick);
    a.join();
    b.join();
  }
  EXPECT_EQ(kicks().size(), static_cast<size_t>(kRounds));
}

}  // namespace
}  // namespace bw::test
