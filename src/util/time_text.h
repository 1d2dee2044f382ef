// Date and time texts. Dates shown to people use the local time zone; stored
// times are true Unix seconds whatever the zone.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "util/clock.h"

namespace bw {

// Date part then time part, each left out when its format is shorter than 3
// characters. Date tokens: yyyy, M, MM, d, dd (also literal text in between).
// Time tokens: hh and HH (00-23 when force24, else hh is 01-12), mm, ss.
// Example: FormatDateTime(t, "yyyy-M-d ", "hh:mm:ss", true) → "2026-12-7 21:05:09".
std::string FormatDateTime(SystemTime t, std::string_view dateFormat, std::string_view timeFormat,
                           bool force24 = true);

// The text of the message variable "[时间]": "2026年12月7日21时5分9秒", shortened
// to "…时…分" when the seconds are 0, "…时" when the minutes are 0 too, and the
// date alone at midnight.
std::string DateTimeText(SystemTime t);

// Unix time as text: 10 digits (seconds) when `seconds`, else 13 (milliseconds).
std::string UnixTimestamp(const Clock& clock, bool seconds = true);

// A stored timestamp as display text: 10 characters are Unix seconds, shown as
// "yyyy-M-dd HH:mm:ss" in local time; other lengths are Unix milliseconds, shown
// as "yyyy-M-d HH:mm:ss". Text that is no number gives the empty text.
std::string TimestampToText(std::string_view timestamp);

}  // namespace bw
