// 试一试 over loopback: an event typed in the panel runs through the rules on a
// copy of the data — the answer names the host calls and run-log entries the
// robot would make, and the robot's own files, database and host stay as they
// were. Also the refusals of bad requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>

#include "storage/ini_file.h"
#include "support/temp_dir.h"
#include "ui/panel_fixture.h"
#include "util/files.h"

namespace bw::ui {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
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

class PanelSandboxTest : public PanelFixture {
 protected:
  PanelSandboxTest() {
    readTimeoutSeconds = 20;
    // Group 100 managed, 200 listed only; the ad check on, warnings before a kick.
    EXPECT_TRUE(
        WriteFileAtomic(data + "群列表.txt",
                        "{1}1----100----测试群----群主\r\n{0}2----200----别的群----管理员\r\n"));
    EXPECT_TRUE(WriteProfileString(data + "setsoft.ini", "选择框", "选择框_开启广告检测", "真"));
    startRobot();
    EXPECT_TRUE(core.startedUp());
    startPanel();
    host.clear();
  }

  // The headers of a change in a new session.
  httplib::Headers session() { return PanelFixture::session(login()); }
  // The answer to one try; `status` must match.
  Json tryOut(const Json& body, int expected = 200) {
    if (headers_.empty()) headers_ = session();
    auto res = client().Post("/api/sandbox", headers_, body.dump(), "application/json");
    EXPECT_TRUE(res);
    if (!res) return {};
    EXPECT_EQ(res->status, expected) << res->body;
    return Json::parse(res->body, nullptr, false);
  }
  static std::vector<std::string> Actions(const Json& answer) {
    std::vector<std::string> out;
    for (const Json& c : answer["calls"]) out.push_back(c["action"]);
    return out;
  }
  static std::vector<std::string> LogLines(const Json& answer) {
    std::vector<std::string> out;
    for (const Json& e : answer["runlog"])
      out.push_back(e["type"].get<std::string>() + "|" + e["message"].get<std::string>());
    return out;
  }

