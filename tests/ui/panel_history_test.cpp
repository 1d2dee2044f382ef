// 消息记录 and 试一试历史 over loopback: the owner opts a group in, messages
// fed through the core are kept, rules are tried on them, and the refusals
// say in plain Chinese what to change. The robot's files, database and host
// stay as they were through a try.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "automod/rule.h"
#include "settings/option_names.h"
#include "storage/account_list_table.h"
#include "storage/ini_file.h"
#include "support/temp_dir.h"
#include "ui/panel_fixture.h"

namespace bw::ui {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;

// Every file below `dir` with its bytes. The database's shared-memory index
// (-shm) is left out: readers take their read marks in it, and it holds no data.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    if (!e.is_regular_file() || e.path().string().ends_with("-shm")) continue;
    out[e.path().string()] = test::ReadAll(e.path().string());
  }
  return out;
}

Json WordsRule(const std::string& id, const std::string& name, const std::string& state,
               const std::string& word) {
  return {{"id", id},
          {"name", name},
          {"state", state},
          {"groups", "all"},
          {"trigger",
           {{"kind", "words"},
            {"words", {{{"text", word}, {"mode", "contains"}}}},
            {"allow", Json::array()}}},
          {"newcomerDays", 0},
          {"actions", {{{"kind", "recall"}}, {{"kind", "points"}, {"count", 1}}}}};
}

class PanelHistoryTest : public PanelFixture {
 protected:
  PanelHistoryTest() { readTimeoutSeconds = 30; }
  // The group's row of GET /api/history.
  Json row(const std::string& group) {
    auto [code, answer] = get("/api/history");
    EXPECT_EQ(code, 200);
    for (const Json& g : answer["groups"])
      if (g["group"] == group) return g;
    return Json();
  }
  void say(int64_t group, int64_t member, const std::string& text) {
    entry.groupMessage({++id, group, member, text, 0});
    lifecycle.waitIdle();
  }
  EventHandlers entry = LifecycleEntryPoints(lifecycle);
  int32_t id = 0;
};

TEST_F(PanelHistoryTest, AGroupOptsInKeepsItsMessagesAndOptsOut) {
  startWithFourGroups();
  EXPECT_EQ(row("101")["days"], 0);  // off until the owner opts in
  say(101, 20001, "not kept yet");
  EXPECT_EQ(row("101")["kept"], 0);

  auto [code, answer] = post("/api/history/groups", {{"group", "101"}, {"days", 7}});
  ASSERT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", opt::kHistoryGroups, ""), "101:7");
  std::tie(code, answer) = post("/api/history/groups", {{"group", 102}, {"days", 30}});
  ASSERT_EQ(code, 200) << answer.dump();
  say(101, 20001, "第一条");
  say(101, 20002, "第二条");
  say(102, 20003, "乙群的");
  say(103, 20004, "丙群没有记录");
  EXPECT_EQ(row("101")["days"], 7);
  EXPECT_EQ(row("101")["kept"], 2);
  EXPECT_EQ(row("102")["kept"], 1);
  EXPECT_EQ(row("103")["kept"], 0);

  // Refused, each with what to change, and nothing stored.
  struct Refusal {
    Json body;
    std::string message;
  };
  const Refusal refusals[] = {
      {{{"group", "101"}, {"days", 31}}, "保留天数必须是 0 到 30 之间的整数 (0 表示不记录)"},
      {{{"group", "101"}, {"days", "7"}}, "保留天数必须是 0 到 30 之间的整数 (0 表示不记录)"},
      {{{"group", "104"}, {"days", 7}}, "群 104 没有勾选监控: 机器人收不到它的消息, 无法记录"},
      {{{"group", "abc"}, {"days", 7}}, "群号 应为数字 (群列表中的群号)"},
  };
  for (const Refusal& r : refusals) {
    std::tie(code, answer) = post("/api/history/groups", r.body);
    EXPECT_EQ(code, 400) << r.body.dump();
    EXPECT_EQ(answer.value("error", ""), r.message);
  }
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", opt::kHistoryGroups, ""),
            "101:7+102:30");

  // Fewer days delete what is older at once; opting out deletes everything
  // the group kept and keeps nothing more.
  clock.advance(std::chrono::hours(24 * 3));
  say(102, 20003, "三天后");
  cookie = login();  // the session did not outlive three idle days
  std::tie(code, answer) = post("/api/history/groups", {{"group", "102"}, {"days", 2}});
  ASSERT_EQ(code, 200);
  EXPECT_EQ(row("102")["kept"], 1);
  std::tie(code, answer) = post("/api/history/groups", {{"group", "101"}, {"days", 0}});
  ASSERT_EQ(code, 200);
  EXPECT_EQ(row("101")["kept"], 0);
  say(101, 20001, "after opting out");
  EXPECT_EQ(row("101")["kept"], 0);
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", opt::kHistoryGroups, ""), "102:2");
}

