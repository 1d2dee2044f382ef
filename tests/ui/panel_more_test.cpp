// The 更多功能 routes of the panel over loopback: keywords added, deleted and
// cleared (the list, 回复关键词.txt, the matcher), timed tasks added, ticked,
// deleted and run at once (the list, 任务列表.txt, the run log, the host calls),
// the statistics views and the chart from the group log — and the refusals.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <nlohmann/json.hpp>

#include "settings/option_names.h"
#include "ui/panel_fixture.h"
#include "ui/panel_more_statistics.h"
#include "util/files.h"

namespace bw::ui {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::json;

class PanelMoreTest : public PanelFixture {
 protected:
  PanelMoreTest() {
    EnsureDirectory(data + "群数据/");
    // Three listed groups, two of them ticked (managed).
    WriteFileAtomic(data + "群列表.txt",
                    "{1}1----101----甲群----群主\r\n{1}2----102----乙群----管理员\r\n"
                    "{0}3----103----丙群----管理员\r\n");
  }
  void start() { startLoggedIn(); }
  Settings& settings() { return lifecycle.settings(); }
  ListViews& lists() { return lifecycle.lists(); }
  static Json Keyword(const std::string& k, const std::string& r, const std::string& count = "0",
                      const std::string& mode = "模糊") {
    return {{"keyword", k}, {"reply", r}, {"count", count}, {"mode", mode}};
  }
};

TEST_F(PanelMoreTest, TheMorePageHasItsSixTabsAndTheTaskSwitchActsLikeTheWindow) {
  start();
  auto [code, page] = get("/api/page?name=%E6%9B%B4%E5%A4%9A%E5%8A%9F%E8%83%BD");  // 更多功能
  ASSERT_EQ(code, 200);
  std::vector<std::string> titles;
  for (const Json& t : page["tabs"]) titles.push_back(t["title"]);
  EXPECT_THAT(titles, ElementsAre("更多功能", "定时功能", "进群统计", "进群审核", "人数控制",
                                  "关键词回复"));
  std::vector<std::string> names;
  for (const Json& row : page["tabs"][1]["rows"])
    for (const Json& part : row["parts"])
      if (part.contains("name")) names.push_back(part["name"]);
  EXPECT_THAT(names, ElementsAre(opt::kTasksOn, opt::kTaskInterval));

  // The switch from the page starts nothing without rows, and logs as the window does.
  core.modules.scheduler.useSteppedMode();
  EXPECT_EQ(post("/api/settings", {{"changes", {{opt::kTasksOn, true}}}}).first, 200);
  EXPECT_THAT(runLog(), Contains("操作|开启定时任务"));
  EXPECT_FALSE(core.modules.scheduler.schedulerRunning());
  EXPECT_EQ(post("/api/more/tasks", {{"time", "23:00:00"}, {"action", "全体禁言"}}).first, 200);
  EXPECT_TRUE(core.modules.scheduler.schedulerRunning());
  EXPECT_EQ(post("/api/settings", {{"changes", {{opt::kTasksOn, false}}}}).first, 200);
  EXPECT_FALSE(core.modules.scheduler.schedulerRunning());
  EXPECT_THAT(runLog(), Contains("操作|关闭定时任务"));
}

TEST_F(PanelMoreTest, AKeywordAddedFromThePanelIsListedSavedAndAnswered) {
  start();
  auto [code, body] = post("/api/more/keywords", Keyword("你好", "欢迎光临", "3"));
  ASSERT_EQ(code, 200) << body.dump();
  ASSERT_EQ(body["rows"].size(), 1u);
  EXPECT_EQ(body["rows"][0]["cells"], Json({"1", "你好", "欢迎光临", "模糊", "3", "0"}));
  EXPECT_EQ(body["add"]["keyword"], "");  // the boxes are emptied as the window does
  EXPECT_EQ(test::ReadAll(data + "回复关键词.txt"),
            "{0}1----你好----欢迎光临----模糊----3----0\r\n");

  // The matcher has it at once: a private message is answered and counted.
  settings().setChecked(opt::kKeywordReplyOn, true);
  core.modules.keywordReplies.AnswerKeyword("你好", 0, 20001, ReplySource::kPrivate);
  const auto actions = host.actions();
  ASSERT_EQ(actions.size(), 1u);
  EXPECT_EQ(actions[0].action, "send_private_msg");
  EXPECT_EQ(actions[0].text, "欢迎光临");
  EXPECT_EQ(lists().keywords.cell(0, keywordcol::kReplied), "1");

  // An exact keyword with an empty count means no limit.
  std::tie(code, body) = post("/api/more/keywords", Keyword("帮助", "说明", "", "精准"));
  ASSERT_EQ(code, 200) << body.dump();
  EXPECT_EQ(body["rows"][1]["cells"], Json({"2", "帮助", "说明", "精准", "0", "0"}));
  EXPECT_TRUE(settings().checked(opt::kExactMatch));
}

TEST_F(PanelMoreTest, RefusedKeywordsAddNothingAndLeaveTheAddBoxAsItWas) {
  start();
  ASSERT_EQ(post("/api/more/keywords", Keyword("你好", "欢迎光临")).first, 200);
  const std::string file = test::ReadAll(data + "回复关键词.txt");
  settings().setText(opt::kReplyKeyword, "草稿");
  struct Case {
    Json body;
    std::string message;
  };
  const Case cases[] = {
      {Keyword("", "回复"), "内容不能空"},
      {Keyword("天气", ""), "内容不能空"},
      {Keyword("搜", "查询:{智能变量}", "0", "精准"), "精准模式不支持智能变量"},
      {Keyword("你好", "另一个"), "关键词已经存在请换一个关键词吧!"},
      {Keyword("天气", "晴", "abc"), "回复次数"},
      {Keyword("天气", "晴", "-1"), "回复次数"},
      {Keyword("天----气", "晴"), "----"},
      {Keyword("天气", "晴", "0", "随便"), "匹配模式"},
      {Json{{"keyword", 5}, {"reply", "晴"}}, "关键词"},
  };
  for (const Case& c : cases) {
    auto [code, body] = post("/api/more/keywords", c.body);
    EXPECT_EQ(code, 400) << c.body.dump();
    EXPECT_THAT(body.value("error", ""), HasSubstr(c.message)) << c.body.dump();
    EXPECT_THAT(body.value("error", ""), Not(HasSubstr("编辑框_"))) << c.body.dump();
  }
  EXPECT_EQ(lists().keywords.rowCount(), 1u);
  EXPECT_EQ(core.modules.keywordReplies.entries().size(), 1u);
  EXPECT_EQ(test::ReadAll(data + "回复关键词.txt"), file);
  EXPECT_EQ(settings().text(opt::kReplyKeyword), "草稿");
  EXPECT_TRUE(settings().checked(opt::kFuzzyMatch));

  // Without the CSRF token, or without a session, nothing is even looked at.
  auto noCsrf =
      client().Post("/api/more/keywords", {{"Cookie", cookie.first}, {"Origin", origin()}},
                    Keyword("天气", "晴").dump(), "application/json");
  ASSERT_TRUE(noCsrf);
  EXPECT_EQ(noCsrf->status, 403);
  auto noSession = client().Post("/api/more/keywords", {{"Origin", origin()}},
                                 Keyword("天气", "晴").dump(), "application/json");
  ASSERT_TRUE(noSession);
  EXPECT_EQ(noSession->status, 401);
  auto read = client().Get("/api/more/keywords");
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 401);
  EXPECT_EQ(lists().keywords.rowCount(), 1u);
}

