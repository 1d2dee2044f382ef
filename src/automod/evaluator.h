// Evaluator: the rule set applied to group messages, saying what would happen
// without any host call. The live module (Automod) carries its verdicts out;
// trying rules on kept history runs its own Evaluator over old messages with
// its own windows and MemoryPoints, and changes nothing.
//
// For each message, in one pass: the message is folded once, every "contains"
// word of every rule is looked up in one scan (WordIndex), the member's flood
// and repeat window and the group's raid window are updated once, then the
// rules are read in list order. The first rule in state on that hits gives
// the verdict that acts (one penalty per message); every watch-only rule that
// hits gives a verdict too (recorded, never carried out). Rules that are off,
// rules for other groups, members who are never targets (administrators, the
// owner, the robot, whitelisted accounts: `Lookups::exempt`) and, for
// newcomer rules, members who joined D days ago or earlier, give none.
//
// After a flood or repeat rule hit a member, the member's window starts
// afresh: the next verdict needs a new burst. A raid hits every member who
// sends the text once the count of members is reached, each once.
//
// Windows: per member of a group, the times and text hashes of its recent
// messages, at most as many as the largest count needs and only as old as the
// longest window; members idle longer than that are forgotten.
//
// Thread-safety: evaluate() and setRules() may be called from any thread
// (serialised inside).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "automod/rule.h"

namespace bw::automod {

struct Message {
  int64_t group = 0;
  int64_t member = 0;
  int64_t msgId = 0;
  std::string_view text;  // UTF-8 with CQ codes, as records hold it
  int64_t timeMs = 0;     // Unix milliseconds: the event's time
};

// What the evaluation asks of its surroundings; unset means "no".
struct Lookups {
  // Never a target: administrators, the group owner, the robot, whitelisted accounts.
  std::function<bool(int64_t group, int64_t member)> exempt;
  // When the member joined the group (Unix seconds), if known. A newcomer
  // rule does not apply to a member whose join time is unknown.
  std::function<std::optional<int64_t>(int64_t group, int64_t member)> joinTime;
};

// Warning points of a member in a group: in the database for the live robot,
// in memory when rules are tried.
class PointsLedger {
 public:
  virtual ~PointsLedger() = default;
  // Records `points` given at `time` (Unix seconds); the points held then,
  // counting only those given after `time - days`.
  virtual int64_t add(int64_t group, int64_t member, int64_t points, int64_t time,
                      int64_t days) = 0;
  virtual int64_t held(int64_t group, int64_t member, int64_t time, int64_t days) = 0;
};

class MemoryPoints final : public PointsLedger {
 public:
  int64_t add(int64_t group, int64_t member, int64_t points, int64_t time, int64_t days) override;
  int64_t held(int64_t group, int64_t member, int64_t time, int64_t days) override;

 private:
  std::mutex mu_;
  std::map<std::pair<int64_t, int64_t>, std::vector<std::pair<int64_t, int64_t>>> given_;
};

// One thing to do. Steps of a rule come in its chain's order; a ladder
// penalty follows the points step that reached it.
struct Step {
  ActionKind kind = ActionKind::kWarn;
  std::string text;     // warn: the rule's text (message variables not filled yet)
  int64_t amount = 0;   // mute: seconds; points: points added
  bool ladder = false;  // the ladder's penalty for the points held
  int64_t held = 0;     // points: the member's points after this step
};

struct Verdict {
  std::string ruleId;
  std::string ruleName;
  bool watch = false;  // watch-only: record, do nothing
  std::string reason;  // what hit: "关键词「加我微信」", "10 秒内 11 条消息", …
  std::vector<Step> steps;
};

// The compiled form of a rule set (words indexed, regular expressions
// compiled), shared by evaluators and built once per change.
class CompiledRules;
std::shared_ptr<const CompiledRules> Compile(const RuleSet& set);

class Evaluator {
 public:
  explicit Evaluator(const RuleSet& set);
  explicit Evaluator(std::shared_ptr<const CompiledRules> rules);
  ~Evaluator();
  Evaluator(const Evaluator&) = delete;
  Evaluator& operator=(const Evaluator&) = delete;

  // Replaces the rules; the windows stay as far as the new rules need them.
  void setRules(std::shared_ptr<const CompiledRules> rules);
  std::shared_ptr<const CompiledRules> rules() const;
  // A copy: another thread may replace the rules at any time.
  RuleSet ruleSet() const;

  // The verdicts for one message (empty for nearly all). `points` (may be
  // null: no points, no ladder) gets the points of acting verdicts; for
  // watch-only verdicts it is only asked what the member holds.
  std::vector<Verdict> evaluate(const Message& message, const Lookups& lookups,
                                PointsLedger* points);

  // The members the windows hold now, and the bytes they take (an estimate
  // counting allocations).
  size_t windowMembers() const;
  size_t windowBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace bw::automod
