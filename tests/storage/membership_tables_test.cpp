// The owners of 群成员, 邀请记录/邀请统计 and the account lists on each database
// backend: SQLite through its ODBC driver always, PostgreSQL when
// BW_TEST_POSTGRES names a server. Checked on what each operation leaves in the
// tables and answers.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "host/identity.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/account_list_table.h"
#include "storage/invite_table.h"
#include "storage/member_table.h"
#include "support/test_database.h"

namespace bw::test {
namespace {

// A nickname that would end the statement and drop a table if it were pasted
// into the SQL unquoted.
const std::string kHostileNickname = "'); drop table 群成员; --";

class MembershipTablesTest : public BackendTest {
 protected:
  void SetUp() override {
    BackendTest::SetUp();
    if (!opened()) return;
    members_.emplace(db());
    invites_.emplace(db());
    lists_.emplace(db());
  }
  MemberTable& members() { return *members_; }
  InviteTable& invites() { return *invites_; }
  AccountListTable& lists() { return *lists_; }

  int64_t count(const std::string& sql) {
    ScopedQuery q(db(), sql);
    EXPECT_TRUE(q.ok()) << sql;
    return q.next() ? q.integer(0) : -1;
  }
  std::string text(const std::string& sql) { return QueryText(db(), sql); }

