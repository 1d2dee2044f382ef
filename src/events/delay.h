// delay: the wait primitive every pause of the robot uses, on the Clock so that
// tests and replay take no real time.
#pragma once

#include <cstdint>
#include <optional>
#include <stop_token>

#include "util/clock.h"

namespace bw {

// Unit: 0 ×1 ms, 1 seconds, 2 minutes, 3 hours; any other value is itself the
// multiplier. With neither interval nor unit the wait has no end (until `stop`).
// Returns true when the wait ran to its end, false when `stop` cut it short.
bool delay(Clock& clock, std::optional<int32_t> interval = std::nullopt,
           std::optional<int32_t> unit = std::nullopt, std::stop_token stop = {});

// Milliseconds that delay(interval, unit) waits (18000000 × 18000000 for the
// endless form, saturated).
int64_t DelayMillis(std::optional<int32_t> interval, std::optional<int32_t> unit);

}  // namespace bw
