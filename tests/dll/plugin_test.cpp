// The plug-in's exports driven the way the legacy host drives them, against a
// fake host library (fake_cqp.cpp) bound through the plug-in's own loader:
// every CQ_* call the plug-in makes is recorded with the bytes it passed.
#include "dll/plugin.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dll/exports.h"
#include "dll/host_library.h"
#include "host/host_records.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "storage/account_list_table.h"
#include "storage/ini_file.h"
#include "storage/message_history_table.h"
#include "support/temp_dir.h"
#include "util/charset.h"
#include "util/clock.h"
#include "util/files.h"
#include "util/log.h"
#include "web/qq_services.h"

namespace bw::dll {
namespace {

template <typename Fn>
bool WaitUntil(Fn&& done) {
  for (int i = 0; i < 200; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  return done();
}

using namespace std::chrono_literals;
using ::testing::Contains;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr int32_t kAuth = 77;
constexpr int64_t kRobot = 10000;

class PluginHarness : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_.addDriver();
    runDirectory_ = run_.path().substr(0, run_.path().size() - 1);
    ASSERT_TRUE(EnsureDirectory(runDirectory_ + "/conf"));
    fake_ = HostLibrary::open(BW_FAKE_CQP);
    ASSERT_NE(fake_, nullptr);
    configure_ = reinterpret_cast<Configure>(fake_->symbol("fake_cqp_configure"));
    calls_ = reinterpret_cast<Calls>(fake_->symbol("fake_cqp_calls"));
    ASSERT_NE(configure_, nullptr);
    ASSERT_NE(calls_, nullptr);

    GroupMember member;
    member.group = 100;
    member.account = 20001;
    member.nickname = "张三";
    member.permission = 1;
    configure_(kRobot, Utf8ToGbk("uin=o10000; skey=@猫").c_str(),
               EncodeMemberList({member}).c_str());

    PluginOptions options;
    options.runDirectory = runDirectory_;
    options.hostLibrary = BW_FAKE_CQP;
    options.clock = &clock_;
    options.qq = &qq_;
    options.information = [this](const std::string& text) {
      std::lock_guard lock(mu_);
      boxes_.push_back(text);
      boxesCv_.notify_all();
    };
    options.terminateHost = [this] { terminated_ = true; };
    options.panelPort = 0;
    options.openBrowser = [this](const std::string& url) {
      std::lock_guard lock(mu_);
      opened_.push_back(url);
    };
    adjust(options);
    LoadPlugin(std::move(options));
    ASSERT_NE(CurrentPlugin(), nullptr);
  }
  virtual void adjust(PluginOptions&) {}
  std::vector<std::string> boxes() {
    std::lock_guard lock(mu_);
    return boxes_;
  }
  // Some boxes come from threads of their own.
  std::vector<std::string> waitForBoxes(size_t n) {
    std::unique_lock lock(mu_);
    boxesCv_.wait_for(lock, std::chrono::seconds(10), [&] { return boxes_.size() >= n; });
    return boxes_;
  }
  void TearDown() override { UnloadPlugin(); }

  // The recorded calls, one per entry.
  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    std::istringstream in(calls_());
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  std::string dataDirectory() const { return runDirectory_ + "/data/10000/"; }

  // Initialize, _eventStartup and _eventEnable, then waits for the startup
  // sequence on the window thread. `beforeEnable` runs once the data directory exists.
  template <typename Fn>
  void enable(Fn&& beforeEnable) {
    ASSERT_EQ(Initialize(kAuth), 0);
    ASSERT_EQ(_eventStartup(), 0);
    beforeEnable();
    ASSERT_EQ(_eventEnable(), 0);
    ASSERT_TRUE(CurrentPlugin()->robot().waitStartedUp());
  }
  void enable() {
    enable([] {});
  }

  using Configure = void (*)(int64_t, const char*, const char*);
  using Calls = const char* (*)();

