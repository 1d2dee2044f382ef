// LogCapture: collects the service log's lines while it lives (and keeps them
// off standard error), for tests that check what was reported.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "util/log.h"

namespace bw::test {

class LogCapture {
 public:
  LogCapture() {
    old_ = SetLogSink([this](LogLevel, std::string_view m) {
      std::lock_guard lock(mu_);
      lines_.emplace_back(m);
    });
  }
  ~LogCapture() { SetLogSink(std::move(old_)); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }
  // The lines that hold every one of `parts`.
  std::vector<std::string> matching(std::initializer_list<std::string_view> parts) const {
    std::vector<std::string> out;
    for (const auto& l : lines()) {
      if (std::all_of(parts.begin(), parts.end(),
                      [&](std::string_view p) { return l.find(p) != std::string::npos; }))
        out.push_back(l);
    }
    return out;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  LogSink old_;
};

}  // namespace bw::test
