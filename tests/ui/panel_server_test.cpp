// The settings panel over loopback: its files, every refusal of the security
// checks, changes through the settings model with their side effects and their
// persistence, the live status, and its behaviour with many open pages.
#include "ui/panel_server.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <nlohmann/json.hpp>
#include <thread>

#include "storage/ini_file.h"
#include "ui/panel_fixture.h"
#include "util/files.h"

namespace bw::ui {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::json;

class PanelServerTest : public PanelFixture {
 protected:
  httplib::Result change(const Json& changes, httplib::Headers headers) {
    return client().Post("/api/settings", headers, Json{{"changes", changes}}.dump(),
                         "application/json");
  }
};

TEST_F(PanelServerTest, FilesComeFromTheProgramWithTheirTypeTagAndAPolicyWithoutEval) {
  startPanel();
  auto c = client();
  auto page = c.Get("/");
  ASSERT_TRUE(page);
  EXPECT_EQ(page->status, 200);
  EXPECT_THAT(page->get_header_value("Content-Type"), HasSubstr("text/html"));
  EXPECT_THAT(page->body, HasSubstr("欢迎使用群管软件"));
  const std::string csp = page->get_header_value("Content-Security-Policy");
  EXPECT_THAT(csp, HasSubstr("script-src 'self'"));
  EXPECT_THAT(csp, Not(HasSubstr("unsafe-eval")));
  EXPECT_THAT(csp, Not(HasSubstr("unsafe-inline")));
  // No inline script in the page itself: the policy would block it anyway.
  EXPECT_THAT(page->body, Not(HasSubstr("<script>")));

  auto script = c.Get("/app.js");
  ASSERT_TRUE(script);
  EXPECT_EQ(script->status, 200);
  EXPECT_THAT(script->get_header_value("Content-Type"), HasSubstr("text/javascript"));
  const std::string etag = script->get_header_value("ETag");
  ASSERT_FALSE(etag.empty());
  auto again = c.Get("/app.js", {{"If-None-Match", etag}});
  ASSERT_TRUE(again);
  EXPECT_EQ(again->status, 304);
  EXPECT_EQ(again->body, "");
  auto missing = c.Get("/nothing.js");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
}

TEST_F(PanelServerTest, TheApiNeedsASessionAndLoginsAreCheckedAndLimited) {
  startRobot();
  startPanel();
  auto c = client();
  auto anonymous = c.Get("/api/status");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 401);
  auto forged = c.Get("/api/status", {{"Cookie", "bw_session=" + std::string(64, 'a')}});
  ASSERT_TRUE(forged);
  EXPECT_EQ(forged->status, 401);

  auto wrong =
      c.Post("/api/login", {{"Origin", origin()}}, R"({"token":"guess"})", "application/json");
  ASSERT_TRUE(wrong);
  EXPECT_EQ(wrong->status, 401);
  EXPECT_EQ(wrong->get_header_value("Set-Cookie"), "");

  // The printed URL logs in and lands on the panel.
  auto link = c.Get(std::string("/login?token=") + kToken);
  ASSERT_TRUE(link);
  EXPECT_EQ(link->status, 303);
  EXPECT_EQ(link->get_header_value("Location"), "/");
  const std::string cookie = link->get_header_value("Set-Cookie");
  EXPECT_THAT(cookie, HasSubstr("HttpOnly"));
  EXPECT_THAT(cookie, HasSubstr("SameSite=Strict"));
  auto status = c.Get("/api/status", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 200);

  for (int i = 1; i < PanelAuth::kMaxFailures; ++i) {
    c.Post("/api/login", {{"Origin", origin()}}, R"({"token":"guess"})", "application/json");
  }
  auto limited = c.Post("/api/login", {{"Origin", origin()}}, Json{{"token", kToken}}.dump(),
                        "application/json");
  ASSERT_TRUE(limited);
  EXPECT_EQ(limited->status, 429);
}