TEST_F(PanelMoreTest, DeletingRenumbersAndClearingZeroesTheCountOfTheChosenRowsOnly) {
  start();
  for (const char* k : {"甲", "乙", "丙"})
    ASSERT_EQ(post("/api/more/keywords", Keyword(k, "回")).first, 200);
  settings().setChecked(opt::kKeywordReplyOn, true);
  for (const char* k : {"甲", "乙", "丙"})
    core.modules.keywordReplies.AnswerKeyword(k, 0, 20001, ReplySource::kPrivate);

  auto [code, body] =
      post("/api/more/keywords/clear", {{"rows", {{{"row", 1}, {"key", {"乙", "回", "模糊"}}}}}});
  ASSERT_EQ(code, 200) << body.dump();
  EXPECT_EQ(lists().keywords.cell(0, keywordcol::kReplied), "1");
  EXPECT_EQ(lists().keywords.cell(1, keywordcol::kReplied), "0");
  EXPECT_EQ(core.modules.keywordReplies.entries()[1].replied, 0);

  std::tie(code, body) =
      post("/api/more/keywords/delete", {{"rows",
                                          {{{"row", 0}, {"key", {"甲", "回", "模糊"}}},
                                           {{"row", 2}, {"key", {"丙", "回", "模糊"}}}}}});
  ASSERT_EQ(code, 200) << body.dump();
  ASSERT_EQ(body["rows"].size(), 1u);
  EXPECT_EQ(body["rows"][0]["cells"], Json({"1", "乙", "回", "模糊", "0", "0"}));
  EXPECT_EQ(test::ReadAll(data + "回复关键词.txt"), "{0}1----乙----回----模糊----0----0\r\n");
  ASSERT_EQ(core.modules.keywordReplies.entries().size(), 1u);
  EXPECT_EQ(core.modules.keywordReplies.entries()[0].keyword, "乙");

  // A row the page no longer sees as it was (another page changed the list) is
  // refused, and so is a request without rows.
  std::tie(code, body) =
      post("/api/more/keywords/delete", {{"rows", {{{"row", 0}, {"key", {"甲", "回", "模糊"}}}}}});
  EXPECT_EQ(code, 409);
  std::tie(code, body) =
      post("/api/more/keywords/delete", {{"rows", {{{"row", 5}, {"key", {"乙", "回", "模糊"}}}}}});
  EXPECT_EQ(code, 409);
  std::tie(code, body) = post("/api/more/keywords/delete", {{"rows", Json::array()}});
  EXPECT_EQ(code, 400);
  std::tie(code, body) = post("/api/more/keywords/clear", {{"rows", {{{"row", "0"}}}}});
  EXPECT_EQ(code, 400);
  EXPECT_EQ(lists().keywords.rowCount(), 1u);
}

