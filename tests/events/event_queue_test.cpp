#include "events/event_queue.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "util/log.h"

namespace bw {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// A gate a handler can wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard lock(mu_);
    open_ = true;
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Records handled values, safe for the worker thread.
class Seen {
 public:
  void add(int v) {
    std::lock_guard lock(mu_);
    values_.push_back(v);
  }
  std::vector<int> values() {
    std::lock_guard lock(mu_);
    return values_;
  }

 private:
  std::mutex mu_;
  std::vector<int> values_;
};

class ErrorLog {
 public:
  ErrorLog() {
    previous_ = SetLogSink([this](LogLevel level, std::string_view line) {
      if (level != LogLevel::kError) return;
      std::lock_guard lock(mu_);
      lines_.emplace_back(line);
    });
  }
  ~ErrorLog() { SetLogSink(previous_); }
  std::vector<std::string> lines() {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  LogSink previous_;
  std::mutex mu_;
  std::vector<std::string> lines_;
};

TEST(EventQueueTest, HandlesRecordsInArrivalOrderOnOneWorker) {
  Seen seen;
  Gate gate;
  std::atomic<bool> inHandler{false};
  std::set<std::thread::id> threads;
  std::mutex threadsMu;
  EventQueue<int> queue("test", [&](const int& v) {
    {
      std::lock_guard lock(threadsMu);
      threads.insert(std::this_thread::get_id());
    }
    if (v == 0) {
      inHandler = true;
      gate.wait();
    }
    seen.add(v);
  });
  ASSERT_TRUE(queue.enqueue(0));
  while (!inHandler) std::this_thread::yield();
  // Records that arrive while the worker handles one wait behind it.
  for (int i = 1; i <= 100; ++i) ASSERT_TRUE(queue.enqueue(i));
  EXPECT_EQ(queue.pending(), 100u);
  EXPECT_TRUE(queue.workerRunning());
  gate.open();
  queue.waitIdle();

  std::vector<int> expected;
  for (int i = 0; i <= 100; ++i) expected.push_back(i);
  EXPECT_EQ(seen.values(), expected);
  EXPECT_EQ(queue.workersStarted(), 1u);
  EXPECT_EQ(threads.size(), 1u);
  EXPECT_NE(*threads.begin(), std::this_thread::get_id());
}

TEST(EventQueueTest, WorkerEndsWhenEmptyAndNextRecordStartsANewOne) {
  Seen seen;
  EventQueue<int> queue("test", [&](const int& v) { seen.add(v); });
  EXPECT_EQ(queue.workersStarted(), 0u);
  queue.enqueue(1);
  queue.waitIdle();
  EXPECT_FALSE(queue.workerRunning());
  EXPECT_EQ(queue.workersStarted(), 1u);
  queue.enqueue(2);
  queue.waitIdle();
  queue.enqueue(3);
  queue.waitIdle();
  EXPECT_EQ(queue.workersStarted(), 3u);
  EXPECT_THAT(seen.values(), ElementsAre(1, 2, 3));
}

// A busy service's queue keeps its worker between records that come one at a
// time, instead of starting a thread for each; it still reads as idle between
// them, and a stop ends the waiting worker.
TEST(EventQueueTest, ALingeringWorkerTakesTheNextRecordAndAStopEndsIt) {
  Seen seen;
  std::mutex mu;
  std::set<std::thread::id> threads;
  auto queue = std::make_unique<EventQueue<int>>(
      "test",
      [&](const int& v) {
        seen.add(v);
        std::lock_guard lock(mu);
        threads.insert(std::this_thread::get_id());
      },
      QueueMode::kLingering);
  for (int i = 1; i <= 5; ++i) {
    ASSERT_TRUE(queue->enqueue(i));
    queue->waitIdle();
    EXPECT_FALSE(queue->workerRunning());
    EXPECT_EQ(queue->pending(), 0u);
  }
  EXPECT_THAT(seen.values(), ElementsAre(1, 2, 3, 4, 5));
  EXPECT_EQ(queue->workersStarted(), 1u);
  EXPECT_EQ(threads.size(), 1u);

  queue->stop();  // joins the waiting worker: it must have been woken
  EXPECT_FALSE(queue->enqueue(6));
  queue.reset();
  EXPECT_THAT(seen.values(), ElementsAre(1, 2, 3, 4, 5));
}

TEST(EventQueueTest, ManyProducersLoseNothingAndKeepEachProducersOrder) {
  std::mutex mu;
  std::vector<std::pair<int, int>> seen;  // (producer, sequence)
  EventQueue<std::pair<int, int>> queue("test", [&](const std::pair<int, int>& r) {
    std::lock_guard lock(mu);
    seen.push_back(r);
  });
  std::vector<std::thread> producers;
  for (int p = 0; p < 4; ++p) {
    producers.emplace_back([&, p] {
      for (int i = 0; i < 2000; ++i) queue.enqueue({p, i});
    });
  }
  for (auto& t : producers) t.join();
  queue.waitIdle();
  ASSERT_EQ(seen.size(), 8000u);
  std::vector<int> next(4, 0);
  for (const auto& [p, i] : seen) {
    EXPECT_EQ(i, next[p]) << "producer " << p;
    next[p] = i + 1;
  }
}

TEST(EventQueueTest, ThrowingHandlerIsLoggedAndWorkerGoesOn) {
  ErrorLog errors;
  Seen seen;
  Gate gate;  // holds the first record until all are queued: one worker sees them all
  EventQueue<int> queue("group message", [&](const int& v) {
    if (v == 1) gate.wait();
    if (v == 2) throw std::runtime_error("database gone");
    if (v == 3) throw 42;
    seen.add(v);
  });
  for (int i = 1; i <= 4; ++i) queue.enqueue(i);
  gate.open();
  queue.waitIdle();
  EXPECT_THAT(seen.values(), ElementsAre(1, 4));
  EXPECT_EQ(queue.workersStarted(), 1u);
  auto lines = errors.lines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_THAT(lines[0], HasSubstr("group message"));
  EXPECT_THAT(lines[0], HasSubstr("database gone"));
}

TEST(EventQueueTest, StopDiscardsWaitingRecordsAndWaitsForTheRunningOne) {
  Seen seen;
  Gate gate;
  std::atomic<bool> inHandler{false};
  std::atomic<bool> finished{false};
  EventQueue<int> queue("test", [&](const int& v) {
    if (v == 1) {
      inHandler = true;
      gate.wait();
      finished = true;
    }
    seen.add(v);
  });
  queue.enqueue(1);
  queue.enqueue(2);
  queue.enqueue(3);
  while (!inHandler) std::this_thread::yield();
  auto stopping = std::async(std::launch::async, [&] { queue.stop(); });
  EXPECT_EQ(stopping.wait_for(50ms), std::future_status::timeout);  // handler still runs
  gate.open();
  stopping.get();
  EXPECT_TRUE(finished);
  EXPECT_THAT(seen.values(), ElementsAre(1));
  EXPECT_FALSE(queue.enqueue(4));
  EXPECT_EQ(queue.pending(), 0u);
  EXPECT_FALSE(queue.workerRunning());
}

TEST(EventQueueTest, HandlerMayStopItsOwnQueue) {
  Seen seen;
  std::unique_ptr<EventQueue<int>> queue;
  queue = std::make_unique<EventQueue<int>>("test", [&](const int& v) {
    seen.add(v);
    if (v == 1) queue->stop();
  });
  queue->enqueue(1);
  queue->enqueue(2);
  queue->waitIdle();
  queue.reset();  // joins the worker
  EXPECT_THAT(seen.values(), ElementsAre(1));
}

TEST(EventQueueTest, SynchronousModeHandlesOnTheCallingThreadBeforeReturning) {
  std::vector<int> seen;
  std::vector<std::thread::id> threads;
  EventQueue<int>* self = nullptr;
  EventQueue<int> queue(
      "test",
      [&](const int& v) {
        seen.push_back(v);
        threads.push_back(std::this_thread::get_id());
        // Records queued from inside a handler run after the current one.
        if (v == 1) {
          self->enqueue(10);
          self->enqueue(11);
          seen.push_back(-1);  // still inside the handler of 1
        }
      },
      QueueMode::kSynchronous);
  self = &queue;
  queue.enqueue(1);
  EXPECT_THAT(seen, ElementsAre(1, -1, 10, 11));
  queue.enqueue(2);
  EXPECT_THAT(seen, ElementsAre(1, -1, 10, 11, 2));
  for (auto id : threads) EXPECT_EQ(id, std::this_thread::get_id());
  EXPECT_FALSE(queue.workerRunning());
  EXPECT_EQ(queue.pending(), 0u);
}

TEST(EventQueueTest, SynchronousCallerFromAnotherThreadWaitsForItsRecord) {
  Gate gate;
  std::atomic<bool> inHandler{false};
  Seen seen;
  EventQueue<int> queue(
      "test",
      [&](const int& v) {
        if (v == 1) {
          inHandler = true;
          gate.wait();
        }
        seen.add(v);
      },
      QueueMode::kSynchronous);
  std::thread first([&] { queue.enqueue(1); });
  while (!inHandler) std::this_thread::yield();
  auto second = std::async(std::launch::async, [&] {
    queue.enqueue(2);
    return seen.values();
  });
  EXPECT_EQ(second.wait_for(50ms), std::future_status::timeout);
  gate.open();
  // When enqueue(2) returned, record 2 had been handled.
  EXPECT_THAT(second.get(), ElementsAre(1, 2));
  first.join();
}

}  // namespace
}  // namespace bw
