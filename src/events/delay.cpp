#include "events/delay.h"

namespace bw {
namespace {

constexpr int64_t kEndless = 18000000;

int64_t Multiplier(std::optional<int32_t> unit) {
  switch (unit.value_or(0)) {
    case 0:
      return 1;
    case 1:
      return 1000;
    case 2:
      return 60000;
    case 3:
      return 3600000;
    default:
      return *unit;
  }
}

}  // namespace

int64_t DelayMillis(std::optional<int32_t> interval, std::optional<int32_t> unit) {
  if (!interval && !unit) return kEndless * kEndless;
  // Both factors are 32-bit, so the product always fits; a negative product is
  // no wait at all.
  const int64_t millis = static_cast<int64_t>(interval.value_or(0)) * Multiplier(unit);
  return millis > 0 ? millis : 0;
}

bool delay(Clock& clock, std::optional<int32_t> interval, std::optional<int32_t> unit,
           std::stop_token stop) {
  if (!interval && !unit) {
    clock.sleepUntilStopped(stop);
    return false;
  }
  const int64_t millis = DelayMillis(interval, unit);
  if (millis == 0) return !stop.stop_requested();
  return clock.sleepFor(Millis(millis), stop);
}

}  // namespace bw
