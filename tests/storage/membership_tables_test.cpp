// The owners of 群成员, 邀请记录/邀请统计 and the account lists, against a fresh
// SQLite database: what each operation leaves in the tables and answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <stop_token>
#include <string>
#include <vector>

#include "storage/account_list_table.h"
#include "storage/invite_table.h"
#include "storage/member_table.h"
#include "support/test_database.h"

namespace bw::test {
namespace {

class MembershipTablesTest : public ::testing::Test {
 protected:
  int64_t count(const std::string& sql) {
    ScopedQuery q(t.db, sql);
    return q.next() ? q.integer(0) : -1;
  }
  std::string text(const std::string& sql) {
    ScopedQuery q(t.db, sql);
    return q.next() ? q.text(0) : "<no row>";
  }
  static GroupMember Member(int64_t account, int32_t joined, int32_t spoke, int32_t permission) {
    GroupMember m;
    m.account = account;
    m.nickname = "n" + std::to_string(account);
    m.joinTime = joined;
    m.lastSpeakTime = spoke;
    m.permission = permission;
    return m;
  }

  TestDatabase t;
  MemberTable members{t.db};
  InviteTable invites{t.db};
  AccountListTable lists{t.db};
};

TEST_F(MembershipTablesTest, MemberRowsArriveLeaveAndAreFound) {
  EXPECT_TRUE(members.addArrival(700, 5, "1700000000").done());
  EXPECT_TRUE(members.addArrival(701, 5, "1700000001").done());
  EXPECT_TRUE(members.contains(700, 5));
  EXPECT_FALSE(members.contains(702, 5));
  EXPECT_TRUE(members.inAnyGroup(5));
  EXPECT_FALSE(members.inAnyGroup(6));
  EXPECT_EQ(members.countInGroup(700), 1);
  EXPECT_EQ(members.groupsOf(5), (std::vector<int64_t>{700, 701}));
  EXPECT_EQ(text("select 加群时间 from 群成员 where 群号='700'"), "1700000000");

  EXPECT_TRUE(members.remove(700, 5).done());
  EXPECT_TRUE(members.remove(700, 5).noRow());  // gone already: not a failure
  EXPECT_FALSE(members.remove(700, 5).failed());
  EXPECT_EQ(members.groupsOf(5), std::vector<int64_t>{701});
}

TEST_F(MembershipTablesTest, GroupReplacementStoresEachAccountOnceAndKeepsOldRowsWhenStopped) {
  members.addArrival(700, 1, "1");
  members.addArrival(701, 2, "1");
  std::vector<GroupMember> list = {Member(10, 100, 0, 3), Member(11, 200, 5, 1),
                                   Member(10, 100, 0, 3), Member(12, 50, 9, 2)};
  list[1].nickname = "O'Neil";
  list[1].unfriendly = true;

  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(members.replaceGroup(700, list, stopped.get_token()), MemberTable::Replaced::kStopped);
  EXPECT_TRUE(members.contains(700, 1));
  EXPECT_EQ(members.countInGroup(700), 1);

  EXPECT_EQ(members.replaceGroup(700, list, {}), MemberTable::Replaced::kReplaced);
  EXPECT_EQ(members.countInGroup(700), 3);
  EXPECT_FALSE(members.contains(700, 1));
  EXPECT_TRUE(members.contains(701, 2));
  EXPECT_EQ(text("select 昵称 from 群成员 where QQ号='11'"), "O'Neil");
  EXPECT_EQ(text("select 不良记录 from 群成员 where QQ号='11'"), "1");
  EXPECT_EQ(text("select 不良记录 from 群成员 where QQ号='10'"), "0");
  EXPECT_TRUE(members.isStaff(700, 10));
  EXPECT_TRUE(members.isStaff(700, 12));
  EXPECT_FALSE(members.isStaff(700, 11));
  EXPECT_FALSE(members.isStaff(701, 10));

  // A second group where 10 owns too: still listed once among the staff.
  members.replaceGroup(702, {Member(10, 1, 1, 3)}, {});
  auto staff = members.staffAccounts();
  std::sort(staff.begin(), staff.end());
  EXPECT_EQ(staff, (std::vector<std::string>{"10", "12"}));
}

TEST_F(MembershipTablesTest, MembersComeInTheOrderMemberCountControlAsksFor) {
  using Order = MemberTable::Order;
  members.replaceGroup(
      700,
      {Member(1, 300, 0, 1), Member(2, 100, 50, 1), Member(3, 200, 0, 1), Member(4, 400, 20, 1)},
      {});
  members.replaceGroup(701, {Member(9, 1, 0, 1)}, {});
  EXPECT_EQ(members.accountsInOrder(700, Order::kEarliestJoined, false),
            (std::vector<int64_t>{2, 3, 1, 4}));
  EXPECT_EQ(members.accountsInOrder(700, Order::kLatestJoined, false),
            (std::vector<int64_t>{4, 1, 3, 2}));
  EXPECT_EQ(members.accountsInOrder(700, Order::kOldestLastSpoke, false),
            (std::vector<int64_t>{1, 3, 4, 2}));
  EXPECT_EQ(members.accountsInOrder(700, Order::kEarliestJoined, true),
            (std::vector<int64_t>{3, 1}));
  EXPECT_EQ(members.accountsInOrder(700, Order::kLatestJoined, true), (std::vector<int64_t>{1, 3}));
  EXPECT_EQ(members.accountsInOrder(700, Order::kOldestLastSpoke, true),
            (std::vector<int64_t>{3, 1}));
}

TEST_F(MembershipTablesTest, RowsThatHoldNoNumberAreSkippedByTheNumberReads) {
  ASSERT_TRUE(t.db.Execute("insert into 群成员(群号,QQ号,加群时间) values('x1','5','1')"));
  ASSERT_TRUE(t.db.Execute("insert into 群成员(群号,QQ号,加群时间) values('700','5','1')"));
  ASSERT_TRUE(t.db.Execute("insert into 群成员(群号,QQ号,加群时间) values('700','abc','2')"));
  EXPECT_EQ(members.groupsOf(5), std::vector<int64_t>{700});
  EXPECT_EQ(members.accountsInOrder(700, MemberTable::Order::kEarliestJoined, false),
            std::vector<int64_t>{5});
}

TEST_F(MembershipTablesTest, AFirstCreditAsksForTheNicknameAndWritesNothingUntilThen) {
  auto credit = invites.credit(700, 601, 500, nullptr);
  EXPECT_EQ(credit.outcome, InviteTable::Credit::Outcome::kNeedsNickname);
  EXPECT_EQ(count("select count(1) from 邀请统计"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);

  const std::string nickname = "A'lice";
  credit = invites.credit(700, 601, 500, &nickname);
  EXPECT_EQ(credit.outcome, InviteTable::Credit::Outcome::kDone);
  EXPECT_EQ(credit.present, 1);
  // Later credits need no nickname.
  credit = invites.credit(701, 602, 500, nullptr);
  EXPECT_EQ(credit.outcome, InviteTable::Credit::Outcome::kDone);
  EXPECT_EQ(credit.present, 2);

  EXPECT_EQ(text("select 昵称 from 邀请统计 where QQ号='500'"), "A'lice");
  const InviteCounts c = invites.counts(500);
  EXPECT_EQ(c.present, 2);
  EXPECT_EQ(c.invited, 2);
  EXPECT_EQ(c.left, 0);
  EXPECT_EQ(invites.invitedBy(500), (std::vector<std::string>{"601", "602"}));
  EXPECT_EQ(invites.invitationsOf(602).size(), 1u);
  EXPECT_EQ(invites.invitationsOf(602)[0].group, 701);
  EXPECT_EQ(invites.invitationsOf(602)[0].inviter, 500);
}

TEST_F(MembershipTablesTest, DeparturesChargeTheInviterOfThatGroupOnly) {
  const std::string nickname;
  invites.credit(700, 601, 500, &nickname);
  EXPECT_EQ(invites.chargeDeparture(701, 601), 0);  // no record in that group
  EXPECT_EQ(invites.chargeDeparture(700, 601), 0);  // 现存个数 back to 0
  EXPECT_EQ(invites.counts(500).left, 1);
  EXPECT_EQ(invites.counts(500).invited, 1);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);

  // An inviter whose counts were wiped: the record goes, nobody's counts move.
  ASSERT_TRUE(t.db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('603','700','777')"));
  EXPECT_EQ(invites.chargeDeparture(700, 603), -1);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);
  EXPECT_EQ(count("select count(1) from 邀请统计"), 1);
}

TEST_F(MembershipTablesTest, ClearAndStatisticsRows) {
  const std::string nickname = "A";
  invites.credit(700, 601, 500, &nickname);
  invites.credit(700, 602, 501, &nickname);
  EXPECT_EQ(invites.statsRows(std::nullopt).size(), 2u);
  auto rows = invites.statsRows(500);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].account, "500");
  EXPECT_EQ(rows[0].counts.invited, 1);

