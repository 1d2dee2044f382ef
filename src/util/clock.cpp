#include "util/clock.h"

#include <ctime>
#include <thread>

namespace bw {

int64_t Clock::unixSeconds() const {
  return std::chrono::duration_cast<std::chrono::seconds>(now().time_since_epoch()).count();
}

int64_t Clock::unixMillis() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now().time_since_epoch()).count();
}

SystemTime RealClock::now() const { return std::chrono::system_clock::now(); }

bool RealClock::sleepFor(Millis duration, std::stop_token stop) {
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock lock(mu);
  // The predicate never holds, so the wait ends by time-out or by the stop request.
  cv.wait_for(lock, stop, duration, [] { return false; });
  return !stop.stop_requested();
}

void RealClock::sleepUntilStopped(std::stop_token stop) {
  std::mutex mu;
  std::condition_variable_any cv;
  std::unique_lock lock(mu);
  cv.wait(lock, stop, [] { return false; });
}

VirtualClock::VirtualClock(SystemTime start, Mode mode) : now_(start), mode_(mode) {}

SystemTime VirtualClock::now() const {
  std::lock_guard lock(mu_);
  return now_;
}

bool VirtualClock::drivesLocked() const {
  if (mode_ == Mode::kAutoAdvance) return true;
  const std::thread::id self = std::this_thread::get_id();
  for (const std::thread::id& driver : drivers_)
    if (driver == self) return true;
  return false;
}

bool VirtualClock::sleepFor(Millis duration, std::stop_token stop) {
  std::unique_lock lock(mu_);
  if (stop.stop_requested()) return false;
  if (drivesLocked()) {
    if (duration.count() > 0) now_ += duration;
    cv_.notify_all();
    return true;
  }
  const SystemTime deadline = now_ + duration;
  ++sleepers_;
  const auto mark = deadlines_.insert(deadline);
  cv_.notify_all();
  bool reached = cv_.wait(lock, stop, [&] { return now_ >= deadline; });
  deadlines_.erase(mark);
  --sleepers_;
  cv_.notify_all();
  return reached;
}

void VirtualClock::sleepUntilStopped(std::stop_token stop) {
  std::unique_lock lock(mu_);
  ++sleepers_;
  cv_.notify_all();
  cv_.wait(lock, stop, [] { return false; });
  --sleepers_;
  cv_.notify_all();
}

void VirtualClock::advance(Millis duration) {
  std::lock_guard lock(mu_);
  now_ += duration;
  cv_.notify_all();
}

void VirtualClock::addDriver(std::thread::id thread) {
  std::lock_guard lock(mu_);
  drivers_.push_back(thread);
}

void VirtualClock::set(SystemTime t) {
  std::lock_guard lock(mu_);
  now_ = t;
  cv_.notify_all();
}

int VirtualClock::sleepers() const {
  std::lock_guard lock(mu_);
  return sleepers_;
}

bool VirtualClock::waitForSleepers(int n, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  // The condition variable is notified on every change of sleepers_ and now_.
  return cv_.wait_for(lock, timeout, [&] { return sleepers_ >= n; });
}

bool VirtualClock::waitForSleeperUntil(SystemTime t, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  // deadlines_ changes only with sleepers_, which notifies.
  return cv_.wait_for(lock, timeout,
                      [&] { return !deadlines_.empty() && *deadlines_.rbegin() >= t; });
}

SystemTime LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::chrono::system_clock::from_time_t(std::mktime(&tm));
}

}  // namespace bw
