// Repeats: the same text (after folding) again and again from one member.
#include "automod/triggers.h"

namespace bw::automod {

bool RepeatHit(const Trigger& t, const std::vector<WindowEntry>& entries, uint32_t now,
               std::string& reason) {
  if (entries.empty()) return false;
  const uint32_t span = static_cast<uint32_t>(t.seconds * 10);
  const uint32_t hash = entries.back().hash;
  int64_t n = 0;
  for (auto it = entries.rbegin(); it != entries.rend() && now - it->time < span; ++it)
    if (it->hash == hash) ++n;
  if (n < t.count) return false;
  reason = std::to_string(t.seconds) + " 秒内重复发了 " + std::to_string(n) + " 次同样的内容";
  return true;
}

}  // namespace bw::automod