TEST_F(PanelHistoryTest, RulesTriedOnTheKeptMessagesCountTheirCasesAndChangeNothing) {
  startWithFourGroups();
  ASSERT_EQ(post("/api/history/groups", {{"group", "101"}, {"days", 7}}).first, 200);
  ASSERT_TRUE(core.modules.accountLists.addToList(AccountList::kAdministrators, 20009));
  core.modules.accountLists.loadAdministrators();  // the rules read the list as loaded
  say(101, 20001, "大家好");
  say(101, 20002, "加我微信 领福利");
  say(101, 20003, "今天天气不错");
  say(101, 20002, "加 我 微 信");
  say(101, 20009, "管理员说: 别加我微信");  // an administrator is never a target
  say(101, 20004, "加我微信，便宜");
  say(101, 20001, "天气预报说明天下雨");
  say(102, 20002, "加我微信 (not kept: 102 did not opt in)");
  // The current rules: one that acts and one that only watches; set after the
  // messages, so that the live robot did nothing to them.
  std::vector<automod::Problem> problems;
  const automod::RuleSet set = automod::FromJson(
      {{"rules",
        {WordsRule("ad", "广告词", "on", "加我微信"), WordsRule("w", "天气", "watch", "天气")}},
       {"ladder", {{"days", 30}, {"steps", Json::array()}}}},
      problems);
  ASSERT_TRUE(problems.empty()) << problems[0].text();
  ASSERT_TRUE(core.modules.automod.setRules(set).empty());
  lifecycle.waitIdle();
  host.clear();
  const auto before = Snapshot(runDirectory);

  auto [code, answer] =
      post("/api/history/try", {{"group", "101"}, {"from", "2026-12-07"}, {"to", "2026-12-07"}});
  ASSERT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(answer["messages"], 7);
  EXPECT_EQ(answer["cases"], 5);
  EXPECT_EQ(answer["perRule"],
            Json::parse(R"([{"rule":"天气","cases":2},{"rule":"广告词","cases":3}])"));
  EXPECT_EQ(answer["perMember"][0], Json::parse(R"({"member":"20002","cases":2})"));
  ASSERT_EQ(answer["listed"].size(), 5u);
  const Json& second = answer["listed"][2];  // 20002 again: the points add up
  EXPECT_EQ(second["member"], "20002");
  EXPECT_EQ(second["rule"], "广告词");
  EXPECT_EQ(second["evidence"], "加 我 微 信");
  EXPECT_EQ(second["actions"], "撤回, 警告点+1 (共 2)");
  EXPECT_EQ(answer["listed"][1]["watch"], true);
  EXPECT_EQ(answer["listed"][1]["rule"], "天气");
  EXPECT_EQ(answer["listed"][1]["member"], "20003");

  // A rule being edited, alone and off: tried as if on; the others stay out.
  std::tie(code, answer) =
      post("/api/history/try", {{"group", 101},
                                {"from", "2026-12-01"},
                                {"to", "2026-12-08"},
                                {"rule", WordsRule("new", "打招呼", "off", "大家好")}});
  ASSERT_EQ(code, 200) << answer.dump();
  EXPECT_EQ(answer["cases"], 1);
  EXPECT_EQ(answer["perRule"], Json::parse(R"([{"rule":"打招呼","cases":1}])"));
  // Another day has nothing kept.
  std::tie(code, answer) =
      post("/api/history/try", {{"group", "101"}, {"from", "2026-12-08"}, {"to", "2026-12-08"}});
  ASSERT_EQ(code, 200);
  EXPECT_EQ(answer["messages"], 0);

  // Refused, each saying what to change.
  struct Refusal {
    Json body;
    std::string message;
  };
  const Json ok = {{"group", "101"}, {"from", "2026-12-01"}, {"to", "2026-12-07"}};
  auto with = [&](const char* key, const Json& value) {
    Json b = ok;
    b[key] = value;
    return b;
  };
  const Refusal refusals[] = {
      {with("from", "2026-11-07"), "日期范围最多 30 天, 请缩短范围"},
      {with("to", "2026-11-30"), "结束日期 不能早于 开始日期"},
      {with("from", "2026-02-30"), "开始日期 应为 年-月-日"},
      {with("to", "12/07"), "结束日期 应为 年-月-日"},
      {with("group", "104"), "群 104 没有勾选监控, 不能试"},
      {with("group", "x"), "群号 应为数字 (群列表中的群号)"},
  };
  for (const Refusal& r : refusals) {
    std::tie(code, answer) = post("/api/history/try", r.body);
    EXPECT_EQ(code, 400) << r.body.dump();
    EXPECT_EQ(answer.value("error", ""), r.message);
  }
  Json empty = WordsRule("bad", "空规则", "on", "x");
  empty["trigger"]["words"] = Json::array();
  std::tie(code, answer) = post("/api/history/try", with("rule", empty));
  EXPECT_EQ(code, 400);
  const std::string error = answer.value("error", "");
  EXPECT_THAT(error, ::testing::StartsWith("规则有误, 请先改正: 规则「空规则」"));
  EXPECT_EQ(error.find(';'), std::string::npos) << "one problem, said once: " << error;

  // No host call, and the files and the database byte for byte as they were.
  EXPECT_TRUE(host.actions().empty());
  EXPECT_EQ(Snapshot(runDirectory), before);
}

}  // namespace
}  // namespace bw::ui
