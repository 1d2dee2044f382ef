#include "logs/run_log.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/scoped_time_zone.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw {
namespace {

class RunLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = SetLogSink([this](LogLevel level, std::string_view line) {
      serviceLog_.push_back({level, std::string(line)});
    });
  }
  void TearDown() override { SetLogSink(previous_); }

  VirtualClock clock_{LocalTime(2026, 12, 7, 21, 5, 9)};
  ListModel view_{"超级列表框_日志", {"ID", "时间", "类型", "信息"}};
  std::vector<std::pair<LogLevel, std::string>> serviceLog_;
  LogSink previous_;
};

TEST_F(RunLogTest, EntryShowsIdTimeTypeAndMessage) {
  RunLog log(clock_, &view_);
  log.WriteRunLog("初始化", "载入设置");
  clock_.advance(std::chrono::hours(3));  // past midnight: 12-8 00:05:09, 24-hour
  log.WriteRunLog("", "没有类型");
  const auto e = log.entries();
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].id, 1);
  EXPECT_EQ(e[0].time, "12-7 21:05:09");
  EXPECT_EQ(e[0].type, "初始化");
  EXPECT_EQ(e[1].time, "12-8 00:05:09");
  EXPECT_EQ(e[1].type, "信息");
  EXPECT_EQ(log.status(), "没有类型");
  ASSERT_EQ(view_.rowCount(), 2u);
  EXPECT_EQ(view_.row(1)->cells,
            (std::vector<std::string>{"2", "12-8 00:05:09", "信息", "没有类型"}));
}

using test::ScopedTimeZone;