  httplib::Headers headers_;
};

TEST_F(PanelSandboxTest, ABannedWordIsKickedOnTheCopyAndTheRealDataStayAsTheyWere) {
  const auto before = Snapshot(dir.path());
  ASSERT_TRUE(before.contains(data + "brindlewarden.db"));
  const size_t liveLog = lifecycle.runLog().entries().size();

  const Json answer =
      tryOut({{"kind", "message"}, {"group", "100"}, {"account", "20001"}, {"text", "加我微信"}});
  EXPECT_EQ(answer["managed"], true);
  ASSERT_EQ(Actions(answer), std::vector<std::string>{"set_group_kick"});
  EXPECT_EQ(answer["calls"][0]["text"], "将 20001 踢出群 100");
  EXPECT_EQ(
      answer["calls"][0]["json"],
      R"({"action":"set_group_kick","params":{"group_id":100,"user_id":20001,"reject_add_request":false}})");
  EXPECT_THAT(LogLines(answer), Contains(HasSubstr("检测违规|20001 检测到违规词微信")));
  EXPECT_THAT(LogLines(answer), Contains("踢人|20001踢出 群100"));
  // Only the event's entries: the copy's startup is not part of the answer.
  EXPECT_THAT(LogLines(answer), ::testing::Not(Contains(HasSubstr("初始化"))));

  // Nothing reached a group, the live run log and every file are unchanged,
  // and no copy is left behind.
  EXPECT_TRUE(host.calls().empty());
  EXPECT_EQ(lifecycle.runLog().entries().size(), liveLog);
  EXPECT_EQ(Snapshot(dir.path()), before);

  // A harmless message does nothing.
  const Json quiet =
      tryOut({{"kind", "message"}, {"group", "100"}, {"account", "20001"}, {"text", "大家好"}});
  EXPECT_TRUE(quiet["calls"].empty());
}

TEST_F(PanelSandboxTest, WarningsCountOnTheCopyOnlySoEveryTryStartsFromTheRealCount) {
  ASSERT_TRUE(lifecycle.settings().setChecked("选择框_警告次数踢", true));
  ASSERT_TRUE(lifecycle.settings().setText("编辑框_踢人警告次数", "2"));
  core.modules.store.SaveAllSettings();  // as the panel saves every change
  const auto before = Snapshot(dir.path());
  for (int i = 0; i < 2; ++i) {
    const Json answer =
        tryOut({{"kind", "message"}, {"group", "100"}, {"account", "20001"}, {"text", "加我微信"}});
    ASSERT_EQ(Actions(answer), std::vector<std::string>{"send_group_msg"}) << answer.dump();
    EXPECT_THAT(answer["calls"][0]["text"].get<std::string>(),
                HasSubstr("本群禁止发广告，警告一次"));
  }
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST_F(PanelSandboxTest, ASettingChangedInThePanelCountsAtTheNextTry) {
  const httplib::Headers headers = session();
  auto off =
      client().Post("/api/settings", headers,
                    Json{{"changes", {{"选择框_开启广告检测", false}}}}.dump(), "application/json");
  ASSERT_TRUE(off);
  ASSERT_EQ(off->status, 200) << off->body;
  const Json answer =
      tryOut({{"kind", "message"}, {"group", "100"}, {"account", "20001"}, {"text", "加我微信"}});
  EXPECT_TRUE(answer["calls"].empty()) << answer.dump();
}

TEST_F(PanelSandboxTest, JoinsRequestsAndLeavesUseTheLiveDatabaseAndTheLiveSwitches) {
  // A row the running robot wrote after its start: the copy is taken now.
  ASSERT_TRUE(lifecycle.database().Execute(
      "insert into 黑名单(QQ号,昵称,加入时间) values('30003','坏人','1765112709')"));
  ASSERT_TRUE(lifecycle.settings().setChecked("选择框_开启自动审核进群", true));
  ASSERT_TRUE(lifecycle.settings().setChecked("选择框_开启进群欢迎", true));
  core.modules.store.SaveAllSettings();
  const auto before = Snapshot(dir.path());

  const Json refused =
      tryOut({{"kind", "request"}, {"group", "100"}, {"account", "30003"}, {"text", "让我进去"}});
  ASSERT_EQ(Actions(refused), std::vector<std::string>{"set_group_add_request"});
  EXPECT_EQ(refused["calls"][0]["text"],
            "拒绝加群请求: 你已经在黑名单里面禁止入群有问题联系群主或管理员!");

  const Json welcomed = tryOut({{"kind", "join"}, {"group", "100"}, {"account", "30001"}});
  ASSERT_EQ(Actions(welcomed), std::vector<std::string>{"send_group_msg"});
  EXPECT_THAT(welcomed["calls"][0]["text"].get<std::string>(), HasSubstr("欢迎进群"));

  const Json left = tryOut({{"kind", "leave"}, {"group", "100"}, {"account", "30001"}});
  EXPECT_TRUE(left.contains("calls"));

  // The member the copy recorded on joining is not in the real database.
  EXPECT_EQ(Snapshot(dir.path()), before);
  EXPECT_TRUE(host.calls().empty());
}

TEST_F(PanelSandboxTest, AGroupThatIsNotManagedIsIgnoredAndBadRequestsAreRefused) {
  const Json unmanaged =
      tryOut({{"kind", "message"}, {"group", "200"}, {"account", "20001"}, {"text", "加我微信"}});
  EXPECT_EQ(unmanaged["managed"], false);
  EXPECT_TRUE(unmanaged["calls"].empty());

  auto error = [&](const Json& body) { return tryOut(body, 400).value("error", ""); };
  EXPECT_EQ(error({{"kind", "dance"}, {"group", "100"}, {"account", "1"}}),
            "事件类型应为 群消息、进群、退群 或 加群请求");
  EXPECT_THAT(error({{"kind", "message"}, {"group", "abc"}, {"account", "20001"}, {"text", "x"}}),
              HasSubstr("群号"));
  EXPECT_THAT(error({{"kind", "message"}, {"group", "100"}, {"account", "0"}, {"text", "x"}}),
              HasSubstr("QQ号"));
  EXPECT_THAT(error({{"kind", "message"}, {"group", "300"}, {"account", "20001"}, {"text", "x"}}),
              HasSubstr("不在群列表中"));
  EXPECT_THAT(error({{"kind", "message"}, {"group", "100"}, {"account", "20001"}}),
              HasSubstr("消息内容"));
  EXPECT_THAT(error({{"kind", "message"},
                     {"group", "100"},
                     {"account", "20001"},
                     {"text", std::string(5000, 'a')}}),
              HasSubstr("太长"));
  EXPECT_THAT(error({{"kind", "join"}, {"group", "100"}, {"account", "20001"}, {"inviter", "x"}}),
              HasSubstr("邀请人"));

  // Without a session, or without its CSRF token, nothing runs.
  const std::string body = Json{
      {"kind", "message"},
      {"group", "100"},
      {"account", "20001"},
      {"text", "加我微信"}}.dump();
  auto anonymous = client().Post("/api/sandbox", {{"Origin", origin()}}, body, "application/json");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 401);
  httplib::Headers noCsrf = session();
  noCsrf.erase("X-CSRF-Token");
  auto forged = client().Post("/api/sandbox", noCsrf, body, "application/json");
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->status, 403);

  // The page's choice of groups.
  auto groups = client().Get("/api/sandbox", session());
  ASSERT_TRUE(groups);
  const Json g = Json::parse(groups->body);
  ASSERT_EQ(g["groups"].size(), 2u);
  EXPECT_EQ(g["groups"][0], (Json{{"group", "100"}, {"name", "测试群"}, {"managed", true}}));
  EXPECT_EQ(g["groups"][1]["managed"], false);
}

}  // namespace
}  // namespace bw::ui
