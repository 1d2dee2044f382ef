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

}  // namespace
}  // namespace bw
