// The live module where replay cannot reach: a host without recall, the
// panel's save, and points given from two threads at once.
#include "automod/automod.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <thread>

#include "storage/cqimg_file_info.h"
#include "storage/warning_point_table.h"
#include "support/robot_fixture.h"
#include "util/files.h"

namespace bw {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;

// The legacy host's binding has no recall.
class NoRecallHost : public RecordingHost {
 public:
  bool canRecall() const override { return false; }
  int32_t recallMessage(int64_t) override {
    ++recalls;
    return -1;
  }
  int recalls = 0;
};

automod::RuleSet AdRules() {
  automod::Rule r;
  r.id = "r1";
  r.name = "广告";
  r.trigger.words = {automod::Word{"加我微信"}};
  r.actions = {automod::Action{automod::ActionKind::kRecall},
               automod::Action{automod::ActionKind::kWarn, "[昵称] 别发"}};
  return automod::RuleSet{.rules = {r}};
}

struct Robot : test::RobotFixture {
  Robot() { manage({100}); }
  CqImgFileInfo images{identity};
};

TEST(Automod, WithoutRecallTheRestOfTheChainStillActs) {
  Robot f;
  NoRecallHost host;
  Services s = f.services(f.images);
  Services withHost{s.clock, host, s.settings,      s.lists,    s.runLog, s.groupLog,
                    s.db,    s.qq, s.managedGroups, s.identity, s.images, s.stop};
  RuleModules modules(withHost);
  EXPECT_TRUE(modules.automod.useRules(AdRules()).empty());
  EXPECT_FALSE(modules.automod.rules().canRecall);
  modules.onGroupMessage(GroupMessageRecord{7, 100, 20001, "加我微信", 0});
  EXPECT_EQ(host.recalls, 0);
  ASSERT_EQ(host.actions().size(), 1u);
  EXPECT_EQ(host.actions()[0].action, "send_group_msg");
  EXPECT_THAT(f.runLogLines(), Contains(HasSubstr("不能撤回")));
  EXPECT_EQ(f.count("select count(1) from 处罚记录 where 动作='撤回'"), 0);
  EXPECT_EQ(f.count("select count(1) from 处罚记录 where 动作='警告'"), 1);
}

TEST(Automod, ThePanelsSaveIsValidatedWrittenAndReadBack) {
  Robot f;
  RuleModules modules(f.services(f.images));
  const std::string file = modules.automod.filePath();
  ASSERT_FALSE(file.empty());

  automod::RuleSet bad = AdRules();
  bad.rules[0].trigger.words = {automod::Word{"(", automod::WordMode::kRegex}};
  const auto problems = modules.automod.setRules(bad);
  ASSERT_FALSE(problems.empty());
  EXPECT_THAT(problems[0].text(), HasSubstr("广告"));
  EXPECT_FALSE(FileExists(file));  // nothing saved

  ASSERT_TRUE(modules.automod.setRules(AdRules()).empty());
  EXPECT_TRUE(FileExists(file));
  modules.onGroupMessage(GroupMessageRecord{7, 100, 20001, "加 我 微 信", 0});
  EXPECT_EQ(f.host.actions().front().action, "delete_msg");

  // A new module (a restart) reads the file.
  RuleModules again(f.services(f.images));
  EXPECT_EQ(again.automod.rules().rules, AdRules().rules);
}

TEST(Automod, PointsGivenAtOnceFromTwoThreadsAreAllKept) {
  Robot f;
  WarningPointTable table(f.db);
  constexpr int kEach = 200;
  auto give = [&] {
    for (int i = 0; i < kEach; ++i) table.add(10000, 100, 20001, 1, 1'800'000'000);
  };
  std::thread a(give), b(give);
  a.join();
  b.join();
  EXPECT_EQ(table.held(100, 20001, 1'700'000'000), 2 * kEach);
  // Older than the window: not held; taken back: a negative giving.
  EXPECT_EQ(table.held(100, 20001, 1'800'000'000), 0);
  table.add(10000, 100, 20001, -5, 1'800'000'000);
  EXPECT_EQ(table.held(100, 20001, 1'700'000'000), 2 * kEach - 5);
  EXPECT_EQ(table.held(100, 20002, 0), 0);
}

}  // namespace
}  // namespace bw