  test::TempDir run_;
  std::string runDirectory_;
  std::unique_ptr<HostLibrary> fake_;
  Configure configure_ = nullptr;
  Calls calls_ = nullptr;
  // The test's own thread drives the clock: the pauses of the exports it calls
  // take no real time, while the plug-in's timers wait for the time the test
  // gives them instead of moving the clock under it.
  VirtualClock clock_{LocalTime(2026, 12, 7, 21, 5, 9), VirtualClock::Mode::kManual};
  OfflineQqServices qq_;
  std::mutex mu_;
  std::vector<std::string> boxes_;
  std::vector<std::string> opened_;  // what _menuA handed to the browser
  std::condition_variable boxesCv_;
  std::atomic<bool> terminated_{false};
};

// Loading another library or writing a file under the loader lock can hang a
// real host: the load itself binds nothing and writes nothing; Initialize does.
TEST_F(PluginHarness, InitializeNotTheLoadBindsTheHostAndWritesTheStatusKey) {
  const std::string cfg = runDirectory_ + "/conf/CQP.cfg";
  EXPECT_FALSE(CurrentPlugin()->host().bound());
  EXPECT_EQ(ReadProfileString(cfg, "App", "com.brindle.warden.status", "missing"), "missing");
  EXPECT_STREQ(AppInfo(), "9,com.brindle.warden");
  EXPECT_FALSE(CurrentPlugin()->host().bound()) << "AppInfo needs no host";

  ASSERT_EQ(Initialize(kAuth), 0);
  EXPECT_TRUE(CurrentPlugin()->host().bound());
  EXPECT_EQ(ReadProfileString(cfg, "App", "com.brindle.warden.status", "missing"), "1");
}

TEST_F(PluginHarness, AppInfoKeepsOneBufferPerExport) {
  const std::string first = AppInfo();
  const char* second = AppInfo();
  EXPECT_EQ(first, "9,com.brindle.warden");
  EXPECT_EQ(std::string(second), first);
  // The other text exports keep their own buffers: AppInfo's text survives them.
  bw_ComputeGtk("skey");
  EXPECT_EQ(std::string(second), first);
}

TEST_F(PluginHarness, LifecycleCallsTheHostInOrderWithTheAuthCode) {
  ASSERT_EQ(Initialize(kAuth), 0);
  EXPECT_TRUE(calls().empty()) << "Initialize asks the host nothing";
  ASSERT_EQ(_eventStartup(), 0);
  EXPECT_THAT(calls(), ElementsAre("CQ_getLoginQQ|77"));
  EXPECT_TRUE(DirectoryExists(dataDirectory() + "群数据"));

  ASSERT_EQ(_eventEnable(), 0);
  ASSERT_TRUE(CurrentPlugin()->robot().waitStartedUp());
  const std::vector<std::string> all = calls();
  ASSERT_GE(all.size(), 5u);
  EXPECT_THAT(std::vector<std::string>(all.begin(), all.begin() + 5),
              ElementsAre("CQ_getLoginQQ|77", "CQ_getCookies|77", "CQ_getCsrfToken|77",
                          "CQ_getLoginQQ|77", "CQ_getLoginQQ|77"));
  EXPECT_THAT(all, Each(HasSubstr("|77")));
  // The host's GBK cookie text reaches the core as UTF-8.
  EXPECT_EQ(CurrentPlugin()->lifecycle().cookies(), "uin=o10000; skey=@猫");
  EXPECT_EQ(CurrentPlugin()->lifecycle().csrfToken(), "1234567");
  EXPECT_EQ(CurrentPlugin()->lifecycle().loginAccount(), "10000");

  EXPECT_EQ(_eventDisable(), 0);
  EXPECT_EQ(_menuB(), 0);
  EXPECT_THAT(boxes(), ElementsAre("这是menuB，在这里载入窗口，或者进行其他工作。"));
  EXPECT_EQ(_eventExit(), 0);
}

TEST_F(PluginHarness, MemberListIsDecodedFromTheHostsRecord) {
  enable();
  std::vector<GroupMember> members;
  ASSERT_EQ(CurrentPlugin()->host().CQ_getGroupMemberList(100, members), 0);
  ASSERT_EQ(members.size(), 1u);
  EXPECT_EQ(members[0].account, 20001);
  EXPECT_EQ(members[0].nickname, "张三");
  EXPECT_THAT(calls(), Contains("CQ_getGroupMemberList|77|100"));

  configure_(kRobot, "", "");
  EXPECT_EQ(CurrentPlugin()->host().CQ_getGroupMemberList(100, members), kMemberListFailed);
  EXPECT_EQ(members.size(), 1u) << "a failed call leaves the list as it was";
}

TEST_F(PluginHarness, BannedWordInGbkIsWarnedThenKickedInGbk) {
  const std::string advert = Utf8ToGbk("加我微信");
  // Before the running flag: acknowledged and lost.
  EXPECT_EQ(_eventGroupMsg(1, 1, 100, 20002, nullptr, advert.c_str(), 0), 0);
  EXPECT_EQ(_eventGroupMsg(1, 2, 100, 20002, nullptr, advert.c_str(), 0), 0);
  enable(
      [&] { test::WriteAll(dataDirectory() + "群列表.txt", "{1}1----100----我的群----群主\r\n"); });
  Settings& settings = CurrentPlugin()->lifecycle().settings();
  settings.setChecked(opt::kAdDetectionOn, true);
  settings.setChecked(opt::kWarnBeforePunish, true);
  settings.setText(opt::kWarningsBeforePunish, "2");

  // Null texts are empty texts: nothing to punish, nothing crashes.
  EXPECT_EQ(_eventGroupMsg(1, 3, 100, 20001, nullptr, nullptr, 0), 0);
  EXPECT_EQ(_eventPrivateMsg(11, 4, 20001, nullptr, 0), 0);
  EXPECT_EQ(_eventRequest_AddGroup(1, 0, 100, 20003, nullptr, nullptr), 0);
  EXPECT_EQ(_eventGroupMsg(1, 5, 100, 20001, nullptr, advert.c_str(), 0), 0);
  EXPECT_EQ(_eventGroupMsg(1, 6, 100, 20001, nullptr, advert.c_str(), 0), 0);
  CurrentPlugin()->lifecycle().waitIdle();

  std::vector<std::string> acting;
  for (const std::string& c : calls()) {
    if (c.starts_with("CQ_send") || c.starts_with("CQ_setGroup")) acting.push_back(c);
  }
  EXPECT_THAT(
      acting,
      ElementsAre("CQ_sendGroupMsg|77|100|" +
                      Utf8ToGbk("【[CQ:at,qq=20001] 】本群禁止发广告，警告一次，下次再发踢"),
                  "CQ_setGroupKick|77|100|20001|0"));
}

TEST_F(PluginHarness, JoinRequestOfABlacklistedAccountIsRefusedInGbk) {
  enable(
      [&] { test::WriteAll(dataDirectory() + "群列表.txt", "{1}1----100----我的群----群主\r\n"); });
  CurrentPlugin()->lifecycle().settings().setChecked(opt::kJoinReviewOn, true);
  ASSERT_TRUE(CurrentPlugin()->robot().modules.accountLists.addToList(AccountList::kBlacklist,
                                                                      int64_t{20003}));
  // The host's flag is its own token; it must come back with the same bytes.
  const std::string flag = Utf8ToGbk("标记-1");
  EXPECT_EQ(_eventRequest_AddGroup(1, 0, 100, 20003, Utf8ToGbk("我想进群").c_str(), flag.c_str()),
            0);
  CurrentPlugin()->lifecycle().waitIdle();
  EXPECT_THAT(calls(), Contains("CQ_setGroupAddRequestV2|77|" + flag + "|1|2|" +
                                Utf8ToGbk("你已经在黑名单里面禁止入群有问题联系群主或管理员!")));
}

TEST_F(PluginHarness, InternalErrorIsReportedThroughSetFatal) {
  enable(
      [&] { test::WriteAll(dataDirectory() + "群列表.txt", "{1}1----100----我的群----群主\r\n"); });
  CurrentPlugin()->lifecycle().settings().setChecked(opt::kAdDetectionOn, true);
  using FailActions = void (*)(int);
  auto failActions = reinterpret_cast<FailActions>(fake_->symbol("fake_cqp_fail_actions"));
  ASSERT_NE(failActions, nullptr);
  failActions(1);
  EXPECT_EQ(_eventGroupMsg(1, 1, 100, 20001, nullptr, Utf8ToGbk("加我微信").c_str(), 0), 0);
  CurrentPlugin()->lifecycle().waitIdle();
  failActions(0);
  EXPECT_THAT(calls(),
              Contains("CQ_setFatal|77|group message: the host refused the call (ERROR1)"));
}

// A kept message lasts its group's days of the test's time: the hourly pass
// runs on the hours the test gives, and no background sleep moves the clock.
TEST_F(PluginHarness, KeptMessagesLastTheirDaysOfTheTestsTime) {
  enable(
      [&] { test::WriteAll(dataDirectory() + "群列表.txt", "{1}1----100----我的群----群主\r\n"); });
  CurrentPlugin()->lifecycle().settings().setText(opt::kHistoryGroups, "100:1");
  const SystemTime start = clock_.now();
  EXPECT_EQ(_eventGroupMsg(1, 1, 100, 20001, nullptr, Utf8ToGbk("早上好").c_str(), 0), 0);
  CurrentPlugin()->lifecycle().waitIdle();
  MessageHistoryTable& table = CurrentPlugin()->robot().modules.historyTable;
  ASSERT_EQ(table.count(kRobot, 100), 1);

  // Each wait ends once the timer has made its pass and sleeps towards the next hour.
  ASSERT_TRUE(clock_.waitForSleeperUntil(start + 1h))
      << "the clock moved by " << (clock_.now() - start) / 1min << " minutes";
  clock_.advance(23h);
  ASSERT_TRUE(clock_.waitForSleeperUntil(start + 24h));
  EXPECT_EQ(table.count(kRobot, 100), 1) << "within its day";
  clock_.advance(2h);
  ASSERT_TRUE(clock_.waitForSleeperUntil(start + 26h));
  EXPECT_EQ(table.count(kRobot, 100), 0) << "past its day";
  EXPECT_EQ(clock_.now() - start, 25h) << "only the test moves the clock";
}

// The threads of this process, from the kernel's list.
size_t ThreadCount() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/task"))
    ++n;
  return n;
}