  // Makes the backend refuse every insert or update that leaves `value` in
  // `column` of `table`: a write that fails in the middle of an operation.
  void refuseRows(const std::string& table, const std::string& column, const std::string& value) {
    if (GetParam() == Backend::kSqlite) {
      for (const char* event : {"insert", "update"}) {
        ASSERT_TRUE(db().Execute("create trigger refuse_" + std::string(event) + "_" + table +
                                 " before " + event + " on " + table + " when cast(new." + column +
                                 " as text)='" + value +
                                 "' begin select raise(abort, 'refused'); end"));
      }
    } else {
      ASSERT_TRUE(db().Execute("alter table " + table + " add constraint refuse_" + table +
                               " check (cast(" + column + " as text) <> '" + value + "')"));
    }
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
  template <typename T>
  static std::vector<T> Sorted(std::vector<T> v) {
    std::sort(v.begin(), v.end());
    return v;
  }

 private:
  std::optional<MemberTable> members_;
  std::optional<InviteTable> invites_;
  std::optional<AccountListTable> lists_;
};

// --- 群成员 ---

TEST_P(MembershipTablesTest, MemberRowsArriveLeaveAndAreFound) {
  EXPECT_TRUE(members().addArrival(700, 5, "1700000000").done());
  EXPECT_TRUE(members().addArrival(701, 5, "1700000001").done());
  EXPECT_TRUE(members().addArrival(700, 6, "1700000002").done());
  EXPECT_TRUE(members().contains(700, 5));
  EXPECT_FALSE(members().contains(702, 5));
  EXPECT_FALSE(members().contains(701, 6));
  EXPECT_TRUE(members().inAnyGroup(5));
  EXPECT_FALSE(members().inAnyGroup(7));
  EXPECT_EQ(members().countInGroup(700), 2);
  EXPECT_EQ(members().countInGroup(702), 0);
  EXPECT_EQ(Sorted(members().groupsOf(5)), (std::vector<int64_t>{700, 701}));
  EXPECT_EQ(text("select 加群时间 from 群成员 where 群号='701'"), "1700000001");
  // A row recorded on arrival has never spoken.
  EXPECT_EQ(text("select 最后发言 from 群成员 where 群号='701'"), "0");

  EXPECT_TRUE(members().remove(700, 5).done());
  EXPECT_TRUE(members().remove(700, 5).noRow());  // gone already: not a failure
  EXPECT_FALSE(members().remove(700, 5).failed());
  EXPECT_EQ(members().groupsOf(5), std::vector<int64_t>{701});
  EXPECT_TRUE(members().contains(700, 6));
}

TEST_P(MembershipTablesTest, GroupReplacementStoresEachAccountOnceAndKeepsOldRowsWhenStopped) {
  members().addArrival(700, 1, "1");
  members().addArrival(701, 2, "1");
  std::vector<GroupMember> list = {Member(10, 100, 0, 3), Member(11, 200, 5, 1),
                                   Member(10, 100, 0, 3), Member(12, 50, 9, 2)};
  list[1].nickname = "O'Neil";
  list[1].card = "名片'一";
  list[1].unfriendly = true;
  list[2].nickname = kHostileNickname;

  std::stop_source stopped;
  stopped.request_stop();
  EXPECT_EQ(members().replaceGroup(700, list, stopped.get_token()),
            MemberTable::Replaced::kStopped);
  EXPECT_TRUE(members().contains(700, 1));
  EXPECT_EQ(members().countInGroup(700), 1);

  EXPECT_EQ(members().replaceGroup(700, list, {}), MemberTable::Replaced::kReplaced);
  EXPECT_EQ(members().countInGroup(700), 3);
  EXPECT_FALSE(members().contains(700, 1));
  EXPECT_TRUE(members().contains(701, 2));  // other groups keep their rows
  EXPECT_EQ(text("select 昵称 from 群成员 where QQ号='11'"), "O'Neil");
  EXPECT_EQ(text("select 名片 from 群成员 where QQ号='11'"), "名片'一");
  EXPECT_EQ(text("select 不良记录 from 群成员 where QQ号='11'"), "1");
  EXPECT_EQ(text("select 不良记录 from 群成员 where QQ号='10'"), "0");
  EXPECT_EQ(text("select 最后发言 from 群成员 where QQ号='12'"), "9");
  EXPECT_EQ(text("select 加群时间 from 群成员 where QQ号='12'"), "50");
  EXPECT_TRUE(members().isStaff(700, 10));
  EXPECT_TRUE(members().isStaff(700, 12));
  EXPECT_FALSE(members().isStaff(700, 11));
  EXPECT_FALSE(members().isStaff(701, 10));

  // A second group where 10 owns too: still listed once among the staff.
  members().replaceGroup(702, {Member(10, 1, 1, 3)}, {});
  EXPECT_EQ(Sorted(members().staffAccounts()), (std::vector<std::string>{"10", "12"}));
  EXPECT_EQ(Sorted(members().groupsOf(10)), (std::vector<int64_t>{700, 702}));
  EXPECT_TRUE(members().inAnyGroup(10));

  // A group that has emptied loses all its rows.
  EXPECT_EQ(members().replaceGroup(702, {}, {}), MemberTable::Replaced::kReplaced);
  EXPECT_EQ(members().countInGroup(702), 0);
  EXPECT_EQ(members().groupsOf(10), std::vector<int64_t>{700});
}

TEST_P(MembershipTablesTest, LargeGroupsKeepEveryMemberWhateverTheirCount) {
  // Counts around the sizes in which rows are written together, each member's
  // row checked by its own values; every 7th listed twice.
  for (const int count : {1, 7, 8, 9, 63, 64, 65, 137, 2000}) {
    std::vector<GroupMember> list;
    for (int i = 0; i < count; ++i) {
      GroupMember m = Member(100000 + i, 1600000000 + i, i % 3 ? 1700000000 + i : 0, i % 4);
      m.nickname = i % 5 ? "成员" + std::to_string(i) : kHostileNickname + std::to_string(i);
      m.card = "名片😀" + std::to_string(i);
      m.sex = i % 2;
      m.unfriendly = i % 11 == 0;
      list.push_back(m);
      if (i % 7 == 0) list.push_back(m);
    }
    ASSERT_EQ(members().replaceGroup(800, list, {}), MemberTable::Replaced::kReplaced) << count;
    EXPECT_EQ(members().countInGroup(800), count);
    std::vector<std::string> stored;
    ScopedQuery q(db(),
                  "select QQ号,昵称,名片,性别,加群时间,最后发言,权限,不良记录 from 群成员 "
                  "where 群号='800' order by 加群时间");
    while (q.next()) {
      std::string row;
      for (int c = 0; c < 8; ++c) row += q.text(c) + "|";
      stored.push_back(row);
    }
    ASSERT_EQ(stored.size(), static_cast<size_t>(count));
    for (int i = 0; i<count; i += count> 100 ? 97 : 1) {
      const GroupMember& m = list[static_cast<size_t>(i + (i + 6) / 7)];
      EXPECT_EQ(stored[static_cast<size_t>(i)],
                std::to_string(m.account) + "|" + m.nickname + "|" + m.card + "|" +
                    std::to_string(m.sex) + "|" + std::to_string(m.joinTime) + "|" +
                    std::to_string(m.lastSpeakTime) + "|" + std::to_string(m.permission) + "|" +
                    (m.unfriendly ? "1" : "0") + "|")
          << count << " " << i;
    }
  }
}

TEST_P(MembershipTablesTest, GroupReplacementThatFailsKeepsTheOldRows) {
  members().replaceGroup(700, {Member(1, 100, 0, 1), Member(2, 200, 0, 3)}, {});
  refuseRows("群成员", "昵称", "n12");
  EXPECT_EQ(members().replaceGroup(
                700, {Member(11, 100, 0, 1), Member(12, 100, 0, 1), Member(13, 100, 0, 1)}, {}),
            MemberTable::Replaced::kFailed);
  EXPECT_EQ(members().countInGroup(700), 2);
  EXPECT_TRUE(members().contains(700, 1));
  EXPECT_TRUE(members().isStaff(700, 2));
  EXPECT_FALSE(members().inAnyGroup(11));
  // The connection is usable again afterwards.
  EXPECT_TRUE(members().addArrival(701, 3, "1700000000").done());
  EXPECT_TRUE(members().contains(701, 3));
}

TEST_P(MembershipTablesTest, MembersComeInTheOrderMemberCountControlAsksFor) {
  using Order = MemberTable::Order;
  using V = std::vector<int64_t>;
  members().replaceGroup(700, {Member(1, 300, 900, 1), Member(2, 100, 800, 1)}, {});
  // Arrivals never spoke. 999999999 sorts before 1700000000 only as a number,
  // and 4102444800 (2100-01-01) needs more than 32 bits.
  members().addArrival(700, 3, "200");
  members().addArrival(700, 4, "999999999");
  members().addArrival(700, 5, "4102444800");
  members().addArrival(700, 6, "1700000000");
  members().addArrival(701, 9, "1");

  EXPECT_EQ(members().accountsInOrder(700, Order::kEarliestJoined, false), (V{2, 3, 1, 4, 6, 5}));
  EXPECT_EQ(members().accountsInOrder(700, Order::kLatestJoined, false), (V{5, 6, 4, 1, 3, 2}));
  const V bySpeech = members().accountsInOrder(700, Order::kOldestLastSpoke, false);
  ASSERT_EQ(bySpeech.size(), 6u);
  // The four who never spoke tie at 0, in no promised order; then by time.
  EXPECT_EQ(Sorted(V(bySpeech.begin(), bySpeech.begin() + 4)), (V{3, 4, 5, 6}));
  EXPECT_EQ(V(bySpeech.begin() + 4, bySpeech.end()), (V{2, 1}));

  EXPECT_EQ(members().accountsInOrder(700, Order::kEarliestJoined, true), (V{3, 4, 6, 5}));
  EXPECT_EQ(members().accountsInOrder(700, Order::kLatestJoined, true), (V{5, 6, 4, 3}));
  EXPECT_EQ(members().accountsInOrder(700, Order::kOldestLastSpoke, true), (V{3, 4, 6, 5}));
  EXPECT_EQ(members().accountsInOrder(702, Order::kEarliestJoined, false), V{});

  EXPECT_TRUE(members().remove(700, 4).done());
  EXPECT_TRUE(members().remove(700, 4).noRow());
  EXPECT_EQ(members().accountsInOrder(700, Order::kEarliestJoined, true), (V{3, 6, 5}));
}

TEST_P(MembershipTablesTest, RowsThatHoldNoNumberAreSkippedByTheNumberReads) {
  ASSERT_TRUE(db().Execute("insert into 群成员(群号,QQ号,加群时间) values('x1','5','1')"));
  ASSERT_TRUE(db().Execute("insert into 群成员(群号,QQ号,加群时间) values('700','5','1')"));
  ASSERT_TRUE(db().Execute("insert into 群成员(群号,QQ号,加群时间) values('700','abc','2')"));
  EXPECT_EQ(members().groupsOf(5), std::vector<int64_t>{700});
  EXPECT_EQ(members().accountsInOrder(700, MemberTable::Order::kEarliestJoined, false),
            std::vector<int64_t>{5});
}

// --- 邀请统计 and 邀请记录 ---

TEST_P(MembershipTablesTest, AFirstCreditAsksForTheNicknameAndWritesNothingUntilThen) {
  auto credit = invites().credit(700, 601, 500, nullptr);
  EXPECT_EQ(credit.outcome, InviteTable::Credit::Outcome::kNeedsNickname);
  EXPECT_EQ(count("select count(1) from 邀请统计"), 0);
  EXPECT_EQ(count("select count(1) from 邀请记录"), 0);

  const std::string nickname = "A'lice";
  credit = invites().credit(700, 601, 500, &nickname);
  EXPECT_EQ(credit.outcome, InviteTable::Credit::Outcome::kDone);
  EXPECT_EQ(credit.present, 1);
  // Later credits need no nickname.
  credit = invites().credit(701, 602, 500, nullptr);
  EXPECT_EQ(credit.outcome, InviteTable::Credit::Outcome::kDone);
  EXPECT_EQ(credit.present, 2);

  EXPECT_EQ(text("select 昵称 from 邀请统计 where QQ号='500'"), "A'lice");
  EXPECT_EQ(count("select count(1) from 邀请统计"), 1);
  const InviteCounts c = invites().counts(500);
  EXPECT_EQ(c.present, 2);
  EXPECT_EQ(c.invited, 2);
  EXPECT_EQ(c.left, 0);  // left out by the first insert: starts at 0
  EXPECT_EQ(Sorted(invites().invitedBy(500)), (std::vector<std::string>{"601", "602"}));
  EXPECT_TRUE(invites().invitedBy(501).empty());
  const auto invitations = invites().invitationsOf(602);
  ASSERT_EQ(invitations.size(), 1u);
  EXPECT_EQ(invitations[0].group, 701);
  EXPECT_EQ(invitations[0].inviter, 500);
}

TEST_P(MembershipTablesTest, DeparturesChargeTheInviterOfThatGroupOnly) {
  const std::string nickname;
  invites().credit(700, 601, 500, &nickname);
  invites().credit(700, 602, 500, &nickname);
  EXPECT_EQ(invites().chargeDeparture(701, 601), 0);  // no record in that group
  EXPECT_EQ(invites().counts(500).present, 2);
  EXPECT_EQ(invites().chargeDeparture(700, 601), 1);
  EXPECT_EQ(invites().chargeDeparture(700, 601), 0);  // charged once only
  InviteCounts c = invites().counts(500);
  EXPECT_EQ(c.present, 1);
  EXPECT_EQ(c.left, 1);
  EXPECT_EQ(c.invited, 2);
  EXPECT_EQ(invites().invitedBy(500), std::vector<std::string>{"602"});
  EXPECT_TRUE(invites().invitationsOf(601).empty());

  // An inviter whose counts were wiped: the record goes, nobody's counts move.
  ASSERT_TRUE(db().Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('603','700','777')"));
  EXPECT_EQ(invites().chargeDeparture(700, 603), -1);
  EXPECT_TRUE(invites().invitationsOf(603).empty());
  EXPECT_EQ(count("select count(1) from 邀请统计"), 1);
  c = invites().counts(500);
  EXPECT_EQ(c.present, 1);
  EXPECT_EQ(c.left, 1);
}

TEST_P(MembershipTablesTest, StatisticsRowsAreReadByNameAndClearedPerInviter) {
  const std::string nickname = "邀请'人";
  invites().credit(700, 601, 500, &nickname);
  invites().credit(700, 602, 500, nullptr);
  invites().chargeDeparture(700, 601);
  invites().credit(700, 603, 501, &kHostileNickname);

  auto rows = invites().statsRows(500);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].account, "500");
  EXPECT_EQ(rows[0].nickname, "邀请'人");
  EXPECT_EQ(rows[0].counts.present, 1);
  EXPECT_EQ(rows[0].counts.invited, 2);
  EXPECT_EQ(rows[0].counts.left, 1);
  rows = invites().statsRows(std::nullopt);
  ASSERT_EQ(rows.size(), 2u);
  std::vector<std::string> nicknames = {rows[0].nickname, rows[1].nickname};
  EXPECT_EQ(Sorted(nicknames), Sorted(std::vector<std::string>{"邀请'人", kHostileNickname}));
  EXPECT_TRUE(invites().statsRows(502).empty());

