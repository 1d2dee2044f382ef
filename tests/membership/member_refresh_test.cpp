#include "membership/member_refresh.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "membership_fixture.h"
#include "storage/ini_file.h"
#include "storage/settings_store.h"
#include "util/files.h"

namespace bw::test {
namespace {

std::vector<GroupMember> Members(int64_t group, int n, int64_t first = 100000) {
  std::vector<GroupMember> out;
  for (int i = 0; i < n; ++i) {
    GroupMember m;
    m.group = group;
    m.account = first + i;
    m.nickname = "nick" + std::to_string(i);
    m.card = "card" + std::to_string(i);
    m.sex = i % 2;
    m.joinTime = 1700000000 + i;
    m.lastSpeakTime = i % 3 == 0 ? 0 : 1700100000 + i;
    m.permission = 1;
    out.push_back(std::move(m));
  }
  return out;
}

class MemberRefreshTest : public MembershipFixture {
 protected:
  std::string status(size_t row) const { return lists.groups.cell(row, groupcol::kStatus); }
  size_t memberListRequests() const {
    size_t n = 0;
    for (const auto& c : host.calls()) n += c.action == "get_group_member_list";
    return n;
  }
  // Stops (or inspects) a run at the n-th insert of member rows (300 members
  // take 13: rows go in batches).
  void onInsert(int n, std::function<void()> action) {
    sql.onStatement = [n, action, seen = 0](const std::string& s) mutable {
      if (s.find("insert into 群成员(") != std::string::npos && ++seen == n) action();
      return true;
    };
  }
};

TEST_F(MemberRefreshTest, GroupListKeepsOwnedAndAdministeredGroupsWithTheirTicks) {
  qq.groups = {
      {"700", "甲", "1", "群主"}, {"701", "乙", "2", "成员"}, {"702", "丙", "3", "管理员"}};
  ASSERT_TRUE(WriteProfileString(store.path("群设置.ini"), "开关", "702", "1").ok());

  EXPECT_TRUE(refresh.refreshGroupList());

  auto rows = lists.groups.rows();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].cells, (std::vector<std::string>{"1", "700", "甲", "群主", ""}));
  EXPECT_FALSE(rows[0].checked);
  EXPECT_EQ(rows[1].cells, (std::vector<std::string>{"2", "702", "丙", "管理员", ""}));
  EXPECT_TRUE(rows[1].checked);
  EXPECT_EQ(managedGroups.snapshot(), std::vector<int64_t>{702});
  EXPECT_EQ(runLogLines().back(), "操作|共获取到有权限管理的群2个");
}

TEST_F(MemberRefreshTest, AFailedGroupListFetchKeepsTheListAndItsManagedGroups) {
  manage({700, 701});
  const auto before = lists.groups.rows();
  const std::string listFile = "{1}1----700----群1----管理员\r\n";
  ASSERT_TRUE(WriteFileAtomic(store.path("群列表.txt"), listFile).ok());

  EXPECT_FALSE(refresh.refreshGroupList());  // the fake delivers no list

  EXPECT_EQ(lists.groups.rows(), before);
  EXPECT_EQ(managedGroups.snapshot(), (std::vector<int64_t>{700, 701}));
  std::string kept;
  ASSERT_TRUE(ReadFileBytes(store.path("群列表.txt"), kept).ok());
  EXPECT_EQ(kept, listFile);
  EXPECT_EQ(runLogLines().back(), "操作|获取群列表失败, 群列表保持不变");

  qq.groups = {{"702", "丙", "3", "管理员"}};
  EXPECT_TRUE(refresh.refreshGroupList());
  EXPECT_EQ(lists.groups.rowCount(), 1u);
}

TEST_F(MemberRefreshTest, ThreeHundredMembersReplaceOneGroupsRowsInOnePass) {
  manage({700, 701});
  addMemberRow(700, 1, 1);  // stale row: replaced
  addMemberRow(701, 2, 1);  // another group's row: untouched
  addMemberRow(702, 3, 1);
  auto members = Members(700, 300);
  members[7].nickname = "O'Neil";
  members[7].card = "'); delete from 群成员; --";
  members[8].unfriendly = true;
  members[9].permission = 3;
  host.setMemberList(700, members);
  lists.groups.setChecked(1, false);

  refresh.refreshTickedMembers();

  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700'"), 300);
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700' and QQ号='1'"), 0);
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='701'"), 1);
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='702'"), 1);
  EXPECT_EQ(text("select 昵称 from 群成员 where QQ号='100007'"), "O'Neil");
  EXPECT_EQ(text("select 名片 from 群成员 where QQ号='100007'"), "'); delete from 群成员; --");
  EXPECT_EQ(text("select 不良记录 from 群成员 where QQ号='100008'"), "1");
  EXPECT_EQ(text("select 不良记录 from 群成员 where QQ号='100009'"), "0");
  EXPECT_EQ(count("select 加群时间 from 群成员 where QQ号='100005'"), 1700000005);
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700' and 最后发言=0"), 100);
  EXPECT_EQ(status(0), "初始化成功");
  EXPECT_EQ(status(1), "");
  EXPECT_EQ(runLogLines(), (std::vector<std::string>{
                               "获取|群:700 正在获取群成员",
                               "获取|群:700 获取群成员成功正在更新数据库",
                               "获取|群:700 更新群成员完毕",
                               "获取|全部勾选群 群成员 获取完毕!",
                           }));
  // The owner found in the member list is an administrator now.
  EXPECT_TRUE(accounts.isAdministrator("100009"));
  EXPECT_FALSE(accounts.isAdministrator("100010"));
}

