#include "core/lifecycle.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/recording_host.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

// Thread-safe list of what hooks and handlers saw.
class Trace {
 public:
  void add(std::string s) {
    std::lock_guard lock(mu_);
    lines_.push_back(std::move(s));
    cv_.notify_all();
  }
  std::vector<std::string> get() {
    std::lock_guard lock(mu_);
    return lines_;
  }
  bool waitFor(const std::string& line, std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] {
      return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

class LifecycleTest : public ::testing::TestWithParam<QueueMode> {
 protected:
  LifecycleTest() : clock(LocalTime(2026, 12, 7, 21, 5, 9)) {
    host.setLoginQQ(123456);
    host.setCookies("uin=o123456; skey=@abc");
    host.setCsrfToken(-42);
    runDirectory = dir.path().substr(0, dir.path().size() - 1);
  }

  // Hooks that trace every call; startup sets the running flag like the
  // settings window's creation handler does.
  LifecycleHooks TracingHooks() {
    LifecycleHooks h;
    h.webTokens = [this](Lifecycle& p) {
      trace.add("webTokens " + p.cookies() + " " + p.csrfToken());
    };
    h.updateCheck = [this](Lifecycle&) { trace.add("updateCheck"); };
    h.startup = [this](Lifecycle& p) {
      trace.add("startup " + p.loginAccount());
      p.setRunning();
      trace.add("running");
    };
    h.menuA = [this](Lifecycle&) { trace.add("menuA"); };
    h.exit = [this](Lifecycle&) { trace.add("exit"); };
    h.information = [this](const std::string& text) { trace.add("info " + text); };
    h.handlers.groupMessage = [this](const GroupMessageRecord& r) {
      trace.add("group " + std::to_string(r.msgId) + " " + std::to_string(r.fromGroup) + " " +
                std::to_string(r.fromQQ) + " [" + r.msg + "] " + std::to_string(r.font));
    };
    h.handlers.joinRequest = [this](const JoinRequestRecord& r) {
      trace.add("request " + std::to_string(r.subType) + " " + std::to_string(r.sendTime) + " " +
                std::to_string(r.fromGroup) + " " + std::to_string(r.fromQQ) + " [" + r.msg +
                "] [" + r.responseFlag + "]");
    };
    h.handlers.memberIncrease = [this](const MemberChangeRecord& r) {
      trace.add("increase " + std::to_string(r.fromGroup) + " " + std::to_string(r.fromQQ) + " " +
                std::to_string(r.beingOperateQQ));
    };
    h.handlers.memberDecrease = [this](const MemberChangeRecord& r) {
      trace.add("decrease " + std::to_string(r.subType) + " " + std::to_string(r.fromGroup) + " " +
                std::to_string(r.beingOperateQQ));
    };
    h.handlers.privateMessage = [this](const PrivateMessageRecord& r) {
      trace.add("private " + std::to_string(r.fromQQ) + " " + std::to_string(r.msgId) + " [" +
                r.msg + "]");
    };
    return h;
  }

  // Initialize, startup and enable, as the host does; waits for the flag.
  void Start(Lifecycle& p) {
    EXPECT_EQ(p.Initialize(77), 0);
    EXPECT_EQ(p._eventStartup(), 0);
    EXPECT_EQ(p._eventEnable(), 0);
    ASSERT_TRUE(trace.waitFor("running"));
  }

  test::TempDir dir;
  std::string runDirectory;
  VirtualClock clock;
  RecordingHost host;
  OfflineQqServices qq;
  Trace trace;
};

TEST(LifecycleStaticTest, AppInfoNamesApiVersionAndIdentifier) {
  EXPECT_EQ(Lifecycle::AppInfo(), "9,com.brindle.warden");
}

TEST_P(LifecycleTest, LifecycleFillsTheProcessState) {
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), TracingHooks());
  EXPECT_EQ(p.authCode(), 0);
  EXPECT_EQ(p.dataDirectory(), "");
  EXPECT_EQ(p.Initialize(77), 0);
  EXPECT_EQ(p.authCode(), 77);

  EXPECT_EQ(p._eventStartup(), 0);
  const std::string data = runDirectory + "/data/123456/";
  EXPECT_EQ(p.dataDirectory(), data);
  EXPECT_TRUE(DirectoryExists(data + "群数据/"));
  EXPECT_EQ(p.groupLog().directory(), data + "群数据/");
  EXPECT_FALSE(p.running());

