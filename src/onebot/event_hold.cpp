#include "onebot/event_hold.h"

#include "util/log.h"

namespace bw::onebot {

EventHold::EventHold(Deliver deliver, size_t capacity)
    : deliver_(std::move(deliver)), capacity_(capacity) {}

void EventHold::onEvent(const Json& event) {
  {
    std::lock_guard lock(mu_);
    if (!open_) {
      if (held_.size() < capacity_) {
        held_.push_back(event);
      } else if (dropped_++ == 0) {
        LogWarning("OneBot: more than " + std::to_string(capacity_) +
                   " events arrived during the startup; later ones are dropped");
      }
      return;
    }
  }
  deliver_(event);
}

void EventHold::release() {
  size_t delivered = 0;
  while (true) {
    std::deque<Json> batch;
    {
      std::lock_guard lock(mu_);
      if (open_) return;
      if (held_.empty()) {
        // Only now may new events pass the hold: every held one is delivered.
        open_ = true;
        if (delivered > 0 || dropped_ > 0)
          LogInfo("OneBot: " + std::to_string(delivered) +
                  " events that arrived during the startup handled now" +
                  (dropped_ > 0 ? ", " + std::to_string(dropped_) + " dropped" : std::string()));
        return;
      }
      batch.swap(held_);
    }
    for (const Json& event : batch) {
      try {
        deliver_(event);
      } catch (const std::exception& e) {
        LogWarning(std::string("OneBot: held event dropped (") + e.what() + ")");
      }
    }
    delivered += batch.size();
  }
}

size_t EventHold::held() const {
  std::lock_guard lock(mu_);
  return held_.size();
}

}  // namespace bw::onebot
