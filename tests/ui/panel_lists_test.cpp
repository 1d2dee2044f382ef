// The panel's list pages over loopback: the group list's refresh buttons with
// and without a linked account, the administrator/white/black lists (tables,
// membership, run log, the add box), the invite query, and the welcome texts and
// member limits of the ticked groups (files, list views) — and their refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "settings/option_names.h"
#include "storage/database.h"
#include "storage/ini_file.h"
#include "ui/panel_fixture.h"
#include "util/files.h"
#include "util/text.h"

namespace bw::ui {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::json;

class PanelListsTest : public PanelFixture {
 protected:
  ~PanelListsTest() override {
    panel.reset();
    core.modules.memberRefresh.stop();
  }

  void start() { startWithFourGroups(); }
  int64_t count(const std::string& sql) {
    ScopedQuery q(lifecycle.database(), sql);
    return q.next() ? TextToInt(q.text(0)) : -1;
  }
  std::string setting(const std::string& name) {
    return ReadProfileString(data + "setsoft.ini", "编辑框", name, "<missing>");
  }
  // Column `column` of every row of a list answer.
  static std::vector<std::string> Column(const Json& answer, size_t column) {
    std::vector<std::string> out;
    for (const Json& r : answer["rows"]) out.push_back(r["cells"][column].get<std::string>());
    return out;
  }
};

using Strings = std::vector<std::string>;

// Robots sharing one database may share one blacklist: the switch is drawn on
// 名单设置 (its 黑名单 tab) and, switched there, is what the file and the
// lists read.
TEST_F(PanelListsTest, TheSharedBlacklistIsSwitchedOnTheListsPageAndStored) {
  start();
  auto [code, page] = get("/api/page?name=%E5%90%8D%E5%8D%95%E8%AE%BE%E7%BD%AE");  // 名单设置
  ASSERT_EQ(code, 200) << page.dump();
  Json box;
  for (const Json& g : page["groups"])
    for (const Json& r : g["rows"])
      for (const Json& p : r.value("parts", Json::array()))
        if (p.value("name", "") == opt::kSharedBlacklist) box = p;
  ASSERT_FALSE(box.is_null()) << page.dump();
  EXPECT_EQ(box["kind"], "check");
  EXPECT_EQ(box["value"], false);  // off unless the owner asks for it
  auto [changed, answer] = post("/api/settings", {{"changes", {{opt::kSharedBlacklist, true}}}});
  ASSERT_EQ(changed, 200) << answer.dump();
  EXPECT_TRUE(lifecycle.settings().checked(opt::kSharedBlacklist));
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "选择框", opt::kSharedBlacklist, "<missing>"),
            "真");
}

