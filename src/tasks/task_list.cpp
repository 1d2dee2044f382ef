#include "tasks/task_list.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "util/log.h"

namespace bw {

ScheduledTask ScheduledTask::FromRow(const ListRow& row) {
  auto cell = [&](size_t i) { return i < row.cells.size() ? row.cells[i] : std::string(); };
  return {cell(taskcol::kTime), cell(taskcol::kAction), cell(taskcol::kContent),
          cell(taskcol::kState), row.checked};
}

ListRow ScheduledTask::toRow() const {
  ListRow row;
  row.checked = checked;
  row.cells = {time, action, content, status};
  return row;
}

bool ScheduledTask::sameTask(const ScheduledTask& other) const {
  return time == other.time && action == other.action && content == other.content;
}

namespace {

// Reads one or two decimal digits at `pos`, advancing it.
std::optional<int> ReadField(std::string_view text, size_t& pos) {
  int value = 0;
  size_t digits = 0;
  while (pos < text.size() && digits < 3 && text[pos] >= '0' && text[pos] <= '9') {
    value = value * 10 + (text[pos] - '0');
    ++pos;
    ++digits;
  }
  if (digits == 0 || digits > 2) return std::nullopt;
  return value;
}

}  // namespace

std::optional<int> ParseTimeOfDay(std::string_view time) {
  size_t pos = 0;
  int fields[3] = {0, 0, 0};
  int count = 0;
  while (count < 3) {
    auto value = ReadField(time, pos);
    if (!value) return std::nullopt;
    fields[count++] = *value;
    if (pos == time.size()) break;
    if (time[pos] != ':') return std::nullopt;
    ++pos;
  }
  if (pos != time.size() || count < 2) return std::nullopt;
  if (fields[0] > 23 || fields[1] > 59 || fields[2] > 59) return std::nullopt;
  return fields[0] * 3600 + fields[1] * 60 + fields[2];
}

std::optional<std::string> NormaliseTimeOfDay(std::string_view time) {
  auto seconds = ParseTimeOfDay(time);
  if (!seconds) return std::nullopt;
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d", *seconds / 3600, *seconds / 60 % 60,
                *seconds % 60);
  return std::string(buffer);
}

std::optional<TimeUntil> secondsUntil(SystemTime now, std::string_view time) {
  auto ofDay = ParseTimeOfDay(time);
  if (!ofDay) return std::nullopt;
  // Today's local date with the task's time, read as a local date-time.
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  // to_time_t may round; take the whole second at or before now.
  if (std::chrono::system_clock::from_time_t(t) > now) --t;
  std::tm local{};
  localtime_r(&t, &local);
  local.tm_hour = *ofDay / 3600;
  local.tm_min = *ofDay / 60 % 60;
  local.tm_sec = *ofDay % 60;
  local.tm_isdst = -1;
  const SystemTime target = std::chrono::system_clock::from_time_t(std::mktime(&local));
  // duration_cast truncates toward zero.
  const int64_t s = std::chrono::duration_cast<std::chrono::seconds>(target - now).count();
  if (s < 0) return TimeUntil{s + 86400, true};
  return TimeUntil{s, false};
}

SchedulerPass PlanSchedulerPass(std::vector<ListRow>& rows, SystemTime now) {
  SchedulerPass pass;
  for (size_t r = 0; r < rows.size(); ++r) {
    ListRow& row = rows[r];
    if (row.cells.size() <= taskcol::kState) row.cells.resize(taskcol::kState + 1);
    auto until = secondsUntil(now, row.cells[taskcol::kTime]);
    if (!until) {
      LogWarning("timed task row " + std::to_string(r + 1) + " has an unreadable time \"" +
                 row.cells[taskcol::kTime] + "\"; it is not scheduled");
      continue;
    }
    int64_t d = until->seconds;
    const bool tomorrow = until->tomorrow;
    std::string& status = row.cells[taskcol::kState];
    if (status != kTaskDone && status != kTaskRunning) {
      status = std::string(tomorrow ? kTaskTomorrow : kTaskWaiting);
      if (d < 2 || d >= 86399) {
        status = std::string(kTaskRunning);
        pass.due.push_back(r);
      }
    } else if (!tomorrow) {
      status = std::string(kTaskWaiting);
    }
    if (tomorrow) d = secondsUntil(now, kSchedulerMidnightWake)->seconds;
    d = std::max(d, kSchedulerFloorSeconds);
    pass.waitSeconds = std::min(pass.waitSeconds, d);
  }
  return pass;
}

}  // namespace bw
