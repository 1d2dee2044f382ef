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
  // Some expression has no literal to look for: the expressions run on
  // every message (otherwise only when the word scan met a literal).
  bool regexAlways = false;
};

class CompiledRules {
 public:
  explicit CompiledRules(const RuleSet& set);

  RuleSet set;  // the source; CompiledRule::rule points into it
  std::vector<CompiledRule> rules;
  // Tag: the rule's index; with kRegexLiteral, a literal that the rule's
  // regular expressions need (see RequiredLiterals).
  WordIndex contains;
  static constexpr uint32_t kRegexLiteral = 0x80000000u;
  std::unordered_map<std::string, std::vector<uint32_t>> whole;  // folded message -> rules

  // What the windows must keep.
  uint32_t windowEntries = 0;      // flood count + 1, repeat count: the largest
  uint32_t windowDeciseconds = 0;  // the longest flood or repeat window
  uint32_t raidDeciseconds = 0;    // the longest raid window
  uint32_t raidMembers = 0;        // the largest raid count
  bool anyActive = false;          // some rule on or watch-only
};

}  // namespace bw::automod