TEST_F(PanelServerTest, ChangesWithoutTheirCsrfTokenOrFromAnotherOriginOrHostAreRefused) {
  startRobot();
  startPanel();
  const auto s = login();
  const Json on = {{"选择框_开启广告检测", true}};
  const std::string other = "http://127.0.0.1:" + std::to_string(panel->port() + 1);
  struct Case {
    const char* what;
    httplib::Headers headers;
    int status;
  };
  const std::vector<Case> cases = {
      {"no session", {{"Origin", origin()}, {"X-CSRF-Token", s.second}}, 401},
      {"no CSRF token", {{"Cookie", s.first}, {"Origin", origin()}}, 403},
      {"wrong CSRF token", {{"Cookie", s.first}, {"Origin", origin()}, {"X-CSRF-Token", "x"}}, 403},
      {"no Origin", {{"Cookie", s.first}, {"X-CSRF-Token", s.second}}, 403},
      {"another local port",
       {{"Cookie", s.first}, {"X-CSRF-Token", s.second}, {"Origin", other}},
       403},
      {"foreign Host",
       {{"Cookie", s.first},
        {"X-CSRF-Token", s.second},
        {"Origin", origin()},
        {"Host", "rebind.example:" + std::to_string(panel->port())}},
       403},
  };
  for (const Case& c : cases) {
    auto res = change(on, c.headers);
    ASSERT_TRUE(res) << c.what;
    EXPECT_EQ(res->status, c.status) << c.what << ": " << res->body;
  }
  // A rebinding page cannot even read.
  auto c = client();
  auto read = c.Get("/api/status", {{"Cookie", s.first}, {"Host", "rebind.example"}});
  ASSERT_TRUE(read);
  EXPECT_EQ(read->status, 403);
  EXPECT_FALSE(lifecycle.settings().checked("选择框_开启广告检测"));
  EXPECT_THAT(log, Not(Contains("操作|开启广告检测")));
}

TEST_F(PanelServerTest, ASwitchFromThePanelActsLikeTheWindowAndIsSavedAtOnce) {
  startRobot();
  startPanel();
  const auto s = login();
  auto before = client().Get("/api/status", {{"Cookie", s.first}});
  ASSERT_TRUE(before);
  Json status = Json::parse(before->body);
  int off = 0;
  for (const Json& box : status["features"]["boxes"])
    for (const Json& item : box["items"])
      if (item.contains("on")) {
        EXPECT_EQ(item["text"], "已关闭") << item["label"];
        ++off;
      }
  EXPECT_EQ(off, 7);

  auto res = change({{"选择框_开启广告检测", true}}, session(s));
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_TRUE(lifecycle.settings().checked("选择框_开启广告检测"));
  EXPECT_THAT(log, Contains("操作|开启广告检测"));
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "选择框", "选择框_开启广告检测", ""), "真");
  status = Json::parse(res->body);
  for (const Json& box : status["features"]["boxes"]) {
    for (const Json& item : box["items"]) {
      if (item.contains("on")) {
        EXPECT_EQ(item["on"], item["label"] == "广告检测:") << item["label"];
      }
    }
  }

  res = change({{"编辑框_禁言时间", "60"}, {"单选框_禁言", true}}, session(s));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200) << res->body;
  EXPECT_TRUE(lifecycle.settings().checked("单选框_禁言"));
  EXPECT_FALSE(lifecycle.settings().checked("单选框_踢人"));
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", "编辑框_禁言时间", ""), "60");

  // The page shows what the model holds.
  auto page =
      client().Get("/api/page?name=%E5%B9%BF%E5%91%8A%E6%A3%80%E6%B5%8B", {{"Cookie", s.first}});
  ASSERT_TRUE(page);
  ASSERT_EQ(page->status, 200);
  EXPECT_THAT(
      page->body,
      HasSubstr(
          R"({"caption":"禁言时间","kind":"edit","label":"","max":43200,"min":1,"name":"编辑框_禁言时间","number":true,"value":"60"})"));
  EXPECT_THAT(page->body, HasSubstr("*慎用 可能踢一大片"));
}

// A browser's text box ends its lines with LF alone; the window's boxes, the
// messages and setsoft.ini's "><br><" marker all mean CR LF.
TEST_F(PanelServerTest, LinesFromTheBrowserBecomeTheWindowsLineBreaks) {
  startRobot();
  startPanel();
  const auto s = login();
  auto res = change({{"编辑框_警告语", "第一行\n第二行\r\n第三行"}}, session(s));
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(lifecycle.settings().text("编辑框_警告语"), "第一行\r\n第二行\r\n第三行");
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", "编辑框_警告语", ""),
            "第一行><br><第二行><br><第三行");
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", "编辑框_踢人发言", "?"),
            lifecycle.settings().text("编辑框_踢人发言"));
}