TEST_F(PanelListsTest, AddingToTheBlacklistStoresRowsWithNicknamesSkipsDuplicatesAndEmptiesTheBox) {
  qq.nicknames["111"] = "O'Neil";
  start();
  auto [st, answer] =
      post("/api/lists/accounts/add", {{"list", "黑名单"}, {"text", "111\n\n 222 \r\n111"}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(answer["added"], (Strings{"111", "222"}));
  EXPECT_EQ(answer["columns"], (Strings{"序号", "QQ号", "昵称", "加入时间"}));
  EXPECT_EQ(Column(answer, 1), (Strings{"111", "222"}));
  EXPECT_EQ(Column(answer, 2), (Strings{"O'Neil", ""}));
  EXPECT_THAT(Column(answer, 3)[0], ::testing::StartsWith("2026-12-07 21:0"));  // the clock runs
  EXPECT_EQ(count("select count(1) from 黑名单"), 2);
  EXPECT_EQ(count("select count(1) from 黑名单 where 昵称='O''Neil'"), 1);
  EXPECT_TRUE(core.modules.accountLists.isBlacklisted(222));
  EXPECT_TRUE(logged("操作|111加入黑名单成功"));
  EXPECT_TRUE(logged("操作|222加入黑名单成功"));
  EXPECT_EQ(setting("编辑框_欲加入黑名单"), "");  // the box was emptied and saved

  // Already listed: skipped, not a second row.
  std::tie(st, answer) =
      post("/api/lists/accounts/add", {{"list", "黑名单"}, {"text", "222\n333"}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(answer["added"], (Strings{"333"}));
  EXPECT_EQ(answer["skipped"], (Strings{"222"}));
  EXPECT_EQ(count("select count(1) from 黑名单 where QQ号='222'"), 1);
  EXPECT_EQ(Column(get("/api/lists/accounts?list=黑名单").second, 1),
            (Strings{"111", "222", "333"}));

  // Administrators and the whitelist feed the membership tests at once.
  ASSERT_EQ(post("/api/lists/accounts/add", {{"list", "管理员"}, {"text", "123"}}).first, 200);
  ASSERT_EQ(post("/api/lists/accounts/add", {{"list", "白名单"}, {"text", "456"}}).first, 200);
  EXPECT_TRUE(core.modules.accountLists.isAdministrator(int64_t{123}));
  EXPECT_FALSE(core.modules.accountLists.isAdministrator(int64_t{12}));
  EXPECT_TRUE(core.modules.accountLists.isWhitelisted(int64_t{456}));
  EXPECT_EQ(get("/api/lists/accounts?list=管理员").second["hint"],
            "管理员名单里的成员可以使用各种命令操控机器人");
}

TEST_F(PanelListsTest, ABadLineRefusesTheWholeBoxAndNothingIsAdded) {
  start();
  auto [st, answer] = post("/api/lists/accounts/add", {{"list", "白名单"}, {"text", "444\nabc"}});
  EXPECT_EQ(st, 400);
  EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("第2行“abc”不是QQ号"));
  for (const Json& bad :
       {Json{{"list", "白名单"}, {"text", "\n \n"}}, Json{{"list", "白名单"}, {"text", "0"}},
        Json{{"list", "白名单"}, {"text", "1234567890123456789"}},
        Json{{"list", "白名单"}, {"text", "-5"}}, Json{{"list", "灰名单"}, {"text", "444"}},
        Json{{"list", "白名单"}, {"text", 444}}, Json{{"list", 5}, {"text", "444"}}}) {
    EXPECT_EQ(post("/api/lists/accounts/add", bad).first, 400) << bad.dump();
  }
  EXPECT_EQ(count("select count(1) from 白名单"), 0);
  EXPECT_FALSE(core.modules.accountLists.isWhitelisted(int64_t{444}));

  // Without the CSRF token nothing is added either.
  httplib::Client c = client();
  auto res = c.Post("/api/lists/accounts/add", {{"Cookie", cookie.first}, {"Origin", origin()}},
                    Json{{"list", "白名单"}, {"text", "444"}}.dump(), "application/json");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 403);
  EXPECT_EQ(count("select count(1) from 白名单"), 0);
}

TEST_F(PanelListsTest, DeletingTickedRowsRemovesThemAndTheirWhitelisting) {
  start();
  ASSERT_EQ(post("/api/lists/accounts/add", {{"list", "白名单"}, {"text", "111\n222\n333"}}).first,
            200);
  auto [st, answer] =
      post("/api/lists/accounts/remove", {{"list", "白名单"}, {"accounts", {"111", "333"}}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(Column(answer, 1), (Strings{"222"}));
  EXPECT_EQ(Column(answer, 0), (Strings{"1"}));
  EXPECT_EQ(count("select count(1) from 白名单"), 1);
  EXPECT_FALSE(core.modules.accountLists.isWhitelisted(int64_t{111}));
  EXPECT_FALSE(core.modules.accountLists.isWhitelisted(int64_t{333}));
  EXPECT_TRUE(core.modules.accountLists.isWhitelisted(int64_t{222}));
  EXPECT_TRUE(logged("操作|111删除白名单成功"));

  // Nothing ticked, a bad number, or a row that is gone: refused, nothing removed.
  EXPECT_EQ(
      post("/api/lists/accounts/remove", {{"list", "白名单"}, {"accounts", Json::array()}}).first,
      400);
  EXPECT_EQ(post("/api/lists/accounts/remove", {{"list", "白名单"}, {"accounts", {"x1"}}}).first,
            400);
  EXPECT_EQ(
      post("/api/lists/accounts/remove", {{"list", "白名单"}, {"accounts", {"222", "999"}}}).first,
      409);
  EXPECT_EQ(count("select count(1) from 白名单"), 1);
}

TEST_F(PanelListsTest, AnAccountBlacklistedByAKickShowsWhenTheBlacklistIsAsked) {
  start();
  ASSERT_TRUE(core.modules.accountLists.addToList(AccountList::kBlacklist, int64_t{555}));
  EXPECT_EQ(lifecycle.lists().blacklist.rowCount(), 0u);  // the view is not told
  const auto [st, answer] = get("/api/lists/accounts?list=黑名单");
  ASSERT_EQ(st, 200);
  EXPECT_EQ(Column(answer, 1), (Strings{"555"}));
  EXPECT_EQ(answer["hint"], "黑名单成员禁止进群");
}

TEST_F(PanelListsTest, TheInviteQueryShowsOneInviterOrAllAndKeepsItsBox) {
  start();
  InviteStats& invites = core.modules.invites;
  invites.recordInvitation(101, 9001, 5001);
  invites.recordInvitation(101, 9002, 5001);
  invites.recordInvitation(102, 9003, 5002);
  invites.recordDeparture(101, 9002);

  auto [st, answer] = post("/api/lists/invites", {{"filter", ""}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(answer["columns"],
            (Strings{"序号", "QQ号", "昵称", "现存个数", "邀请个数", "退出个数"}));
  ASSERT_EQ(answer["rows"].size(), 2u);
  EXPECT_EQ(answer["rows"][0]["cells"], (Strings{"1", "5001", "", "1", "2", "1"}));
  EXPECT_EQ(answer["rows"][1]["cells"], (Strings{"2", "5002", "", "1", "1", "0"}));

  std::tie(st, answer) = post("/api/lists/invites", {{"filter", " 5002 "}});
  ASSERT_EQ(st, 200);
  EXPECT_EQ(Column(answer, 1), (Strings{"5002"}));
  EXPECT_EQ(setting("编辑框_邀请查询QQ"), "5002");

  std::tie(st, answer) = post("/api/lists/invites", {{"filter", "50'02"}});
  EXPECT_EQ(st, 400);
  EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("留空就是显示全部"));
  EXPECT_EQ(post("/api/lists/invites", {{"filter", 5002}}).first, 400);
  // The refused query changed neither the list nor the box.
  EXPECT_EQ(Column(get("/api/lists/invites").second, 1), (Strings{"5002"}));
  EXPECT_EQ(get("/api/lists/invites").second["filter"], "5002");
}

TEST_F(PanelListsTest, TheWelcomeOfTickedGroupsIsWrittenToTheirFilesAndTheList) {
  start();
  auto [st, answer] =
      post("/api/lists/welcome", {{"groups", {"102", "103"}}, {"text", "欢迎[昵称]\n来到本群"}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(answer["columns"], (Strings{"序号", "群号", "群名称", "欢迎语"}));
  EXPECT_EQ(Column(answer, 3), (Strings{"", "欢迎[昵称]\r\n来到本群", "欢迎[昵称]\r\n来到本群"}));
  EXPECT_EQ(core.modules.store.welcomeText("102"), "欢迎[昵称]\r\n来到本群");
  EXPECT_EQ(core.modules.store.welcomeText("103"), "欢迎[昵称]\r\n来到本群");
  EXPECT_FALSE(FileExists(data + "101"));
  EXPECT_TRUE(logged("操作|设置群欢迎语"));
  EXPECT_EQ(setting("编辑框_欢迎语"), "欢迎[昵称]><br><来到本群");

  // Refused: nothing ticked, a group that is not managed, a text that is no text.
  EXPECT_EQ(post("/api/lists/welcome", {{"groups", Json::array()}, {"text", "x"}}).first, 400);
  EXPECT_EQ(post("/api/lists/welcome", {{"groups", {"101", "104"}}, {"text", "x"}}).first, 409);
  std::tie(st, answer) = post("/api/lists/welcome", {{"groups", {"101"}}, {"text", 5}});
  EXPECT_EQ(st, 400);
  EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("欢迎语"));
  EXPECT_THAT(answer["error"].get<std::string>(), Not(HasSubstr("编辑框_")));
  EXPECT_FALSE(FileExists(data + "101"));
  EXPECT_EQ(core.modules.store.welcomeText("102"), "欢迎[昵称]\r\n来到本群");

  // An empty text returns the group to the default welcome.
  ASSERT_EQ(post("/api/lists/welcome", {{"groups", {"103"}}, {"text", ""}}).first, 200);
  EXPECT_EQ(core.modules.store.welcomeText("103"), "");
  EXPECT_EQ(core.modules.store.welcomeText("102"), "欢迎[昵称]\r\n来到本群");
}

TEST_F(PanelListsTest, ALimitBelowFiveHundredNeedsTheOwnersYesAndANoChangesNothing) {
  start();
  auto [st, answer] = post("/api/lists/limits", {{"groups", {"101", "103"}}, {"limit", "800"}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(Column(answer, 1), (Strings{"101", "102", "103"}));
  EXPECT_EQ(Column(answer, 4), (Strings{"800", "", "800"}));
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "101", ""), "800");
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "102", "<none>"), "<none>");
  EXPECT_EQ(setting("编辑框_限制人数"), "800");

  // 400 without the yes: the question, and nothing changes.
  std::tie(st, answer) = post("/api/lists/limits", {{"groups", {"101"}}, {"limit", "400"}});
  EXPECT_EQ(st, 409);
  EXPECT_EQ(answer["question"], "你限制的人数过少确定设置么?");
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "101", ""), "800");
  EXPECT_EQ(lifecycle.lists().limits.cell(0, limitcol::kLimit), "800");
  EXPECT_EQ(setting("编辑框_限制人数"), "800");

  std::tie(st, answer) =
      post("/api/lists/limits", {{"groups", {"101"}}, {"limit", 400}, {"confirmed", true}});
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "101", ""), "400");
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "103", ""), "800");
  EXPECT_EQ(Column(answer, 4), (Strings{"400", "", "800"}));

  // Bad limits and bad rows are refused with the caption the owner sees.
  for (const Json& bad : {Json{{"groups", {"101"}}, {"limit", "abc"}, {"confirmed", true}},
                          Json{{"groups", {"101"}}, {"limit", "0"}, {"confirmed", true}},
                          Json{{"groups", Json::array()}, {"limit", "900"}},
                          Json{{"groups", {"101"}}, {"limit", Json::object()}}}) {
    std::tie(st, answer) = post("/api/lists/limits", bad);
    EXPECT_EQ(st, 400) << bad.dump();
    EXPECT_THAT(answer["error"].get<std::string>(), Not(HasSubstr("编辑框_")));
  }
  EXPECT_EQ(post("/api/lists/limits", {{"groups", {"104"}}, {"limit", "900"}}).first, 409);
  // Only a yes of true counts as one.
  EXPECT_EQ(post("/api/lists/limits", {{"groups", {"101"}}, {"limit", "300"}, {"confirmed", "yes"}})
                .first,
            409);
  EXPECT_EQ(get("/api/lists/accounts?list=%FF").first, 404);
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "101", ""), "400");
  EXPECT_EQ(ReadProfileString(data + "人数限制.ini", "人数", "104", "<none>"), "<none>");
}