  EXPECT_TRUE(invites().clear(500));
  EXPECT_TRUE(invites().clear(500));  // nothing left: still no failure
  EXPECT_TRUE(invites().statsRows(500).empty());
  EXPECT_TRUE(invites().invitedBy(500).empty());
  EXPECT_EQ(invites().statsRows(std::nullopt).size(), 1u);
  EXPECT_EQ(invites().invitedBy(501), std::vector<std::string>{"603"});

  // A record that names no inviter account is not an invitation.
  ASSERT_TRUE(db().Execute("insert into 邀请记录(QQ号,群号,邀请人QQ) values('9','700','x')"));
  EXPECT_TRUE(invites().invitationsOf(9).empty());
}

TEST_P(MembershipTablesTest, AFailedCreditLeavesCountsAndRecordsAsTheyWere) {
  const std::string nickname = "A";
  invites().credit(700, 601, 500, &nickname);
  refuseRows("邀请记录", "QQ号", "602");
  EXPECT_EQ(invites().credit(700, 602, 500, nullptr).outcome,
            InviteTable::Credit::Outcome::kFailed);
  // A first credit whose record is refused leaves no counts row behind either.
  EXPECT_EQ(invites().credit(700, 602, 501, &nickname).outcome,
            InviteTable::Credit::Outcome::kFailed);
  EXPECT_TRUE(invites().statsRows(501).empty());
  const InviteCounts c = invites().counts(500);
  EXPECT_EQ(c.present, 1);
  EXPECT_EQ(c.invited, 1);
  EXPECT_TRUE(invites().invitationsOf(602).empty());
  // Other invitations go on being counted.
  EXPECT_EQ(invites().credit(700, 603, 500, nullptr).present, 2);
}

TEST_P(MembershipTablesTest, AFailedDepartureChargeKeepsTheRecord) {
  const std::string nickname = "A";
  invites().credit(700, 601, 500, &nickname);
  refuseRows("邀请统计", "退出个数", "1");
  EXPECT_EQ(invites().chargeDeparture(700, 601), std::nullopt);
  const auto invitations = invites().invitationsOf(601);
  ASSERT_EQ(invitations.size(), 1u);
  EXPECT_EQ(invitations[0].inviter, 500);
  const InviteCounts c = invites().counts(500);
  EXPECT_EQ(c.present, 1);
  EXPECT_EQ(c.left, 0);
}

TEST_P(MembershipTablesTest, ConcurrentCreditsAndDeparturesAreNeverLost) {
  constexpr int kThreads = 4;
  constexpr int kEach = 10;
  const std::string nickname = "A";
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) invites().credit(700, 1000 + t * kEach + i, 500, &nickname);
    });
  }
  for (auto& t : threads) t.join();
  InviteCounts c = invites().counts(500);
  EXPECT_EQ(c.present, kThreads * kEach);
  EXPECT_EQ(c.invited, kThreads * kEach);
  EXPECT_EQ(invites().invitedBy(500).size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_EQ(invites().statsRows(std::nullopt).size(), 1u);  // one counts row, not one per thread

  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach / 2; ++i) invites().chargeDeparture(700, 1000 + t * kEach + i);
    });
  }
  for (auto& t : threads) t.join();
  c = invites().counts(500);
  EXPECT_EQ(c.present, kThreads * kEach / 2);
  EXPECT_EQ(c.left, kThreads * kEach / 2);
  EXPECT_EQ(c.invited, kThreads * kEach);
  EXPECT_EQ(invites().invitedBy(500).size(), static_cast<size_t>(kThreads * kEach / 2));
}

