// The sandbox itself: it waits for the robot's data, leaves no copy behind,
// and what it does on the copy never reads as the robot's own in the service
// log.
#include "core/sandbox.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "core/lifecycle.h"
#include "host/recording_host.h"
#include "storage/ini_file.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "util/files.h"

namespace bw {
namespace {

using ::testing::HasSubstr;

// TMPDIR pointed at a directory of the test's own while it lives.
class TempDirectoryHere {
 public:
  explicit TempDirectoryHere(const std::string& dir) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    ::setenv("TMPDIR", dir.c_str(), 1);
  }
  ~TempDirectoryHere() {
    if (old_.empty()) {
      ::unsetenv("TMPDIR");
    } else {
      ::setenv("TMPDIR", old_.c_str(), 1);
    }
  }

 private:
  std::string old_;
};

class SandboxTest : public ::testing::Test {
 protected:
  SandboxTest()
      : clock(LocalTime(2026, 12, 7, 21, 5, 9)),
        lifecycle(host, clock, qq, run.path() + "home", QueueMode::kSynchronous),
        core(lifecycle, Options()) {
    const std::string data = run.path() + "home/data/10000/";
    EXPECT_TRUE(EnsureDirectory(data));
    EXPECT_TRUE(WriteFileAtomic(data + "群列表.txt", "{1}1----100----测试群----群主\r\n"));
    EXPECT_TRUE(WriteProfileString(data + "setsoft.ini", "选择框", "选择框_开启广告检测", "真"));
  }
  static CoreOptions Options() {
    CoreOptions o;
    o.refreshInsideStartup = true;
    return o;
  }
  void start() {
    lifecycle.setHooks(core.hooks());
    lifecycle.Initialize(1);
    lifecycle._eventStartup();
    lifecycle._eventEnable();
    ASSERT_TRUE(core.startedUp());
  }

  test::TempDir run;
  test::TempDir temp;
  RecordingHost host;
  VirtualClock clock;
  OfflineQqServices qq;
  Lifecycle lifecycle;
  RobotCore core;
};

const SandboxEvent kBannedWord{SandboxEvent::Kind::kGroupMessage, 100, 20001, 0, "加我微信"};

TEST_F(SandboxTest, BeforeTheRobotHasLoadedItsDataThereIsNothingToCopy) {
  SandboxOutcome outcome;
  const Status s = RunSandbox(core, kBannedWord, outcome);
  EXPECT_FALSE(s.ok());
  EXPECT_THAT(s.message(), HasSubstr("not loaded"));
  EXPECT_TRUE(outcome.calls.empty());
}

TEST_F(SandboxTest, TheCopyIsRemovedAndItsWorkIsMarkedInTheServiceLog) {
  start();
  const TempDirectoryHere here(temp.path());
  test::LogCapture log;
  SandboxOutcome outcome;
  ASSERT_TRUE(RunSandbox(core, kBannedWord, outcome).ok());
  ASSERT_EQ(outcome.calls.size(), 1u);
  EXPECT_EQ(outcome.calls[0].action, "set_group_kick");
  EXPECT_TRUE(outcome.managed);
  // No copy is left in the temporary directory.
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  // The kick on the copy is not reported as the robot's, and whatever the copy
  // logged says so.
  EXPECT_TRUE(log.matching({"踢出"}).empty());
  EXPECT_FALSE(log.matching({"试一试 (副本): 功能状态:"}).empty());
  for (const std::string& line : log.lines()) EXPECT_THAT(line, HasSubstr("试一试 (副本): "));
  // The robot's own lines are unmarked again afterwards.
  LogInfo("after");
  EXPECT_EQ(log.lines().back(), "after");
}

TEST_F(SandboxTest, ANulInTheTypedTextHidesNothingFromTheRules) {
  start();
  SandboxEvent event = kBannedWord;
  event.text = std::string("加我") + '\0' + "微信";
  SandboxOutcome outcome;
  ASSERT_TRUE(RunSandbox(core, event, outcome).ok());
  ASSERT_EQ(outcome.calls.size(), 1u);
  EXPECT_EQ(outcome.calls[0].action, "set_group_kick");
}

}  // namespace
}  // namespace bw
