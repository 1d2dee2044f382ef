#include <gtest/gtest.h>

#include "membership_fixture.h"
#include "util/time_text.h"

namespace bw::test {
namespace {

using AccountListsTest = MembershipFixture;

TEST_F(AccountListsTest, BuiltInAccountIsAdministratorWithEmptyTables) {
  accounts.loadAdministrators();
  EXPECT_TRUE(accounts.isAdministrator(1000000));
  EXPECT_FALSE(accounts.isAdministrator(100000));
  EXPECT_FALSE(accounts.isAdministrator(0));
  EXPECT_TRUE(accounts.isAdministrator("1000000"));
  EXPECT_FALSE(accounts.isAdministrator(""));
  EXPECT_EQ(accounts.administratorText(), "|1000000|");
}

TEST_F(AccountListsTest, AdministratorTextTakesListedAccountsThenGroupStaffWithoutPrefixMatches) {
  qq.nicknames["123"] = "Tom";
  ASSERT_TRUE(accounts.addToList(AccountList::kAdministrators, 123));
  addMemberRow(700, 456, 1, 0, 2);  // administrator of a group
  addMemberRow(701, 456, 1, 0, 2);  // the same account in a second group: listed once
  addMemberRow(700, 789, 1, 0, 3);  // owner
  addMemberRow(700, 555, 1, 0, 1);  // plain member

  accounts.loadAdministrators();

  const std::string text = accounts.administratorText();
  EXPECT_EQ(text.rfind("|1000000|123|", 0), 0u) << text;
  EXPECT_NE(text.find("|456|"), std::string::npos);
  EXPECT_NE(text.find("|789|"), std::string::npos);
  EXPECT_EQ(text.size(), std::string("|1000000|123|456|789|").size()) << text;
  EXPECT_TRUE(accounts.isAdministrator(123));
  EXPECT_TRUE(accounts.isAdministrator(456));
  EXPECT_TRUE(accounts.isAdministrator(789));
  EXPECT_FALSE(accounts.isAdministrator(12));
  EXPECT_FALSE(accounts.isAdministrator(555));
  EXPECT_FALSE(accounts.isAdministrator("123|456"));  // no match across two entries

  auto rows = lists.administrators.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].cells[accountcol::kNumber], "1");
  EXPECT_EQ(rows[0].cells[accountcol::kQQ], "123");
  EXPECT_EQ(rows[0].cells[accountcol::kNick], "Tom");
  EXPECT_EQ(rows[0].cells[accountcol::kTime], TimestampToText(UnixTimestamp(clock)));
}

TEST_F(AccountListsTest, AddAndRemoveWriteRowsAndOutcomeEntries) {
  qq.nicknames["42"] = "O'Neil";
  EXPECT_TRUE(accounts.addToList(AccountList::kBlacklist, 42));
  EXPECT_EQ(text("select 昵称 from 黑名单 where QQ号='42'"), "O'Neil");
  EXPECT_EQ(text("select 加入时间 from 黑名单 where QQ号='42'"), UnixTimestamp(clock));
  EXPECT_TRUE(accounts.isBlacklisted(42));

  EXPECT_TRUE(accounts.removeFromList(AccountList::kBlacklist, 42));
  EXPECT_FALSE(accounts.removeFromList(AccountList::kBlacklist, 42));  // nothing left to delete
  EXPECT_FALSE(accounts.isBlacklisted(42));
  EXPECT_EQ(count("select count(1) from 黑名单"), 0);
  EXPECT_EQ(runLogLines(),
            (std::vector<std::string>{"操作|42加入黑名单成功", "操作|42删除黑名单成功",
                                      "操作|42删除黑名单失败"}));
}

TEST_F(AccountListsTest, FailedWritesAreReportedAsFailure) {
  accounts.addToList(AccountList::kWhitelist, 8);
  sql.onStatement = [](const std::string&) { return false; };
  EXPECT_FALSE(accounts.addToList(AccountList::kWhitelist, 7));
  EXPECT_FALSE(accounts.removeFromList(AccountList::kWhitelist, 8));
  EXPECT_EQ(runLogLines(), (std::vector<std::string>{"操作|8加入白名单成功", "操作|7加入白名单失败",
                                                     "操作|8删除白名单失败"}));
  EXPECT_EQ(count("select count(1) from 白名单 where QQ号='8'"), 1);
}