TEST_F(PanelMoreTest, ATimedTaskIsAddedTickedAndDeletedWithItsFileAndRunLog) {
  start();
  auto [code, body] =
      post("/api/more/tasks", {{"time", "8:30"}, {"action", "全体禁言"}, {"content", "无用"}});
  ASSERT_EQ(code, 200) << body.dump();
  ASSERT_EQ(body["rows"].size(), 1u);
  // 21:05 now: 08:30 has passed, the loop has not run (the switch is off).
  EXPECT_EQ(body["rows"][0]["cells"], Json({"08:30:00", "全体禁言", "", "等待执行"}));
  EXPECT_FALSE(body["schedulerRunning"].get<bool>());
  EXPECT_EQ(test::ReadAll(data + "任务列表.txt"), "{0}08:30:00----全体禁言--------等待执行\r\n");
  EXPECT_THAT(runLog(), Contains("添加任务|添加任务 08:30:00 全体禁言 "));

  std::tie(code, body) =
      post("/api/more/tasks",
           {{"time", "22:00:00"}, {"action", "发布公告"}, {"content", "本群须知+++请勿刷屏"}});
  ASSERT_EQ(code, 200) << body.dump();
  const Json first = {{"row", 0}, {"key", {"08:30:00", "全体禁言", ""}}};
  std::tie(code, body) = post("/api/more/tasks/tick", {{"rows", {first}}, {"checked", true}});
  ASSERT_EQ(code, 200) << body.dump();
  EXPECT_TRUE(lists().tasks.checked(0));
  EXPECT_THAT(test::ReadAll(data + "任务列表.txt"), HasSubstr("{1}08:30:00----全体禁言"));
  std::tie(code, body) =
      post("/api/more/tasks/tick",
           {{"rows", {{{"row", 1}, {"key", {"08:30:00", "全体禁言", ""}}}}}, {"checked", true}});
  EXPECT_EQ(code, 409);

  std::tie(code, body) = post("/api/more/tasks/delete", {{"rows", {first}}});
  ASSERT_EQ(code, 200) << body.dump();
  ASSERT_EQ(body["rows"].size(), 1u);
  EXPECT_EQ(body["rows"][0]["cells"][2], "本群须知+++请勿刷屏");
  EXPECT_EQ(test::ReadAll(data + "任务列表.txt"),
            "{0}22:00:00----发布公告----本群须知+++请勿刷屏----等待执行\r\n");
  EXPECT_THAT(runLog(), Contains("删除任务|删除了1个任务"));

  // A time never set is the current time, as in the window's date box.
  std::tie(code, body) = post("/api/more/tasks", {{"action", "全体禁言"}});
  ASSERT_EQ(code, 200) << body.dump();
  EXPECT_EQ(body["rows"][1]["cells"][0].get<std::string>().substr(0, 5), "21:05");
}

