// The composition of the robot: startup through the plug-in's lifecycle, the
// switches afterwards, and the clean stop.
#include "core/robot_core.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "storage/ini_file.h"
#include "support/core_fixture.h"
#include "util/files.h"

namespace bw {
namespace {

using ::testing::Contains;
using ::testing::Not;

class RobotCoreTest : public test::CoreFixture {
 protected:
  void start() { startRobot(); }
};

TEST_F(RobotCoreTest, StartupRestoresWithoutCountingAsClicksThenSwitchesAct) {
  ASSERT_TRUE(WriteFileAtomic(data + "群列表.txt", "{1}1----100----甲群----群主\r\n"));
  ASSERT_TRUE(WriteProfileString(data + "setsoft.ini", "选择框", "选择框_开启广告检测", "真"));
  ASSERT_TRUE(WriteProfileString(data + "setsoft.ini", "选择框", "选择框_开启定时任务", "真"));
  EXPECT_FALSE(lifecycle.running());
  start();
  EXPECT_TRUE(core.startedUp());
  EXPECT_TRUE(lifecycle.running());
  EXPECT_TRUE(lifecycle.settings().checked("选择框_开启广告检测"));
  EXPECT_TRUE(lifecycle.managedGroups().contains(100));
  EXPECT_THAT(log, Contains("初始化|初始化完毕..."));
  EXPECT_THAT(log, Contains("获取|全部勾选群 群成员 获取完毕!"));
  EXPECT_FALSE(core.modules.scheduler.schedulerRunning());  // switched on, but no task
  for (const FeatureState& f : core.featureStatus())
    EXPECT_EQ(f.on, f.label == "广告检测" || f.label == "定时任务") << f.label;
  EXPECT_THAT(core.featureStatusText(), ::testing::HasSubstr("总群数:1 监控群数:1"));

  // From now on a change is the user's: the timed-task switch follows it.
  log.clear();
  lifecycle.settings().setChecked("选择框_开启定时任务", false);
  EXPECT_THAT(log, Contains("操作|关闭定时任务"));
  lifecycle.settings().setChecked("选择框_开启定时任务", true);
  EXPECT_THAT(log, Contains("操作|开启定时任务"));
}

TEST_F(RobotCoreTest, EventsGoThroughTheEntryPointsToTheRules) {
  ASSERT_TRUE(WriteFileAtomic(data + "群列表.txt", "{1}1----100----甲群----群主\r\n"));
  EventHandlers entry = LifecycleEntryPoints(lifecycle);
  entry.groupMessage({1, 100, 20001, "加我微信", 0});  // before the start: not queued
  start();
  lifecycle.settings().setChecked("选择框_开启广告检测", true);
  entry.groupMessage({2, 100, 20001, "加我微信", 0});
  entry.groupMessage({3, 200, 20002, "加我微信", 0});  // not a managed group
  lifecycle.waitIdle();
  std::vector<std::string> acts;
  for (const HostCall& c : host.actions()) acts.push_back(c.toJson());
  EXPECT_EQ(
      acts,
      std::vector<std::string>{
          R"({"action":"set_group_kick","params":{"group_id":100,"user_id":20001,"reject_add_request":false}})"});
}

TEST_F(RobotCoreTest, ShutdownSavesOnlyWhatTheStartupRestored) {
  core.shutdown();  // never started: the files are not overwritten with defaults
  EXPECT_FALSE(FileExists(data + "setsoft.ini"));

  Restarted again(*this);
  again.lifecycle.settings().setText("编辑框_进群等级", "12");
  again.core.shutdown();
  EXPECT_FALSE(again.lifecycle.database().connected());
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "编辑框", "编辑框_进群等级"), "12");
  EXPECT_EQ(ReadProfileString(data + "setsoft.ini", "选择框", "选择框_开启广告检测"), "假");
  again.core.shutdown();  // idempotent
}

}  // namespace
}  // namespace bw