TEST_F(PanelListsTest, WithoutALinkedAccountTheRefreshButtonsRefuseAndTheListStays) {
  start();
  const auto before = lifecycle.lists().groups.rows();
  auto [st, answer] = post("/api/groups/refresh", Json::object());
  EXPECT_EQ(st, 409);
  EXPECT_THAT(answer["error"].get<std::string>(), HasSubstr("没有连接账号"));
  EXPECT_EQ(post("/api/groups/refresh-members", Json::object()).first, 409);
  EXPECT_EQ(lifecycle.lists().groups.rows(), before);
  EXPECT_EQ(lifecycle.managedGroups().size(), 3u);

  // Linked, but the account's groups cannot be fetched: the list stays too.
  status.set(ConnectionStatus::State::kConnected);
  std::tie(st, answer) = post("/api/groups/refresh", Json::object());
  EXPECT_EQ(st, 502);
  EXPECT_EQ(answer["error"], "获取群列表失败, 群列表保持不变");
  EXPECT_EQ(lifecycle.lists().groups.rows(), before);
  EXPECT_EQ(lifecycle.managedGroups().size(), 3u);
}

TEST_F(PanelListsTest, LinkedTheGroupListIsRefilledAndTickedGroupsGetTheirMembers) {
  qq.groups = {
      {"101", "甲群", "1", "群主"}, {"105", "戊群", "2", "成员"}, {"106", "己群", "3", "管理员"}};
  start();
  status.set(ConnectionStatus::State::kConnected);
  auto [st, answer] = post("/api/groups/refresh", Json::object());
  ASSERT_EQ(st, 200) << answer.dump();
  EXPECT_EQ(answer["groups"], 2);
  ASSERT_EQ(lifecycle.lists().groups.rowCount(), 2u);
  EXPECT_EQ(lifecycle.lists().groups.cell(1, groupcol::kGroup), "106");
  EXPECT_EQ(lifecycle.managedGroups().size(), 1u);  // 101 stays ticked (群设置.ini)
  EXPECT_THAT(test::ReadAll(data + "群列表.txt"), HasSubstr("{0}2----106----己群----管理员"));
  EXPECT_TRUE(logged("操作|共获取到有权限管理的群2个"));

  GroupMember m;
  m.group = 101;
  m.account = 7001;
  m.nickname = "甲";
  m.permission = 2;
  host.setMemberList(101, {m});
  std::tie(st, answer) = post("/api/groups/refresh-members", Json::object());
  ASSERT_EQ(st, 200) << answer.dump();
  for (int i = 0; i < 200 && get("/api/groups/refresh-members").second["running"] == true; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(get("/api/groups/refresh-members").second["running"], false);
  EXPECT_EQ(lifecycle.lists().groups.cell(0, groupcol::kStatus), "初始化成功");
  EXPECT_EQ(count("select count(1) from 群成员 where 群号='101'"), 1);
  EXPECT_TRUE(core.modules.accountLists.isAdministrator(int64_t{7001}));
  EXPECT_TRUE(logged("获取|全部勾选群 群成员 获取完毕!"));
}

}  // namespace
}  // namespace bw::ui