// --- 管理员, 白名单 and 黑名单 ---

TEST_P(MembershipTablesTest, AccountListsLoadInJoinOrderAndDelete) {
  for (AccountList list :
       {AccountList::kAdministrators, AccountList::kWhitelist, AccountList::kBlacklist}) {
    SCOPED_TRACE(AccountListTable::TableName(list));
    // 999999999 sorts before 1000000000 only as a number.
    EXPECT_TRUE(lists().add(list, 20002, "O'Neil", "1000000000").done());
    EXPECT_TRUE(lists().add(list, 20001, kHostileNickname, "999999999").done());
    auto rows = lists().rows(list);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].account, "20001");
    EXPECT_EQ(rows[0].nickname, kHostileNickname);
    EXPECT_EQ(rows[0].addedAt, 999999999);
    EXPECT_EQ(rows[1].account, "20002");
    EXPECT_EQ(rows[1].nickname, "O'Neil");
    EXPECT_EQ(rows[1].addedAt, 1000000000);

    EXPECT_TRUE(lists().remove(list, 20001).done());
    EXPECT_TRUE(lists().remove(list, 20001).noRow());
    EXPECT_FALSE(lists().contains(list, 20001));
    EXPECT_TRUE(lists().contains(list, 20002));
  }
  // The hostile nickname did not run as SQL: 群成员 is still there.
  EXPECT_EQ(count("select count(1) from 群成员"), 0);
}