TEST_F(PanelServerTest, ABadValueIsRefusedWithAClearMessageAndNothingIsStoredHalf) {
  startRobot();
  startPanel();
  const auto s = login();
  ASSERT_EQ(change({{"编辑框_踢人关键词", "代刷"}}, session(s))->status, 200);
  const std::string saved = test::ReadAll(data + "setsoft.ini");
  struct Case {
    Json changes;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{{"选择框_开启广告检测", true}, {"编辑框_禁言时间", "abc"}}, "之间的整数"},
      {{{"选择框_开启广告检测", true}, {"编辑框_禁言时间", "99999"}}, "之间的整数"},
      {{{"选择框_开启广告检测", "yes"}}, "只能是开或关"},
      {{{"单选框_踢人", false}}, "只能被选中"},
      {{{"选择框_开启广告检测", true}, {"编辑框_没有这个", "1"}}, "没有名为"},
      {{{"编辑框_踢人关键词", std::string(10240, 'a')}}, "太长"},
      {{{"编辑框_踢人关键词", 3}}, "需要文字"},
      {Json::object(), "没有要修改的选项"},
  };
  for (const Case& c : cases) {
    auto res = change(c.changes, session(s));
    ASSERT_TRUE(res);
    EXPECT_EQ(res->status, 400) << c.changes.dump();
    EXPECT_THAT(Json::parse(res->body).value("error", ""), HasSubstr(c.message)) << res->body;
  }
  auto invalid =
      client().Post("/api/settings", session(s),
                    "{\"changes\":{\"编辑框_踢人关键词\":\"\xff\xfe\"}}", "application/json");
  ASSERT_TRUE(invalid);
  EXPECT_EQ(invalid->status, 400);
  EXPECT_FALSE(lifecycle.settings().checked("选择框_开启广告检测"));
  EXPECT_EQ(lifecycle.settings().text("编辑框_踢人关键词"), "代刷");
  EXPECT_EQ(lifecycle.settings().text("编辑框_禁言时间"), "43200");
  EXPECT_EQ(test::ReadAll(data + "setsoft.ini"), saved);
}

TEST_F(PanelServerTest, BeforeTheSettingsAreLoadedChangesWaitAndTheStatusSaysWhy) {
  startPanel();  // the service waits for its OneBot implementation
  status.set(ConnectionStatus::State::kWaiting, "ws://127.0.0.1:3001");
  const auto s = login();
  auto res = change({{"选择框_开启广告检测", true}}, session(s));
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 409);
  EXPECT_FALSE(FileExists(data + "setsoft.ini"));
  auto st = client().Get("/api/status", {{"Cookie", s.first}});
  ASSERT_TRUE(st);
  const Json j = Json::parse(st->body);
  EXPECT_EQ(j["ready"], false);
  EXPECT_EQ(j["connection"]["state"], "waiting");
  EXPECT_EQ(j["connection"]["text"], "等待 OneBot 实现连接");
  EXPECT_EQ(j["welcome"], "欢迎使用群管软件");
}

TEST_F(PanelServerTest, TheStatusCountsListedAndTickedGroupsAndTheRunLogIsReadFromAnId) {
  std::string groups;
  for (int i = 1; i <= 12; ++i)
    groups += std::string(i <= 3 ? "{1}" : "{0}") + std::to_string(i) + "----" +
              std::to_string(100 + i) + "----群" + std::to_string(i) + "----管理员\r\n";
  ASSERT_TRUE(WriteFileAtomic(data + "群列表.txt", groups));
  startRobot();
  startPanel();
  const auto s = login();
  auto st = client().Get("/api/status", {{"Cookie", s.first}});
  ASSERT_TRUE(st);
  const Json j = Json::parse(st->body);
  const Json& counts = j["features"]["boxes"][0];
  EXPECT_EQ(counts["title"], "监控数据");
  EXPECT_EQ(counts["items"][0]["label"], "总群数:");
  EXPECT_EQ(counts["items"][0]["text"], "12");
  EXPECT_EQ(counts["items"][1]["label"], "监控群数:");
  EXPECT_EQ(counts["items"][1]["text"], "3");

  const int64_t last = j["lastRunLog"].get<int64_t>();
  lifecycle.runLog().WriteRunLog("操作", "初始化群成员失败");
  auto fresh = client().Get("/api/runlog?after=" + std::to_string(last), {{"Cookie", s.first}});
  ASSERT_TRUE(fresh);
  const Json entries = Json::parse(fresh->body)["entries"];
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0]["id"], last + 1);
  EXPECT_EQ(entries[0]["message"], "初始化群成员失败");
  EXPECT_EQ(entries[0]["red"], true);
}

