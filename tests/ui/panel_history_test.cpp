// 消息记录 and 试一试历史 over loopback: the owner opts a group in, messages
// fed through the core are kept, rules are tried on them, and the refusals
// say in plain Chinese what to change. The robot's files, database and host
// stay as they were through a try.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "settings/option_names.h"
#include "storage/ini_file.h"
#include "support/temp_dir.h"
#include "ui/panel_fixture.h"

namespace bw::ui {
namespace {

using namespace std::chrono_literals;

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

  // Opting out keeps nothing more; the next pass deletes what was kept.
  std::tie(code, answer) = post("/api/history/groups", {{"group", "101"}, {"days", 0}});
  ASSERT_EQ(code, 200);
  say(101, 20001, "after opting out");
  EXPECT_EQ(row("101")["kept"], 2);
  clock.advance(61min);
  say(102, 20003, "a message of another group brings the pass");
  EXPECT_EQ(row("101")["kept"], 0);
  EXPECT_EQ(row("102")["kept"], 2);
}

}  // namespace
}  // namespace bw::ui
