// Switch entries in the run log report what a person did: switches that the
// startup restores from the settings files write none, a later click does.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "membership/arrivals.h"
#include "moderation/moderation_fixture.h"
#include "storage/ini_file.h"
#include "storage/settings_store.h"

namespace bw::test {
namespace {

using ::testing::Contains;
using ::testing::Not;

TEST(SwitchEntriesTest, RestoredSwitchesWriteNoEntryButAClickDoes) {
  ModerationFixture f;
  SettingsStore& store = f.rules.store;
  const std::string ini = store.path("setsoft.ini");
  for (const char* name : {"选择框_开启广告检测", "选择框_开启进群欢迎", "选择框_开启邀请查询"}) {
    ASSERT_TRUE(WriteProfileString(ini, "选择框", name, "真"));
  }
  ASSERT_TRUE(WriteProfileString(ini, "编辑框", "编辑框_踢人关键词", "代刷"));

  store.RestoreControls(ControlKind::kEdit, ini);
  store.RestoreControls(ControlKind::kCheck, ini);
  EXPECT_TRUE(f.settings.checked("选择框_开启广告检测"));
  EXPECT_TRUE(f.settings.checked("选择框_开启进群欢迎"));
  EXPECT_TRUE(f.settings.checked("选择框_开启邀请查询"));
  EXPECT_THAT(f.runLogLines(), Not(Contains("操作|开启广告检测")));
  EXPECT_THAT(f.runLogLines(), Not(Contains("操作|开启进群欢迎")));
  EXPECT_THAT(f.runLogLines(), Not(Contains("操作|开启邀请查询")));

  // What the restore changed still takes effect: the restored word list is the one checked.
  f.post(kGroupA, 30001, "代刷信誉");
  EXPECT_THAT(f.runLogLines(), Contains("检测违规|30001 检测到违规词代刷 发送内容是:代刷信誉"));

  f.settings.setChecked("选择框_开启广告检测", false);
  f.settings.setChecked("选择框_开启进群欢迎", false);
  EXPECT_THAT(f.runLogLines(), Contains("操作|关闭广告检测"));
  EXPECT_THAT(f.runLogLines(), Contains("操作|关闭进群欢迎"));
}

}  // namespace
}  // namespace bw::test
