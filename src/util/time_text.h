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

// Date part then time part in local time, each left out when its format is
// shorter than 3 bytes in the host's GBK form. Date tokens: y, yy, yyyy, M, MM,
// MMM, MMMM, d, dd, ddd, dddd (English names). Time tokens: h, hh, H, HH (h is
// 1-12 unless force24), m, mm, s, ss, t, tt (AM/PM, left out when force24).
// Text in single quotes is literal ('' is a quote); any other text is copied.
// Example: FormatDateTime(t, "yyyy-M-d ", "hh:mm:ss", true) → "2026-12-7 21:05:09".
// A time outside the years 1-9999 gives the empty text.
std::string FormatDateTime(SystemTime t, std::string_view dateFormat, std::string_view timeFormat,
                           bool force24 = true);

// The text of the message variable "[时间]": "2026年12月7日21时5分9秒", shortened
// to "…时…分" when the seconds are 0, "…时" when the minutes are 0 too, and the
// date alone at midnight.
std::string DateTimeText(SystemTime t);

// The clock's true Unix time as decimal text, whatever the local time zone:
// seconds (10 digits from 2001 to 2286) when `seconds`, else milliseconds.
std::string UnixTimestamp(const Clock& clock, bool seconds = true);

// A stored timestamp as display text: 10 characters are Unix seconds, shown as
// "yyyy-M-dd HH:mm:ss" in local time; other lengths are Unix milliseconds, shown
// as "yyyy-M-d HH:mm:ss". Text that is no decimal number, or a time outside the
// years 1-9999, gives the empty text.
std::string TimestampToText(std::string_view timestamp);

}  // namespace bw
