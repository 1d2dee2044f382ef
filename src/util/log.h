// The service log: timestamped lines with a level on standard error (or a sink a
// test installs). Used for diagnostics that are not run-log entries: bad input,
// connection state, I/O failures.
//
// Thread-safety: all functions may be called from any thread.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace bw {

enum class LogLevel { kDebug, kInfo, kWarning, kError };

// A message longer than this is logged as an excerpt (Excerpt of util/text.h):
// one hostile chat message must not become a line of megabytes.
inline constexpr size_t kMaxLogMessageBytes = 4096;

void Log(LogLevel level, std::string_view message);
inline void LogInfo(std::string_view m) { Log(LogLevel::kInfo, m); }
inline void LogWarning(std::string_view m) { Log(LogLevel::kWarning, m); }
inline void LogError(std::string_view m) { Log(LogLevel::kError, m); }

// "2026-12-07 21:05:09.123 WARN  message" (local time), without the line end:
// the form of every log line, whichever stream a program sends them to.
std::string FormatLogLine(LogLevel level, std::string_view message);

// Replaces the destination of log lines (nullptr restores standard error).
// Returns the previous sink. The sink runs under the log's lock, one line at a
// time; it must not log itself.
using LogSink = std::function<void(LogLevel, std::string_view)>;
LogSink SetLogSink(LogSink sink);

// Lines below this level are dropped (default kInfo).
void SetLogLevel(LogLevel level);

// While it lives, every line the current thread logs begins with `prefix`:
// work done on a copy (the panel's sandbox) must not read as the robot's own.
class ScopedLogPrefix {
 public:
  explicit ScopedLogPrefix(std::string prefix);
  ~ScopedLogPrefix();
  ScopedLogPrefix(const ScopedLogPrefix&) = delete;
  ScopedLogPrefix& operator=(const ScopedLogPrefix&) = delete;

 private:
  std::string previous_;
};

}  // namespace bw
