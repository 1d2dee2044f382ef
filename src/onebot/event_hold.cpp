#include "onebot/event_hold.h"

#include "onebot/json_fields.h"
#include "util/log.h"
#include "util/memory.h"

namespace bw::onebot {

EventHold::EventHold(Deliver deliver, size_t capacity, size_t maxBytes)
    : deliver_(std::move(deliver)), capacity_(capacity), maxBytes_(maxBytes) {}

void EventHold::onEvent(const Json& event) {
  {
    std::lock_guard lock(mu_);
    if (!open_) {
      std::string text = event.dump(-1, ' ', false, Json::error_handler_t::replace);
      if (held_.size() < capacity_ && bytes_ < maxBytes_) {
        bytes_ += text.size();
        held_.push_back(std::move(text));
      } else if (dropped_++ == 0) {
        LogWarning("OneBot: more than " + std::to_string(capacity_) + " events or " +
                   std::to_string(maxBytes_ >> 20) +
                   " MiB arrived during the startup; later ones are dropped");
      }
      return;
    }
  }
  deliver_(event);
}

bool EventHold::hasRoom() {
  EventBudget* downstream = nullptr;
  {
    std::lock_guard lock(mu_);
    if (!open_) {
      if (held_.size() < capacity_ && bytes_ < maxBytes_) return true;
      wanted_ = true;
      return false;
    }
    downstream = downstream_;
  }
  return downstream == nullptr || downstream->hasRoom();
}

void EventHold::setRoomListener(std::function<void()> listener) {
  std::lock_guard lock(mu_);
  listener_ = std::move(listener);
}

void EventHold::setDownstream(EventBudget* budget) {
  std::lock_guard lock(mu_);
  downstream_ = budget;
}

void EventHold::release(std::stop_token stop) {
  size_t delivered = 0;
  size_t releasedBytes = 0;
  for (;;) {
    EventBudget* downstream = nullptr;
    {
      std::lock_guard lock(mu_);
      if (open_) return;
      downstream = downstream_;
    }
    // The queues take them as fast as their budget has room.
    if (downstream != nullptr && !downstream->waitForRoom(stop)) return;
    if (stop.stop_requested()) return;
    std::string text;
    bool opened = false;
    std::function<void()> tell;
    {
      std::lock_guard lock(mu_);
      if (held_.empty()) {
        // Only now may new events pass the hold: every held one is delivered.
        opened = open_ = true;
        if (wanted_) tell = listener_;
        wanted_ = false;
        held_.shrink_to_fit();
        if (delivered > 0 || dropped_ > 0)
          LogInfo("OneBot: " + std::to_string(delivered) +
                  " events that arrived during the startup handled now" +
                  (dropped_ > 0 ? ", " + std::to_string(dropped_) + " dropped" : std::string()));
      } else {
        text = std::move(held_.front());
        held_.pop_front();
        bytes_ -= text.size();
      }
    }
    if (opened) {
      if (releasedBytes > (1u << 20)) ReturnFreedMemory();
      if (tell) tell();
      return;
    }
    try {
      deliver_(ParseFrame(text).value);
    } catch (const std::exception& e) {
      LogWarning(std::string("OneBot: held event dropped (") + e.what() + ")");
    }
    ++delivered;
    releasedBytes += text.size();
  }
}

size_t EventHold::drop() {
  std::lock_guard lock(mu_);
  const size_t n = held_.size();
  held_.clear();
  bytes_ = 0;
  return n;
}

size_t EventHold::held() const {
  std::lock_guard lock(mu_);
  return held_.size();
}

size_t EventHold::heldBytes() const {
  std::lock_guard lock(mu_);
  return bytes_;
}

}  // namespace bw::onebot