TEST_F(PanelMoreTest, RefusedTasksAddNothingAndAddingWithTheSwitchOnRestartsTheScheduler) {
  start();
  settings().setText(opt::kTaskContent, "草稿");
  struct Case {
    Json body;
    std::string message;
  };
  const Case cases[] = {
      {{{"time", "08:30:00"}, {"action", "发送信息"}, {"content", ""}}, "请填写发送内容"},
      {{{"time", "08:30:00"}, {"action", "发布作业"}, {"content", ""}}, "请填写发送内容"},
      {{{"time", "25:00:00"}, {"action", "全体禁言"}}, "执行时间"},
      {{{"time", "早上"}, {"action", "全体禁言"}}, "执行时间"},
      {{{"time", "08:30:00"}, {"action", "重启"}}, "执行操作"},
      {{{"time", "08:30:00"}, {"action", "发送信息"}, {"content", "a----b"}}, "----"},
  };
  for (const Case& c : cases) {
    auto [code, body] = post("/api/more/tasks", c.body);
    EXPECT_EQ(code, 400) << c.body.dump();
    EXPECT_THAT(body.value("error", ""), HasSubstr(c.message)) << c.body.dump();
  }
  EXPECT_EQ(lists().tasks.rowCount(), 0u);
  EXPECT_FALSE(FileExists(data + "任务列表.txt") && !test::ReadAll(data + "任务列表.txt").empty());
  EXPECT_EQ(settings().text(opt::kTaskContent), "草稿");
  EXPECT_TRUE(settings().checked(opt::kTaskSendMessage));

  // The loop without a thread of its own: this clock jumps over every sleep.
  core.modules.scheduler.useSteppedMode();
  settings().setChecked(opt::kTasksOn, true);  // no rows: the scheduler stays stopped
  EXPECT_FALSE(core.modules.scheduler.schedulerRunning());
  auto [code, body] = post("/api/more/tasks", {{"time", "23:00:00"}, {"action", "解除禁言"}});
  ASSERT_EQ(code, 200) << body.dump();
  EXPECT_TRUE(body["schedulerRunning"].get<bool>());
  const Json row = {{"row", 0}, {"key", {"23:00:00", "解除禁言", ""}}};
  std::tie(code, body) = post("/api/more/tasks/tick", {{"rows", {row}}, {"checked", true}});
  ASSERT_EQ(code, 200);
  std::tie(code, body) = post("/api/more/tasks/delete", {{"rows", {row}}});
  ASSERT_EQ(code, 200);
  EXPECT_FALSE(body["schedulerRunning"].get<bool>());  // no rows left
}

TEST_F(PanelMoreTest, RunNowNeedsTheAccountAndThenActsOnEveryManagedGroup) {
  start();
  const Json task = {{"action", "发送信息"}, {"content", "大家好"}};
  auto [code, body] = post("/api/more/tasks/run", task);
  EXPECT_EQ(code, 409);
  EXPECT_THAT(body.value("error", ""), HasSubstr("没有连接账号"));
  EXPECT_TRUE(host.actions().empty());

  status.set(ConnectionStatus::State::kConnected);
  std::tie(code, body) = post("/api/more/tasks/run", {{"action", "发送信息"}, {"content", ""}});
  EXPECT_EQ(code, 400);
  EXPECT_EQ(body.value("error", ""), "请填写发送内容");
  std::tie(code, body) = post("/api/more/tasks/run", task);
  ASSERT_EQ(code, 200) << body.dump();
  ASSERT_TRUE(core.modules.scheduler.waitForTasks(std::chrono::seconds(10)));
  std::vector<std::pair<int64_t, std::string>> sent;
  for (const HostCall& c : host.actions()) sent.push_back({c.group, c.action + ":" + c.text});
  EXPECT_THAT(sent, ElementsAre(std::pair<int64_t, std::string>{101, "send_group_msg:大家好"},
                                std::pair<int64_t, std::string>{102, "send_group_msg:大家好"}));
  EXPECT_THAT(runLog(), Contains("执行任务|立即执行任务发送信息"));
  EXPECT_THAT(runLog(), Contains("执行任务|任务发送信息 执行完毕"));
  EXPECT_EQ(lists().tasks.rowCount(), 0u);  // run now adds no row
}

