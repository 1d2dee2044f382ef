#include "events/event_budget.h"

#include <algorithm>

#include "util/memory.h"

namespace bw {
namespace {
// Below this a backlog leaves too little behind to be worth a trim.
constexpr size_t kTrimAfterBytes = 1u << 20;
}  // namespace

EventBudget::EventBudget(size_t bound) : bound_(std::max<size_t>(bound, 1)) {}

void EventBudget::add(size_t bytes) {
  std::lock_guard lock(mu_);
  used_ += bytes;
  peak_ = std::max(peak_, used_);
  backlog_ = std::max(backlog_, used_);
}

void EventBudget::remove(size_t bytes) {
  std::function<void()> tell;
  bool trim = false;
  {
    std::lock_guard lock(mu_);
    used_ -= std::min(bytes, used_);
    if (used_ < bound_) {
      roomCv_.notify_all();
      if (wanted_) {
        wanted_ = false;
        tell = listener_;
      }
    }
    if (used_ == 0) {
      trim = backlog_ > kTrimAfterBytes;
      backlog_ = 0;
    }
  }
  if (tell) tell();
  if (trim) ReturnFreedMemory();
}

bool EventBudget::hasRoom() {
  std::lock_guard lock(mu_);
  if (used_ < bound_) return true;
  wanted_ = true;
  return false;
}

bool EventBudget::waitForRoom(std::stop_token stop) {
  std::unique_lock lock(mu_);
  return roomCv_.wait(lock, stop, [&] { return used_ < bound_; });
}

size_t EventBudget::used() const {
  std::lock_guard lock(mu_);
  return used_;
}

size_t EventBudget::peak() const {
  std::lock_guard lock(mu_);
  return peak_;
}

void EventBudget::setRoomListener(std::function<void()> listener) {
  std::lock_guard lock(mu_);
  listener_ = std::move(listener);
}

}  // namespace bw
