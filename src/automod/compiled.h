// CompiledRules: a rule set made ready for messages — words folded and indexed
// together, whole-message words in one hash table, regular expressions
// compiled, each rule's groups in a set. Immutable once built.
//
// Thread-safety: immutable; shared by any number of evaluators.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "automod/evaluator.h"
#include "automod/rule.h"
#include "automod/word_index.h"
#include "web/regex_pattern.h"

namespace bw::automod {

struct CompiledRule {
  const Rule* rule = nullptr;
  std::unordered_set<int64_t> groups;  // when !rule->allGroups
  std::vector<std::string> allow;      // folded exceptions
  std::vector<RegexPattern> regexes;   // words in regex mode
};

class CompiledRules {
 public:
  explicit CompiledRules(const RuleSet& set);

  RuleSet set;  // the source; CompiledRule::rule points into it
  std::vector<CompiledRule> rules;
  WordIndex contains;                                            // tag: rule index
  std::unordered_map<std::string, std::vector<uint32_t>> whole;  // folded message -> rules
  // All regular expressions of all rules as one alternation: a clean message
  // costs one search, and only a hit runs each rule's own expressions.
  std::optional<RegexPattern> anyRegex;
  bool hasRegex = false;

  // What the windows must keep.
  uint32_t windowEntries = 0;      // flood count + 1, repeat count: the largest
  uint32_t windowDeciseconds = 0;  // the longest flood or repeat window
  uint32_t raidDeciseconds = 0;    // the longest raid window
  uint32_t raidMembers = 0;        // the largest raid count
  bool anyActive = false;          // some rule on or watch-only
};

}  // namespace bw::automod
