// Raid: the same text from several members of a group in a short time — the
// pattern of a coordinated advertisement drop.
#include <algorithm>

#include "automod/triggers.h"

namespace bw::automod {

namespace {
// A group may hold this many distinct recent texts; beyond it the stalest goes.
constexpr size_t kMaxTextsPerGroup = 2000;
}  // namespace

void RaidWindow::note(uint32_t hash, int64_t member, uint32_t now, uint32_t keep,
                      uint32_t maxMembers) {
  if (texts_.size() >= kMaxTextsPerGroup && !texts_.contains(hash)) {
    forget(now > keep ? now - keep : 0);
    if (texts_.size() >= kMaxTextsPerGroup) {
      auto stalest = std::min_element(
          texts_.begin(), texts_.end(),
          [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
      texts_.erase(stalest);
    }
  }
  Text& text = texts_[hash];
  text.last = now;
  auto& s = text.senders;
  std::erase_if(s, [&](const Sender& x) { return now - x.time >= keep; });
  for (Sender& x : s) {
    if (x.member == member) {
      x.time = now;
      return;
    }
  }
  if (s.size() >= maxMembers) s.erase(s.begin());
  s.push_back(Sender{member, now, 0});
}

bool RaidWindow::hit(const Trigger& t, uint32_t hash, int64_t member, uint32_t now,
                     std::string& reason) {
  const auto it = texts_.find(hash);
  if (it == texts_.end()) return false;
  const uint32_t span = static_cast<uint32_t>(t.seconds * 10);
  int64_t n = 0;
  Sender* self = nullptr;
  for (Sender& x : it->second.senders) {
    if (now - x.time < span) ++n;
    if (x.member == member) self = &x;
  }
  if (n < t.count || !self) return false;
  const uint32_t bit = raidRuleSlot_ < 32 ? (1u << raidRuleSlot_) : 0;
  if (self->firedMask & bit) return false;
  self->firedMask |= bit;
  reason = std::to_string(t.seconds) + " 秒内有 " + std::to_string(n) + " 人发了同样的内容";
  return true;
}

void RaidWindow::forget(uint32_t before) {
  std::erase_if(texts_, [&](const auto& e) { return e.second.last < before; });
}

size_t RaidWindow::bytes() const {
  size_t n = texts_.bucket_count() * sizeof(void*);
  for (const auto& [hash, text] : texts_) n += 48 + text.senders.capacity() * sizeof(Sender);
  return n;
}

}  // namespace bw::automod