TEST_F(AccountListsTest, AddBoxTakesOneAccountPerLineAndSkipsBlankLines) {
  ASSERT_TRUE(settings.setText("编辑框_欲加入白名单", "111\r\n\r\n222\r\n"));
  accounts.addFromBox(AccountList::kWhitelist);

  EXPECT_EQ(runLogLines(),
            (std::vector<std::string>{"操作|111加入白名单成功", "操作|222加入白名单成功"}));
  EXPECT_EQ(count("select count(1) from 白名单"), 2);
  EXPECT_EQ(settings.text("编辑框_欲加入白名单"), "");
  EXPECT_EQ(lists.whitelist.rowCount(), 2u);
  EXPECT_TRUE(accounts.isWhitelisted("111"));
  EXPECT_TRUE(accounts.isWhitelisted("222"));
  EXPECT_FALSE(accounts.isWhitelisted("11"));
}

TEST_F(AccountListsTest, AddBoxGivesAnAccountOneRowWhateverTheBoxRepeats) {
  accounts.addToList(AccountList::kBlacklist, 222);
  ASSERT_TRUE(settings.setText("编辑框_欲加入黑名单", "111\r\n222\r\n111\r\nabc"));
  const AccountLists::BoxOutcome done = accounts.addFromBox(AccountList::kBlacklist);
  EXPECT_EQ(done.added, std::vector<std::string>{"111"});
  EXPECT_EQ(done.skipped, std::vector<std::string>{"222"});
  EXPECT_EQ(done.refused, std::vector<std::string>{"abc"});
  EXPECT_TRUE(done.failed.empty());
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号='111'"), 1);
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号='222'"), 1);
  EXPECT_EQ(lists.blacklist.rowCount(), 2u);
}

TEST_F(AccountListsTest, AddBoxLinesMayEndInABareLineFeed) {
  ASSERT_TRUE(settings.setText("编辑框_欲加入管理员", "111\n222"));
  accounts.addFromBox(AccountList::kAdministrators);
  EXPECT_TRUE(accounts.isAdministrator("111"));
  EXPECT_TRUE(accounts.isAdministrator("222"));
  EXPECT_EQ(count("select count(1) from 管理员"), 2);
}

TEST_F(AccountListsTest, AddBoxLinesThatAreNoAccountAreRefusedAndChangeNothing) {
  ASSERT_TRUE(settings.setText("编辑框_欲加入黑名单", "1'); delete from 白名单; --\n0\n 5\n77"));
  accounts.addToList(AccountList::kWhitelist, 9);
  accounts.addFromBox(AccountList::kBlacklist);
  EXPECT_EQ(count("select count(1) from 白名单"), 1);
  EXPECT_EQ(count("select count(1) from 黑名单"), 1);
  EXPECT_EQ(text("select QQ号 from 黑名单"), "77");
  EXPECT_EQ(runLogLines(),
            (std::vector<std::string>{"操作|9加入白名单成功", "操作|77加入黑名单成功"}));
  EXPECT_FALSE(accounts.addToList(AccountList::kBlacklist, "12a"));
  EXPECT_FALSE(accounts.isWhitelisted("9 "));
}

TEST_F(AccountListsTest, DeletingTickedRowsRemovesThemAndRefreshesTheText) {
  for (int64_t q : {301, 302, 303}) accounts.addToList(AccountList::kWhitelist, q);
  accounts.loadWhitelist();
  ASSERT_EQ(lists.whitelist.rowCount(), 3u);
  lists.whitelist.setChecked(0, true);
  lists.whitelist.setChecked(2, true);

  accounts.removeTicked(AccountList::kWhitelist);

  EXPECT_FALSE(accounts.isWhitelisted(301));
  EXPECT_FALSE(accounts.isWhitelisted(303));
  EXPECT_TRUE(accounts.isWhitelisted(302));
  EXPECT_EQ(accounts.whitelistText(), "|302|");
  ASSERT_EQ(lists.whitelist.rowCount(), 1u);
  EXPECT_EQ(lists.whitelist.cell(0, accountcol::kQQ), "302");
}

TEST_F(AccountListsTest, BlacklistLoadFillsTheViewOnly) {
  accounts.addToList(AccountList::kBlacklist, 66);
  accounts.loadBlacklist();
  ASSERT_EQ(lists.blacklist.rowCount(), 1u);
  EXPECT_EQ(lists.blacklist.cell(0, accountcol::kQQ), "66");
  EXPECT_TRUE(accounts.isBlacklisted(66));
  EXPECT_FALSE(accounts.isWhitelisted(66));
  EXPECT_FALSE(accounts.isAdministrator(66));
}

}  // namespace
}  // namespace bw::test
