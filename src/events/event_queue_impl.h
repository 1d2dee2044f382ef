// Implementation of EventQueue (included by event_queue.h).
#pragma once

#include <chrono>
#include <exception>
#include <system_error>
#include <utility>

#include "util/log.h"

namespace bw {

namespace detail {
// Runs one handler call; an exception is logged with the queue's name and
// swallowed so that the worker goes on with the next record.
template <typename Handler, typename Record>
void HandleRecord(const std::string& queue, const Handler& handler, const Record& record) {
  try {
    handler(record);
  } catch (const std::exception& e) {
    LogError("event queue " + queue + ": handler failed: " + e.what());
  } catch (...) {
    LogError("event queue " + queue + ": handler failed with a non-standard exception");
  }
}
}  // namespace detail

template <typename Record>
EventQueue<Record>::EventQueue(std::string name, Handler handler, QueueMode mode,
                               EventBudget* budget, SizeOf sizeOf)
    : name_(std::move(name)),
      handler_(std::move(handler)),
      mode_(mode),
      budget_(budget),
      sizeOf_(sizeOf ? std::move(sizeOf) : SizeOf([](const Record&) { return sizeof(Record); })) {}

template <typename Record>
EventQueue<Record>::~EventQueue() {
  stop();
}

template <typename Record>
bool EventQueue<Record>::enqueue(Record record) {
  const size_t bytes = bytesOf(record);
  if (mode_ == QueueMode::kSynchronous) {
    std::unique_lock lock(mu_);
    if (stopped_) return false;
    if (budget_) budget_->add(bytes);
    records_.push_back(std::move(record));
    const uint64_t mine = ++enqueued_;
    if (running_) {
      // Enqueued from inside a handler: the drain loop below us on this
      // thread's stack handles it after the current record.
      if (drainer_ == std::this_thread::get_id()) return true;
      // Another thread is draining; it handles ours in order. Wait for that so
      // that the record is complete when we return.
      idle_.wait(lock, [&] { return handled_ >= mine || stopped_; });
      return true;
    }
    running_ = true;
    drainer_ = std::this_thread::get_id();
    ++workersStarted_;
    lock.unlock();
    drain();
    return true;
  }

  std::thread finished;
  {
    std::lock_guard lock(mu_);
    if (stopped_) return false;
    if (budget_) budget_->add(bytes);
    records_.push_back(std::move(record));
    ++enqueued_;
    if (running_) return true;
    running_ = true;
    if (lingering_) {
      lingering_ = false;
      arrived_.notify_one();
      return true;
    }
    // The previous worker has left its loop (it cleared running_ as its last
    // step under the lock); join it outside the lock.
    finished = std::move(worker_);
    try {
      worker_ = std::thread([this] { drain(); });
      ++workersStarted_;
    } catch (const std::system_error& e) {
      // No thread to be had: keep the record; the next enqueue tries again.
      running_ = false;
      LogError("event queue " + name_ + ": cannot start a worker: " + e.what());
    }
  }
  if (finished.joinable()) finished.join();
  return true;
}

template <typename Record>
void EventQueue<Record>::drain() {
  // Real time on purpose: how long an idle thread lives decides no outcome,
  // and a wait on the robot's clock would show as a sleeper to virtual time.
  constexpr auto kLinger = std::chrono::seconds(2);
  bool handledOne = false;
  for (;;) {
    Record current;
    {
      std::unique_lock lock(mu_);
      if (handledOne) ++handled_;
      handledOne = false;
      if (records_.empty() || stopped_) {
        running_ = false;
        drainer_ = {};
        idle_.notify_all();
        if (mode_ != QueueMode::kLingering || stopped_) return;
        // Idle as far as anyone waiting can tell; enqueue() hands the next
        // record to this thread instead of starting one.
        lingering_ = true;
        arrived_.wait_for(lock, kLinger, [&] { return !lingering_ || stopped_; });
        if (lingering_ || stopped_) {
          lingering_ = false;
          return;
        }
        continue;  // enqueue() has set running_ for this thread
      }
      current = std::move(records_.front());
      records_.pop_front();
    }
    detail::HandleRecord(name_, handler_, current);
    if (budget_) budget_->remove(bytesOf(current));
    handledOne = true;
    // Synchronous callers on other threads wait for their own record.
    if (mode_ == QueueMode::kSynchronous) {
      {
        std::lock_guard lock(mu_);
        ++handled_;
      }
      handledOne = false;
      idle_.notify_all();
    }
  }
}

template <typename Record>
void EventQueue<Record>::waitIdle() {
  std::unique_lock lock(mu_);
  idle_.wait(lock, [&] { return !running_ && (records_.empty() || stopped_); });
}

template <typename Record>
typename EventQueue<Record>::Left EventQueue<Record>::close() {
  Left left;
  size_t bytes = 0;
  {
    std::lock_guard lock(mu_);
    if (stopped_) return left;
    stopped_ = true;
    left.discarded = records_.size();
    left.handling = running_ && (mode_ != QueueMode::kSynchronous || drainer_ != std::thread::id());
    for (const Record& r : records_) bytes += bytesOf(r);
    records_.clear();
    idle_.notify_all();     // releases synchronous callers waiting for their record
    arrived_.notify_all();  // and a lingering worker, which ends
  }
  if (budget_ && bytes > 0) budget_->remove(bytes);
  return left;
}

template <typename Record>
void EventQueue<Record>::stop() {
  close();
  std::thread worker;
  {
    std::unique_lock lock(mu_);
    const bool fromHandler =
        (mode_ != QueueMode::kSynchronous && worker_.get_id() == std::this_thread::get_id()) ||
        (mode_ == QueueMode::kSynchronous && drainer_ == std::this_thread::get_id());
    // A handler that stops its own queue cannot wait for itself; its loop ends
    // after it returns.
    if (fromHandler) return;
    idle_.wait(lock, [&] { return !running_; });
    worker = std::move(worker_);
  }
  if (worker.joinable()) worker.join();
}

template <typename Record>
size_t EventQueue<Record>::pending() const {
  std::lock_guard lock(mu_);
  return records_.size();
}

template <typename Record>
bool EventQueue<Record>::workerRunning() const {
  std::lock_guard lock(mu_);
  return running_;
}

template <typename Record>
uint64_t EventQueue<Record>::workersStarted() const {
  std::lock_guard lock(mu_);
  return workersStarted_;
}

}  // namespace bw
