#include "automod/rule_file.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

namespace bw::automod {
namespace {

Rule Ad(const std::string& id) {
  Rule r;
  r.id = id;
  r.name = "广告 " + id;
  r.trigger.words = {Word{"加我微信"}, Word{"v\\d+", WordMode::kRegex}};
  r.trigger.allow = {"官方"};
  r.actions = {Action{ActionKind::kRecall}, Action{ActionKind::kWarn, "[昵称] 别发"}};
  return r;
}

TEST(AutomodRuleFile, WhatIsSavedReadsBackTheSame) {
  test::TempDir dir;
  RuleFile file(dir.file(kRuleFileName));
  RuleSet set;
  set.rules = {Ad("r1"), Ad("r2")};
  set.rules[1].state = RuleState::kWatch;
  set.ladder.steps = {LadderStep{1, ActionKind::kWarn}, LadderStep{3, ActionKind::kMute, 600}};
  set.reportGroup = 42;
  ASSERT_TRUE(file.save(set));
  const LoadedRules loaded = file.load();
  EXPECT_TRUE(loaded.problems.empty());
  EXPECT_EQ(loaded.set, set);
  EXPECT_TRUE(RuleFile(dir.file("none.txt")).load().fileMissing);
}

// A section someone broke by hand stays as they wrote it through a save of
// the others, until the rule itself is replaced.
TEST(AutomodRuleFile, ABrokenSectionIsOffAndKeptVerbatimThroughASave) {
  test::TempDir dir;
  const std::string broken = "[规则 x]\n{\"id\":\"x\",\"name\":\"半截\",\"trigger\":{\n";
  test::WriteAll(dir.file(kRuleFileName),
                 WriteRuleText(RuleSet{.rules = {Ad("r1")}}) + "\n" + broken);
  RuleFile file(dir.file(kRuleFileName));
  LoadedRules loaded = file.load();
  ASSERT_EQ(loaded.set.rules.size(), 2u);
  EXPECT_EQ(loaded.set.rules[0].state, RuleState::kOn);
  EXPECT_EQ(loaded.set.rules[1].id, "x");
  EXPECT_EQ(loaded.set.rules[1].state, RuleState::kOff);
  ASSERT_FALSE(loaded.problems.empty());
  EXPECT_EQ(loaded.problems[0].ruleId, "x");

  loaded.set.rules[0].name = "改过";
  ASSERT_TRUE(file.save(loaded.set));
  const std::string text = test::ReadAll(dir.file(kRuleFileName));
  EXPECT_NE(text.find(broken), std::string::npos) << text;
  EXPECT_NE(text.find("改过"), std::string::npos);

  // Replaced in the panel: written as the new rule.
  loaded.set.rules[1] = Ad("x");
  ASSERT_TRUE(file.save(loaded.set));
  EXPECT_EQ(test::ReadAll(dir.file(kRuleFileName)).find(broken), std::string::npos);
  EXPECT_TRUE(file.load().problems.empty());
}

}  // namespace
}  // namespace bw::automod
