// Flood: too many messages from one member of a group in a short time.
#include "automod/triggers.h"

namespace bw::automod {

bool FloodHit(const Trigger& t, const std::vector<WindowEntry>& entries, uint32_t now,
              std::string& reason) {
  const uint32_t span = static_cast<uint32_t>(t.seconds * 10);
  int64_t n = 0;
  for (auto it = entries.rbegin(); it != entries.rend() && now - it->time < span; ++it) ++n;
  if (n <= t.count) return false;
  reason = std::to_string(t.seconds) + " 秒内发了 " + std::to_string(n) + " 条消息（上限 " +
           std::to_string(t.count) + " 条）";
  return true;
}

}  // namespace bw::automod
