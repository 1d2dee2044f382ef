#include "storage/settings_store.h"

#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <filesystem>

#include "storage/ini_file.h"
#include "support/log_capture.h"
#include "support/robot_fixture.h"
#include "util/charset.h"

namespace bw {
namespace {

using test::ReadAll;
using test::WriteAll;

class SettingsStoreTest : public ::testing::Test {
 protected:
  test::RobotFixture f;
  SettingsStore store{f.settings, f.lists, f.managedGroups, f.runLog, f.identity, f.clock};
  std::string ini() { return store.path("setsoft.ini"); }

  void addGroup(bool checked, const std::string& group, const std::string& name) {
    f.lists.groups.append(
        {checked, {std::to_string(f.lists.groups.rowCount() + 1), group, name, "管理员", ""}});
  }
};

TEST_F(SettingsStoreTest, EditAndCheckBoxesRoundTrip) {
  f.settings.setText("编辑框_警告语", "第一行\r\n第二行");
  f.settings.setText("编辑框_进群名片前缀", "O'Neil_");
  f.settings.setChecked("选择框_开启广告检测", true);
  f.settings.setChecked("选择框_回复群消息", false);  // default on
  store.SaveControls(ControlKind::kEdit, ini());
  store.SaveControls(ControlKind::kCheck, ini());
  EXPECT_EQ(ReadProfileString(ini(), "编辑框", "编辑框_警告语"), "第一行><br><第二行");
  EXPECT_EQ(ReadProfileString(ini(), "选择框", "选择框_开启广告检测"), "真");
  EXPECT_EQ(ReadProfileString(ini(), "选择框", "选择框_回复群消息"), "假");
  // Not saved controls stay out of the file.
  EXPECT_EQ(ReadProfileString(ini(), "编辑框", "日期框_执行时间", "absent"), "absent");

  f.settings.resetToDefaults();
  store.RestoreControls(ControlKind::kEdit, ini());
  store.RestoreControls(ControlKind::kCheck, ini());
  EXPECT_EQ(f.settings.text("编辑框_警告语"), "第一行\r\n第二行");
  EXPECT_EQ(f.settings.text("编辑框_进群名片前缀"), "O'Neil_");
  EXPECT_TRUE(f.settings.checked("选择框_开启广告检测"));
  EXPECT_FALSE(f.settings.checked("选择框_回复群消息"));
}

TEST_F(SettingsStoreTest, ClearedEditBoxComesBackWithItsDefault) {
  const std::string dflt = f.settings.text("编辑框_踢人命令");
  ASSERT_FALSE(dflt.empty());
  f.settings.setText("编辑框_踢人命令", "");
  store.SaveControls(ControlKind::kEdit, ini());
  f.settings.resetToDefaults();
  store.RestoreControls(ControlKind::kEdit, ini());
  EXPECT_EQ(f.settings.text("编辑框_踢人命令"), dflt);
}

TEST_F(SettingsStoreTest, CheckBoxValuesOtherThanFalseAreChecked) {
  WriteAll(ini(), Utf8ToGbk("[选择框]\r\n选择框_开启广告检测=0\r\n选择框_回复群消息=假\r\n"
                            "选择框_开启邀请查询=\r\n选择框_踢出加黑=yes\r\n"));
  f.settings.setChecked("选择框_开启邀请查询", true);
  store.RestoreControls(ControlKind::kCheck, ini());
  EXPECT_TRUE(f.settings.checked("选择框_开启广告检测"));  // "0" is no "假"
  EXPECT_FALSE(f.settings.checked("选择框_回复群消息"));
  EXPECT_TRUE(f.settings.checked("选择框_开启邀请查询"));  // empty: left as it was
  EXPECT_TRUE(f.settings.checked("选择框_踢出加黑"));
}

TEST_F(SettingsStoreTest, RadioBoxesRestoreTheSelectedOne) {
  f.settings.setChecked("单选框_禁言", true);
  f.settings.setChecked("单选框_两者都发", true);
  store.SaveControls(ControlKind::kRadio, ini());
  EXPECT_EQ(ReadProfileString(ini(), "单选框", "单选框_踢人"), "假");
  EXPECT_EQ(ReadProfileString(ini(), "单选框", "单选框_禁言"), "真");
  f.settings.resetToDefaults();
  store.RestoreControls(ControlKind::kRadio, ini());
  EXPECT_TRUE(f.settings.checked("单选框_禁言"));
  EXPECT_FALSE(f.settings.checked("单选框_踢人"));
  EXPECT_TRUE(f.settings.checked("单选框_两者都发"));
  EXPECT_FALSE(f.settings.checked("单选框_只发群"));
  // A group written all "假" keeps its default.
  WriteAll(ini(), "[单选框]\r\n单选框_只发群=假\r\n单选框_只发私聊=假\r\n单选框_两者都发=假\r\n");
  f.settings.resetToDefaults();
  store.RestoreControls(ControlKind::kRadio, ini());
  EXPECT_TRUE(f.settings.checked("单选框_只发群"));
}

TEST_F(SettingsStoreTest, EmptyFileNameUsesTheFallbackFile) {
  f.settings.setChecked("选择框_开启定时任务", true);
  store.SaveControls(ControlKind::kCheck, "");
  const std::string fallback = f.identity.runDirectory() + "/data/setsoft.ini";
  EXPECT_EQ(ReadProfileString(fallback, "选择框", "选择框_开启定时任务"), "真");
  f.settings.resetToDefaults();
  store.RestoreControls(ControlKind::kCheck, "");
  EXPECT_TRUE(f.settings.checked("选择框_开启定时任务"));
}

TEST_F(SettingsStoreTest, SaveAllWritesSettingsAndListFiles) {
  addGroup(true, "30001", "青榆群");
  f.lists.tasks.append({false, {"2026-12-7 21:00:00", "发送信息", "早上好\r\n大家", "等待"}});
  f.lists.keywords.append({true, {"1", "你好", "你也好", "模糊匹配", "0", "0"}});
  f.settings.setText("编辑框_限制人数", "800");
  f.settings.setChecked("单选框_禁言", true);
  store.SaveAllSettings();
  EXPECT_EQ(ReadAll(store.path("群列表.txt")), "{1}1----30001----青榆群----管理员\r\n");
  EXPECT_EQ(ReadAll(store.path("任务列表.txt")),
            "{0}2026-12-7 21:00:00----发送信息----早上好[|换行符|]大家----等待\r\n");
  EXPECT_EQ(ReadProfileString(ini(), "编辑框", "编辑框_限制人数"), "800");
  EXPECT_EQ(ReadProfileString(ini(), "单选框", "单选框_禁言"), "真");

  f.lists.groups.clear();
  f.lists.tasks.clear();
  f.lists.keywords.clear();
  store.LoadGroupList();
  store.LoadTaskList();
  store.LoadKeywordList();
  EXPECT_EQ(f.lists.groups.cell(0, 2), "青榆群");
  EXPECT_TRUE(f.lists.groups.checked(0));
  EXPECT_EQ(f.lists.tasks.cell(0, 2), "早上好\r\n大家");
  EXPECT_EQ(f.lists.keywords.cell(0, 2), "你也好");
}

// Counts the files renamed into a directory, by name (what an atomic write
// ends with), as the kernel reports them. The creations are watched too: the
// kernel merges an event into an identical one still unread, and each write's
// temporary file comes between two renames onto the same name.
class RenameCounter {
 public:
  explicit RenameCounter(const std::string& directory)
      : fd_(inotify_init1(IN_NONBLOCK)),
        watch_(inotify_add_watch(fd_, directory.c_str(), IN_CREATE | IN_MOVED_TO)) {}
  ~RenameCounter() { close(fd_); }
  bool ok() const { return fd_ >= 0 && watch_ >= 0; }
  // Renames onto `name` since the last call.
  int count(const std::string& name) {
    int n = 0;
    alignas(inotify_event) char buf[16384];
    for (ssize_t len; (len = read(fd_, buf, sizeof buf)) > 0;) {
      for (char* p = buf; p < buf + len;) {
        const auto* e = reinterpret_cast<const inotify_event*>(p);
        if ((e->mask & IN_MOVED_TO) && e->len > 0 && name == e->name) ++n;
        p += sizeof(inotify_event) + e->len;
      }
    }
    return n;
  }

