// The evaluation entry point as trying rules on kept history uses it: no
// host, its own windows and points, verdicts only.
#include "automod/evaluator.h"

#include <gtest/gtest.h>

namespace bw::automod {
namespace {

Rule Make(const std::string& id, TriggerKind kind, int64_t count, int64_t seconds,
          std::vector<Action> actions, RuleState state = RuleState::kOn) {
  Rule r;
  r.id = r.name = id;
  r.state = state;
  r.trigger.kind = kind;
  r.trigger.count = count;
  r.trigger.seconds = seconds;
  if (kind == TriggerKind::kWords) r.trigger.words = {Word{"加我微信"}};
  r.actions = std::move(actions);
  return r;
}

struct History {
  explicit History(Evaluator& evaluator) : e(evaluator) {}
  Evaluator& e;
  MemoryPoints points;
  Lookups lookups;
  int64_t ms = 1'796'677'509'000;
  std::vector<Verdict> say(int64_t member, const std::string& text, int64_t afterMs = 1000,
                           int64_t group = 100) {
    ms += afterMs;
    return e.evaluate(Message{group, member, 0, text, ms}, lookups, &points);
  }
};

TEST(AutomodEvaluator, VerdictsComeWithTheLadderAndWatchOnlyGivesPointsNobodyKeeps) {
  RuleSet set;
  set.rules = {
      Make("watch", TriggerKind::kWords, 0, 0, {Action{ActionKind::kPoints, "", 5, 0}},
           RuleState::kWatch),
      Make("ad", TriggerKind::kWords, 0, 0,
           {Action{ActionKind::kRecall, "", 0, 0}, Action{ActionKind::kPoints, "", 1, 0}})};
  set.ladder.days = 1;
  set.ladder.steps = {LadderStep{2, ActionKind::kMute, 600}, LadderStep{3, ActionKind::kKick}};
  Evaluator e(set);
  History h{e};
  auto first = h.say(1, "加我微信");
  ASSERT_EQ(first.size(), 2u);
  EXPECT_TRUE(first[0].watch);
  EXPECT_EQ(first[0].steps[0].held, 5);  // what it would have held; not kept
  EXPECT_FALSE(first[1].watch);
  ASSERT_EQ(first[1].steps.size(), 2u);  // below the ladder's first step
  EXPECT_EQ(first[1].steps[1].held, 1);

  auto second = h.say(1, "加我微信");
  ASSERT_EQ(second[1].steps.size(), 3u);
  EXPECT_TRUE(second[1].steps[2].ladder);
  EXPECT_EQ(second[1].steps[2].kind, ActionKind::kMute);
  EXPECT_EQ(second[1].steps[2].amount, 600);

  // A day and a half later both points have faded.
  auto later = h.say(1, "加我微信", 36 * 3600 * 1000);
  EXPECT_EQ(later[1].steps[1].held, 1);
  EXPECT_EQ(later[1].steps.size(), 2u);
}

TEST(AutomodEvaluator, TheFirstActingRuleWinsExemptMembersAndOtherGroupsAreLeftAlone) {
  RuleSet set;
  Rule a = Make("a", TriggerKind::kWords, 0, 0, {Action{ActionKind::kRecall, "", 0, 0}});
  Rule b = Make("b", TriggerKind::kWords, 0, 0, {Action{ActionKind::kKick, "", 0, 0}});
  Rule only200 = Make("c", TriggerKind::kWords, 0, 0, {Action{ActionKind::kKick, "", 0, 0}});
  only200.allGroups = false;
  only200.groups = {200};
  set.rules = {only200, a, b};
  Evaluator e(set);
  History h{e};
  h.lookups.exempt = [](int64_t, int64_t member) { return member == 9; };
  auto v = h.say(1, "加我微信");
  ASSERT_EQ(v.size(), 1u);
  EXPECT_EQ(v[0].ruleId, "a");
  EXPECT_TRUE(h.say(9, "加我微信").empty());
  auto in200 = h.say(1, "加我微信", 1000, 200);
  ASSERT_EQ(in200.size(), 1u);
  EXPECT_EQ(in200[0].ruleId, "c");
}

TEST(AutomodEvaluator, WindowsStartAfreshAfterAHitAndForgetIdleMembers) {
  RuleSet set;
  set.rules = {Make("flood", TriggerKind::kFlood, 3, 10, {Action{ActionKind::kRecall, "", 0, 0}}),
               Make("raid", TriggerKind::kRaid, 3, 60, {Action{ActionKind::kRecall, "", 0, 0}})};
  Evaluator e(set);
  History h{e};
  int hits = 0;
  for (int i = 0; i < 8; ++i) hits += !h.say(1, "第" + std::to_string(i) + "句", 500).empty();
  EXPECT_EQ(hits, 2);  // the 4th and the 8th: a burst, then a new burst
  // Raid: the third member and every later one, each once.
  EXPECT_TRUE(h.say(11, "冲").empty());
  EXPECT_TRUE(h.say(12, "冲").empty());
  EXPECT_EQ(h.say(13, "冲").size(), 1u);
  EXPECT_EQ(h.say(14, "冲").size(), 1u);
  EXPECT_TRUE(h.say(14, "冲").empty());
  EXPECT_GT(e.windowMembers(), 0u);
  h.say(99, "晚安", 3600 * 1000);  // an hour later everyone before is idle
  EXPECT_EQ(e.windowMembers(), 1u);
}

}  // namespace
}  // namespace bw::automod
