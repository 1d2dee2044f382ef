// EventBudget: the bytes of the events received and not yet handled, held
// against a bound. A queue counts a record from its arrival until its handler
// has returned (or the record was discarded); whoever feeds the queues asks
// hasRoom() before taking in more, and when the answer was no it is told once
// through the room listener as soon as there is room again.
//
// The budget refuses nothing itself: the feeder decides what to do when it is
// full (the OneBot connection stops reading events, see docs/architecture.md).
// A feeder that cannot wait, such as the legacy host's own threads, simply
// goes over it.
//
// When the count falls back to zero after a backlog of more than a megabyte,
// the freed memory is handed back to the system (ReturnFreedMemory).
//
// Thread-safety: every member may be called from any thread. The listener
// runs on the thread that made room, with no lock held; it must not block.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <stop_token>

namespace bw {

class EventBudget {
 public:
  // 4 MiB: thousands of ordinary messages, but at most one message of
  // megabytes waiting behind the one being handled.
  static constexpr size_t kDefaultBound = 4u << 20;

  explicit EventBudget(size_t bound = kDefaultBound);
  EventBudget(const EventBudget&) = delete;
  EventBudget& operator=(const EventBudget&) = delete;

  void add(size_t bytes);
  void remove(size_t bytes);

  // True while the count is below the bound; false means full, and the room
  // listener will be called once it is below again.
  bool hasRoom();
  // Blocks until hasRoom() or `stop`; false when stopped first.
  bool waitForRoom(std::stop_token stop);

  size_t used() const;
  size_t bound() const { return bound_; }
  // The highest count so far (tests, the load figures).
  size_t peak() const;

  void setRoomListener(std::function<void()> listener);

 private:
  const size_t bound_;
  mutable std::mutex mu_;
  std::condition_variable_any roomCv_;
  size_t used_ = 0;
  size_t peak_ = 0;
  size_t backlog_ = 0;   // the highest count since it was last zero
  bool wanted_ = false;  // someone found it full and waits to be told
  std::function<void()> listener_;
};

}  // namespace bw
