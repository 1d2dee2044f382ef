// The service of many accounts, end to end: the real program against one
// scripted implementation per account, all on 127.0.0.1.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "onebot/scripted_peer.h"
#include "service_process.h"
#include "storage/ini_file.h"
#include "support/temp_dir.h"
#include "update/test_server.h"
#include "util/files.h"

namespace bw {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

using test::Service;

uint16_t FreePort() {
  boost::asio::io_context ioc;
  boost::asio::ip::tcp::acceptor a(
      ioc, boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
  return a.local_endpoint().port();
}

// One account: its implementation, and (optionally) a managed group 100 with
// the ad check on in its data folder.
struct Account {
  Account(const test::TempDir& home, int64_t number, bool managed) : number(number) {
    peer.answer("get_login_info",
                Json{{"user_id", number}, {"nickname", "号" + std::to_string(number)}});
    if (!managed) return;
    const std::string data = home.path() + "data/" + std::to_string(number) + "/";
    EXPECT_TRUE(EnsureDirectory(data));
    EXPECT_TRUE(WriteFileAtomic(data + "群列表.txt", "{1}1----100----测试群----群主\r\n"));
    EXPECT_TRUE(WriteProfileString(data + "setsoft.ini", "选择框", "选择框_开启广告检测", "真"));
  }
  std::string section(const std::string& token = "") const {
    return "[account " + std::to_string(number) + "]\nurl=" + peer.url() + "\n" +
           (token.empty() ? "" : "access_token=" + token + "\n");
  }
  Json message(int64_t id, int64_t member) const {
    return {{"time", 1765112709},      {"self_id", number},    {"post_type", "message"},
            {"message_type", "group"}, {"sub_type", "normal"}, {"message_id", id},
            {"group_id", 100},         {"user_id", member},    {"message", "加我微信"}};
  }
  // When `member`'s kick arrived, if it did.
  std::optional<std::chrono::steady_clock::time_point> kickOf(int64_t member) const {
    for (const auto& r : peer.received())
      if (r.frame.value("action", "") == "set_group_kick" &&
          r.frame["params"]["user_id"].get<int64_t>() == member)
        return r.at;
    return std::nullopt;
  }

  int64_t number;
  test::ScriptedPeer peer;
};

std::string Config(const test::TempDir& home, const std::string& text) {
  test::WriteAll(home.path() + "brindle-warden.ini", text);
  return home.path() + "brindle-warden.ini";
}

TEST(Accounts, ASilentImplementationDelaysNoOtherAccountsKicks) {
  test::TempDir home;
  Account silent(home, 111111, true);
  Account busy(home, 222222, true);
  // The silent one knows its account and then answers nothing at all.
  for (const char* action :
       {"get_cookies", "get_csrf_token", "get_group_list", "get_group_member_list",
        "get_group_member_info", "set_group_kick", "send_group_msg", "get_stranger_info"})
    silent.peer.neverAnswer(action);
  Config(home, silent.section() + busy.section());
  Service s(home.path(), {"--home", home.path(), "--no-panel"});
  ASSERT_TRUE(s.waitForLog("account 222222: running")) << s.log();
  ASSERT_TRUE(silent.peer.waitForConnections(1, 30s)) << s.log();
  // The silent account's violators pile up too.
  for (int64_t i = 1; i <= 500; ++i) silent.peer.send(silent.message(i, 30000 + i));

  std::vector<double> latencies;
  for (int64_t i = 1; i <= 20; ++i) {
    const int64_t member = 20000 + i;
    const auto sent = std::chrono::steady_clock::now();
    busy.peer.send(busy.message(i, member));
    std::optional<std::chrono::steady_clock::time_point> kicked;
    while (!(kicked = busy.kickOf(member)) && std::chrono::steady_clock::now() - sent < 10s)
      std::this_thread::sleep_for(1ms);
    ASSERT_TRUE(kicked) << "member " << member << " never kicked\n" << s.log();
    latencies.push_back(std::chrono::duration<double, std::milli>(*kicked - sent).count());
  }
  std::sort(latencies.begin(), latencies.end());
  std::cout << "message to kick: median " << latencies[latencies.size() / 2] << " ms, slowest "
            << latencies.back() << " ms\n";
  // The median, so that one scheduling hiccup of a busy machine does not decide.
  EXPECT_LT(latencies[latencies.size() / 2], 100.0) << "slowest " << latencies.back() << " ms";
  EXPECT_FALSE(silent.kickOf(30001));  // never started: nothing of it acted
  EXPECT_EQ(s.stop(), 0) << s.log();
}

TEST(Accounts, EachAccountStartsInItsOwnDataFolderAndSigtermSavesBoth) {
  test::TempDir home;
  Account a(home, 111111, false);
  Account b(home, 222222, false);
  // A first start: each lists the groups it administers, in its own folder.
  for (Account* acc : {&a, &b}) {
    const int64_t group = acc->number == 111111 ? 100 : 200;
    acc->peer.answer(
        "get_group_list",
        Json::array({{{"group_id", group}, {"group_name", "群" + std::to_string(group)}}}));
    acc->peer.answer("get_group_member_info", Json{{"role", "admin"}});
  }
  Config(home, "[onebot]\naccess_token=shared\n" + a.section() + b.section());
  Service s(home.path(), {"--home", home.path(), "--no-panel"});
  ASSERT_TRUE(s.waitForLog("account 111111: the group list has 1 groups")) << s.log();
  ASSERT_TRUE(s.waitForLog("account 222222: the group list has 1 groups")) << s.log();
  // The shared token went to both.
  EXPECT_EQ(a.peer.lastAuthorization(), "Bearer shared");
  EXPECT_EQ(b.peer.lastAuthorization(), "Bearer shared");
  ASSERT_EQ(s.stop(), 0) << s.log();
  EXPECT_THAT(s.log(), HasSubstr("account 111111: stopped; settings saved"));
  EXPECT_THAT(s.log(), HasSubstr("account 222222: stopped; settings saved"));
  // Each run-log line in the service log says whose it is.
  EXPECT_THAT(s.log(), HasSubstr("account 111111: [初始化] 初始化完毕"));
  EXPECT_THAT(s.log(), HasSubstr("account 222222: [初始化] 初始化完毕"));
  for (Account* acc : {&a, &b}) {
    const std::string data = home.path() + "data/" + std::to_string(acc->number) + "/";
    const std::string own = acc->number == 111111 ? "100" : "200";
    const std::string other = acc->number == 111111 ? "200" : "100";
    const std::string list = test::ReadAll(data + "群列表.txt");
    EXPECT_THAT(list, HasSubstr("----" + own + "----群" + own)) << data;
    EXPECT_THAT(list, Not(HasSubstr("----" + other + "----"))) << data;
    // Saved at the stop: every option, not only what existed before.
    EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", "编辑框_进群等级"), "10") << data;
    EXPECT_TRUE(FileExists(data + "brindlewarden.db")) << data;
  }
  EXPECT_FALSE(FileExists(home.path() + "data/10000"));  // no placeholder account
}

TEST(Accounts, AnImplementationLoggedInAsAnotherAccountIsNotStarted) {
  test::TempDir home;
  Account right(home, 222222, true);
  Account wrong(home, 111111, false);
  wrong.peer.answer("get_login_info", Json{{"user_id", 333333}});
  Config(home, wrong.section() + right.section());
  Service s(home.path(), {"--home", home.path(), "--no-panel"});
  ASSERT_TRUE(s.waitForLog("is logged in as 333333; this account is not started")) << s.log();
  ASSERT_TRUE(s.waitForLog("account 222222 (")) << s.log();
  EXPECT_EQ(s.stop(), 0) << s.log();
  EXPECT_FALSE(FileExists(home.path() + "data/333333"));
  EXPECT_FALSE(FileExists(home.path() + "data/111111/setsoft.ini"));
}

TEST(Accounts, TheFiftyFirstAccountIsRefusedWithALogLine) {
  test::TempDir home;
  // Nothing listens there: every account waits for its implementation.
  const std::string url = "ws://127.0.0.1:" + std::to_string(FreePort());
  std::string config;
  for (int i = 1; i <= 51; ++i)
    config += "[account " + std::to_string(100000 + i) + "]\nurl=" + url + "\n";
  Config(home, config);
  Service s(home.path(), {"--home", home.path(), "--no-panel"});
  ASSERT_TRUE(s.waitForLog("account 100050: waiting for its OneBot implementation")) << s.log();
  EXPECT_THAT(s.log(), HasSubstr("starting 50 accounts"));
  EXPECT_THAT(s.log(), HasSubstr("account 100051 (line 101) refused: one service runs at most 50"));
  EXPECT_THAT(s.log(), Not(HasSubstr("account 100051: waiting")));
  EXPECT_EQ(s.stop(), 0) << s.log();
}

TEST(Accounts, OnlyTheAccountsAllowedRun) {
  test::TempDir home;
  const std::string url = "ws://127.0.0.1:" + std::to_string(FreePort());
  Config(home, "[onebot]\naccounts=100001\n[account 100001]\nurl=" + url +
                   "\n[account 100002]\nurl=" + url + "\n");
  {
    Service s(home.path(), {"--home", home.path(), "--no-panel"});
    ASSERT_TRUE(s.waitForLog("starting 1 accounts")) << s.log();
    EXPECT_THAT(s.log(), HasSubstr("account 100002 (line 5) is not among the accounts allowed"));
    EXPECT_EQ(s.stop(), 0) << s.log();
  }
  {
    // The command line overrides the config.
    Service s(home.path(), {"--home", home.path(), "--no-panel", "--accounts", "100002"});
    ASSERT_TRUE(s.waitForLog("starting 1 accounts")) << s.log();
    EXPECT_THAT(s.log(), HasSubstr("account 100001 (line 3) is not among the accounts allowed"));
    EXPECT_EQ(s.stop(), 0) << s.log();
  }
  {
    // "*": any account.
    Service s(home.path(), {"--home", home.path(), "--no-panel", "--accounts", "*"});
    ASSERT_TRUE(s.waitForLog("starting 2 accounts")) << s.log();
    EXPECT_EQ(s.stop(), 0) << s.log();
  }
  // Nothing to run at all is a mistake of the owner's, not a service that waits.
  test::TempDir empty;
  Service s(empty.path(), {"--home", empty.path(), "--no-panel", "--accounts", "*"});
  EXPECT_EQ(s.wait(), 2) << s.log();
  EXPECT_THAT(s.log(), HasSubstr("no account to run"));
}

TEST(Accounts, AMalformedAccountSectionNamesItsLineAndRefusesToStart) {
  const std::string good = "[account 100001]\nurl=ws://127.0.0.1:3001\n";
  struct Case {
    std::string text;
    std::string says;
  } cases[] = {
      {good + "[account 12a]\nurl=ws://127.0.0.1:3002\n", "line 3: [account 12a]"},
      {good + "[account 100002]\n; no url\n[update]\n", "line 3: [account 100002] needs url="},
      {good + "[account 100002\nurl=ws://127.0.0.1:3002\n", "line 3: a section header must end"},
      {good + "\n[account 100001]\nurl=ws://127.0.0.1:3002\n",
       "line 4: account 100001 has a second section (the first is on line 1)"},
      {good + "urll=ws://x\n", "line 3: unknown key \"urll\""},
      {good + "url ws://127.0.0.1:3002\n", "line 3: expected key=value"},
      {"[account 100002]\nurl=http://127.0.0.1:3002\n", "line 2: url=http://127.0.0.1:3002"},
      {good + "token_file=/nonexistent/token\n", "line 3: --token-file"},
      {"[onebot]\naccounts=1,x\n" + good, "line 2: accounts=: \"x\" is not a QQ number"},
      {"[onebot]\nhold_seconds=0\n" + good, "line 2: hold_seconds=0: a number of seconds"},
      {"[onebot]\nhold_seconds=10m\n" + good, "line 2: hold_seconds=10m: a number of seconds"},
  };
  for (const Case& c : cases) {
    test::TempDir home;
    Config(home, c.text);
    Service s(home.path(), {"--home", home.path(), "--no-panel"});
    EXPECT_EQ(s.wait(), 2) << c.text << s.log();
    EXPECT_THAT(s.log(), HasSubstr("brindle-warden.ini " + c.says)) << c.text;
    EXPECT_FALSE(FileExists(home.path() + "data")) << c.text;  // nothing started
  }
}

// Implementations that connect to the robot: each account that proves itself
// gets its own core on first use, the accounts not allowed are refused.
TEST(Accounts, ReverseConnectionsOfSeveralAccountsEachStartTheirOwnCore) {
  test::TempDir home;
  Account a(home, 111111, true);
  Account b(home, 222222, true);
  Account stranger(home, 444444, false);
  const uint16_t port = FreePort();
  Config(home, "[onebot]\naccess_token=s3cret\nlisten=" + std::to_string(port) +
                   "\naccounts=111111,222222\n");
  Service s(home.path(), {"--home", home.path(), "--no-panel"});
  ASSERT_TRUE(s.waitForLog("waiting for OneBot v11 implementations to connect")) << s.log();
  for (Account* acc : {&a, &b, &stranger}) {
    test::ScriptedPeer::Dial dial;
    dial.port = port;
    dial.selfId = std::to_string(acc->number);
    dial.authorization = "Bearer s3cret";
    acc->peer.dial(dial);
    acc->peer.send({{"time", 1765112700},
                    {"self_id", acc->number},
                    {"post_type", "meta_event"},
                    {"meta_event_type", "lifecycle"},
                    {"sub_type", "connect"}});
  }
  ASSERT_TRUE(stranger.peer.waitForDialStatus(10s));
  EXPECT_EQ(stranger.peer.dialStatus(), 403);
  ASSERT_TRUE(s.waitForLog("account 111111: running")) << s.log();
  ASSERT_TRUE(s.waitForLog("account 222222: running")) << s.log();
  a.peer.send(a.message(1, 20001));
  b.peer.send(b.message(1, 20002));
  const auto end = std::chrono::steady_clock::now() + 20s;
  while ((!a.kickOf(20001) || !b.kickOf(20002)) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(a.kickOf(20001)) << s.log();
  EXPECT_TRUE(b.kickOf(20002)) << s.log();
  EXPECT_FALSE(a.kickOf(20002));  // each kick over its own account's link
  EXPECT_THAT(s.log(),
              HasSubstr("account 444444 (a reverse connection) is not among the accounts"));
  ASSERT_EQ(s.stop(), 0) << s.log();
  EXPECT_EQ(ReadProfileString(home.path() + "data/111111/setsoft.ini", "编辑框", "编辑框_进群等级"),
            "10");
  EXPECT_EQ(ReadProfileString(home.path() + "data/222222/setsoft.ini", "编辑框", "编辑框_进群等级"),
            "10");
  EXPECT_FALSE(FileExists(home.path() + "data/444444"));
}

// The panel's login, for requests of one account or another.
struct PanelClient {
  explicit PanelClient(uint16_t port)
      : client("127.0.0.1", port), origin("http://127.0.0.1:" + std::to_string(port)) {}
  bool login(const std::string& token) {
    auto res = client.Post("/api/login", {{"Origin", origin}}, Json{{"token", token}}.dump(),
                           "application/json");
    if (!res || res->status != 200) return false;
    const std::string c = res->get_header_value("Set-Cookie");
    cookie = c.substr(0, c.find(';'));
    csrf = Json::parse(res->body)["csrf"];
    return true;
  }
  httplib::Result get(const std::string& path, const std::string& account) {
    return client.Get(path, {{"Cookie", cookie}, {"X-BW-Account", account}});
  }
  httplib::Result post(const std::string& path, const std::string& account, const Json& body) {
    return client.Post(
        path,
        {{"Cookie", cookie}, {"Origin", origin}, {"X-CSRF-Token", csrf}, {"X-BW-Account", account}},
        body.dump(), "application/json");
  }
  httplib::Client client;
  std::string origin, cookie, csrf;
};

TEST(Accounts, OnePanelLoginServesEachAccountsOwnSettings) {
  test::TempDir home;
  Account a(home, 111111, true);
  Account b(home, 222222, true);
  // A third account whose implementation is not there yet.
  const std::string absent =
      "[account 333333]\nurl=ws://127.0.0.1:" + std::to_string(FreePort()) + "\n";
  Config(home, a.section() + b.section() + absent);
  const uint16_t port = FreePort();
  Service s(home.path(), {"--home", home.path(), "--panel", std::to_string(port)});
  ASSERT_TRUE(s.waitForLog("now serving the settings of account 111111")) << s.log();
  ASSERT_TRUE(s.waitForLog("now serving the settings of account 222222")) << s.log();
  PanelClient panel(port);
  ASSERT_TRUE(panel.login(test::ReadAll(home.path() + "panel.token").substr(0, 64))) << s.log();

  auto accounts = panel.get("/api/accounts", "");
  ASSERT_TRUE(accounts);
  const Json list = Json::parse(accounts->body)["accounts"];
  ASSERT_EQ(list.size(), 3u) << accounts->body;
  EXPECT_EQ(list[0]["account"], "111111");
  EXPECT_EQ(list[1]["state"], "connected");
  EXPECT_EQ(list[1]["nick"], "号222222");
  EXPECT_EQ(list[2]["state"], "waiting");
  EXPECT_EQ(list[2]["ready"], false);

  // A change on one account's page stays that account's.
  auto changed =
      panel.post("/api/settings", "222222", Json{{"changes", {{"编辑框_进群等级", "33"}}}});
  ASSERT_TRUE(changed);
  EXPECT_EQ(changed->status, 200) << changed->body;
  auto status = panel.get("/api/status", "222222");
  ASSERT_TRUE(status);
  EXPECT_EQ(Json::parse(status->body)["connection"]["account"], "222222");
  EXPECT_THAT(Json::parse(status->body)["dataDirectory"].get<std::string>(),
              HasSubstr("/data/222222/"));
  // The run log is the account's own.
  auto logA = panel.get("/api/runlog?after=0", "111111");
  ASSERT_TRUE(logA);
  EXPECT_THAT(logA->body, Not(HasSubstr("进群等级")));
  // The account not connected yet shows its state, and its pages wait.
  auto waiting = panel.get("/api/status", "333333");
  ASSERT_TRUE(waiting);
  EXPECT_EQ(Json::parse(waiting->body)["connection"]["state"], "waiting");
  auto refused = panel.get("/api/groups", "333333");
  ASSERT_TRUE(refused);
  EXPECT_EQ(refused->status, 409);
  auto unknown = panel.get("/api/groups", "444444");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);

  ASSERT_EQ(s.stop(), 0) << s.log();
  EXPECT_EQ(ReadProfileString(home.path() + "data/222222/setsoft.ini", "编辑框", "编辑框_进群等级"),
            "33");
  EXPECT_EQ(ReadProfileString(home.path() + "data/111111/setsoft.ini", "编辑框", "编辑框_进群等级"),
            "10");
}

// The value of an option control anywhere in a panel page, "" when absent.
std::string ControlValue(const Json& node, const std::string& name) {
  if (node.is_object() && node.value("name", "") == name && node.contains("value"))
    return node["value"].is_string() ? node["value"].get<std::string>() : node["value"].dump();
  if (node.is_object() || node.is_array())
    for (const auto& child : node)
      if (std::string v = ControlValue(child, name); !v.empty()) return v;
  return "";
}

// The option as the account's running core has it, through its panel pages.
std::string PanelOption(PanelClient& panel, const std::string& account, const std::string& name) {
  for (const char* page : {"广告检测", "进群欢迎", "邀请统计", "名单设置", "更多功能"}) {
    auto res = panel.get(std::string("/api/page?name=") + page, account);
    if (!res || res->status != 200) continue;
    if (std::string v = ControlValue(Json::parse(res->body), name); !v.empty()) return v;
  }
  return "";
}

// The accounts the panel lists.
std::vector<std::string> PanelAccountList(PanelClient& panel) {
  std::vector<std::string> out;
  auto res = panel.get("/api/accounts", "");
  if (!res || res->status != 200) {
    ADD_FAILURE() << "the panel does not list its accounts: "
                  << (res ? std::to_string(res->status) + " " + res->body
                          : httplib::to_string(res.error()));
    return out;
  }
  const Json body = Json::parse(res->body);
  for (const auto& a : body["accounts"]) out.push_back(a["account"]);
  return out;
}

// An account of the listener that stays away longer than its held calls wait
// is released: its settings saved, its held calls failed as expired, its slot
// free for another account; when it connects again it starts from its data.
TEST(Accounts, AnAccountOfTheListenerAwayLongerThanItsHeldCallsIsReleasedAndComesBackFromItsData) {
  test::TempDir home;
  Account a(home, 111111, true);
  Account b(home, 222222, true);
  const uint16_t port = FreePort();
  const uint16_t panelPort = FreePort();
  // 49 forward accounts whose implementations never answer fill the slots but one.
  const std::string dead = "ws://127.0.0.1:" + std::to_string(FreePort());
  std::string sections;
  for (int i = 1; i <= 49; ++i)
    sections += "[account " + std::to_string(300000 + i) + "]\nurl=" + dead + "\n";
  Config(home, "[onebot]\naccess_token=s3cret\nlisten=" + std::to_string(port) +
                   "\nhold_seconds=2\n" + sections);
  Service s(home.path(), {"--home", home.path(), "--panel", std::to_string(panelPort)});
  ASSERT_TRUE(s.waitForLog("waiting for OneBot v11 implementations to connect")) << s.log();
  auto connect = [port](Account& acc) {
    test::ScriptedPeer::Dial dial;
    dial.port = port;
    dial.selfId = std::to_string(acc.number);
    dial.authorization = "Bearer s3cret";
    acc.peer.dial(dial);
    acc.peer.send({{"time", 1765112700},
                   {"self_id", acc.number},
                   {"post_type", "meta_event"},
                   {"meta_event_type", "lifecycle"},
                   {"sub_type", "connect"}});
  };
  connect(a);
  ASSERT_TRUE(s.waitForLog("account 111111: running")) << s.log();
  PanelClient panel(panelPort);
  ASSERT_TRUE(panel.login(test::ReadAll(home.path() + "panel.token").substr(0, 64))) << s.log();
  // A change that lives in the core's memory until a save.
  auto changed =
      panel.post("/api/settings", "111111", Json{{"changes", {{"编辑框_进群等级", "33"}}}});
  ASSERT_TRUE(changed);
  ASSERT_EQ(changed->status, 200) << changed->body;
  ASSERT_EQ(PanelOption(panel, "111111", "编辑框_进群等级"), "33");
  // All 50 slots are taken: the next account is refused.
  connect(b);
  ASSERT_TRUE(b.peer.waitForDialStatus(10s));
  EXPECT_EQ(b.peer.dialStatus(), 403) << s.log();
  EXPECT_THAT(s.log(), HasSubstr("account 222222 (a reverse connection) refused: one service "
                                 "runs at most 50"));

  // A kick goes out unanswered, then the link drops: the kick is held.
  a.peer.neverAnswer("set_group_kick");
  a.peer.send(a.message(1, 20001));
  ASSERT_TRUE(a.peer.nextRequest("set_group_kick", 20s)) << s.log();
  a.peer.dropClient();
  ASSERT_TRUE(s.waitForLog("account 111111: its implementation stayed away longer than 2 s", 30s))
      << s.log();
  EXPECT_THAT(s.log(), HasSubstr("its core is released, its settings saved in"));
  // Held, then failed as held calls expire, never as a stop's leftovers.
  EXPECT_THAT(s.log(), HasSubstr("account 111111: [踢人] 踢人失败"));
  EXPECT_THAT(s.log(), HasSubstr("已过期"));
  EXPECT_THAT(s.log(), Not(HasSubstr("服务停止时未完成")));
  EXPECT_EQ(ReadProfileString(home.path() + "data/111111/setsoft.ini", "编辑框", "编辑框_进群等级"),
            "33");
  // The panel lists it no more, with the same login.
  const std::vector<std::string> listed = PanelAccountList(panel);
  EXPECT_EQ(listed.size(), 49u) << s.log();
  EXPECT_EQ(std::count(listed.begin(), listed.end(), "111111"), 0);

  // Its slot lets the other account in.
  connect(b);
  ASSERT_TRUE(s.waitForLog("account 222222: running")) << s.log();
  EXPECT_EQ(b.peer.dialStatus(), 101);
  b.peer.dropClient();
  ASSERT_TRUE(s.waitForLog("account 222222: its implementation stayed away longer than 2 s", 30s))
      << s.log();

  // Back, the account starts from what was saved: the option, and no kick
  // sent twice (the one held expired with the core).
  const size_t kicksBefore = a.peer.received().size();
  connect(a);
  ASSERT_TRUE(
      s.waitForLog("account 111111: connected to the listener again after its core was "
                   "released; starting it from its data folder"))
      << s.log();
  const auto runningAgain = [&s] {
    const std::string log = s.log();
    size_t n = 0;
    for (size_t at = log.find("account 111111: running"); at != std::string::npos;
         at = log.find("account 111111: running", at + 1))
      ++n;
    return n;
  };
  for (int i = 0; i < 1500 && runningAgain() < 2; ++i) std::this_thread::sleep_for(20ms);
  ASSERT_EQ(runningAgain(), 2u) << s.log();
  EXPECT_EQ(PanelOption(panel, "111111", "编辑框_进群等级"), "33");
  EXPECT_THAT(PanelAccountList(panel), ::testing::Contains("111111"));
  const auto after = a.peer.received();
  for (size_t i = kicksBefore; i < after.size(); ++i)
    EXPECT_NE(after[i].frame.value("action", ""), "set_group_kick") << after[i].frame.dump();
  ASSERT_EQ(s.stop(), 0) << s.log();
}

// One update check for the whole process, however many accounts it serves,
// reported in the service log; the check asks only the loopback stub.
TEST(Accounts, TheServiceOfManyAccountsChecksForUpdatesOnceForAll) {
  test::TempDir home;
  Account a(home, 111111, true);
  Account b(home, 222222, true);
  test::LocalServer updates;
  std::atomic<int> versionRequests{0}, packageRequests{0};
  updates.server().Get("/bw/update.txt", [&](const httplib::Request&, httplib::Response& res) {
    ++versionRequests;
    res.set_content("2.3\n", "text/plain");
  });
  updates.server().Get("/bw/update.zip", [&](const httplib::Request&, httplib::Response& res) {
    ++packageRequests;
    res.set_content(std::string(600000, 'x'), "application/zip");
  });
  updates.start();
  Config(home, a.section() + b.section() + "[update]\nurl=" + updates.base("bw") + "\n");
  Service s(home.path(), {"--home", home.path(), "--no-panel"});
  ASSERT_TRUE(s.waitForLog("account 111111: running")) << s.log();
  ASSERT_TRUE(s.waitForLog("account 222222: running")) << s.log();
  ASSERT_TRUE(s.waitForLog("发现新版本 2.3，当前版本 2.2")) << s.log();
  ASSERT_EQ(s.stop(), 0) << s.log();
  EXPECT_EQ(versionRequests.load(), 1);
  EXPECT_EQ(packageRequests.load(), 0);  // reported only: the service installs nothing
  EXPECT_FALSE(FileExists(home.path() + "app/com.brindle.warden.cpk"));
}

}  // namespace
}  // namespace bw