TEST_F(MemberRefreshTest, AccountListedTwiceByTheHostIsStoredOnce) {
  manage({700});
  auto members = Members(700, 3);
  members.push_back(members[1]);
  host.setMemberList(700, members);
  refresh.refreshTickedMembers();
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700'"), 3);
  EXPECT_EQ(status(0), "初始化成功");
}

TEST_F(MemberRefreshTest, EmptyOrFailedMemberListKeepsTheOldRows) {
  manage({700, 701});
  addMemberRow(700, 1, 1);
  host.setMemberList(701, {});  // no permission: an empty list
  const auto start = clock.now();

  refresh.refreshTickedMembers();

  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700' and QQ号='1'"), 1);
  EXPECT_EQ(status(0), "获取群成员失败");
  EXPECT_EQ(status(1), "获取群成员失败");
  EXPECT_EQ(runLogLines(), (std::vector<std::string>{
                               "获取|群:700 正在获取群成员",
                               "获取|群:700 获取群成员失败",
                               "获取|群:701 正在获取群成员",
                               "获取|群:701 获取群成员失败",
                               "获取|全部勾选群 群成员 获取完毕!",
                           }));
  EXPECT_EQ(clock.now() - start, std::chrono::milliseconds(1000));  // 500 ms after each group
}

TEST_F(MemberRefreshTest, LoadedGroupsAreNotFetchedAgain) {
  manage({700, 701});
  host.setMemberList(700, Members(700, 3));
  refresh.refreshTickedMembers();
  EXPECT_EQ(memberListRequests(), 2u);
  host.setMemberList(701, Members(701, 3, 200000));

  refresh.refreshTickedMembers();  // the button refreshes only the failed group
  EXPECT_EQ(memberListRequests(), 3u);
  EXPECT_EQ(status(1), "初始化成功");

  refresh.onGroupTicksChanged(0, false);
  lists.groups.setChecked(0, true);
  refresh.onGroupTicksChanged(0, true);  // re-ticking a loaded group does not refetch it
  EXPECT_EQ(memberListRequests(), 3u);
}

TEST_F(MemberRefreshTest, TickingAGroupFetchesItAtOnce) {
  manage({700, 701});
  lists.groups.setChecked(1, false);
  host.setMemberList(701, Members(701, 4));
  settings.setChecked("选择框_开启群人数控制", true);

  lists.groups.setChecked(1, true);
  refresh.onGroupTicksChanged(1, true);

  EXPECT_EQ(managedGroups.snapshot(), (std::vector<int64_t>{700, 701}));
  EXPECT_EQ(status(1), "初始化成功");
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='701'"), 4);
  ASSERT_EQ(lists.limits.rowCount(), 2u);
  EXPECT_EQ(lists.limits.cell(1, limitcol::kCurrent), "4");
}

TEST_F(MemberRefreshTest, FinishedRunRecountsWithMemberCountControlOn) {
  manage({700, 701});
  store.RebuildGroupDerivedLists();
  host.setMemberList(700, Members(700, 5));
  host.setMemberList(701, Members(701, 2, 200000));
  settings.setChecked("选择框_开启群人数控制", true);
  refresh.refreshTickedMembers();
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "5");
  EXPECT_EQ(lists.limits.cell(1, limitcol::kCurrent), "2");
}

TEST_F(MemberRefreshTest, RebuildRecountsWhenMemberCountControlIsOn) {
  manage({700});
  addMemberRow(700, 1, 1);
  addMemberRow(700, 2, 1);
  store.RebuildGroupDerivedLists();
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "");
  settings.setChecked("选择框_开启群人数控制", true);
  store.RebuildGroupDerivedLists();
  EXPECT_EQ(lists.limits.cell(0, limitcol::kCurrent), "2");
}

TEST_F(MemberRefreshTest, FailurePartWayKeepsTheOldRows) {
  manage({700});
  addMemberRow(700, 1, 1);
  host.setMemberList(700, Members(700, 300));
  sql.onStatement = [seen = 0](const std::string& s) mutable {
    // The 7th insert of 13 fails.
    return !(s.find("insert into 群成员(") != std::string::npos && ++seen == 7);
  };

  refresh.refreshTickedMembers();

  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700'"), 1);
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700' and QQ号='1'"), 1);
  EXPECT_EQ(status(0), "获取群成员失败");
  EXPECT_EQ(runLogLines()[2], "获取|群:700 更新群成员失败");
}

