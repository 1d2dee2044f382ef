// Words: matched on the folded text, so spacing, invisible characters,
// full-width letters and case do not hide a word.
#include "automod/triggers.h"

namespace bw::automod {

bool WordsHit(const CompiledRule& rule, size_t index, const MessageFacts& facts,
              std::string& reason) {
  std::string_view word = (*facts.wordHits)[index];
  std::string found;
  if (!word.empty()) {
    found = "关键词「" + std::string(word) + "」";
  } else if (!rule.regexes.empty() && (rule.regexAlways || (*facts.regexCandidates)[index])) {
    for (const RegexPattern& p : rule.regexes) {
      if (p.search(facts.folded)) {
        found = "正则表达式「" + p.pattern() + "」";
        break;
      }
    }
  }
  if (found.empty()) return false;
  for (const std::string& allowed : rule.allow)
    if (facts.folded.find(allowed) != std::string_view::npos) return false;
  reason = std::move(found);
  return true;
}

}  // namespace bw::automod
