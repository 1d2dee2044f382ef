#include "util/log.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include "util/text.h"

namespace bw {
namespace {

std::mutex g_mu;
LogSink g_sink;
std::atomic<int> g_level{static_cast<int>(LogLevel::kInfo)};
thread_local std::string t_prefix;

const char* LevelName(LogLevel level) {
  switch (level) {
    case LogLevel::kDebug:
      return "DEBUG";
    case LogLevel::kInfo:
      return "INFO";
    case LogLevel::kWarning:
      return "WARN";
    case LogLevel::kError:
      return "ERROR";
  }
  return "?";
}

}  // namespace

void Log(LogLevel level, std::string_view message) {
  if (static_cast<int>(level) < g_level.load()) return;
  std::string prefixed;
  if (!t_prefix.empty()) {
    prefixed = t_prefix + std::string(message);
    message = prefixed;
  }
  std::string excerpt;
  if (message.size() > kMaxLogMessageBytes) {
    excerpt = Excerpt(message, kMaxLogMessageBytes);
    message = excerpt;
  }
  std::lock_guard lock(g_mu);
  if (g_sink) {
    g_sink(level, message);
    return;
  }
  const std::string line = FormatLogLine(level, message);
  std::fprintf(stderr, "%s\n", line.c_str());
}

std::string FormatLogLine(LogLevel level, std::string_view message) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t t = std::chrono::system_clock::to_time_t(now);
  const int ms = static_cast<int>(
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
  std::tm tm{};
  localtime_r(&t, &tm);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
  char head[64];
  std::snprintf(head, sizeof head, "%s.%03d %-5s ", stamp, ms, LevelName(level));
  return std::string(head).append(message);
}

LogSink SetLogSink(LogSink sink) {
  std::lock_guard lock(g_mu);
  LogSink old = std::move(g_sink);
  g_sink = std::move(sink);
  return old;
}

void SetLogLevel(LogLevel level) { g_level.store(static_cast<int>(level)); }

ScopedLogPrefix::ScopedLogPrefix(std::string prefix) : previous_(t_prefix) {
  t_prefix = previous_ + prefix;
}

ScopedLogPrefix::~ScopedLogPrefix() { t_prefix = previous_; }

}  // namespace bw
