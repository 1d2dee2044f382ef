// EventHold: events that arrive before the robot can handle them. The
// implementation sends events from the moment the link is up, while the
// startup sequence (settings, database, lists) still runs and the robot would
// drop them; the hold keeps them, in order, until release(), then hands them on
// and lets later events pass straight through.
//
// At most `capacity` events and `maxBytes` of their text are held (kept as
// text: a parsed event takes several times the memory). The connection asks
// hasRoom() before it hands on an event and stops reading while the hold is
// full (see Connection's event gate); events offered anyway beyond the bounds
// are dropped, with one log line for the first and a count at release.
// Once released, hasRoom() is the room of the downstream budget (the event
// queues), and release() hands the held events on only as fast as that budget
// has room.
//
// Thread-safety: onEvent() and hasRoom() may be called from any thread (the
// connection's); release() and drop() from one other thread. Events are
// delivered in arrival order. The room listener runs on the releasing thread.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <stop_token>
#include <string>

#include "events/event_budget.h"
#include "onebot/connection.h"

namespace bw::onebot {

class EventHold {
 public:
  using Deliver = std::function<void(const Json& event)>;

  explicit EventHold(Deliver deliver, size_t capacity = 100000, size_t maxBytes = 32u << 20);

  void onEvent(const Json& event);
  // Whether another event may come now; false means the room listener will be
  // called once it may.
  bool hasRoom();
  void setRoomListener(std::function<void()> listener);
  // The budget the released events count against (null: none).
  void setDownstream(EventBudget* budget);

  // Delivers the held events, then every later one as it comes. Idempotent.
  // A stop requested meanwhile ends it early, the rest still held.
  void release(std::stop_token stop = {});
  // Forgets the events still held (a stop before the release); returns how many.
  size_t drop();

  size_t held() const;
  size_t heldBytes() const;

 private:
  const Deliver deliver_;
  const size_t capacity_;
  const size_t maxBytes_;
  mutable std::mutex mu_;
  std::deque<std::string> held_;
  size_t bytes_ = 0;
  bool open_ = false;
  size_t dropped_ = 0;
  bool wanted_ = false;  // hasRoom() said no while held
  std::function<void()> listener_;
  EventBudget* downstream_ = nullptr;
};

}  // namespace bw::onebot
