#include "settings/settings_model.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "util/log.h"

namespace bw {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Collects log lines while alive.
class LogCapture {
 public:
  LogCapture() {
    previous_ = SetLogSink([this](LogLevel level, std::string_view line) {
      std::lock_guard lock(mu_);
      lines_.push_back({level, std::string(line)});
    });
  }
  ~LogCapture() { SetLogSink(previous_); }
  std::vector<std::pair<LogLevel, std::string>> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  LogSink previous_;
  std::mutex mu_;
  std::vector<std::pair<LogLevel, std::string>> lines_;
};

TEST(SettingsTest, ShipsTheWindowDefaults) {
  Settings s;
  EXPECT_FALSE(s.checked("选择框_开启关键词回复"));
  EXPECT_TRUE(s.checked("选择框_回复群消息"));
  EXPECT_TRUE(s.checked("选择框_回复私聊消息"));
  EXPECT_TRUE(s.checked("选择框_人数控制_优先踢未发言"));
  EXPECT_FALSE(s.checked("选择框_开启广告检测"));
  EXPECT_EQ(s.text("编辑框_回复次数"), "0");
  EXPECT_EQ(s.text("编辑框_进群等级"), "10");
  EXPECT_EQ(s.text("编辑框_进群名片前缀"), "brindle_");
  EXPECT_EQ(s.text("编辑框_进群名片后缀"), "");
  EXPECT_EQ(s.number("编辑框_限制人数"), 950);
  EXPECT_EQ(s.number("编辑框_禁言时间"), 43200);
  EXPECT_EQ(s.number("编辑框_图片宽"), 500);
  EXPECT_EQ(s.number("编辑框_图片高"), 500);
  EXPECT_EQ(s.number("编辑框_图片张数"), 4);
  EXPECT_EQ(s.number("编辑框_踢人警告次数"), 2);
  EXPECT_EQ(s.number("编辑框_执行间隔时间"), 2);
  EXPECT_EQ(s.text("编辑框_踢人命令"), "走你");
  EXPECT_EQ(s.text("编辑框_欢迎语"), "[昵称]：欢迎进群,请不要发广告哦!");
  EXPECT_EQ(s.text("编辑框_警告语"), "【[昵称]】本群禁止发广告，警告一次，下次再发踢");
  EXPECT_EQ(s.text("编辑框_踢人发言"),
            "【[昵称]】由于严重违规,机器人自动处理,如果操作失误,请联系管理员核查!");
  EXPECT_EQ(s.text("编辑框_人数控制_踢人发言"),
            "【[昵称]】已完成转发任务,截图通过审核,被邀请进VIP群,从本群移除!");
  EXPECT_EQ(s.text("组合框1"), "今天");
  EXPECT_EQ(s.text("日期框_执行时间"), "");
}

TEST(SettingsTest, LongDefaultsAreVerbatim) {
  Settings s;
  // The reply template uses CR LF line breaks.
  EXPECT_EQ(s.text("编辑框_邀请查询回复"),
            "[昵称]\r\n您现存邀请人数为：[现存邀请人数]\r\n总邀请人数：[总邀请人数]\r\n"
            "已退出：[退出邀请人数]");
  const std::string words = s.text("编辑框_踢人关键词");
  EXPECT_EQ(words.rfind("微信+v信+QQ+联系+", 0), 0u);
  EXPECT_THAT(words, HasSubstr("+刷单+刷@单+Q号+"));
  EXPECT_TRUE(words.ends_with("+返利+铯群"));
  size_t pieces = 1;
  for (char c : words) pieces += c == '+';
  EXPECT_EQ(pieces, 45u);
}

TEST(SettingsTest, TableDescribesEveryControlOnce) {
  const auto& controls = Settings::Controls();
  std::set<std::string> names;
  std::map<std::string, int> selectedPerGroup;
  for (const ControlSpec& c : controls) {
    EXPECT_TRUE(names.insert(c.name).second) << c.name;
    EXPECT_EQ(Settings::Find(c.name), &c);
    const bool prefixOk = c.name.starts_with("选择框_") || c.name.starts_with("单选框_") ||
                          c.name.starts_with("编辑框_") || c.name.starts_with("日期框_") ||
                          c.name.starts_with("组合框");
    EXPECT_TRUE(prefixOk) << c.name;
    if (c.kind == ControlKind::kRadio) {
      EXPECT_FALSE(c.radioGroup.empty()) << c.name;
      selectedPerGroup[c.radioGroup] += c.defaultChecked ? 1 : 0;
    } else {
      EXPECT_TRUE(c.radioGroup.empty()) << c.name;
    }
    EXPECT_EQ(c.saved, c.kind != ControlKind::kDate && c.kind != ControlKind::kCombo) << c.name;
  }
  EXPECT_EQ(controls.size(), 82u);
  // Five radio groups, each with exactly one box selected as shipped.
  EXPECT_EQ(selectedPerGroup.size(), 5u);
  for (const auto& [group, selected] : selectedPerGroup) EXPECT_EQ(selected, 1) << group;
  EXPECT_EQ(Settings::Find("编辑框_不存在"), nullptr);
  EXPECT_EQ(Settings::Find("选择框_开启广告检测")->caption, "开启广告检测");
  EXPECT_EQ(Settings::Find("日期框_执行时间")->kind, ControlKind::kDate);
  EXPECT_EQ(Settings::Find("组合框1")->kind, ControlKind::kCombo);
}

TEST(SettingsTest, RadioGroupsExcludeEachOther) {
  Settings s;
  ASSERT_TRUE(s.setChecked("单选框_两者都发", true));
  EXPECT_FALSE(s.checked("单选框_只发群"));
  EXPECT_FALSE(s.checked("单选框_只发私聊"));
  EXPECT_TRUE(s.checked("单选框_两者都发"));
  // Other groups are untouched.
  EXPECT_TRUE(s.checked("单选框_踢人"));
  EXPECT_TRUE(s.checked("单选框_模糊匹配"));
  EXPECT_TRUE(s.checked("单选框_发送信息"));
  EXPECT_TRUE(s.checked("单选框_人数控制_踢最早进群"));

  ASSERT_TRUE(s.setChecked("单选框_禁言", true));
  EXPECT_FALSE(s.checked("单选框_踢人"));
  ASSERT_TRUE(s.setChecked("单选框_精准匹配", true));
  EXPECT_FALSE(s.checked("单选框_模糊匹配"));
  ASSERT_TRUE(s.setChecked("单选框_人数控制_踢最后发言最早", true));
  EXPECT_FALSE(s.checked("单选框_人数控制_踢最早进群"));
  EXPECT_FALSE(s.checked("单选框_人数控制_踢最晚加群"));
  ASSERT_TRUE(s.setChecked("单选框_发布作业", true));
  for (const char* other :
       {"单选框_发送信息", "单选框_发布公告", "单选框_全体禁言", "单选框_解除禁言"}) {
    EXPECT_FALSE(s.checked(other)) << other;
  }

  // Clearing the selected box hands the selection to the group's default.
  ASSERT_TRUE(s.setChecked("单选框_禁言", false));
  EXPECT_FALSE(s.checked("单选框_禁言"));
  EXPECT_TRUE(s.checked("单选框_踢人"));
}

// Whoever sets a radio box (the panel, replay's "set" line, the files), every
// group keeps exactly one box selected: on a box, off the selected box, off a
// box that was not selected, in every group.
TEST(SettingsTest, EveryRadioGroupKeepsExactlyOneBoxSelected) {
  std::map<std::string, std::vector<std::string>> groups;
  for (const ControlSpec& c : Settings::Controls())
    if (c.kind == ControlKind::kRadio) groups[c.radioGroup].push_back(c.name);
  ASSERT_EQ(groups.size(), 5u);
  auto selected = [](const Settings& s, const std::vector<std::string>& boxes) {
    std::vector<std::string> on;
    for (const std::string& b : boxes)
      if (s.checked(b)) on.push_back(b);
    return on;
  };
  for (const auto& [group, boxes] : groups) {
    Settings s;
    for (const std::string& box : boxes) {
      ASSERT_TRUE(s.setChecked(box, true));
      EXPECT_THAT(selected(s, boxes), ElementsAre(box)) << group;
      // Another box's "off" changes nothing.
      for (const std::string& other : boxes) {
        if (other == box) continue;
        ASSERT_TRUE(s.setChecked(other, false));
        EXPECT_THAT(selected(s, boxes), ElementsAre(box)) << group << " " << other;
      }
      // Its own "off" hands the selection to the default, or the next box.
      ASSERT_TRUE(s.setChecked(box, false));
      const std::vector<std::string> now = selected(s, boxes);
      ASSERT_EQ(now.size(), 1u) << group << " after clearing " << box;
      EXPECT_NE(now[0], box);
      const bool isDefault = Settings::Find(box)->defaultChecked;
      EXPECT_EQ(Settings::Find(now[0])->defaultChecked, !isDefault) << now[0];
    }
  }
}

// Messages name controls as the window labels them, never by internal name.
TEST(SettingsTest, EveryControlHasALabelFromTheWindow) {
  for (const ControlSpec& c : Settings::Controls()) {
    EXPECT_FALSE(c.label.empty()) << c.name;
    EXPECT_EQ(c.label.find("框"), std::string::npos) << c.name << " " << c.label;
    EXPECT_EQ(c.label.find("  "), std::string::npos) << c.name << " " << c.label;
  }
  EXPECT_EQ(Settings::Find("编辑框_禁言时间")->label, "禁言时间");
  EXPECT_EQ(Settings::Find("单选框_禁言")->label, "禁言");
  EXPECT_EQ(Settings::Find("选择框_开启广告检测")->label, "开启广告检测");
  EXPECT_EQ(Settings::Find("编辑框_邀请查询QQ")->label, "QQ号");
}

TEST(SettingsTest, WrongKindOrUnknownNameChangesNothing) {
  LogCapture log;
  Settings s;
  EXPECT_FALSE(s.setText("选择框_开启广告检测", "真"));
  EXPECT_FALSE(s.setChecked("编辑框_欢迎语", true));
  EXPECT_FALSE(s.setText("编辑框_打错了", "x"));
  EXPECT_FALSE(s.setChecked("选择框_打错了", true));
  EXPECT_FALSE(s.checked("选择框_开启广告检测"));
  EXPECT_EQ(s.text("编辑框_欢迎语"), "[昵称]：欢迎进群,请不要发广告哦!");

  const size_t before = log.lines().size();
  EXPECT_EQ(s.text("编辑框_欢迎词"), "");
  EXPECT_FALSE(s.checked("选择框_开启广告"));
  EXPECT_EQ(s.number("编辑框_限制"), 0);
  auto lines = log.lines();
  ASSERT_EQ(lines.size(), before + 3);
  EXPECT_EQ(lines[before].first, LogLevel::kError);
  EXPECT_THAT(lines[before].second, HasSubstr("编辑框_欢迎词"));
  EXPECT_THAT(lines[before + 1].second, HasSubstr("选择框_开启广告"));
}

TEST(SettingsTest, NumbersFollowEditBoxReading) {
  Settings s;
  ASSERT_TRUE(s.setText("编辑框_限制人数", "  -12abc"));
  EXPECT_EQ(s.number("编辑框_限制人数"), -12);
  ASSERT_TRUE(s.setText("编辑框_限制人数", "abc"));
  EXPECT_EQ(s.number("编辑框_限制人数"), 0);
  ASSERT_TRUE(s.setText("日期框_执行时间", "08:30:00"));
  EXPECT_EQ(s.text("日期框_执行时间"), "08:30:00");
}

TEST(SettingsTest, ListenersHearOnlyRealChanges) {
  Settings s;
  std::vector<std::string> heard;
  const int id = s.subscribe([&](const std::string& name) { heard.push_back(name); });

  s.setChecked("选择框_开启广告检测", true);
  s.setChecked("选择框_开启广告检测", true);  // no change
  s.setText("编辑框_踢人命令", "走你");       // no change
  s.setText("编辑框_踢人命令", "滚");
  s.setChecked("单选框_只发私聊", true);  // also clears 只发群
  s.setText("编辑框_不存在", "x");
  EXPECT_THAT(heard, ElementsAre("选择框_开启广告检测", "编辑框_踢人命令", "单选框_只发私聊",
                                 "单选框_只发群"));

  heard.clear();
  s.resetToDefaults();
  EXPECT_EQ(heard.size(), 4u);
  EXPECT_TRUE(s.checked("单选框_只发群"));
  EXPECT_EQ(s.text("编辑框_踢人命令"), "走你");

  s.unsubscribe(id);
  heard.clear();
  s.setChecked("选择框_开启广告检测", true);
  EXPECT_TRUE(heard.empty());
}

TEST(SettingsTest, ListenerMayReadAndChangeSettings) {
  Settings s;
  // A toggle handler reads the model and switches a dependent option; a lock
  // held across the call would deadlock here.
  std::vector<std::string> heard;
  int id = 0;
  id = s.subscribe([&](const std::string& name) {
    if (name == "选择框_开启群人数控制") {
      heard.push_back(name + "=" + (s.checked(name) ? "on" : "off"));
      s.setText("编辑框_限制人数", "600");
    } else {
      heard.push_back(name + "=" + std::to_string(s.number(name)));
      s.unsubscribe(id);
    }
  });
  s.setChecked("选择框_开启群人数控制", true);
  EXPECT_EQ(s.number("编辑框_限制人数"), 600);
  s.setChecked("选择框_开启群人数控制", false);
  // The listener removed itself on its second call.
  EXPECT_THAT(heard, ElementsAre("选择框_开启群人数控制=on", "编辑框_限制人数=600"));
}

TEST(SettingsTest, ConcurrentReadersSeeWholeValues) {
  Settings s;
  const std::string a(4000, 'a');
  const std::string b(4000, 'b');
  std::atomic<bool> done{false};
  std::atomic<int> torn{0};
  std::thread reader([&] {
    while (!done) {
      const std::string t = s.text("编辑框_欢迎语");
      if (t != a && t != b && t != "[昵称]：欢迎进群,请不要发广告哦!") ++torn;
    }
  });
  for (int i = 0; i < 2000; ++i) {
    s.setText("编辑框_欢迎语", i % 2 ? a : b);
  }
  done = true;
  reader.join();
  EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace bw
