// EventQueue: records of one event kind, handled in arrival order by one
// on-demand worker thread that ends when the queue is empty (the next record
// starts a new one).
//
// In synchronous mode (replay) enqueue() handles the record to completion on
// the calling thread before it returns; records enqueued while handling (from
// the handler itself) are handled after the current one, still in order.
//
// A handler that throws is logged and the worker goes on with the next record.
// stop() refuses new records, discards the ones not yet started and waits for
// the running handler to return; close() does the same without waiting.
//
// With a budget, each record counts its bytes (`sizeOf`) against it from
// enqueue until its handler returns or it is discarded.
//
// Thread-safety: enqueue/stop/waitIdle may be called from any thread. A handler
// may enqueue (to its own queue too) and stop its own queue, but must not call
// waitIdle() on it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "events/event_budget.h"

namespace bw {

// kLingering is kThreaded whose worker, once the queue is empty, waits a
// short real while for the next record before it ends: a busy service then
// starts no thread per event (a start costs more than a message's handling),
// and a quiet one still keeps no idle thread.
enum class QueueMode { kThreaded, kSynchronous, kLingering };

template <typename Record>
class EventQueue {
 public:
  using Handler = std::function<void(const Record&)>;

  using SizeOf = std::function<size_t(const Record&)>;

  EventQueue(std::string name, Handler handler, QueueMode mode = QueueMode::kThreaded,
             EventBudget* budget = nullptr, SizeOf sizeOf = {});
  ~EventQueue();  // stop()
  EventQueue(const EventQueue&) = delete;
  EventQueue& operator=(const EventQueue&) = delete;

  // Appends and starts a worker when none runs. False after stop().
  bool enqueue(Record record);

  // Blocks until the queue is empty and no worker is running (tests, shutdown).
  void waitIdle();
  void stop();

  // What a stop left undone: the records discarded, and whether a handler was
  // still running (it finishes).
  struct Left {
    size_t discarded = 0;
    bool handling = false;
  };
  // Refuses new records and discards the waiting ones, without waiting for
  // the running handler. Only the first call reports anything.
  Left close();

  size_t pending() const;
  bool workerRunning() const;
  // Number of worker threads started so far (tests check worker restarts).
  uint64_t workersStarted() const;

 private:
  // The worker (or, synchronous, the enqueuing thread): handles records until
  // the queue is empty or stopped.
  void drain();
  size_t bytesOf(const Record& record) const { return budget_ ? sizeOf_(record) : 0; }

  const std::string name_;
  const Handler handler_;
  const QueueMode mode_;
  EventBudget* const budget_;
  const SizeOf sizeOf_;
  mutable std::mutex mu_;
  std::condition_variable idle_;
  std::condition_variable arrived_;  // wakes a lingering worker
  std::deque<Record> records_;
  std::thread worker_;
  bool running_ = false;    // a worker is active (threaded) or draining (synchronous)
  bool lingering_ = false;  // the worker waits for a record with the queue empty
  bool stopped_ = false;
  uint64_t workersStarted_ = 0;
  uint64_t enqueued_ = 0;    // records accepted so far
  uint64_t handled_ = 0;     // records whose handler has returned
  std::thread::id drainer_;  // the thread draining in synchronous mode
};

}  // namespace bw

#include "events/event_queue_impl.h"
