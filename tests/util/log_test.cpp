#include "util/log.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace bw {
namespace {

TEST(LogTest, SinkReceivesLinesAtOrAboveTheLevel) {
  std::vector<std::pair<LogLevel, std::string>> lines;
  LogSink old = SetLogSink(
      [&](LogLevel level, std::string_view line) { lines.emplace_back(level, std::string(line)); });
  LogInfo("info");
  Log(LogLevel::kDebug, "hidden by default");
  SetLogLevel(LogLevel::kWarning);
  LogInfo("hidden now");
  LogWarning("warning");
  LogError("error");
  SetLogLevel(LogLevel::kInfo);
  SetLogSink(std::move(old));
  LogInfo("to standard error, not to the removed sink");
  const std::vector<std::pair<LogLevel, std::string>> expected = {
      {LogLevel::kInfo, "info"}, {LogLevel::kWarning, "warning"}, {LogLevel::kError, "error"}};
  EXPECT_EQ(lines, expected);
}

TEST(LogTest, AHugeMessageBecomesABoundedLine) {
  std::vector<std::string> lines;
  LogSink old = SetLogSink([&](LogLevel, std::string_view line) { lines.emplace_back(line); });
  const std::string hostile = "frame: " + std::string(5 << 20, 'A') + " end";
  LogWarning(hostile);
  LogWarning("short stays whole");
  SetLogSink(std::move(old));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_LE(lines[0].size(), kMaxLogMessageBytes);
  EXPECT_TRUE(lines[0].starts_with("frame: AAAA"));
  EXPECT_TRUE(lines[0].ends_with("AAA end"));
  EXPECT_EQ(lines[1], "short stays whole");
}

}  // namespace
}  // namespace bw
