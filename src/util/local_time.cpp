#include "util/local_time.h"

#if defined(_WIN32)
#include <windows.h>

#include <cstdint>
#endif

namespace bw {

#if defined(_WIN32)

bool LocalCalendar(std::time_t t, std::tm& out) {
  // FILETIME counts 100 ns from 1601-01-01 UTC.
  constexpr int64_t kSeconds1601To1970 = 11644473600;
  const int64_t seconds = static_cast<int64_t>(t) + kSeconds1601To1970;
  if (seconds < 0) return false;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<uint64_t>(seconds) * 10000000u;
  const FILETIME file{ticks.LowPart, ticks.HighPart};
  SYSTEMTIME utc, local;
  if (!FileTimeToSystemTime(&file, &utc) || !SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local))
    return false;
  out = std::tm{};
  out.tm_year = local.wYear - 1900;
  out.tm_mon = local.wMonth - 1;
  out.tm_mday = local.wDay;
  out.tm_hour = local.wHour;
  out.tm_min = local.wMinute;
  out.tm_sec = local.wSecond;
  out.tm_wday = local.wDayOfWeek;
  out.tm_isdst = -1;
  return true;
}

#else

bool LocalCalendar(std::time_t t, std::tm& out) { return localtime_r(&t, &out) != nullptr; }

#endif

}  // namespace bw