  EXPECT_EQ(p._eventEnable(), 0);
  ASSERT_TRUE(trace.waitFor("running"));
  EXPECT_TRUE(p.running());
  EXPECT_EQ(p.cookies(), "uin=o123456; skey=@abc");
  EXPECT_EQ(p.csrfToken(), "-42");
  EXPECT_EQ(p.loginAccount(), "123456");
  EXPECT_EQ(p.identity().loginAccount(), "123456");
  EXPECT_EQ(p.identity().runDirectory(), runDirectory);
  EXPECT_THAT(trace.get(), ElementsAre("webTokens uin=o123456; skey=@abc -42", "updateCheck",
                                       "startup 123456", "running"));
}

TEST_P(LifecycleTest, EnableAgainRefreshesTokensButStartsTheWindowOnce) {
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), TracingHooks());
  Start(p);
  EXPECT_EQ(p._eventDisable(), 0);
  host.setCookies("uin=o123456; skey=@new");
  host.setLoginQQ(654321);
  EXPECT_EQ(p._eventEnable(), 0);
  p.waitIdle();
  EXPECT_EQ(p.cookies(), "uin=o123456; skey=@new");
  // The later directory wins; it is created too.
  EXPECT_EQ(p.dataDirectory(), runDirectory + "/data/654321/");
  EXPECT_TRUE(DirectoryExists(runDirectory + "/data/654321/群数据/"));
  auto lines = trace.get();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "startup 123456"), 1);
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "updateCheck"), 2);
}

TEST_P(LifecycleTest, EventsBeforeTheRunningFlagAreAcknowledgedAndLost) {
  LifecycleHooks hooks = TracingHooks();
  hooks.startup = [this](Lifecycle&) { trace.add("running"); };  // window never made
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), std::move(hooks));
  Start(p);
  p.managedGroups().replace({100});
  EXPECT_EQ(p._eventGroupMsg(1, 1, 100, 5, nullptr, "hi", 0), 0);
  EXPECT_EQ(p._eventPrivateMsg(11, 1, 5, "hi", 0), 0);
  EXPECT_EQ(p._eventSystem_GroupMemberIncrease(1, 0, 100, 0, 5), 0);
  EXPECT_EQ(p._eventSystem_GroupMemberDecrease(1, 0, 100, 0, 5), 0);
  EXPECT_EQ(p._eventRequest_AddGroup(1, 0, 100, 5, "", "f"), 0);
  // Without the flag, exit and menu A do nothing; menu B always answers.
  EXPECT_EQ(p._eventExit(), 0);
  EXPECT_EQ(p._menuA(), 0);
  EXPECT_EQ(p._menuB(), 0);
  p.waitIdle();
  EXPECT_THAT(trace.get(),
              ElementsAre("webTokens uin=o123456; skey=@abc -42", "updateCheck", "running",
                          "info 这是menuB，在这里载入窗口，或者进行其他工作。"));
}

TEST_P(LifecycleTest, HandledKindsReachTheirHandlersWithTheHostsArguments) {
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), TracingHooks());
  Start(p);
  p.managedGroups().replace({100});
  EXPECT_EQ(p._eventGroupMsg(1, 9, 100, 5, nullptr, "你好", 3), 0);
  // Anonymous: queued with the sender number the host gave.
  EXPECT_EQ(p._eventGroupMsg(3, 10, 100, kAnonymousSender, "base64", nullptr, 0), 0);
  EXPECT_EQ(p._eventGroupMsg(1, 11, 999, 5, nullptr, "other group", 0), 0);
  EXPECT_EQ(p._eventPrivateMsg(11, -7, 5, nullptr, 0), 0);
  EXPECT_EQ(p._eventRequest_AddGroup(1, 1700000000, 100, 6, "我想加群", nullptr), 0);
  EXPECT_EQ(p._eventRequest_AddGroup(1, 1700000000, 999, 6, "x", "f"), 0);
  EXPECT_EQ(p._eventSystem_GroupMemberIncrease(1, 0, 100, 1, 7), 0);
  EXPECT_EQ(p._eventSystem_GroupMemberIncrease(1, 0, 100, 1, 7), 0);  // repeat
  EXPECT_EQ(p._eventSystem_GroupMemberDecrease(2, 0, 999, 1, 8), 0);
  // Kinds the robot does not handle.
  EXPECT_EQ(p._eventDiscussMsg(1, 1, 300, 5, "d", 0), 0);
  EXPECT_EQ(p._eventGroupUpload(1, 0, 100, 5, nullptr), 0);
  EXPECT_EQ(p._eventSystem_GroupAdmin(1, 0, 100, 5), 0);
  EXPECT_EQ(p._eventFriend_Add(1, 0, 5), 0);
  EXPECT_EQ(p._eventRequest_AddFriend(1, 0, 5, nullptr, nullptr), 0);
  p.waitIdle();
  auto lines = trace.get();
  lines.erase(lines.begin(), lines.begin() + 4);  // the lifecycle lines
  EXPECT_THAT(lines,
              UnorderedElementsAre("group 9 100 5 [你好] 3", "group 10 100 80000000 [] 0",
                                   "private 5 -7 []", "request 1 1700000000 100 6 [我想加群] []",
                                   "increase 100 1 7", "decrease 2 999 8"));
  // Nothing reached the host on the way.
  EXPECT_THAT(host.actions(), IsEmpty());
}

