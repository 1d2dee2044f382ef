// EventHold: events that arrive before the robot can handle them. The
// implementation sends events from the moment the link is up, while the
// startup sequence (settings, database, lists) still runs and the robot would
// drop them; the hold keeps them, in order, until release(), then hands them on
// and lets later events pass straight through.
//
// At most `capacity` events are held; beyond that the newest are dropped with
// one log line for the first and a count at release (a start-up never takes
// that long on a live group).
//
// Thread-safety: onEvent() may be called from any thread (the connection's);
// release() from one other thread. Events are delivered in arrival order.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

#include "onebot/connection.h"

namespace bw::onebot {

class EventHold {
 public:
  using Deliver = std::function<void(const Json& event)>;

  explicit EventHold(Deliver deliver, size_t capacity = 100000);

  void onEvent(const Json& event);
  // Delivers the held events, then every later one as it comes. Idempotent.
  void release();

  size_t held() const;

 private:
  const Deliver deliver_;
  const size_t capacity_;
  mutable std::mutex mu_;
  std::deque<Json> held_;
  bool open_ = false;
  size_t dropped_ = 0;
};

}  // namespace bw::onebot