TEST_P(MembershipTablesTest, AccountListsAreSeparateTables) {
  EXPECT_TRUE(lists().add(AccountList::kBlacklist, 42, "", "1700000002").done());
  EXPECT_TRUE(lists().add(AccountList::kWhitelist, 43, "", "1700000000").done());
  EXPECT_TRUE(lists().contains(AccountList::kBlacklist, 42));
  EXPECT_FALSE(lists().contains(AccountList::kWhitelist, 42));
  EXPECT_FALSE(lists().contains(AccountList::kAdministrators, 42));
  EXPECT_TRUE(lists().remove(AccountList::kWhitelist, 42).noRow());
  EXPECT_TRUE(lists().contains(AccountList::kBlacklist, 42));
  EXPECT_TRUE(lists().rows(AccountList::kAdministrators).empty());
  EXPECT_EQ(lists().rows(AccountList::kWhitelist).size(), 1u);
}

TEST_P(MembershipTablesTest, EachRobotKeepsItsOwnListsAndMayShareTheBlacklist) {
  Identity robotA, robotB;
  robotA.setLoginAccount("10001");
  robotB.setLoginAccount("10002");
  Settings settingsA, settingsB;
  AccountListTable a(db(), &robotA, &settingsA);
  AccountListTable b(db(), &robotB, &settingsB);
  // A row from before the robot column: every robot's.
  ASSERT_TRUE(db().Execute("insert into 黑名单(QQ号,昵称,加入时间) values('7','旧','1')"));
  for (AccountList list :
       {AccountList::kAdministrators, AccountList::kWhitelist, AccountList::kBlacklist}) {
    SCOPED_TRACE(AccountListTable::TableName(list));
    EXPECT_TRUE(a.add(list, 100, "甲's", "1700000000").done());
    EXPECT_TRUE(b.add(list, 200, "乙", "1700000001").done());
    EXPECT_TRUE(a.contains(list, 100));
    EXPECT_FALSE(a.contains(list, 200));
    EXPECT_FALSE(b.contains(list, 100));
    EXPECT_TRUE(b.contains(list, 200));
    // One robot's removal leaves the other's row.
    EXPECT_TRUE(b.remove(list, 100).noRow());
    EXPECT_TRUE(a.contains(list, 100));
  }
  EXPECT_TRUE(a.contains(AccountList::kBlacklist, 7));
  EXPECT_TRUE(b.contains(AccountList::kBlacklist, 7));
  auto accounts = [](const std::vector<ListedAccount>& rows) {
    std::vector<std::string> out;
    for (const auto& r : rows) out.push_back(r.account);
    return out;
  };
  EXPECT_EQ(accounts(a.rows(AccountList::kBlacklist)), (std::vector<std::string>{"7", "100"}));

  // Shared: B honours A's blacklisting (the whitelist stays A's own), and
  // B's removal takes the account off for both.
  settingsB.setChecked(opt::kSharedBlacklist, true);
  EXPECT_TRUE(b.contains(AccountList::kBlacklist, 100));
  EXPECT_FALSE(b.contains(AccountList::kWhitelist, 100));
  EXPECT_EQ(accounts(b.rows(AccountList::kBlacklist)),
            (std::vector<std::string>{"7", "100", "200"}));
  EXPECT_FALSE(a.contains(AccountList::kBlacklist, 200));  // A does not share
  EXPECT_TRUE(b.remove(AccountList::kBlacklist, 100).done());
  EXPECT_FALSE(a.contains(AccountList::kBlacklist, 100));
}

TEST_P(MembershipTablesTest, ListTimesBeyond32BitsAreKept) {
  // 2100-01-01 and 2038-01-19 03:14:08, one second past the 32-bit range.
  EXPECT_TRUE(lists().add(AccountList::kAdministrators, 1, "n", "4102444800").done());
  EXPECT_TRUE(lists().add(AccountList::kAdministrators, 2, "n", "2147483648").done());
  EXPECT_TRUE(lists().add(AccountList::kAdministrators, 3, "n", "1700000000").done());
  const auto rows = lists().rows(AccountList::kAdministrators);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].account, "3");
  EXPECT_EQ(rows[1].account, "2");
  EXPECT_EQ(rows[1].addedAt, 2147483648);
  EXPECT_EQ(rows[2].account, "1");
  EXPECT_EQ(rows[2].addedAt, 4102444800);
  EXPECT_EQ(text("select 加入时间 from 管理员 where QQ号='1'"), "4102444800");
}

INSTANTIATE_TEST_SUITE_P(Backends, MembershipTablesTest,
                         ::testing::Values(Backend::kSqlite, Backend::kPostgres), BackendName);

}  // namespace
}  // namespace bw::test