TEST_P(LifecycleTest, DisableLeavesEventHandlingOnAndExitClosesTheWindow) {
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), TracingHooks());
  Start(p);
  EXPECT_EQ(p._eventDisable(), 0);
  EXPECT_EQ(p._eventPrivateMsg(11, 1, 5, "after disable", 0), 0);
  EXPECT_EQ(p._menuA(), 0);
  EXPECT_EQ(p._eventExit(), 0);
  p.waitIdle();
  EXPECT_FALSE(p.database().connected());
  auto lines = trace.get();
  EXPECT_THAT(std::vector<std::string>(lines.begin() + 4, lines.end()),
              UnorderedElementsAre("private 5 1 [after disable]", "menuA", "exit"));
}

TEST_P(LifecycleTest, HandlerFailuresStayInsideTheWorker) {
  LifecycleHooks hooks = TracingHooks();
  hooks.handlers.privateMessage = [this](const PrivateMessageRecord& r) {
    if (r.msg == "boom") throw std::runtime_error("handler broke");
    trace.add("private " + r.msg);
  };
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), std::move(hooks));
  Start(p);
  EXPECT_EQ(p._eventPrivateMsg(11, 1, 5, "boom", 0), 0);
  EXPECT_EQ(p._eventPrivateMsg(11, 2, 5, "next", 0), 0);
  p.waitIdle();
  EXPECT_EQ(trace.get().back(), "private next");
}

TEST_P(LifecycleTest, RuntimeErrorsReachTheHostAsFatalText) {
  LifecycleHooks hooks = TracingHooks();
  RuntimeErrorReporter installed;
  hooks.installErrorReporter = [&](Lifecycle&, RuntimeErrorReporter r) {
    installed = std::move(r);
  };
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), std::move(hooks));
  EXPECT_EQ(p.Initialize(1), 0);
  ASSERT_TRUE(installed);
  installed("数组越界", 7);
  auto calls = host.calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].action, "set_fatal");
  EXPECT_EQ(calls[0].text, "数组越界 (ERROR7)");
}

TEST_P(LifecycleTest, ShutdownStopsWorkersAndTheWindowThread) {
  Lifecycle p(host, clock, qq, runDirectory, GetParam(), TracingHooks());
  Start(p);
  p.shutdown();
  EXPECT_TRUE(p.stopToken().stop_requested());
  EXPECT_FALSE(p.running());
  EXPECT_EQ(p._eventPrivateMsg(11, 1, 5, "late", 0), 0);
  p.shutdown();  // idempotent
  EXPECT_EQ(trace.get().size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(Modes, LifecycleTest,
                         ::testing::Values(QueueMode::kThreaded, QueueMode::kSynchronous),
                         [](const auto& info) {
                           return info.param == QueueMode::kThreaded ? "Threaded" : "Synchronous";
                         });

TEST(LifecycleThreadedTest, EntryPointsReturnWhileAHandlerIsBusy) {
  test::TempDir dir;
  VirtualClock clock(LocalTime(2026, 12, 7));
  RecordingHost host;
  OfflineQqServices qq;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> handled{0};
  LifecycleHooks hooks;
  hooks.startup = [](Lifecycle& p) { p.setRunning(); };
  hooks.handlers.groupMessage = [&](const GroupMessageRecord&) {
    released.wait();
    ++handled;
  };
  Lifecycle p(host, clock, qq, dir.path() + "run", QueueMode::kThreaded, std::move(hooks));
  p.managedGroups().replace({100});
  p._eventEnable();
  for (int i = 0; i < 100 && !p.running(); ++i) std::this_thread::sleep_for(10ms);
  ASSERT_TRUE(p.running());
  auto sender = std::async(std::launch::async, [&] {
    for (int i = 0; i < 50; ++i) p._eventGroupMsg(1, i, 100, 5, nullptr, "x", 0);
  });
  // All fifty return although the first is still being handled.
  EXPECT_EQ(sender.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(handled.load(), 0);
  release.set_value();
  p.waitIdle();
  EXPECT_EQ(handled.load(), 50);
}

}  // namespace
}  // namespace bw
