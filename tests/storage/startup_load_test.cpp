// The startup restore: its order, its run-log texts, and what it restores.
#include "storage/startup_load.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "storage/ini_file.h"
#include "storage/schema.h"
#include "storage/settings_store.h"
#include "support/robot_fixture.h"
#include "util/files.h"

namespace bw {
namespace {

class StartupLoadTest : public ::testing::Test {
 protected:
  StartupLoadTest()
      : store(fx.settings, fx.lists, fx.managedGroups, fx.runLog, fx.identity, fx.clock) {
    data = fx.identity.dataDirectory();
    // Every test starts like a first start: no database file yet.
    fx.db.Disconnect();
    for (const char* suffix : {"", "-wal", "-shm"})
      std::remove((DatabaseFile(data) + suffix).c_str());
    fx.runLog.subscribe(
        [this](const RunLogEntry& e) { trace.push_back(e.type + "|" + e.message); });
  }

  // Steps that note themselves in the same trace as the run log.
  StartupSteps tracingSteps() {
    StartupSteps s;
    s.loadAdministrators = [this] { trace.push_back("step|administrators"); };
    s.loadWhitelist = [this] { trace.push_back("step|whitelist"); };
    s.loadBlacklist = [this] { trace.push_back("step|blacklist"); };
    s.rebuildKeywordReplies = [this] {
      trace.push_back("step|keywords " + std::to_string(fx.lists.keywords.rowCount()));
    };
    s.startScheduler = [this] { trace.push_back("step|scheduler"); };
    s.refreshFeatureStatus = [this] { trace.push_back("step|status"); };
    s.startMemberRefresh = [this] {
      trace.push_back("step|refresh " + std::to_string(fx.managedGroups.size()));
    };
    return s;
  }

  void writeIni(const std::string& section, const std::string& key, const std::string& value) {
    ASSERT_TRUE(WriteProfileString(data + "setsoft.ini", section, key, value));
  }

