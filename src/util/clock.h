// Clock: every reading of the time and every wait of the robot goes through this,
// so tests and replay run on virtual time without real waiting.
//
// Thread-safety: all members of every Clock are safe to call from any thread.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stop_token>

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
// until another thread advances the clock past the sleeper's deadline (or the
// stop token fires); tests drive threaded code that way.
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

  // Number of threads currently blocked in sleepFor/sleepUntilStopped (manual mode);
  // lets a test wait until a worker has reached its wait before advancing.
  int sleepers() const;
  // Blocks (really) until at least `n` threads sleep, or `timeout` real time passed.
  bool waitForSleepers(int n, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  mutable std::mutex mu_;
  mutable std::condition_variable_any cv_;
  SystemTime now_;
  Mode mode_;
  int sleepers_ = 0;
};

// Builds a SystemTime from a local date and time in the machine's time zone.
SystemTime LocalTime(int year, int month, int day, int hour = 0, int minute = 0, int second = 0);

}  // namespace bw
