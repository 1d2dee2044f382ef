#include "automod/rule.h"

#include <gtest/gtest.h>

namespace bw::automod {
namespace {

using json = nlohmann::json;

json FullSet() {
  return json::parse(R"({"rules":[
    {"id":"r1","name":"广告词","state":"on","groups":"all",
     "trigger":{"kind":"words","words":[{"text":"加我微信","mode":"contains"},{"text":"v\\s*x\\d+","mode":"regex"}],"allow":["官方"]},
     "newcomerDays":3,
     "actions":[{"kind":"recall"},{"kind":"warn","text":"[昵称] 请勿发广告"},{"kind":"points","count":1},
                {"kind":"mute","seconds":600},{"kind":"kick"},{"kind":"kickBlacklist"},{"kind":"report"}]},
    {"id":"r2","name":"刷屏","state":"watch","groups":[100,200],"trigger":{"kind":"flood","count":10,"seconds":10},
     "actions":[{"kind":"mute","seconds":600}]},
    {"id":"r3","name":"重复","state":"off","trigger":{"kind":"repeat","count":3,"seconds":60},"actions":[{"kind":"recall"}]},
    {"id":"r4","name":"多人重复","trigger":{"kind":"raid","count":5,"seconds":60},"actions":[{"kind":"report"}]},
    {"id":"r5","name":"@人","trigger":{"kind":"mentions","count":10,"everyone":true},"actions":[{"kind":"recall"}]},
    {"id":"r6","name":"链接","trigger":{"kind":"links","urls":true,"allowDomains":["qq.com"],"numbers":true,"cards":true},
     "actions":[{"kind":"recall"}]}],
   "ladder":{"days":30,"steps":[{"points":1,"action":"warn"},{"points":2,"action":"mute","seconds":600},
             {"points":4,"action":"kick"}]},
   "reportGroup":123456})");
}

TEST(AutomodRuleModel, EveryFieldSurvivesJsonBothWays) {
  std::vector<Problem> problems;
  const RuleSet set = FromJson(FullSet(), problems);
  for (const auto& p : problems) ADD_FAILURE() << p.text();
  ASSERT_EQ(set.rules.size(), 6u);
  EXPECT_EQ(set.rules[0].trigger.words[1].mode, WordMode::kRegex);
  EXPECT_EQ(set.rules[0].actions.size(), 7u);
  EXPECT_EQ(set.rules[0].newcomerDays, 3);
  EXPECT_EQ(set.rules[1].state, RuleState::kWatch);
  EXPECT_FALSE(set.rules[1].allGroups);
  EXPECT_EQ(set.rules[1].groups, (std::vector<int64_t>{100, 200}));
  EXPECT_TRUE(set.rules[2].allGroups);  // no "groups": every managed group
  EXPECT_TRUE(set.rules[4].trigger.everyone);
  EXPECT_EQ(set.rules[5].trigger.allowDomains, std::vector<std::string>{"qq.com"});
  EXPECT_EQ(set.ladder.steps[1].seconds, 600);
  EXPECT_EQ(set.reportGroup, 123456);

  std::vector<Problem> again;
  EXPECT_EQ(FromJson(ToJson(set), again), set);
  EXPECT_TRUE(again.empty());
}

// Each broken input names its rule and says, in Chinese, what to fix.
TEST(AutomodRuleModel, ProblemsNameTheRuleAndTheField) {
  struct Case {
    const char* what;
    json rule;
    std::string field;
    std::string says;
  };
  const std::vector<Case> cases = {
      {"regex that does not compile",
       json::parse(
           R"({"id":"a","name":"坏正则","trigger":{"kind":"words","words":[{"text":"(加我","mode":"regex"}]},"actions":[{"kind":"recall"}]})"),
       "trigger.words", "写得不对"},
      {"regex that matches every message",
       json::parse(
           R"({"id":"a","name":"空正则","trigger":{"kind":"words","words":[{"text":"x*","mode":"regex"}]},"actions":[{"kind":"recall"}]})"),
       "trigger.words", "空消息"},
      {"regex that backtracks without end",
       json::parse(
           R"({"id":"a","name":"慢正则","trigger":{"kind":"words","words":[{"text":"^(a+)+$","mode":"regex"}]},"actions":[{"kind":"recall"}]})"),
       "trigger.words", "太复杂"},
      {"empty word list",
       json::parse(
           R"({"id":"a","name":"空词","trigger":{"kind":"words","words":[]},"actions":[{"kind":"recall"}]})"),
       "trigger.words", "空的"},
      {"flood count out of range",
       json::parse(
           R"({"id":"a","name":"刷屏","trigger":{"kind":"flood","count":1,"seconds":10},"actions":[{"kind":"recall"}]})"),
       "trigger.count", "2 到 1000"},
      {"window too long",
       json::parse(
           R"({"id":"a","name":"刷屏","trigger":{"kind":"repeat","count":3,"seconds":99999},"actions":[{"kind":"recall"}]})"),
       "trigger.seconds", "之间"},
      {"mute too short",
       json::parse(
           R"({"id":"a","name":"禁言","trigger":{"kind":"flood","count":5,"seconds":10},"actions":[{"kind":"mute","seconds":5}]})"),
       "actions[0].seconds", "60 到"},
      {"no action",
       json::parse(
           R"({"id":"a","name":"无动作","trigger":{"kind":"flood","count":5,"seconds":10},"actions":[]})"),
       "actions", "至少"},
      {"unknown trigger",
       json::parse(
           R"({"id":"a","name":"怪","trigger":{"kind":"weather"},"actions":[{"kind":"recall"}]})"),
       "trigger.kind", "不认识"},
      {"wrong type",
       json::parse(
           R"({"id":"a","name":"怪","trigger":{"kind":"flood","count":"many","seconds":10},"actions":[{"kind":"recall"}]})"),
       "trigger.count", "整数"},
      {"bad domain",
       json::parse(
           R"({"id":"a","name":"链接","trigger":{"kind":"links","urls":true,"allowDomains":["qq com/x"]},"actions":[{"kind":"recall"}]})"),
       "trigger.allowDomains", "不是域名"},
  };
  for (const auto& c : cases) {
    std::vector<Problem> problems;
    RuleFromJson(c.rule, problems);
    bool found = false;
    for (const auto& p : problems)
      if (p.field == c.field && p.message.find(c.says) != std::string::npos) found = true;
    EXPECT_TRUE(found) << c.what;
    for (const auto& p : problems) {
      EXPECT_EQ(p.ruleId, "a") << c.what;
      EXPECT_NE(p.text().find("规则「"), std::string::npos) << c.what;
    }
  }
}

TEST(AutomodRuleModel, LadderMustClimbAndDuplicateIdsAreRefused) {
  std::vector<Problem> problems;
  json j = FullSet();
  j["ladder"]["steps"][1]["points"] = 1;
  j["rules"][1]["id"] = "r1";
  FromJson(j, problems);
  bool ladder = false, dup = false;
  for (const auto& p : problems) {
    ladder |= p.field == "ladder.steps[1].points";
    dup |= p.field == "id";
  }
  EXPECT_TRUE(ladder);
  EXPECT_TRUE(dup);
}

}  // namespace
}  // namespace bw::automod