  test::RobotFixture fx;
  SettingsStore store;
  std::string data;
  std::vector<std::string> trace;
};

TEST_F(StartupLoadTest, FirstStartCreatesTheDatabaseAndReportsEachStepInOrder) {
  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_TRUE(FileExists(DatabaseFile(data)));
  EXPECT_TRUE(fx.db.connected());
  EXPECT_EQ(fx.count("select count(1) from 黑名单"), 0);  // the schema is there
  const std::vector<std::string> expected = {
      "初始化|正在初始化...",    "初始化|数据库连接成功", "step|administrators",
      "初始化|加载管理员完毕",   "step|whitelist",        "初始化|加载白名单完毕",
      "step|blacklist",          "初始化|加载黑名单完毕", "step|keywords 0",
      "初始化|读取历史配置成功", "初始化|初始化完毕...",  "step|status",
      "step|refresh 0"};
  EXPECT_EQ(trace, expected);
}

TEST_F(StartupLoadTest, TemporaryFilesOfKilledSavesAreRemovedAndNothingElse) {
  const std::string runData = fx.identity.runDirectory() + "/data/";
  ASSERT_TRUE(WriteFileAtomic(data + "setsoft.ini", "[选择框]\r\n选择框_开启广告检测=真\r\n").ok());
  // What saves killed before their rename leave, in both directories written to.
  for (const std::string& path : {data + "setsoft.ini.tmp-Ab12Cd", data + "群列表.txt.tmp-000000",
                                  runData + "brindle.ini.tmp-zzzzzz"})
    ASSERT_TRUE(AppendFile(path, "half").ok());
  ASSERT_TRUE(AppendFile(data + "notes.tmp-x", "the owner's").ok());
  ASSERT_TRUE(EnsureDirectory(data + "群数据"));
  ASSERT_TRUE(AppendFile(data + "群数据/keep.tmp-abcdef", "not a directory of saves").ok());

  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_FALSE(FileExists(data + "setsoft.ini.tmp-Ab12Cd"));
  EXPECT_FALSE(FileExists(data + "群列表.txt.tmp-000000"));
  EXPECT_FALSE(FileExists(runData + "brindle.ini.tmp-zzzzzz"));
  EXPECT_TRUE(FileExists(data + "notes.tmp-x"));
  EXPECT_TRUE(FileExists(data + "群数据/keep.tmp-abcdef"));
  EXPECT_TRUE(fx.settings.checked("选择框_开启广告检测"));  // the saved file itself was read
}

TEST_F(StartupLoadTest, AFailedConnectionIsReportedAndTheOptionsStillLoad) {
  writeIni("选择框", "选择框_开启广告检测", "真");
  writeIni("选择框", "选择框_回复群消息", "假");
  writeIni("编辑框", "编辑框_踢人关键词", "微信+加群><br><代刷");
  writeIni("编辑框", "编辑框_进群等级", "");  // empty keeps the default
  StartupSteps steps = tracingSteps();
  steps.connectDatabase = [](Database&) { return false; };
  StartupLoad(fx.startupContext(), store, steps);
  ASSERT_GE(trace.size(), 2u);
  EXPECT_EQ(trace[0], "初始化|正在初始化...");
  EXPECT_EQ(trace[1], "初始化|数据库连接失败");
  for (const auto& t : trace) EXPECT_NE(t, "step|administrators");
  EXPECT_TRUE(fx.settings.checked("选择框_开启广告检测"));
  EXPECT_FALSE(fx.settings.checked("选择框_回复群消息"));
  EXPECT_EQ(fx.settings.text("编辑框_踢人关键词"), "微信+加群\r\n代刷");
  EXPECT_EQ(fx.settings.text("编辑框_进群等级"), "10");
  EXPECT_EQ(trace.back(), "step|refresh 0");
}

TEST_F(StartupLoadTest, RestoresListsAndRadioBoxesBeforeTheKeywordTableAndRefresh) {
  WriteFileAtomic(data + "群列表.txt",
                  "{1}1----100----甲群----群主\r\n{0}2----200----乙群----管理员\r\n");
  WriteFileAtomic(data + "回复关键词.txt", "{0}1----你好----你也好----模糊----0----0\r\n");
  writeIni("单选框", "单选框_禁言", "真");
  writeIni("单选框", "单选框_踢人", "假");
  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_EQ(fx.lists.groups.rowCount(), 2u);
  EXPECT_EQ(fx.managedGroups.snapshot(), std::vector<int64_t>{100});
  EXPECT_EQ(fx.lists.welcome.rowCount(), 1u);
  // A mute chosen before the restart stays a mute.
  EXPECT_TRUE(fx.settings.checked("单选框_禁言"));
  EXPECT_FALSE(fx.settings.checked("单选框_踢人"));
  EXPECT_NE(std::find(trace.begin(), trace.end(), "step|keywords 1"), trace.end());
  EXPECT_EQ(trace.back(), "step|refresh 1");
}

// A group list saved by another editor (rows ending in CR only) with one
// stray byte: every group is managed, and the original is kept before the
// start-up rebuild saves the list again.
TEST_F(StartupLoadTest, AnOddGroupListLosesNoGroup) {
  const std::string original =
      "{1}1----100----甲群----群主\r{1}2----200----乙\xFF群----管理员\r{1}3----300----丙群----"
      "群主\r";
  ASSERT_TRUE(WriteFileAtomic(data + "群列表.txt", original));
  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_EQ(fx.managedGroups.snapshot(), (std::vector<int64_t>{100, 200, 300}));
  EXPECT_EQ(fx.lists.groups.cell(0, 2), "甲群");
  EXPECT_EQ(fx.lists.groups.cell(2, 2), "丙群");
  EXPECT_EQ(ReadProfileString(data + "群设置.ini", "开关", "300"), "1");
  EXPECT_EQ(test::ReadAll(data + "群列表.txt.unreadable-20261207-210509"), original);
}

TEST_F(StartupLoadTest, TheSchedulerStartsOnlyWhenSwitchedOnAndTasksExist) {
  auto schedulerStarted = [&] {
    return std::find(trace.begin(), trace.end(), "step|scheduler") != trace.end();
  };
  writeIni("选择框", "选择框_开启定时任务", "真");
  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_FALSE(schedulerStarted()) << "switch on, no task";

  trace.clear();
  fx.db.Disconnect();
  WriteFileAtomic(data + "任务列表.txt", "{1}08:00:00----发送群消息----早上好----\r\n");
  writeIni("选择框", "选择框_开启定时任务", "假");
  fx.settings.resetToDefaults();
  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_EQ(fx.lists.tasks.rowCount(), 1u);
  EXPECT_FALSE(schedulerStarted()) << "a task, switch off";

  trace.clear();
  fx.db.Disconnect();
  writeIni("选择框", "选择框_开启定时任务", "真");
  StartupLoad(fx.startupContext(), store, tracingSteps());
  EXPECT_TRUE(schedulerStarted()) << "a task, switch on";
}

}  // namespace
}  // namespace bw