TEST_F(PluginHarness, MenuAOpensThePanelLoggedInAndExitEndsEveryThread) {
  const size_t threadsBefore = ThreadCount();
  EXPECT_EQ(_menuA(), 0);
  EXPECT_TRUE(opened_.empty()) << "before the running flag _menuA does nothing";
  enable();
  ASSERT_TRUE(WaitUntil([&] { return !CurrentPlugin()->panelUrl().empty(); }));
  EXPECT_GT(ThreadCount(), threadsBefore);

  EXPECT_EQ(_menuA(), 0);
  std::string url;
  {
    std::lock_guard lock(mu_);
    ASSERT_EQ(opened_.size(), 1u);
    url = opened_[0];
  }
  const std::string base = CurrentPlugin()->panelUrl();
  ASSERT_THAT(url, StartsWith(base + "login?token="));
  // The browser's visit: the link logs in and lands on the panel.
  const std::string host = base.substr(7, base.size() - 8);  // 127.0.0.1:port
  httplib::Client browser(host.substr(0, host.find(':')),
                          std::stoi(host.substr(host.find(':') + 1)));
  httplib::Result login = browser.Get(url.substr(base.size() - 1));
  ASSERT_TRUE(login);
  EXPECT_EQ(login->status, 303);
  const std::string cookie = login->get_header_value("Set-Cookie");
  ASSERT_FALSE(cookie.empty());
  httplib::Result status =
      browser.Get("/api/status", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
  ASSERT_TRUE(status);
  EXPECT_EQ(status->status, 200);
  EXPECT_THAT(status->body, HasSubstr("\"account\":\"10000\""));
  EXPECT_THAT(status->body, HasSubstr("\"ready\":true"));
  // Without the link's token nothing is shown.
  httplib::Result anonymous = browser.Get("/api/status");
  ASSERT_TRUE(anonymous);
  EXPECT_EQ(anonymous->status, 401);

  // _eventExit: the panel stops, every thread of the plug-in is joined and
  // the settings are saved.
  EXPECT_EQ(_eventExit(), 0);
  EXPECT_EQ(CurrentPlugin()->panelUrl(), "");
  EXPECT_FALSE(browser.Get("/api/status"));
  EXPECT_EQ(ThreadCount(), threadsBefore);
  EXPECT_TRUE(FileExists(dataDirectory() + "setsoft.ini"));
  EXPECT_EQ(_menuA(), 0);
  std::lock_guard lock(mu_);
  EXPECT_EQ(opened_.size(), 1u) << "no panel after _eventExit";
}

TEST_F(PluginHarness, ExportsAnswerZeroWithoutAPlugin) {
  UnloadPlugin();
  EXPECT_EQ(Initialize(kAuth), 0);
  EXPECT_EQ(_eventGroupMsg(1, 1, 100, 20001, nullptr, "x", 0), 0);
  EXPECT_STREQ(AppInfo(), "");
  EXPECT_TRUE(calls().empty());
}

// The log lines written while it exists.
class LogCapture {
 public:
  LogCapture() {
    previous_ = SetLogSink([this](LogLevel, std::string_view text) {
      std::lock_guard lock(mu_);
      lines_.emplace_back(text);
    });
  }
  ~LogCapture() { SetLogSink(std::move(previous_)); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  std::mutex mu_;
  std::vector<std::string> lines_;
  LogSink previous_;
};

// A host that unloads the library without _eventExit and loads it again: the
// library stayed loaded for its threads, so the same instance sees a second
// Initialize. The old instance calls the host no more and ends; a fresh one
// runs the startup sequence again with the new AuthCode.
TEST_F(PluginHarness, ReloadWithoutExitStopsTheOldInstanceAndStartsUpAgain) {
  const size_t threadsBefore = ThreadCount();
  enable(
      [&] { test::WriteAll(dataDirectory() + "群列表.txt", "{1}1----100----我的群----群主\r\n"); });
  ASSERT_TRUE(WaitUntil([&] { return !CurrentPlugin()->panelUrl().empty(); }));

  LogCapture log;
  configure_(kRobot, Utf8ToGbk("uin=o10000; skey=@猫").c_str(), "");  // clears the record
  EXPECT_STREQ(AppInfo(), "9,com.brindle.warden");
  ASSERT_EQ(Initialize(78), 0);
  EXPECT_FALSE(CurrentPlugin()->robot().startedUp()) << "a fresh instance";
  ASSERT_EQ(_eventStartup(), 0);
  ASSERT_EQ(_eventEnable(), 0);
  ASSERT_TRUE(CurrentPlugin()->robot().waitStartedUp());
  ASSERT_TRUE(WaitUntil([&] { return !CurrentPlugin()->panelUrl().empty(); }));

  // The startup sequence ran again: it refreshes the managed group's members.
  EXPECT_TRUE(WaitUntil([&] {
    const std::vector<std::string> all = calls();
    return std::find(all.begin(), all.end(), "CQ_getGroupMemberList|78|100") != all.end();
  })) << ::testing::PrintToString(calls());
  EXPECT_THAT(calls(), Each(HasSubstr("|78"))) << "nothing of the old instance reached the host";
  EXPECT_THAT(log.lines(),
              Contains(HasSubstr("initializes the plug-in again without having ended it")));
  // The old instance's threads ended with it: after the fresh one's exit none is left.
  EXPECT_EQ(_eventExit(), 0);
  EXPECT_EQ(ThreadCount(), threadsBefore);
}

// A FreeLibrary without _eventExit (DllMain's DLL_PROCESS_DETACH): no host call
// is made any more, and the next load starts from nothing.
TEST_F(PluginHarness, LibraryUnloadWithoutExitCallsTheHostNoMoreAndTheNextLoadStartsUp) {
  enable(
      [&] { test::WriteAll(dataDirectory() + "群列表.txt", "{1}1----100----我的群----群主\r\n"); });
  CurrentPlugin()->lifecycle().settings().setChecked(opt::kAdDetectionOn, true);
  PluginOptions options = CurrentPlugin()->options();
  configure_(kRobot, "", EncodeMemberList({}).c_str());
  UnloadPluginForLibraryUnload();
  EXPECT_EQ(CurrentPlugin(), nullptr);
  EXPECT_EQ(_eventGroupMsg(1, 1, 100, 20001, nullptr, Utf8ToGbk("加我微信").c_str(), 0), 0);
  EXPECT_THAT(calls(), ::testing::IsEmpty());

  LoadPlugin(options);
  ASSERT_EQ(Initialize(79), 0);
  ASSERT_EQ(_eventStartup(), 0);
  ASSERT_EQ(_eventEnable(), 0);
  ASSERT_TRUE(CurrentPlugin()->robot().waitStartedUp());
  EXPECT_TRUE(WaitUntil([&] {
    const std::vector<std::string> all = calls();
    return std::find(all.begin(), all.end(), "CQ_getGroupMemberList|79|100") != all.end();
  })) << ::testing::PrintToString(calls());
  EXPECT_EQ(_eventExit(), 0);
}

// Once stopped, a bound host answers every call with its failure result and
// the host library sees none of them.
TEST_F(PluginHarness, StoppedHostCallsNothing) {
  CqpHost host;
  host.bind(HostLibrary::open(BW_FAKE_CQP));
  host.setAuthCode(kAuth);
  ASSERT_TRUE(host.bound());
  EXPECT_EQ(host.CQ_getLoginQQ(), kRobot);
  host.stopCalls();
  std::vector<GroupMember> members;
  EXPECT_EQ(host.CQ_sendGroupMsg(100, "x"), -1);
  EXPECT_EQ(host.CQ_setGroupKick(100, 20001, false), -1);
  EXPECT_EQ(host.CQ_getLoginQQ(), 0);
  EXPECT_EQ(host.CQ_getGroupMemberList(100, members), kMemberListFailed);
  host.CQ_setFatal("late");
  EXPECT_THAT(calls(), ElementsAre("CQ_getLoginQQ|77"));
}

// An update server on loopback that offers a newer version. The package is
// only taken over HTTPS, so from this server the install fails.
class PluginUpdateHarness : public PluginHarness {
 protected:
  void adjust(PluginOptions& options) override {
    server_.Get("/update.txt", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("9.9", "text/plain");
    });
    server_.Get("/update.zip", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(std::string(600000, 'P'), "application/zip");
    });
    const int port = server_.bind_to_any_port("127.0.0.1");
    ASSERT_GT(port, 0);
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    options.updateBaseUrl = "http://127.0.0.1:" + std::to_string(port) + "/";
  }
  void TearDown() override {
    PluginHarness::TearDown();
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  httplib::Server server_;
  std::thread thread_;
};

TEST_F(PluginUpdateHarness, FailedInstallIsReportedAndEnablingGoesOn) {
  enable();
  EXPECT_THAT(waitForBoxes(2), ::testing::UnorderedElementsAre("有新版本正在更新", "更新失败"));
  EXPECT_FALSE(terminated_.load());
  EXPECT_FALSE(FileExists(runDirectory_ + "/app/com.brindle.warden.cpk"));
  EXPECT_TRUE(CurrentPlugin()->lifecycle().running());
}

}  // namespace
}  // namespace bw::dll
