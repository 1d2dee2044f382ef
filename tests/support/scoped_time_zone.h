#pragma once

#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace bw::test {

// Sets the process time zone for one test. POSIX zone texts need no zone database.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const char* zone) {
    if (const char* old = std::getenv("TZ")) old_ = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~ScopedTimeZone() {
    if (old_) {
      ::setenv("TZ", old_->c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }

 private:
  std::optional<std::string> old_;
};

}  // namespace bw::test