TEST_F(PanelMoreTest, StatisticsShowTheDayTheSummaryTheSortAndTheChartFromTheGroupLog) {
  const std::string today =
      "2026-12-7 09:00:01\t101\t进群\t20001\t0\r\n2026-12-7 09:00:02\t101\t进群\t20002\t0\r\n"
      "2026-12-7 09:00:03\t102\t进群\t20003\t0\r\n2026-12-7 09:00:04\t101\t退群\t20004\t0\r\n"
      "2026-12-7 09:00:05\t102\t退群\t20005\t10000\r\n";
  ASSERT_TRUE(WriteFileAtomic(data + "群数据/2026-12-7.txt", today));
  ASSERT_TRUE(WriteFileAtomic(data + "群数据/2026-11-30.txt",
                              "2026-11-30 10:00:00\t103\t进群\t30001\t0\r\n"));
  start();
  auto [code, v] = get("/api/more/statistics");
  ASSERT_EQ(code, 200) << v.dump();
  EXPECT_EQ(v["days"], Json({"今天", "2026-11-30"}));
  EXPECT_EQ(v["day"], "今天");
  EXPECT_EQ(v["headings"], Json({"时间", "群号", "状态", "QQ", "操作QQ"}));
  ASSERT_EQ(v["rows"].size(), 5u);
  EXPECT_EQ(v["rows"][0]["text"], "#008000");
  EXPECT_EQ(v["rows"][3]["text"], "");
  EXPECT_EQ(v["rows"][4]["text"], "#aa00aa");
  EXPECT_EQ(v["rows"][4]["back"], "#ececec");
  EXPECT_EQ(v["summary"], "进群:3  退群:1  踢出:1\r\n\r\n总进群:1");
  EXPECT_EQ(v["directory"], data + "群数据/");

  std::tie(code, v) = post("/api/more/statistics", {{"day", "今天"}, {"view", "summary"}});
  ASSERT_EQ(code, 200) << v.dump();
  ASSERT_EQ(v["rows"].size(), 2u);  // the unticked group 103 has no row
  EXPECT_EQ(v["rows"][0]["cells"], Json({"101", "甲群", "2", "1", "0", "1"}));
  EXPECT_EQ(v["rows"][1]["cells"], Json({"102", "乙群", "1", "0", "1", "0"}));
  EXPECT_EQ(v["rows"][1]["text"], "#ff0000");  // 总进群 not above zero: red

  // Two clicks on the same heading: ascending, then descending.
  std::tie(code, v) = post("/api/more/statistics/sort", {{"column", 5}});
  ASSERT_EQ(code, 200);
  EXPECT_EQ(v["rows"][0]["cells"][0], "102");
  std::tie(code, v) = post("/api/more/statistics/sort", {{"column", 5}});
  EXPECT_EQ(v["rows"][0]["cells"][0], "101");
  EXPECT_EQ(post("/api/more/statistics/sort", {{"column", 6}}).first, 400);

  std::tie(code, v) = post("/api/more/statistics", {{"day", "2026-11-30"}, {"view", "day"}});
  ASSERT_EQ(code, 200);
  EXPECT_EQ(v["rows"].size(), 1u);
  EXPECT_EQ(v["summary"], "进群:1  退群:0  踢出:0\r\n\r\n总进群:1");
  for (const Json& bad : {Json{{"day", "../../etc/passwd"}}, Json{{"day", "2026-11-29"}},
                          Json{{"day", "今天"}, {"view", "all"}}}) {
    EXPECT_EQ(post("/api/more/statistics", bad).first, 400) << bad.dump();
  }
  EXPECT_EQ(settings().text(opt::kStatisticsDate), "2026-11-30");

  std::tie(code, v) = get("/api/more/chart?days=30");
  ASSERT_EQ(code, 200);
  ASSERT_EQ(v["days"].size(), 30u);
  EXPECT_EQ(v["days"][29],
            Json({{"day", "2026-12-7"}, {"joins", 3}, {"leaves", 1}, {"removals", 1}}));
  EXPECT_EQ(v["days"][22]["day"], "2026-11-30");
  EXPECT_EQ(v["days"][22]["joins"], 1);
  EXPECT_EQ(v["days"][0]["day"], "2026-11-8");
  for (const char* bad : {"0", "367", "x", "-1"})
    EXPECT_EQ(get(std::string("/api/more/chart?days=") + bad).first, 400) << bad;
}

TEST(JoinLeaveHistoryTest, CountsEachDateOnceAcrossMonthAndYearEndsAndMissingFiles) {
  test::TempDir dir;
  ASSERT_TRUE(WriteFileAtomic(dir.path() + "2026-12-31.txt",
                              "2026-12-31 23:59:59\t1\t进群\t20001\t0\r\n"
                              "2026-12-31 23:59:59\t1\t退群\t20002\t20003\r\n"
                              "a line with no fields\r\n"));
  const auto history = JoinLeaveHistory(dir.path(), LocalTime(2027, 1, 2, 0, 0, 1), 4);
  ASSERT_EQ(history.size(), 4u);
  EXPECT_EQ(history[0].day, "2026-12-30");
  EXPECT_EQ(history[1].day, "2026-12-31");
  EXPECT_EQ(history[1].counts.joins, 1);
  EXPECT_EQ(history[1].counts.removals, 1);
  EXPECT_EQ(history[2].day, "2027-1-1");
  EXPECT_EQ(history[3].day, "2027-1-2");
  EXPECT_EQ(history[3].counts.joins, 0);
}

}  // namespace
}  // namespace bw::ui
