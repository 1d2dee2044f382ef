#include "core/history_trial.h"

#include <map>
#include <optional>
#include <utility>

#include "automod/evaluator.h"
#include "storage/case_table.h"
#include "storage/message_history_table.h"
#include "util/text.h"

namespace bw {
namespace {

constexpr size_t kEvidenceBytes = 300;

int64_t AccountNumber(const std::string& text) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  return std::stoll(text);
}

}  // namespace

std::string DescribeSteps(const std::vector<automod::Step>& steps) {
  std::string out;
  for (const automod::Step& s : steps) {
    if (!out.empty()) out += ", ";
    if (s.ladder) out += "阶梯: ";
    switch (s.kind) {
      case automod::ActionKind::kRecall:
        out += kCaseRecall;
        break;
      case automod::ActionKind::kWarn:
        out += kCaseWarn;
        break;
      case automod::ActionKind::kPoints:
        out += std::string(kCasePoints) + "+" + std::to_string(s.amount) + " (共 " +
               std::to_string(s.held) + ")";
        break;
      case automod::ActionKind::kMute:
        out += std::string(kCaseMute) + " " + std::to_string(s.amount) + " 秒";
        break;
      case automod::ActionKind::kKick:
        out += kCaseKick;
        break;
      case automod::ActionKind::kKickBlacklist:
        out += kCaseKickBlacklist;
        break;
      case automod::ActionKind::kReport:
        out += kCaseReport;
        break;
    }
  }
  return out.empty() ? "不做任何操作" : out;
}

Status TryRulesOnHistory(RobotCore& robot, const TrialRequest& request, TrialOutcome& outcome) {
  outcome = TrialOutcome{};
  Lifecycle& l = robot.lifecycle();
  const int64_t self = AccountNumber(l.loginAccount());
  if (self == 0 || !robot.startedUp() || !l.database().connected())
    return Status::Error("the robot has not loaded its data yet");
  RuleModules& m = robot.modules;

  // The live robot's answers (never-targets, join times), asked once per
  // member: they read the lists and the member table, too slow to ask at
  // every message of a long range.
  const automod::Lookups live = m.automod.lookups();
  std::map<std::pair<int64_t, int64_t>, bool> exempt;
  std::map<std::pair<int64_t, int64_t>, std::optional<int64_t>> joined;
  automod::Lookups lookups;
  lookups.exempt = [&](int64_t group, int64_t member) {
    const auto [it, fresh] = exempt.try_emplace({group, member}, false);
    if (fresh && live.exempt) it->second = live.exempt(group, member);
    return it->second;
  };
  lookups.joinTime = [&](int64_t group, int64_t member) {
    const auto [it, fresh] = joined.try_emplace({group, member});
    if (fresh && live.joinTime) it->second = live.joinTime(group, member);
    return it->second;
  };

  automod::Evaluator evaluator(request.rules);
  automod::MemoryPoints points;
  // One more than the bound is read, to tell a range that holds more.
  const size_t read = m.historyTable.read(
      self, request.group, request.from, request.to, kTrialMaxMessages + 1, [&](KeptMessage&& k) {
        if (outcome.messages == kTrialMaxMessages) return false;
        ++outcome.messages;
        const automod::Message message{k.group, k.member, k.msgId, k.text, k.time * 1000};
        for (automod::Verdict& v : evaluator.evaluate(message, lookups, &points)) {
          ++outcome.cases;
          ++outcome.perRule[v.ruleName];
          ++outcome.perMember[k.member];
          if (outcome.listed.size() >= kTrialListedCases) continue;
          outcome.listed.push_back(TrialCase{
              k.time, k.member, k.msgId, std::move(v.ruleId), std::move(v.ruleName), v.watch,
              std::move(v.reason), DescribeSteps(v.steps), Excerpt(k.text, kEvidenceBytes)});
        }
        return true;
      });
  outcome.cut = read > kTrialMaxMessages;
  return Status::Ok();
}

}  // namespace bw
