// The automatic-moderation rules: an ordered list per account, each with a
// name, the groups it applies to, a state (on / watch-only / off), one
// trigger, an optional newcomer condition and a chain of actions; plus the
// warning-point ladder and the administrators' report group.
//
// The JSON form is what the panel exchanges (GET/PUT /api/automod/rules) and
// what the rule file stores per rule. FromJson reads what it can and reports
// every problem in plain Chinese naming the rule and the field, so an owner
// knows what to fix; Validate checks ranges, word lists and regular
// expressions (they must compile and stay within the matcher's limits).
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace bw::automod {

enum class RuleState { kOn, kWatch, kOff };
enum class WordMode { kContains, kWhole, kRegex };
enum class TriggerKind { kWords, kFlood, kRepeat, kRaid, kMentions, kLinks };
enum class ActionKind { kRecall, kWarn, kPoints, kMute, kKick, kKickBlacklist, kReport };

struct Word {
  std::string text;
  WordMode mode = WordMode::kContains;
  bool operator==(const Word&) const = default;
};

// One trigger; only the fields of its kind are used (and stored).
struct Trigger {
  TriggerKind kind = TriggerKind::kWords;
  // words
  std::vector<Word> words;
  std::vector<std::string> allow;  // exceptions: a message containing one is never a hit
  // flood, repeat, raid: more than / at least `count` within `seconds`;
  // mentions: more than `count` members mentioned in one message
  int64_t count = 0;
  int64_t seconds = 0;
  bool everyone = false;  // mentions: a mention of everyone by a non-administrator
  // links
  bool urls = false;
  std::vector<std::string> allowDomains;  // a domain and its subdomains
  bool numbers = false;                   // QQ or group numbers written in the text
  bool cards = false;                     // shared cards: json, xml and share segments
  bool operator==(const Trigger&) const = default;
};

struct Action {
  ActionKind kind = ActionKind::kWarn;
  std::string text;     // warn: the message, with the message variables
  int64_t count = 0;    // points: how many
  int64_t seconds = 0;  // mute: how long
  bool operator==(const Action&) const = default;
};

struct Rule {
  std::string id;  // stable across edits: the panel refuses a stale tab by it
  std::string name;
  RuleState state = RuleState::kOn;
  bool allGroups = true;
  std::vector<int64_t> groups;  // when !allGroups
  Trigger trigger;
  int64_t newcomerDays = 0;  // 0: everyone; D: only members who joined less than D days ago
  std::vector<Action> actions;
  bool operator==(const Rule&) const = default;
};

// The penalty for the points a member holds: the highest step reached.
struct LadderStep {
  int64_t points = 0;
  ActionKind action = ActionKind::kWarn;  // kWarn, kMute or kKick
  int64_t seconds = 0;                    // mute
  bool operator==(const LadderStep&) const = default;
};

struct Ladder {
  int64_t days = 30;  // points older than this no longer count
  std::vector<LadderStep> steps;
  bool operator==(const Ladder&) const = default;
};

struct RuleSet {
  std::vector<Rule> rules;
  Ladder ladder;
  int64_t reportGroup = 0;  // 0: no report group
  // What the host can do: shown to the panel, never read from JSON or stored.
  bool canRecall = true;
  bool operator==(const RuleSet&) const = default;
};

// Something to fix, for the owner: which rule (empty for the ladder or the
// report group), which field, and what to do, in plain Chinese.
struct Problem {
  std::string ruleId;
  std::string ruleName;
  std::string field;  // the JSON field, e.g. "trigger.words"
  std::string message;
  // "规则「广告词」：…" — the line shown in the panel and written to the logs.
  std::string text() const;
};

// Ranges the model accepts (the panel shows them too).
inline constexpr int64_t kMaxRuleNameBytes = 100;
inline constexpr int64_t kMaxWordBytes = 300;
inline constexpr int64_t kMaxRegexBytes = 1000;
inline constexpr int64_t kMaxWordsPerRule = 100000;
inline constexpr int64_t kMinWindowCount = 2, kMaxWindowCount = 1000;
inline constexpr int64_t kMinWindowSeconds = 1, kMaxWindowSeconds = 3600;
inline constexpr int64_t kMaxMentions = 500;
inline constexpr int64_t kMinMuteSeconds = 60, kMaxMuteSeconds = 30 * 86400;  // QQ's own bounds
inline constexpr int64_t kMaxPoints = 100;
inline constexpr int64_t kMaxNewcomerDays = 365;
inline constexpr int64_t kMinLadderDays = 1, kMaxLadderDays = 365;
inline constexpr int64_t kMaxWarnBytes = 2000;

std::string_view StateName(RuleState s);
std::string_view TriggerName(TriggerKind k);
std::string_view ActionName(ActionKind k);
std::string_view WordModeName(WordMode m);

nlohmann::json ToJson(const Rule& rule);
nlohmann::json ToJson(const Ladder& ladder);
// {"rules":[…],"ladder":{…},"reportGroup":…,"canRecall":…}
nlohmann::json ToJson(const RuleSet& set);

// One rule from its JSON. Problems go to `problems`; a rule with problems is
// still returned as far as it could be read (the caller decides: the panel
// refuses the save, the rule file disables the rule).
Rule RuleFromJson(const nlohmann::json& j, std::vector<Problem>& problems);
Ladder LadderFromJson(const nlohmann::json& j, std::vector<Problem>& problems);
// The whole set; problems of every rule, the ladder and the report group
// (Validate included).
RuleSet FromJson(const nlohmann::json& j, std::vector<Problem>& problems);

// Ranges, non-empty lists, compiling regular expressions, unique ids.
std::vector<Problem> Validate(const Rule& rule);
std::vector<Problem> Validate(const Ladder& ladder);
std::vector<Problem> Validate(const RuleSet& set);
// The same, but the rules `unchecked` names are left as they are (a rule the
// rule file keeps off because it could not be read): only their ids count.
std::vector<Problem> Validate(const RuleSet& set,
                              const std::function<bool(const Rule&)>& unchecked);

}  // namespace bw::automod
