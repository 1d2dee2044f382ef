#include "util/time_text.h"

#include <charconv>
#include <ctime>

#include "util/charset.h"
#include "util/local_time.h"

namespace bw {
namespace {

constexpr const char* kMonthNames[] = {"January",   "February", "March",    "April",
                                       "May",       "June",     "July",     "August",
                                       "September", "October",  "November", "December"};
constexpr const char* kDayNames[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

// Local calendar time; false outside the years 1-9999, which no date text can show.
bool ToLocal(std::time_t t, std::tm& tm) {
  if (!LocalCalendar(t, tm)) return false;
  return tm.tm_year + 1900 >= 1 && tm.tm_year + 1900 <= 9999;
}

bool ToLocal(SystemTime t, std::tm& tm) {
  // Whole seconds, rounded down also before 1970.
  const auto s = std::chrono::floor<std::chrono::seconds>(t.time_since_epoch()).count();
  return ToLocal(static_cast<std::time_t>(s), tm);
}

void AppendNumber(std::string& out, long value, int width) {
  std::string digits = std::to_string(value);
  if (static_cast<int>(digits.size()) < width) out.append(width - digits.size(), '0');
  out += digits;
}

// Expands a picture in the date or the time token set. Repeated letters form a
// token ("yyyy", "MM", "hh"); text between single quotes is literal ('' is a
// quote); every other byte is copied, so non-ASCII text passes unchanged.
std::string Expand(const std::tm& tm, std::string_view picture, bool date, bool force24) {
  std::string out;
  for (size_t i = 0; i < picture.size();) {
    const char c = picture[i];
    if (c == '\'') {
      size_t j = i + 1;
      if (j < picture.size() && picture[j] == '\'') {
        out += '\'';
        i = j + 1;
        continue;
      }
      while (j < picture.size() && picture[j] != '\'') out += picture[j++];
      i = j + 1;
      continue;
    }
    size_t n = 1;
    while (i + n < picture.size() && picture[i + n] == c) ++n;
    const int count = static_cast<int>(n);
    bool token = true;
    if (date && c == 'd') {
      if (count <= 2) {
        AppendNumber(out, tm.tm_mday, count);
      } else {
        const std::string name = kDayNames[tm.tm_wday];
        out += count == 3 ? name.substr(0, 3) : name;
      }
    } else if (date && c == 'M') {
      if (count <= 2) {
        AppendNumber(out, tm.tm_mon + 1, count);
      } else {
        const std::string name = kMonthNames[tm.tm_mon];
        out += count == 3 ? name.substr(0, 3) : name;
      }
    } else if (date && c == 'y') {
      const int year = tm.tm_year + 1900;
      if (count <= 2) {
        AppendNumber(out, year % 100, count);
      } else {
        AppendNumber(out, year, 1);
      }
    } else if (!date && (c == 'h' || c == 'H')) {
      int hour = tm.tm_hour;
      if (c == 'h' && !force24) hour = hour % 12 == 0 ? 12 : hour % 12;
      AppendNumber(out, hour, count >= 2 ? 2 : 1);
    } else if (!date && c == 'm') {
      AppendNumber(out, tm.tm_min, count >= 2 ? 2 : 1);
    } else if (!date && c == 's') {
      AppendNumber(out, tm.tm_sec, count >= 2 ? 2 : 1);
    } else if (!date && c == 't') {
      // With a forced 24-hour clock the AM/PM marker is left out.
      if (!force24) {
        const std::string marker = tm.tm_hour < 12 ? "AM" : "PM";
        out += count == 1 ? marker.substr(0, 1) : marker;
      }
    } else {
      token = false;
    }
    if (!token) out.append(picture.substr(i, n));
    i += n;
  }
  return out;
}

// Formats are measured in the host's byte form, where a CJK character is 2 bytes.
bool FormatUsed(std::string_view format) { return Utf8ToGbk(format).size() >= 3; }

}  // namespace

std::string FormatDateTime(SystemTime t, std::string_view dateFormat, std::string_view timeFormat,
                           bool force24) {
  std::tm tm{};
  if (!ToLocal(t, tm)) return {};
  std::string out;
  if (FormatUsed(dateFormat)) out += Expand(tm, dateFormat, true, force24);
  if (FormatUsed(timeFormat)) out += Expand(tm, timeFormat, false, force24);
  return out;
}

std::string DateTimeText(SystemTime t) {
  std::tm tm{};
  if (!ToLocal(t, tm)) return {};
  std::string out = std::to_string(tm.tm_year + 1900) + "年" + std::to_string(tm.tm_mon + 1) +
                    "月" + std::to_string(tm.tm_mday) + "日";
  if (tm.tm_sec != 0) {
    out += std::to_string(tm.tm_hour) + "时" + std::to_string(tm.tm_min) + "分" +
           std::to_string(tm.tm_sec) + "秒";
  } else if (tm.tm_min != 0) {
    out += std::to_string(tm.tm_hour) + "时" + std::to_string(tm.tm_min) + "分";
  } else if (tm.tm_hour != 0) {
    out += std::to_string(tm.tm_hour) + "时";
  }
  return out;
}

std::string UnixTimestamp(const Clock& clock, bool seconds) {
  return std::to_string(seconds ? clock.unixSeconds() : clock.unixMillis());
}

std::string TimestampToText(std::string_view timestamp) {
  if (timestamp.empty()) return {};
  int64_t value = 0;
  const char* end = timestamp.data() + timestamp.size();
  const auto [ptr, ec] = std::from_chars(timestamp.data(), end, value);
  if (ec != std::errc() || ptr != end) return {};
  std::tm tm{};
  if (timestamp.size() == 10) {
    if (!ToLocal(static_cast<std::time_t>(value), tm)) return {};
    return Expand(tm, "yyyy-M-dd ", true, true) + Expand(tm, "HH:mm:ss", false, true);
  }
  // Milliseconds, rounded down to the second they fall in.
  int64_t secs = value / 1000;
  if (value % 1000 < 0) --secs;
  if (!ToLocal(static_cast<std::time_t>(secs), tm)) return {};
  return Expand(tm, "yyyy-M-d ", true, true) + Expand(tm, "HH:mm:ss", false, true);
}

}  // namespace bw
