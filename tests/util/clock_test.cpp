#include "util/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace bw {
namespace {

using namespace std::chrono_literals;

TEST(VirtualClockTest, AutoAdvanceMovesTimeWithoutWaiting) {
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  const auto start = clock.now();
  const auto realStart = std::chrono::steady_clock::now();
  EXPECT_TRUE(clock.sleepFor(30min));
  EXPECT_EQ(clock.now() - start, 30min);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 1s);
}

TEST(VirtualClockTest, ManualSleeperWakesOnlyWhenAdvancedPastDeadline) {
  VirtualClock clock(LocalTime(2026, 12, 7), VirtualClock::Mode::kManual);
  std::atomic<bool> woke{false};
  std::thread sleeper([&] {
    EXPECT_TRUE(clock.sleepFor(1000ms));
    woke = true;
  });
  ASSERT_TRUE(clock.waitForSleepers(1));
  clock.advance(999ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_FALSE(woke.load());
  clock.advance(1ms);
  sleeper.join();
  EXPECT_TRUE(woke.load());
}

TEST(VirtualClockTest, StopInterruptsManualAndEndlessWaits) {
  VirtualClock clock(LocalTime(2026, 12, 7), VirtualClock::Mode::kManual);
  std::stop_source stop;
  bool finished = true;
  std::thread sleeper([&] { finished = clock.sleepFor(1h, stop.get_token()); });
  std::thread endless([&] { clock.sleepUntilStopped(stop.get_token()); });
  ASSERT_TRUE(clock.waitForSleepers(2));
  stop.request_stop();
  sleeper.join();
  endless.join();
  EXPECT_FALSE(finished);
}

// A test thread that drives a manual clock: its own sleeps move the clock at
// once; a background timer's sleeps wait for that time and move nothing.
TEST(VirtualClockTest, ADriversSleepsMoveAManualClockAndWakeTheTimers) {
  VirtualClock clock(LocalTime(2026, 12, 7), VirtualClock::Mode::kManual);
  clock.addDriver();
  const auto start = clock.now();
  std::atomic<int> rounds{0};
  std::jthread timer([&](std::stop_token stop) {
    while (clock.sleepFor(1h, stop)) ++rounds;
  });
  ASSERT_TRUE(clock.waitForSleeperUntil(start + 1h));
  EXPECT_FALSE(clock.waitForSleeperUntil(start + 1h + 1ms, 0ms));
  EXPECT_TRUE(clock.sleepFor(40min));
  EXPECT_EQ(clock.now() - start, 40min);
  EXPECT_EQ(rounds.load(), 0);
  EXPECT_TRUE(clock.sleepFor(20min));
  ASSERT_TRUE(clock.waitForSleeperUntil(start + 2h));
  EXPECT_EQ(rounds.load(), 1);
  EXPECT_EQ(clock.now() - start, 1h) << "the timer's sleep moved the clock";
  timer.request_stop();
  timer.join();
  EXPECT_EQ(clock.sleepers(), 0);
}

TEST(RealClockTest, StopCutsASleepShort) {
  RealClock clock;
  std::stop_source stop;
  const auto start = std::chrono::steady_clock::now();
  std::thread stopper([&] {
    std::this_thread::sleep_for(20ms);
    stop.request_stop();
  });
  EXPECT_FALSE(clock.sleepFor(1h, stop.get_token()));
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
  EXPECT_TRUE(clock.sleepFor(1ms));
}

TEST(ClockTest, UnixSecondsAreZoneIndependent) {
  VirtualClock clock(std::chrono::system_clock::from_time_t(1765112709));
  EXPECT_EQ(clock.unixSeconds(), 1765112709);
  EXPECT_EQ(clock.unixMillis(), 1765112709000);
}

}  // namespace
}  // namespace bw
