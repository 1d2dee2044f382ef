// LocalCalendar: Unix seconds as the local calendar time. On Windows through
// the system's own conversion (years 1601 to 30827), because msvcrt's
// localtime fails before 1970 and after the year 3000; elsewhere localtime_r.
//
// Thread-safety: pure function.
#pragma once

#include <ctime>

namespace bw {

// False when the time has no local calendar time here. tm_yday is not set.
bool LocalCalendar(std::time_t t, std::tm& out);

}  // namespace bw
