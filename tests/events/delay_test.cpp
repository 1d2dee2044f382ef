#include "events/delay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace bw {
namespace {

using namespace std::chrono_literals;

TEST(DelayMillisTest, UnitSelectsTheMultiplier) {
  EXPECT_EQ(DelayMillis(1000, std::nullopt), 1000);
  EXPECT_EQ(DelayMillis(7, 0), 7);
  EXPECT_EQ(DelayMillis(5, 1), 5000);
  EXPECT_EQ(DelayMillis(30, 2), 30 * 60000);
  EXPECT_EQ(DelayMillis(2, 3), 2 * 3600000);
  // Any other unit is itself the multiplier.
  EXPECT_EQ(DelayMillis(3, 250), 750);
  // The full 32-bit range does not overflow.
  EXPECT_EQ(DelayMillis(INT32_MAX, 3), int64_t{INT32_MAX} * 3600000);
  // Negative waits end at once.
  EXPECT_EQ(DelayMillis(-5, 1), 0);
  EXPECT_EQ(DelayMillis(5, -1), 0);
  // Only a unit given: nothing to wait for.
  EXPECT_EQ(DelayMillis(std::nullopt, 1), 0);
  // Neither: the endless form.
  EXPECT_EQ(DelayMillis(std::nullopt, std::nullopt), int64_t{18000000} * 18000000);
}

TEST(DelayTest, WaitsOnTheVirtualClock) {
  VirtualClock clock(LocalTime(2026, 12, 7, 21, 5, 9));
  const auto start = clock.now();
  const auto realStart = std::chrono::steady_clock::now();
  EXPECT_TRUE(delay(clock, 30, 2));
  EXPECT_EQ(clock.now() - start, 30min);
  EXPECT_TRUE(delay(clock, 1000));
  EXPECT_EQ(clock.now() - start, 30min + 1s);
  EXPECT_TRUE(delay(clock, 0));
  EXPECT_EQ(clock.now() - start, 30min + 1s);
  EXPECT_LT(std::chrono::steady_clock::now() - realStart, 1s);
}

TEST(DelayTest, ManualClockWaitEndsWhenAdvancedOrStopped) {
  VirtualClock clock(LocalTime(2026, 12, 7), VirtualClock::Mode::kManual);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = delay(clock, 2, 1) ? 1 : 0; });
  ASSERT_TRUE(clock.waitForSleepers(1));
  clock.advance(1999ms);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(result.load(), -1);
  clock.advance(1ms);
  waiter.join();
  EXPECT_EQ(result.load(), 1);

  std::stop_source stop;
  std::thread cut([&] { result = delay(clock, 1, 3, stop.get_token()) ? 1 : 0; });
  ASSERT_TRUE(clock.waitForSleepers(1));
  stop.request_stop();
  cut.join();
  EXPECT_EQ(result.load(), 0);
}

TEST(DelayTest, EndlessFormWaitsUntilStopped) {
  VirtualClock clock(LocalTime(2026, 12, 7));  // auto-advance: only stop ends it
  std::stop_source stop;
  std::atomic<bool> done{false};
  std::thread waiter([&] {
    EXPECT_FALSE(delay(clock, std::nullopt, std::nullopt, stop.get_token()));
    done = true;
  });
  ASSERT_TRUE(clock.waitForSleepers(1));
  EXPECT_FALSE(done.load());
  stop.request_stop();
  waiter.join();
  EXPECT_TRUE(done.load());
}

}  // namespace
}  // namespace bw