 private:
  int fd_;
  int watch_;
};

// A save that changed an edit box, a check box and a radio box puts
// setsoft.ini in place once: a kill can find the old file or the new one,
// never the new edit box beside the old check box.
TEST_F(SettingsStoreTest, OneSaveOfSeveralKindsOfOptionsIsOneWriteOfTheSettingsFile) {
  store.SaveAllSettings();  // the file and its directory exist from here
  RenameCounter renames(f.identity.dataDirectory());
  ASSERT_TRUE(renames.ok());
  f.settings.setText("编辑框_踢人警告次数", "2");
  f.settings.setChecked("选择框_开启广告检测", true);
  f.settings.setChecked("单选框_禁言", true);
  store.SaveAllSettings();
  EXPECT_EQ(renames.count("setsoft.ini"), 1);
  EXPECT_EQ(ReadProfileString(ini(), "编辑框", "编辑框_踢人警告次数"), "2");
  EXPECT_EQ(ReadProfileString(ini(), "选择框", "选择框_开启广告检测"), "真");
  EXPECT_EQ(ReadProfileString(ini(), "单选框", "单选框_禁言"), "真");
  // The sections keep the order the window always wrote them in.
  const std::string text = DecodeExternalText(ReadAll(ini()));
  EXPECT_LT(text.find("[编辑框]"), text.find("[选择框]"));
  EXPECT_LT(text.find("[选择框]"), text.find("[单选框]"));
}

TEST_F(SettingsStoreTest, RebuildDerivesManagedGroupsWelcomeAndLimitLists) {
  addGroup(true, "30001", "一群");
  addGroup(false, "30002", "二群");
  addGroup(true, "30003", "三群");
  WriteAll(store.path("30003"), Utf8ToGbk("三群欢迎你"));
  ASSERT_TRUE(WriteProfileString(store.path("人数限制.ini"), "人数", "30001", "900").ok());
  int hooks = 0;
  store.setAfterRebuild([&] { ++hooks; });
  store.RebuildGroupDerivedLists();

  EXPECT_EQ(f.managedGroups.snapshot(), (std::vector<int64_t>{30001, 30003}));
  ASSERT_EQ(f.lists.welcome.rowCount(), 2u);
  EXPECT_EQ(f.lists.welcome.row(1)->cells,
            (std::vector<std::string>{"2", "30003", "三群", "三群欢迎你"}));
  EXPECT_EQ(f.lists.welcome.cell(0, welcomecol::kText), "");
  ASSERT_EQ(f.lists.limits.rowCount(), 2u);
  EXPECT_EQ(f.lists.limits.cell(0, limitcol::kNumber), "1");
  EXPECT_EQ(f.lists.limits.cell(0, limitcol::kLimit), "900");
  EXPECT_EQ(f.lists.limits.cell(0, limitcol::kCurrent), "");
  EXPECT_EQ(f.lists.limits.cell(1, limitcol::kLimit), "");
  EXPECT_EQ(ReadProfileString(store.path("群设置.ini"), "开关", "30001"), "1");
  EXPECT_EQ(ReadProfileString(store.path("群设置.ini"), "开关", "30002"), "0");
  EXPECT_NE(ReadAll(store.path("群列表.txt")).find("{0}2----30002----二群"), std::string::npos);
  EXPECT_EQ(hooks, 1);

  // Unchecking a group drops it and writes "0" for it.
  f.lists.groups.setChecked(0, false);
  store.RebuildGroupDerivedLists();
  EXPECT_EQ(f.managedGroups.snapshot(), std::vector<int64_t>{30003});
  EXPECT_EQ(f.lists.welcome.cell(0, welcomecol::kNumber), "1");
  EXPECT_EQ(ReadProfileString(store.path("群设置.ini"), "开关", "30001"), "0");
  EXPECT_EQ(hooks, 2);

  // Welcome files the owner adds or removes by hand count at the next rebuild.
  f.lists.groups.setChecked(0, true);
  WriteAll(store.path("30001"), "一群欢迎你");
  std::filesystem::remove(store.path("30003"));
  store.RebuildGroupDerivedLists();
  ASSERT_EQ(f.lists.welcome.rowCount(), 2u);
  EXPECT_EQ(f.lists.welcome.cell(0, welcomecol::kText), "一群欢迎你");
  EXPECT_EQ(f.lists.welcome.cell(1, welcomecol::kText), "");
}

// A hand-edited 群列表.txt row whose group cell is no number must not become a
// key of 群设置.ini or a managed group; it stays in the list file as it was.
TEST_F(SettingsStoreTest, RebuildSkipsRowsWhoseGroupIsNoNumber) {
  addGroup(true, "abc", "手改的行");
  addGroup(true, "", "空群号");
  addGroup(true, "30001", "一群");
  addGroup(false, "30002", "二群");
  addGroup(true, "99999999999999999999", "太大");
  test::LogCapture log;
  store.RebuildGroupDerivedLists();
  EXPECT_EQ(f.managedGroups.snapshot(), std::vector<int64_t>{30001});
  ASSERT_EQ(f.lists.welcome.rowCount(), 1u);
  EXPECT_EQ(f.lists.welcome.cell(0, welcomecol::kGroup), "30001");
  EXPECT_EQ(f.lists.limits.rowCount(), 1u);
  // Exactly the numbered groups, in the layout the file always had.
  EXPECT_EQ(ReadAll(store.path("群设置.ini")), EncodeForFile("[开关]\r\n30001=1\r\n30002=0\r\n"));
  EXPECT_EQ(log.matching({"群列表.txt", "line 1", "\"abc\""}).size(), 1u);
  EXPECT_EQ(log.matching({"群列表.txt", "line 2", "\"\""}).size(), 1u);
  EXPECT_EQ(log.matching({"群列表.txt", "line 5", "99999999999999999999"}).size(), 1u);
  EXPECT_NE(ReadAll(store.path("群列表.txt")).find("{1}1----abc----手改的行"), std::string::npos);
}

// One stray byte in an otherwise UTF-8 setsoft.ini: every other option comes
// back, and the next save keeps the original beside the rewritten file.
TEST_F(SettingsStoreTest, AStrayByteInTheSettingsLosesNothing) {
  const std::string original =
      "[编辑框]\r\n编辑框_踢人命令=出去\r\n编辑框_警告语=别发\xFF广告\r\n编辑框_进群等级=16\r\n"
      "\r\n[选择框]\r\n选择框_开启广告检测=真\r\n选择框_回复群消息=假\r\n";
  WriteAll(ini(), original);
  store.RestoreControls(ControlKind::kEdit, ini());
  store.RestoreControls(ControlKind::kCheck, ini());
  EXPECT_EQ(f.settings.text("编辑框_踢人命令"), "出去");
  EXPECT_EQ(f.settings.text("编辑框_进群等级"), "16");
  EXPECT_EQ(f.settings.text("编辑框_警告语"), "别发\xEF\xBF\xBD广告");
  EXPECT_TRUE(f.settings.checked("选择框_开启广告检测"));
  EXPECT_FALSE(f.settings.checked("选择框_回复群消息"));

  store.SaveAllSettings();
  // The fixture's clock reads 2026-12-07 21:05:09.
  EXPECT_EQ(ReadAll(ini() + ".unreadable-20261207-210509"), original);
  f.settings.resetToDefaults();
  store.RestoreControls(ControlKind::kEdit, ini());
  store.RestoreControls(ControlKind::kCheck, ini());
  EXPECT_EQ(f.settings.text("编辑框_踢人命令"), "出去");
  EXPECT_TRUE(f.settings.checked("选择框_开启广告检测"));
}

TEST_F(SettingsStoreTest, WelcomeForCheckedGroups) {
  addGroup(true, "30001", "一群");
  addGroup(true, "30002", "二群");
  store.RebuildGroupDerivedLists();
  f.lists.welcome.setChecked(1, true);
  f.settings.setText("编辑框_欢迎语", "[昵称]欢迎\r\n请看群规");
  store.SetWelcomeForCheckedGroups();
  EXPECT_EQ(ReadAll(store.path("30002")), EncodeForFile("[昵称]欢迎\r\n请看群规"));
  EXPECT_FALSE(std::filesystem::exists(store.path("30001")));
  EXPECT_EQ(store.welcomeText("30002"), "[昵称]欢迎\r\n请看群规");
  EXPECT_EQ(f.lists.welcome.cell(1, welcomecol::kText), "[昵称]欢迎\r\n请看群规");
  EXPECT_EQ(f.runLogLines().back(), "操作|设置群欢迎语");
  // A group number never names a file outside the data directory.
  EXPECT_EQ(store.welcomeText("../setsoft.ini"), "");
}

TEST_F(SettingsStoreTest, LimitForCheckedGroupsAsksBelowFiveHundred) {
  addGroup(true, "30001", "一群");
  addGroup(true, "30002", "二群");
  store.RebuildGroupDerivedLists();
  f.lists.limits.setChecked(0, true);
  f.settings.setText("编辑框_限制人数", "300");
  EXPECT_TRUE(SettingsStore::LimitNeedsConfirmation(f.settings));
  store.SetLimitForCheckedGroups(false);  // the user said no
  EXPECT_EQ(ReadProfileString(store.path("人数限制.ini"), "人数", "30001", "none"), "none");
  store.SetLimitForCheckedGroups(true);
  EXPECT_EQ(ReadProfileString(store.path("人数限制.ini"), "人数", "30001"), "300");
  EXPECT_EQ(f.lists.limits.cell(0, limitcol::kLimit), "300");
  EXPECT_EQ(ReadProfileString(store.path("人数限制.ini"), "人数", "30002", "none"), "none");

  f.settings.setText("编辑框_限制人数", "950");
  EXPECT_FALSE(SettingsStore::LimitNeedsConfirmation(f.settings));
  f.lists.limits.setChecked(1, true);
  store.SetLimitForCheckedGroups(false);
  EXPECT_EQ(ReadProfileString(store.path("人数限制.ini"), "人数", "30002"), "950");
  // The rebuilt limit list reads the stored limits.
  store.RebuildGroupDerivedLists();
  EXPECT_EQ(f.lists.limits.cell(0, limitcol::kLimit), "950");
}

TEST_F(SettingsStoreTest, WindowColour) {
  EXPECT_EQ(store.windowColour(), 11772224);
  store.setWindowColour(255);
  EXPECT_EQ(store.windowColour(), 255);
  EXPECT_EQ(ReadProfileString(f.identity.runDirectory() + "/data/brindle.ini", "颜色", "颜色"),
            "255");
}

}  // namespace
}  // namespace bw