TEST_F(PanelServerTest, TickingGroupsManagesThemAndTheHeaderTicksAllOrNone) {
  ASSERT_TRUE(WriteFileAtomic(data + "群列表.txt",
                              "{0}1----101----甲群----群主\r\n{0}2----102----乙群----管理员\r\n"));
  startRobot();
  startPanel();
  const auto s = login();
  auto tick = [&](const Json& body) {
    auto c = client();
    return c.Post("/api/groups/tick", session(s), body.dump(), "application/json");
  };
  auto res = tick({{"group", "102"}, {"row", 1}, {"checked", true}});
  ASSERT_TRUE(res);
  ASSERT_EQ(res->status, 200) << res->body;
  EXPECT_EQ(lifecycle.managedGroups().size(), 1u);
  EXPECT_EQ(ReadProfileString(data + "群设置.ini", "开关", "102", ""), "1");
  EXPECT_EQ(ReadProfileString(data + "群设置.ini", "开关", "101", ""), "0");
  EXPECT_THAT(test::ReadAll(data + "群列表.txt"), HasSubstr("{1}2----102----乙群"));

  for (const Json& bad :
       {Json{{"row", 1}, {"checked", true}}, Json{{"group", "102"}, {"row", -1}, {"checked", true}},
        Json{{"group", "101"}, {"row", 0}, {"checked", "yes"}}, Json{{"all", true}},
        Json::array()}) {
    auto refused = tick(bad);
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 400) << bad.dump();
  }
  EXPECT_EQ(lifecycle.managedGroups().size(), 1u);

  // The header: the first row is unticked, so every row is ticked; then none.
  const Json all = {{"all", true}, {"groups", {"101", "102"}}};
  ASSERT_EQ(tick(all)->status, 200);
  EXPECT_EQ(lifecycle.managedGroups().size(), 2u);
  ASSERT_EQ(tick(all)->status, 200);
  EXPECT_EQ(lifecycle.managedGroups().size(), 0u);
  EXPECT_EQ(ReadProfileString(data + "群设置.ini", "开关", "102", ""), "0");
  auto groups = client().Get("/api/groups", {{"Cookie", s.first}});
  ASSERT_TRUE(groups);
  const Json g = Json::parse(groups->body);
  EXPECT_EQ(g["columns"][0], "勾选");
  ASSERT_EQ(g["rows"].size(), 2u);
  EXPECT_EQ(g["rows"][1]["cells"][2], "乙群");
}

// Opens a TCP connection to the panel and sends nothing (a browser's preconnect).
int SilentConnection(int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  return fd;
}

TEST_F(PanelServerTest, TwentyPollingPagesAreAnsweredAndAStopWithOpenPagesTakesUnderASecond) {
  startRobot();
  startPanel();
  const auto s = login();
  std::vector<int> silent;
  for (int i = 0; i < 5; ++i) silent.push_back(SilentConnection(panel->port()));
  std::atomic<int> answered{0}, failed{0};
  std::atomic<bool> polling{true};
  std::vector<std::thread> pages;
  for (int i = 0; i < 20; ++i) {
    pages.emplace_back([&] {
      for (int k = 0; k < 5; ++k) {
        auto c = client();
        auto res = c.Get("/api/status", {{"Cookie", s.first}});
        (res && res->status == 200 ? answered : failed).fetch_add(1);
      }
      while (polling.load()) {  // keep polling while the panel stops
        auto c = client();
        c.set_read_timeout(2);
        c.Get("/api/runlog?after=0", {{"Cookie", s.first}});
      }
    });
  }
  while (answered.load() + failed.load() < 100)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(answered.load(), 100);
  EXPECT_EQ(failed.load(), 0);

  const auto begin = std::chrono::steady_clock::now();
  panel->stop();
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_LT(took, std::chrono::seconds(1))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
  polling.store(false);
  for (std::thread& t : pages) t.join();
  for (int fd : silent) ::close(fd);
  auto c = client();
  EXPECT_FALSE(c.Get("/"));  // nothing listens any more
}

// A service refused at once by its OneBot implementation stops the panel it
// has just started: the stop must not wait for a loop that had not begun.
TEST_F(PanelServerTest, AStopRightAfterTheStartEnds) {
  for (int i = 0; i < 50; ++i) {
    startPanel();
    panel->stop();
  }
}

// Many pages reconnecting at the same moment (a restart of the browser with
// its tabs) must not meet a listen backlog of 5, where refused SYNs wait a
// second or more for their retry.
TEST_F(PanelServerTest, AHundredSimultaneousConnectionsAreAllAnsweredQuickly) {
  startPanel();
  std::atomic<int> answered{0};
  std::atomic<bool> go{false};
  std::vector<std::thread> tabs;
  for (int i = 0; i < 100; ++i) {
    tabs.emplace_back([&] {
      while (!go.load()) std::this_thread::yield();
      auto c = client();
      auto res = c.Get("/icon.svg");
      if (res && res->status == 200) answered.fetch_add(1);
    });
  }
  const auto begin = std::chrono::steady_clock::now();
  go.store(true);
  for (std::thread& t : tabs) t.join();
  const auto took = std::chrono::steady_clock::now() - begin;
  EXPECT_EQ(answered.load(), 100);
  EXPECT_LT(took, std::chrono::milliseconds(900))
      << std::chrono::duration_cast<std::chrono::milliseconds>(took).count() << " ms";
}

}  // namespace
}  // namespace bw::ui