TEST_F(MemberRefreshTest, ReadersNeverSeeAHalfFilledGroup) {
  manage({700});
  addMemberRow(700, 1, 1);
  host.setMemberList(700, Members(700, 300));
  std::future<int64_t> reader;
  onInsert(7, [&] {
    // Another worker asks for the group's size in the middle of the refresh.
    reader = std::async(std::launch::async, [this] {
      ScopedQuery q(sql, "select count(1) from 群成员 where 群号='700'");
      return q.next() ? int64_t{q.integer(0)} : int64_t{-1};
    });
    EXPECT_EQ(reader.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  });

  refresh.refreshTickedMembers();

  ASSERT_TRUE(reader.valid());
  EXPECT_EQ(reader.get(), 300);
}

TEST_F(MemberRefreshTest, StopBetweenStatementsKeepsTheOldRowsAndEndsTheRun) {
  manage({700, 701});
  addMemberRow(700, 1, 1);
  host.setMemberList(700, Members(700, 300));
  host.setMemberList(701, Members(701, 3, 200000));
  std::stop_source stop;
  onInsert(5, [&] { stop.request_stop(); });

  refresh.refreshTickedMembers(stop.get_token());

  EXPECT_EQ(count("select count(1) from 群成员 where 群号='700'"), 1);
  EXPECT_EQ(status(0), "");
  EXPECT_EQ(memberListRequests(), 1u);  // the second group was not started
  for (const auto& line : runLogLines()) EXPECT_EQ(line.find("获取完毕"), std::string::npos);
}

TEST_F(MemberRefreshTest, RunsOnItsOwnThreadAtMostOneAtATime) {
  manage({700, 701, 702});
  for (int64_t g : {700, 701, 702}) host.setMemberList(g, Members(g, 50, g * 1000));

  refresh.startRefreshTickedMembers();
  std::thread direct([this] { refresh.refreshTickedMembers(); });
  direct.join();
  refresh.waitIdle();

  EXPECT_FALSE(refresh.running());
  EXPECT_EQ(memberListRequests(), 3u);  // the second run found every group loaded
  for (int64_t g : {700, 701, 702}) {
    EXPECT_EQ(count("select count(1) from 群成员 where 群号='" + std::to_string(g) + "'"), 50);
  }
}

TEST_F(MemberRefreshTest, NewRunStopsTheRunInProgress) {
  VirtualClock manual(clock.now(), VirtualClock::Mode::kManual);
  SettingsStore threadedStore(settings, lists, managedGroups, runLog, identity, manual);
  MemberRefresh threadedRefresh(manual, host, settings, lists, runLog, qq, {}, modules.memberTable,
                                accounts, limit, threadedStore);
  manage({700, 701});
  host.setMemberList(700, Members(700, 5));
  host.setMemberList(701, Members(701, 5, 200000));

  threadedRefresh.startRefreshTickedMembers();
  ASSERT_TRUE(manual.waitForSleepers(1));  // the first run waits after group 700
  EXPECT_TRUE(threadedRefresh.running());
  threadedRefresh.startRefreshTickedMembers();  // stops it, starts anew
  ASSERT_TRUE(manual.waitForSleepers(1));       // the new run waits after group 701
  manual.advance(std::chrono::milliseconds(500));
  threadedRefresh.waitIdle();

  EXPECT_EQ(memberListRequests(), 2u);
  size_t finished = 0;
  for (const auto& line : runLogLines()) finished += line == "获取|全部勾选群 群成员 获取完毕!";
  EXPECT_EQ(finished, 1u);
  EXPECT_EQ(status(0), "初始化成功");
  EXPECT_EQ(status(1), "初始化成功");
}

TEST_F(MemberRefreshTest, ColumnZeroTitleTogglesEveryTickAndRestartsTheRun) {
  manage({700, 701});
  lists.groups.setChecked(0, false);
  host.setMemberList(700, Members(700, 2));
  host.setMemberList(701, Members(701, 2, 200000));

  refresh.onColumnTitleClicked(0);
  refresh.waitIdle();
  EXPECT_TRUE(lists.groups.checked(0));
  EXPECT_TRUE(lists.groups.checked(1));
  EXPECT_EQ(managedGroups.size(), 2u);
  EXPECT_EQ(status(1), "初始化成功");

  refresh.onColumnTitleClicked(0);
  refresh.waitIdle();
  EXPECT_FALSE(lists.groups.checked(0));
  EXPECT_FALSE(lists.groups.checked(1));
  EXPECT_EQ(managedGroups.size(), 0u);
  EXPECT_EQ(memberListRequests(), 2u);
}

}  // namespace
}  // namespace bw::test