TEST_F(RunLogTest, EveryEntryShowsItsOwnLocalSecondAcrossMinutesAndOffsetChanges) {
  // 2026-03-29 00:58:05 UTC; the clock runs past 01:00:30 UTC and back again.
  const SystemTime start{std::chrono::seconds(1774745885)};
  const char* zones[] = {
      "UTC0",
      // Summer time begins at 01:00:30 UTC, within a minute whose first
      // second still reads hh:mm:00.
      "CET-1CEST,M3.5.0/2:00:30,M10.5.0/3",
      // An offset of whole seconds: no minute reads :00 to :59.
      "LMT-0:19:32",
  };
  for (const char* zone : zones) {
    SCOPED_TRACE(zone);
    ScopedTimeZone tz(zone);
    VirtualClock clock(start);
    RunLog log(clock);
    std::vector<std::string> expected;
    const auto write = [&] {
      expected.push_back(FormatDateTime(clock.now(), "M-d ", "hh:mm:ss", true));
      log.WriteRunLog("获取", "x");
    };
    for (int i = 0; i < 60; ++i) {  // 5 s apart: 00:58:05 to 01:03:00
      write();
      clock.advance(std::chrono::seconds(5));
    }
    clock.set(start + std::chrono::milliseconds(150'999));  // back into 01:00:30
    write();
    clock.set(start - std::chrono::hours(24 * 200));  // and far back
    write();
    const std::vector<RunLogEntry> entries = log.entries();
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(entries[i].time, expected[i]) << i;
  }
  // What the zones make of the moments around the change, for the record.
  ScopedTimeZone cet(zones[1]);
  EXPECT_EQ(FormatDateTime(start + std::chrono::seconds(125), "M-d ", "hh:mm:ss", true),
            "3-29 02:00:10");
  EXPECT_EQ(FormatDateTime(start + std::chrono::seconds(145), "M-d ", "hh:mm:ss", true),
            "3-29 03:00:30");
}

TEST_F(RunLogTest, FailureMessagesAreRed) {
  RunLog log(clock_, &view_);
  log.WriteRunLog("操作", "加入黑名单失败");
  log.WriteRunLog("操作", "加入黑名单成功");
  const auto e = log.entries();
  EXPECT_TRUE(e[0].red);
  EXPECT_FALSE(e[1].red);
  EXPECT_EQ(view_.row(0)->textColour, 0x0000FFu);
  EXPECT_EQ(view_.row(0)->backColour, 0xFFFFFFu);
  EXPECT_EQ(view_.row(1)->textColour, 0u);
}

TEST_F(RunLogTest, EveryEntryReachesTheServiceLogWithItsType) {
  RunLog log(clock_);
  log.WriteRunLog("踢人", "踢出 群1");
  log.WriteRunLog("", "x失败");
  ASSERT_EQ(serviceLog_.size(), 2u);
  EXPECT_EQ(serviceLog_[0].first, LogLevel::kInfo);
  EXPECT_NE(serviceLog_[0].second.find("[踢人] 踢出 群1"), std::string::npos);
  EXPECT_EQ(serviceLog_[1].first, LogLevel::kWarning);
  EXPECT_NE(serviceLog_[1].second.find("[信息] x失败"), std::string::npos);
}

TEST_F(RunLogTest, KeepsOnlyTheNewestEntries) {
  RunLog log(clock_, &view_, 3);
  for (int i = 1; i <= 5; ++i) log.WriteRunLog("操作", "m" + std::to_string(i));
  const auto e = log.entries();
  ASSERT_EQ(e.size(), 3u);
  EXPECT_EQ(e.front().id, 3);  // ids are never reused
  EXPECT_EQ(e.front().message, "m3");
  EXPECT_EQ(e.back().id, 5);
  ASSERT_EQ(view_.rowCount(), 3u);
  EXPECT_EQ(view_.cell(0, 3), "m3");
  EXPECT_EQ(view_.cell(2, 0), "5");

  RunLog big(clock_);
  for (int i = 0; i < 10050; ++i) big.WriteRunLog("", "x");
  EXPECT_EQ(big.entries().size(), 10000u);
  EXPECT_EQ(big.entries().front().id, 51);
}

TEST_F(RunLogTest, APollGetsTheEntriesAfterItsLastIdAtMostTheNewestFew) {
  RunLog log(clock_, &view_, 3);
  EXPECT_EQ(log.lastId(), 0);
  EXPECT_TRUE(log.entriesAfter(0).empty());
  for (int i = 1; i <= 5; ++i) log.WriteRunLog("操作", "m" + std::to_string(i));
  EXPECT_EQ(log.lastId(), 5);
  auto ids = [](const std::vector<RunLogEntry>& entries) {
    std::vector<int64_t> out;
    for (const RunLogEntry& e : entries) out.push_back(e.id);
    return out;
  };
  EXPECT_EQ(ids(log.entriesAfter(0)), (std::vector<int64_t>{3, 4, 5}));  // 1 and 2 are gone
  EXPECT_EQ(ids(log.entriesAfter(3)), (std::vector<int64_t>{4, 5}));
  EXPECT_EQ(ids(log.entriesAfter(0, 2)), (std::vector<int64_t>{4, 5}));  // the newest
  EXPECT_TRUE(log.entriesAfter(5).empty());
  EXPECT_TRUE(log.entriesAfter(99).empty());
}

TEST_F(RunLogTest, HostileMessagesAreKeptOnlyAsBoundedExcerpts) {
  RunLog log(clock_, &view_);
  std::vector<size_t> sinkSizes;
  log.subscribe([&](const RunLogEntry& e) { sinkSizes.push_back(e.message.size()); });
  // Ten violations that each quote a 5 MB chat message.
  const std::string chat(5 << 20, 'x');
  for (int i = 0; i < 10; ++i)
    log.WriteRunLog("检测违规", "20001 检测到违规词微信 发送内容是:" + chat);
  log.WriteRunLog("踢人", "踢出 群100 " + chat + " 失败");

  const auto entries = log.entries();
  ASSERT_EQ(entries.size(), 11u);
  size_t kept = 0;
  for (const auto& e : entries) {
    EXPECT_LE(e.message.size(), kMaxRunLogMessageBytes);
    kept += e.message.size();
  }
  EXPECT_LE(kept, 11 * kMaxRunLogMessageBytes);
  EXPECT_TRUE(entries[0].message.starts_with("20001 检测到违规词微信 发送内容是:xxx"));
  EXPECT_TRUE(entries[10].red);
  EXPECT_TRUE(entries[10].message.ends_with(" 失败"));  // the failure still shows
  for (size_t row = 0; row < view_.rowCount(); ++row)
    EXPECT_LE(view_.cell(row, 3).size(), kMaxRunLogMessageBytes);
  EXPECT_LE(log.status().size(), kMaxRunLogMessageBytes);
  for (size_t size : sinkSizes) EXPECT_LE(size, kMaxRunLogMessageBytes);
  ASSERT_EQ(serviceLog_.size(), 11u);
  for (const auto& [level, line] : serviceLog_) EXPECT_LE(line.size(), kMaxRunLogMessageBytes + 32);
}

TEST_F(RunLogTest, SinksSeeEntriesInOrderFromManyThreads) {
  RunLog log(clock_, &view_);
  std::vector<int64_t> seen;
  std::mutex mu;
  int id = log.subscribe([&](const RunLogEntry& e) {
    std::lock_guard lock(mu);
    seen.push_back(e.id);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) log.WriteRunLog("操作", "m");
    });
  }
  for (auto& th : threads) th.join();
  ASSERT_EQ(seen.size(), 200u);
  for (size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i], static_cast<int64_t>(i + 1));
  for (size_t i = 0; i < view_.rowCount(); ++i) EXPECT_EQ(view_.cell(i, 0), std::to_string(i + 1));
  log.unsubscribe(id);
  log.WriteRunLog("", "after");
  EXPECT_EQ(seen.size(), 200u);
}

}  // namespace
}  // namespace bw
