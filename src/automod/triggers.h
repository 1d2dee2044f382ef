// The triggers, one small file each. A trigger says whether a message hits
// and, when it does, why (the reason goes into the case and the report).
// The word lookup, the folding and the windows are done once per message by
// the Evaluator; the triggers read what it prepared.
//
// Thread-safety: pure functions over their arguments; RaidWindow is used
// under the Evaluator's lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "automod/compiled.h"

namespace bw::automod {

// What the Evaluator prepared about one message.
struct MessageFacts {
  std::string_view raw;     // with CQ codes
  std::string_view folded;  // Fold(raw)
  // For each rule: the first "contains" or whole-message word that hit, or empty.
  const std::vector<std::string_view>* wordHits = nullptr;
  uint32_t now = 0;  // window time, deciseconds
  // For each rule: the scan met a literal its regular expressions need.
  const std::vector<char>* regexCandidates = nullptr;
};

// One message of a member in its window.
struct WindowEntry {
  uint32_t time = 0;  // deciseconds
  uint32_t hash = 0;  // of the folded text (the raw text when it folds to nothing)
};

// words: a contains or whole-message word hit, or a regular expression
// matches the folded text; no exception word appears in it.
bool WordsHit(const CompiledRule& rule, size_t index, const MessageFacts& facts,
              std::string& reason);

// flood: more than `count` messages within `seconds` (this one included).
bool FloodHit(const Trigger& t, const std::vector<WindowEntry>& entries, uint32_t now,
              std::string& reason);

// repeat: this message's text `count` times within `seconds` (this one included).
bool RepeatHit(const Trigger& t, const std::vector<WindowEntry>& entries, uint32_t now,
               std::string& reason);

// raid: the same text from `count` members of the group within `seconds`.
class RaidWindow {
 public:
  // Notes `member` sending text `hash` at `now`; keeps at most `maxMembers`
  // members per text and forgets texts older than `keep`.
  void note(uint32_t hash, int64_t member, uint32_t now, uint32_t keep, uint32_t maxMembers);
  // Whether the text reached `count` members within the window; each member
  // hits once per text (`fire` marks it).
  bool hit(const Trigger& t, uint32_t hash, int64_t member, uint32_t now, std::string& reason);
  void forget(uint32_t before);
  bool empty() const { return texts_.empty(); }
  size_t bytes() const;

 private:
  struct Sender {
    int64_t member;
    uint32_t time;
    uint32_t firedMask;  // raid rules (by their order among raid rules, first 32) that fired
  };
  struct Text {
    uint32_t last = 0;
    std::vector<Sender> senders;
  };
  std::unordered_map<uint32_t, Text> texts_;
  uint32_t raidRuleSlot_ = 0;

 public:
  // Which raid rule the next hit() is for (its order among raid rules).
  void setRuleSlot(uint32_t slot) { raidRuleSlot_ = slot; }
};

// mentions: more than `count` members mentioned, or everyone mentioned.
bool MentionsHit(const Trigger& t, std::string_view raw, std::string& reason);

// links and cards: URLs outside the allowed domains, QQ or group numbers in
// the text, shared cards (json, xml, share and contact segments).
bool LinksHit(const Trigger& t, const MessageFacts& facts, std::string& reason);

}  // namespace bw::automod
