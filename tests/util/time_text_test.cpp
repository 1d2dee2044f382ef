#include "util/time_text.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "support/scoped_time_zone.h"

namespace bw {
namespace {

using namespace std::chrono_literals;

using test::ScopedTimeZone;

constexpr const char* kBeijing = "CST-8";
constexpr const char* kNewYork = "EST5";

// 2026-12-07 09:05:03 in UTC+8.
constexpr int64_t kMorning = 1796605503;

SystemTime FromUnix(int64_t seconds) { return SystemTime(std::chrono::seconds(seconds)); }

TEST(UnixTimestampTest, IsTrueUnixTimeInEveryZone) {
  VirtualClock clock(FromUnix(kMorning) + 42ms);
  for (const char* zone : {kBeijing, kNewYork, "UTC0"}) {
    ScopedTimeZone tz(zone);
    EXPECT_EQ(UnixTimestamp(clock, true), "1796605503") << zone;
    EXPECT_EQ(UnixTimestamp(clock, false), "1796605503042") << zone;
  }
}

TEST(UnixTimestampTest, LocalTimeAndTimestampAgreeInEachZone) {
  {
    ScopedTimeZone tz(kBeijing);
    EXPECT_EQ(UnixTimestamp(VirtualClock(LocalTime(2026, 12, 7, 9, 5, 3))), "1796605503");
  }
  {
    ScopedTimeZone tz(kNewYork);
    EXPECT_EQ(UnixTimestamp(VirtualClock(LocalTime(2026, 12, 7, 9, 5, 3))), "1796652303");
  }
}

TEST(TimestampToTextTest, SecondsShowInLocalTime) {
  {
    ScopedTimeZone tz(kBeijing);
    EXPECT_EQ(TimestampToText("1796605503"), "2026-12-07 09:05:03");
    // Month without, day with a leading zero.
    EXPECT_EQ(TimestampToText(UnixTimestamp(VirtualClock(LocalTime(2026, 1, 5, 0, 0, 7)))),
              "2026-1-05 00:00:07");
  }
  ScopedTimeZone tz(kNewYork);
  EXPECT_EQ(TimestampToText("1796605503"), "2026-12-06 20:05:03");
}

TEST(TimestampToTextTest, OtherLengthsAreMilliseconds) {
  ScopedTimeZone tz(kBeijing);
  EXPECT_EQ(TimestampToText("1796605503042"), "2026-12-7 09:05:03");
  EXPECT_EQ(TimestampToText("1796605503999"), "2026-12-7 09:05:03");
  EXPECT_EQ(TimestampToText("0"), "1970-1-1 08:00:00");
  EXPECT_EQ(TimestampToText("-1"), "1970-1-1 07:59:59");
}

TEST(TimestampToTextTest, TextThatIsNoNumberGivesEmptyText) {
  EXPECT_EQ(TimestampToText(""), "");
  EXPECT_EQ(TimestampToText("17966O5503"), "");
  EXPECT_EQ(TimestampToText(" 1796605503"), "");
  EXPECT_EQ(TimestampToText("99999999999999999999999"), "");
  // Far beyond any calendar year the system can show.
  EXPECT_EQ(TimestampToText("9223372036854775807"), "");
}

TEST(FormatDateTimeTest, DatePartAndTimePart) {
  ScopedTimeZone tz(kBeijing);
  const SystemTime evening = LocalTime(2026, 12, 7, 21, 5, 9);
  EXPECT_EQ(FormatDateTime(evening, "yyyy-M-d", ""), "2026-12-7");
  EXPECT_EQ(FormatDateTime(evening, "yyyy-M-d ", "hh:mm:ss"), "2026-12-7 21:05:09");
  EXPECT_EQ(FormatDateTime(evening, "M-d ", "HH:mm:ss"), "12-7 21:05:09");
  EXPECT_EQ(FormatDateTime(evening, "", "HH:mm:ss"), "21:05:09");
  EXPECT_EQ(FormatDateTime(LocalTime(2026, 3, 4, 5, 6, 7), "yyyy-MM-dd ", "H:m:s"),
            "2026-03-04 5:6:7");
  EXPECT_EQ(FormatDateTime(evening, "yyyy年M月d日", ""), "2026年12月7日");
  EXPECT_EQ(FormatDateTime(evening, "'yyyy' yy", ""), "yyyy 26");
  EXPECT_EQ(FormatDateTime(evening, "ddd d MMM", ""), "Mon 7 Dec");
}

TEST(FormatDateTimeTest, FormatsShorterThanThreeBytesAreLeftOut) {
  ScopedTimeZone tz(kBeijing);
  const SystemTime evening = LocalTime(2026, 12, 7, 21, 5, 9);
  EXPECT_EQ(FormatDateTime(evening, "d", "HH:mm"), "21:05");
  EXPECT_EQ(FormatDateTime(evening, "yyyy", "ss"), "2026");
  EXPECT_EQ(FormatDateTime(evening, "日", ""), "");  // 2 bytes in the host's text form
  EXPECT_EQ(FormatDateTime(evening, "", ""), "");
}

TEST(FormatDateTimeTest, TwelveHourClockOnlyWithoutForce24) {
  ScopedTimeZone tz(kBeijing);
  const SystemTime evening = LocalTime(2026, 12, 7, 21, 5, 9);
  EXPECT_EQ(FormatDateTime(evening, "", "hh:mm:ss", true), "21:05:09");
  EXPECT_EQ(FormatDateTime(evening, "", "hh:mm:ss", false), "09:05:09");
  EXPECT_EQ(FormatDateTime(evening, "", "hh:mm tt", false), "09:05 PM");
  EXPECT_EQ(FormatDateTime(evening, "", "HH:mm tt", true), "21:05 ");
  EXPECT_EQ(FormatDateTime(LocalTime(2026, 12, 7, 0, 30), "", "hh:mm", false), "12:30");
}

TEST(FormatDateTimeTest, ShowsLocalTimeOfTheZone) {
  const SystemTime t = FromUnix(kMorning);
  {
    ScopedTimeZone tz(kBeijing);
    EXPECT_EQ(FormatDateTime(t, "yyyy-M-d ", "HH:mm:ss"), "2026-12-7 09:05:03");
  }
  ScopedTimeZone tz(kNewYork);
  EXPECT_EQ(FormatDateTime(t, "yyyy-M-d ", "HH:mm:ss"), "2026-12-6 20:05:03");
}

TEST(DateTimeTextTest, DropsTrailingZeroParts) {
  ScopedTimeZone tz(kBeijing);
  EXPECT_EQ(DateTimeText(LocalTime(2026, 12, 7, 21, 5, 9)), "2026年12月7日21时5分9秒");
  EXPECT_EQ(DateTimeText(LocalTime(2026, 12, 7, 21, 0, 9)), "2026年12月7日21时0分9秒");
  EXPECT_EQ(DateTimeText(LocalTime(2026, 12, 7, 21, 5, 0)), "2026年12月7日21时5分");
  EXPECT_EQ(DateTimeText(LocalTime(2026, 12, 7, 0, 5, 0)), "2026年12月7日0时5分");
  EXPECT_EQ(DateTimeText(LocalTime(2026, 12, 7, 21, 0, 0)), "2026年12月7日21时");
  EXPECT_EQ(DateTimeText(LocalTime(2026, 1, 2)), "2026年1月2日");
}

}  // namespace
}  // namespace bw
