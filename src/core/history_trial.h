// 试一试历史: a rule set tried on the kept messages of one group (see
// moderation/message_history.h), to see the cases it would have produced —
// before any rule acts on anyone.
//
// The messages are read from the live database (reads only) and run, oldest
// first, through an evaluator of their own: fresh flood and repeat windows,
// warning points in memory. No host call is made and nothing is written, so
// the database and the files stay byte for byte as they were.
//
// Thread-safety: may run on any thread while the robot runs; it shares only
// the database (serialised there) and the lists (thread-safe).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "automod/rule.h"
#include "core/robot_core.h"
#include "util/status.h"

namespace bw {

// At most this many messages are tried per run; the list shows at most
// kTrialListedCases of the cases (the counts count all of them).
inline constexpr size_t kTrialMaxMessages = 200000;
inline constexpr size_t kTrialListedCases = 500;
inline constexpr int64_t kTrialMaxDays = 30;

struct TrialRequest {
  int64_t group = 0;
  int64_t from = 0;  // Unix seconds, inclusive
  int64_t to = 0;    // Unix seconds, exclusive
  automod::RuleSet rules;
};

// One case the rules would have produced.
struct TrialCase {
  int64_t time = 0;
  int64_t member = 0;
  int64_t msgId = 0;
  std::string ruleId;
  std::string ruleName;
  bool watch = false;    // a watch-only rule's verdict
  std::string reason;    // what hit
  std::string actions;   // what it would have done, in the owner's words
  std::string evidence;  // an excerpt of the message
};

struct TrialOutcome {
  size_t messages = 0;                    // messages tried
  size_t cases = 0;                       // cases produced (all, not only those listed)
  bool cut = false;                       // the range held more than kTrialMaxMessages
  std::map<std::string, size_t> perRule;  // rule name → cases
  std::map<int64_t, size_t> perMember;    // member → cases
  std::vector<TrialCase> listed;          // the first kTrialListedCases cases, oldest first
};

// The owner's words for a verdict's steps ("撤回, 警告点+1, 禁言 600 秒").
std::string DescribeSteps(const std::vector<automod::Step>& steps);

// Runs `request` over `robot`'s kept messages. An error when the robot has no
// account or database yet; the robot is untouched either way.
Status TryRulesOnHistory(RobotCore& robot, const TrialRequest& request, TrialOutcome& outcome);

}  // namespace bw