  EXPECT_TRUE(invites.clear(500));
  EXPECT_TRUE(invites.clear(500));  // nothing left: still no failure
  EXPECT_TRUE(invites.statsRows(500).empty());
  EXPECT_EQ(count("select count(1) from 邀请记录 where 邀请人QQ='500'"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录 where 邀请人QQ='501'"), 1);
  ASSERT_TRUE(t.db.Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('9','700','x')"));
  EXPECT_TRUE(invites.invitationsOf(9).empty());
}

TEST_F(MembershipTablesTest, AccountListsAreSeparateTables) {
  EXPECT_TRUE(lists.add(AccountList::kBlacklist, 42, "O'Neil", "1700000002").done());
  EXPECT_TRUE(lists.add(AccountList::kBlacklist, 41, "", "1700000001").done());
  EXPECT_TRUE(lists.add(AccountList::kWhitelist, 43, "", "1700000000").done());
  EXPECT_TRUE(lists.contains(AccountList::kBlacklist, 42));
  EXPECT_FALSE(lists.contains(AccountList::kWhitelist, 42));
  EXPECT_FALSE(lists.contains(AccountList::kAdministrators, 42));

  auto rows = lists.rows(AccountList::kBlacklist);
  ASSERT_EQ(rows.size(), 2u);  // oldest first
  EXPECT_EQ(rows[0].account, "41");
  EXPECT_EQ(rows[1].account, "42");
  EXPECT_EQ(rows[1].nickname, "O'Neil");
  EXPECT_EQ(rows[1].addedAt, 1700000002);

  EXPECT_TRUE(lists.remove(AccountList::kBlacklist, 42).done());
  EXPECT_TRUE(lists.remove(AccountList::kBlacklist, 42).noRow());
  EXPECT_FALSE(lists.contains(AccountList::kBlacklist, 42));
  EXPECT_EQ(count("select count(1) from 白名单"), 1);
}

}  // namespace
}  // namespace bw::test
