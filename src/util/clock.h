// Clock: every reading of the time and every wait of the robot goes through this,
// so tests and replay run on virtual time without real waiting.
//
// Thread-safety: all members of every Clock are safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>
#include <vector>

namespace bw {

using SystemTime = std::chrono::system_clock::time_point;
using Millis = std::chrono::milliseconds;

class Clock {
 public:
  virtual ~Clock() = default;

  // The current wall-clock time.
  virtual SystemTime now() const = 0;

  // Waits for `duration` or until `stop` is requested, whichever comes first.
  // Returns true when the full duration elapsed, false when stopped early.
  virtual bool sleepFor(Millis duration, std::stop_token stop = {}) = 0;

  // Waits until `stop` is requested (a wait without end); returns when it is.
  virtual void sleepUntilStopped(std::stop_token stop) = 0;

  // Unix seconds and milliseconds of now().
  int64_t unixSeconds() const;
  int64_t unixMillis() const;
};

// The machine's clock and real waits.
class RealClock final : public Clock {
 public:
  SystemTime now() const override;
  bool sleepFor(Millis duration, std::stop_token stop = {}) override;
  void sleepUntilStopped(std::stop_token stop) override;
};

// A clock that moves only when told to.
//
// In auto-advance mode (replay, single-threaded tests) sleepFor moves the clock
// forward by the duration and returns at once. In manual mode sleepFor blocks
// until the clock is moved past the sleeper's deadline (or the stop token
// fires); tests drive threaded code that way. What moves a manual clock is
// advance() and set(), and the sleeps of its drivers (addDriver): a driver's
// sleepFor moves the clock as in auto-advance mode. A test that makes its own
// thread the driver has its own pauses (and those of the code it calls) take no
// real time, while the timers of background threads wait for the time the test
// gives them instead of moving it for everybody.
class VirtualClock final : public Clock {
 public:
  enum class Mode { kAutoAdvance, kManual };

  explicit VirtualClock(SystemTime start, Mode mode = Mode::kAutoAdvance);

  SystemTime now() const override;
  bool sleepFor(Millis duration, std::stop_token stop = {}) override;
  void sleepUntilStopped(std::stop_token stop) override;

  // Moves the clock forward and wakes sleepers whose deadline has passed.
  void advance(Millis duration);
  void set(SystemTime t);

  // In manual mode, the sleeps of `thread` move the clock from now on.
  void addDriver(std::thread::id thread = std::this_thread::get_id());

  // Number of threads currently blocked in sleepFor/sleepUntilStopped (manual mode);
  // lets a test wait until a worker has reached its wait before advancing.
  int sleepers() const;
  // Blocks (really) until at least `n` threads sleep, or `timeout` real time passed.
  bool waitForSleepers(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Blocks (really) until some thread is blocked in sleepFor with a deadline at
  // or after `t`, or `timeout` real time passed: a timer that ran its round and
  // went back to sleep is told from one still on its way.
  bool waitForSleeperUntil(SystemTime t,
                           std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  bool drivesLocked() const;

  mutable std::mutex mu_;
  mutable std::condition_variable_any cv_;
  SystemTime now_;
  Mode mode_;
  int sleepers_ = 0;
  std::vector<std::thread::id> drivers_;
  std::multiset<SystemTime> deadlines_;  // of the threads blocked in sleepFor
};

// Builds a SystemTime from a local date and time in the machine's time zone.
SystemTime LocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace bw
