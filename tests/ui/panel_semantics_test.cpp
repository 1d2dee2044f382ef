// What the panel's changes mean, over loopback: radio groups that switch back
// and forth as one group (page, model, file, the next violator), list actions
// from a page whose list is stale, an emptied box that takes its default at
// once, refusals in the window's words, and fields of the wrong type.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <vector>

#include "settings/list_model.h"
#include "settings/option_names.h"
#include "storage/ini_file.h"
#include "ui/panel_fixture.h"
#include "util/files.h"

namespace bw::ui {
namespace {

using ::testing::HasSubstr;
using Json = nlohmann::json;

class PanelSemanticsTest : public PanelFixture {
 protected:
  PanelSemanticsTest() { readTimeoutSeconds = 20; }
  ~PanelSemanticsTest() override {
    panel.reset();
    core.modules.memberRefresh.stop();
  }

  // The four groups of startWithFourGroups(), the ad check on.
  void start() {
    ASSERT_TRUE(WriteProfileString(data + "setsoft.ini", "选择框", opt::kAdDetectionOn, "真"));
    startWithFourGroups();
  }
  std::pair<int, Json> change(const Json& changes) {
    return post("/api/settings", {{"changes", changes}});
  }
  // The host calls 试一试 answers for a violator's message in group 101.
  std::vector<std::string> violatorCalls(const std::string& text = "加我微信") {
    auto [code, answer] =
        post("/api/sandbox",
             {{"kind", "message"}, {"group", "101"}, {"account", "20001"}, {"text", text}});
    EXPECT_EQ(code, 200) << answer.dump();
    std::vector<std::string> out;
    for (const Json& c : answer["calls"]) out.push_back(c.value("action", ""));
    return out;
  }
  // The radio boxes stored 真 in setsoft.ini, by group.
  std::map<std::string, std::vector<std::string>> storedRadios() {
    std::map<std::string, std::vector<std::string>> out;
    for (const ControlSpec& c : Settings::Controls()) {
      if (c.kind != ControlKind::kRadio) continue;
      auto& selected = out[c.radioGroup];
      if (ReadProfileString(data + "setsoft.ini", "单选框", c.name, "") == "真")
        selected.push_back(c.name);
    }
    return out;
  }
  std::set<int64_t> managed() {
    const auto m = lifecycle.managedGroups().snapshot();
    return std::set<int64_t>(m.begin(), m.end());
  }
};

TEST_F(PanelSemanticsTest, RadioBoxesSwitchBackAndForthAsOneGroupInPageModelFileAndRules) {
  start();
  // The page tells the browser which radio boxes form one group: the
  // group of the option table, shared by every box of it and by no other.
  std::map<std::string, std::string> pageGroups;
  for (const char* name : {"广告检测", "进群欢迎", "更多功能"}) {
    auto [code, page] = get(std::string("/api/page?name=") + name);
    ASSERT_EQ(code, 200);
    std::vector<Json> parts;
    for (const char* section : {"groups", "tabs"})
      for (const Json& g : page[section])
        for (const Json& r : g["rows"])
          if (r.contains("parts"))
            for (const Json& p : r["parts"]) parts.push_back(p);
    for (const Json& p : parts)
      if (p.value("kind", "") == "radio") pageGroups[p["name"]] = p.value("group", "");
  }
  ASSERT_EQ(pageGroups.size(), 8u);  // 处罚方式 2, 欢迎方式 3, 踢出条件 3
  for (const auto& [name, group] : pageGroups)
    EXPECT_EQ(group, Settings::Find(name)->radioGroup) << name;

  struct Step {
    const char* radio;
    std::vector<std::string> violator;  // what the next violator gets
  };
  const std::vector<Step> steps = {
      {opt::kPenaltyMute, {"set_group_ban"}},
      {opt::kPenaltyKick, {"set_group_kick"}},
      {opt::kPenaltyMute, {"set_group_ban"}},
      {opt::kWelcomePrivateOnly, {}},
      {opt::kWelcomeBoth, {}},
      {opt::kWelcomeGroupOnly, {}},
      {opt::kLimitKickLongestSilent, {}},
      {opt::kLimitKickEarliestJoined, {}},
      {opt::kPenaltyKick, {"set_group_kick"}},
  };
  for (const Step& step : steps) {
    auto [code, answer] = change({{step.radio, true}});
    ASSERT_EQ(code, 200) << answer.dump();
    const std::string& group = Settings::Find(step.radio)->radioGroup;
    // Exactly one box of every group stored 真: the one just selected in its group.
    for (const auto& [g, selected] : storedRadios()) {
      ASSERT_EQ(selected.size(), 1u) << g << " after " << step.radio;
      if (g == group) EXPECT_EQ(selected[0], step.radio);
      EXPECT_TRUE(lifecycle.settings().checked(selected[0])) << selected[0];
    }
    if (!step.violator.empty()) EXPECT_EQ(violatorCalls(), step.violator) << step.radio;
  }
}

TEST_F(PanelSemanticsTest, ATickFromAPageWhoseGroupListIsStaleIsRefusedAndTheRightKeyIsTaken) {
  // A refresh in another page puts a new group first: every row moves down one.
  qq.groups = {{"100", "新群", "0", "管理员"},
               {"101", "甲群", "1", "群主"},
               {"102", "乙群", "2", "管理员"},
               {"103", "丙群", "3", "管理员"},
               {"104", "丁群", "4", "管理员"}};
  start();
  const Json stale = get("/api/groups").second;  // the first page's list
  ASSERT_EQ(stale["rows"][1]["cells"][1], "102");
  status.set(ConnectionStatus::State::kConnected);
  ASSERT_EQ(post("/api/groups/refresh", Json::object()).first, 200);
  ASSERT_EQ(lifecycle.lists().groups.cell(0, groupcol::kGroup), "100");
  const std::set<int64_t> before = managed();
  ASSERT_EQ(before, (std::set<int64_t>{101, 102, 103}));

  // The first page unticks 102 where it saw it: refused, nothing changes.
  const Json refusedBodies[] = {
      {{"group", "102"}, {"row", 1}, {"checked", false}},  // moved
      {{"group", "105"}, {"checked", true}},               // gone
      {{"all", true}, {"groups", {"101", "102", "103", "104"}}},
  };
  for (const Json& body : refusedBodies) {
    auto [code, answer] = post("/api/groups/tick", body);
    EXPECT_EQ(code, 409) << body.dump();
    EXPECT_THAT(answer.value("error", ""), HasSubstr("列表已经变了")) << body.dump();
  }
  // A row number alone no longer names a group.
  EXPECT_EQ(post("/api/groups/tick", {{"row", 1}, {"checked", false}}).first, 400);
  EXPECT_EQ(managed(), before);
  EXPECT_EQ(ReadProfileString(data + "群设置.ini", "开关", "101", ""), "1");

  // Named by its number where the list has it now, it is taken.
  auto [code, answer] =
      post("/api/groups/tick", {{"group", "102"}, {"row", 2}, {"checked", false}});
  ASSERT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(managed(), (std::set<int64_t>{101, 103}));
  EXPECT_EQ(ReadProfileString(data + "群设置.ini", "开关", "102", ""), "0");
  std::tie(code, answer) = post("/api/groups/tick", {{"group", "100"}, {"checked", true}});
  ASSERT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(managed(), (std::set<int64_t>{100, 101, 103}));
}

TEST_F(PanelSemanticsTest, ListActionsOnRowsChangedByAnotherPageAreRefusedAsAStaleList) {
  start();
  // Two tasks at the same time: the time alone does not tell them apart.
  for (const char* content : {"早安", "晚安"})
    ASSERT_EQ(post("/api/more/tasks",
                   {{"time", "08:00:00"}, {"action", "发送信息"}, {"content", content}})
                  .first,
              200);
  // Another page deletes 天气 → 晴 and adds 天气 → 雨: the row holds the same
  // keyword, but not the reply the first page showed.
  ASSERT_EQ(post("/api/more/keywords", {{"keyword", "天气"}, {"reply", "晴"}}).first, 200);
  const Json sunny = {{"row", 0}, {"key", {"天气", "晴", "模糊"}}};
  ASSERT_EQ(post("/api/more/keywords/delete", {{"rows", {sunny}}}).first, 200);
  ASSERT_EQ(post("/api/more/keywords", {{"keyword", "天气"}, {"reply", "雨"}}).first, 200);
  const Json morning = {{"row", 0}, {"key", {"08:00:00", "发送信息", "早安"}}};
  const Json evening = {{"row", 1}, {"key", {"08:00:00", "发送信息", "晚安"}}};
  // Another page deletes 早安: 晚安 moves up to row 0.
  ASSERT_EQ(post("/api/more/tasks/delete", {{"rows", {morning}}}).first, 200);
  ASSERT_EQ(lifecycle.lists().tasks.rowCount(), 1u);
  ASSERT_EQ(lifecycle.lists().tasks.cell(0, taskcol::kContent), "晚安");

  struct Case {
    const char* path;
    Json body;
  };
  const std::vector<Case> cases = {
      {"/api/more/tasks/tick", {{"rows", {morning}}, {"checked", true}}},
      {"/api/more/tasks/tick", {{"rows", {evening}}, {"checked", true}}},
      {"/api/more/tasks/delete", {{"rows", {morning}}}},
      {"/api/more/keywords/delete", {{"rows", {sunny}}}},
      {"/api/more/keywords/clear", {{"rows", {{{"row", 1}, {"key", {"天气", "雨", "模糊"}}}}}}},
      {"/api/lists/accounts/remove", {{"list", "黑名单"}, {"accounts", {"30001"}}}},
      {"/api/lists/welcome", {{"groups", {"104"}}, {"text", "欢迎"}}},
      {"/api/lists/limits", {{"groups", {"104"}}, {"limit", "900"}}},
  };
  for (const Case& c : cases) {
    auto [code, answer] = post(c.path, c.body);
    EXPECT_EQ(code, 409) << c.path << " " << c.body.dump();
    EXPECT_THAT(answer.value("error", ""), HasSubstr("列表已经变了")) << c.path;
  }
  EXPECT_EQ(lifecycle.lists().tasks.rowCount(), 1u);
  EXPECT_FALSE(lifecycle.lists().tasks.checked(0));
  EXPECT_EQ(lifecycle.lists().keywords.rowCount(), 1u);

  // Named as the list has it now, the row is ticked and deleted.
  const Json now = {{"row", 0}, {"key", {"08:00:00", "发送信息", "晚安"}}};
  ASSERT_EQ(post("/api/more/tasks/tick", {{"rows", {now}}, {"checked", true}}).first, 200);
  EXPECT_TRUE(lifecycle.lists().tasks.checked(0));
  ASSERT_EQ(post("/api/more/tasks/delete", {{"rows", {now}}}).first, 200);
  EXPECT_EQ(lifecycle.lists().tasks.rowCount(), 0u);
}

TEST_F(PanelSemanticsTest, AnEmptiedBoxWithADefaultTakesItAtOnceAsARestartWould) {
  start();
  const std::string words = Settings::Find(opt::kBannedWords)->defaultText;
  ASSERT_EQ(change({{opt::kBannedWords, "代刷"}}).first, 200);
  EXPECT_TRUE(violatorCalls("加我微信").empty());
  EXPECT_EQ(violatorCalls("代刷便宜"), std::vector<std::string>{"set_group_kick"});

  auto [code, answer] = change({{opt::kBannedWords, ""}, {opt::kWarningText, ""}});
  ASSERT_EQ(code, 200) << answer.dump();
  ASSERT_EQ(answer["restored"].size(), 2u);
  std::map<std::string, Json> restored;
  for (const Json& r : answer["restored"]) restored[r["name"]] = r;
  EXPECT_EQ(restored[opt::kBannedWords]["value"], words);
  EXPECT_THAT(restored[opt::kBannedWords].value("message", ""), HasSubstr("已恢复默认值"));
  EXPECT_THAT(restored[opt::kBannedWords].value("message", ""), HasSubstr("踢人关键词"));
  EXPECT_EQ(lifecycle.settings().text(opt::kBannedWords), words);
  EXPECT_EQ(lifecycle.settings().text(opt::kWarningText),
            Settings::Find(opt::kWarningText)->defaultText);
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", opt::kBannedWords, ""), words);
  // The running robot acts on the default words at once.
  EXPECT_EQ(violatorCalls("加我微信"), std::vector<std::string>{"set_group_kick"});
  // A box without a default stays empty, and says nothing.
  std::tie(code, answer) = change({{opt::kAddBlacklist, ""}});
  ASSERT_EQ(code, 200);
  EXPECT_TRUE(answer["restored"].empty());

  // The page says beside the box that its switch turns the rule off.
  auto [pageCode, page] = get("/api/page?name=广告检测");
  ASSERT_EQ(pageCode, 200);
  EXPECT_THAT(page.dump(), HasSubstr("不想用它请取消勾选「关键词踢人/禁言」"));

  // A restart on the same files reads the same values.
  panel.reset();
  core.modules.memberRefresh.stop();
  RecordingHost host2;
  Lifecycle restarted(host2, clock, qq, runDirectory, QueueMode::kSynchronous);
  RobotCore core2(restarted, coreOptions());
  restarted.setHooks(core2.hooks());
  restarted.Initialize(1);
  restarted._eventStartup();
  restarted._eventEnable();
  ASSERT_TRUE(core2.startedUp());
  EXPECT_EQ(restarted.settings().text(opt::kBannedWords), words);
  EXPECT_EQ(restarted.settings().text(opt::kWarningText),
            lifecycle.settings().text(opt::kWarningText));
  EXPECT_EQ(restarted.settings().text(opt::kAddBlacklist), "");
  core2.modules.memberRefresh.stop();
}

TEST_F(PanelSemanticsTest, RefusalsNameEveryControlAsTheWindowDoes) {
  start();
  struct Case {
    Json changes;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{{opt::kMuteMinutes, "0"}}, "禁言时间必须是 1 到 43200 之间的整数"},
      {{{opt::kImageMaxWidth, "宽"}}, "图片宽度必须是 1 到 100000 之间的整数"},
      {{{opt::kTaskInterval, "99999"}}, "执行间隔必须是 1 到 86400 之间的整数"},
      {{{opt::kAdDetectionOn, "yes"}}, "开启广告检测只能是开或关"},
      {{{opt::kPenaltyMute, false}}, "禁言只能被选中"},
      {{{opt::kWarningText, 3}}, "警告语需要文字"},
      {{{opt::kBannedWords, std::string(10240, 'a')}}, "踢人关键词的文字太长 (最多 10239 字节)"},
  };
  for (const Case& c : cases) {
    auto [code, answer] = change(c.changes);
    EXPECT_EQ(code, 400) << c.changes.dump();
    EXPECT_EQ(answer.value("error", ""), c.message);
  }
  // Every control: a value of the wrong kind is refused with its label, and
  // without its internal name.
  for (const ControlSpec& c : Settings::Controls()) {
    const Json wrong = c.kind == ControlKind::kCheck || c.kind == ControlKind::kRadio
                           ? Json("真")
                           : Json(Json::array());
    auto [code, answer] = change({{c.name, wrong}});
    EXPECT_EQ(code, 400) << c.name;
    const std::string error = answer.value("error", "");
    EXPECT_TRUE(error.starts_with(c.label)) << c.name << ": " << error;
    EXPECT_EQ(error.find(c.name), std::string::npos) << error;
  }
  // The list pages' boxes speak the same way.
  auto [code, answer] = post("/api/lists/limits", {{"groups", {"101"}}, {"limit", "0"}});
  EXPECT_EQ(code, 400);
  EXPECT_EQ(answer.value("error", ""), "限制人数必须是 1 到 100000 之间的整数");
}

TEST_F(PanelSemanticsTest, AFieldOfTheWrongTypeIsABadRequestNotAServerError) {
  start();
  status.set(ConnectionStatus::State::kConnected);  // 立即执行 reads its fields
  const std::string stored = test::ReadAll(data + "setsoft.ini");
  struct Case {
    const char* path;
    Json body;
  };
  const std::vector<Case> cases = {
      {"/api/sandbox", {{"kind", 1}, {"group", "101"}, {"account", "20001"}, {"text", "x"}}},
      {"/api/more/keywords", {{"keyword", "天气"}, {"reply", "晴"}, {"mode", 1}}},
      {"/api/more/tasks", {{"time", "08:00:00"}, {"action", 2}, {"content", "x"}}},
      {"/api/more/tasks", {{"time", 800}, {"action", "发送信息"}, {"content", "x"}}},
      {"/api/more/tasks/run", {{"action", Json::array()}, {"content", "x"}}},
      {"/api/more/statistics", {{"day", 20261207}}},
      {"/api/more/statistics", {{"view", true}}},
      {"/api/more/tasks/tick", {{"rows", {{{"row", 0}, {"key", 8}}}}, {"checked", true}}},
      {"/api/groups/tick", {{"group", 101}, {"checked", true}}},
      {"/api/lists/welcome", {{"groups", {"101"}}, {"text", {{"a", 1}}}}},
  };
  for (const Case& c : cases) {
    auto [code, answer] = post(c.path, c.body);
    EXPECT_EQ(code, 400) << c.path << " " << c.body.dump();
    EXPECT_FALSE(answer.value("error", "").empty()) << c.path;
  }
  EXPECT_EQ(test::ReadAll(data + "setsoft.ini"), stored);
  EXPECT_EQ(lifecycle.lists().tasks.rowCount(), 0u);
  EXPECT_EQ(lifecycle.lists().keywords.rowCount(), 0u);
}

}  // namespace
}  // namespace bw::ui
