// The timed-task list: the rows of the task list view (time of day, action,
// content, status) and the pure rules the scheduler applies to them — how far
// a time of day lies ahead, and what one scheduler pass does to the statuses and
// how long the loop sleeps afterwards.
//
// Thread-safety: pure functions; the caller guards the rows it passes in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/list_model.h"
#include "util/clock.h"

namespace bw {

// Row statuses.
inline constexpr std::string_view kTaskWaiting = "等待执行";   // time still ahead today
inline constexpr std::string_view kTaskTomorrow = "明天执行";  // time passed today
inline constexpr std::string_view kTaskRunning = "正在执行";
inline constexpr std::string_view kTaskDone = "执行完毕";  // until the time is ahead again

// Actions.
inline constexpr std::string_view kActionSendMessage = "发送信息";
inline constexpr std::string_view kActionAnnouncement = "发布公告";
inline constexpr std::string_view kActionWholeBan = "全体禁言";
inline constexpr std::string_view kActionLiftWholeBan = "解除禁言";
inline constexpr std::string_view kActionHomework = "发布作业";

// One row of the task list, captured as values (a task thread keeps its own copy).
struct ScheduledTask {
  std::string time;  // "HH:mm:ss"
  std::string action;
  std::string content;
  std::string status;
  bool checked = false;  // marks the row for deletion only

  static ScheduledTask FromRow(const ListRow& row);
  ListRow toRow() const;
  // Same time, action and content (the status and tick are not compared).
  bool sameTask(const ScheduledTask& other) const;
};

// Seconds after midnight of a time of day "H:m:s" or "H:m" (one or two digits
// each, hours 0-23, minutes and seconds 0-59); nullopt for anything else.
std::optional<int> ParseTimeOfDay(std::string_view time);
// "HH:mm:ss" of a time of day, or nullopt when it cannot be read.
std::optional<std::string> NormaliseTimeOfDay(std::string_view time);

struct TimeUntil {
  int64_t seconds = 0;  // 0..86399 (86400..86403 around a clock change)
  bool tomorrow = false;
};

// How far `time` lies ahead of `now` on today's local date, in whole seconds
// truncated toward zero; a time already past counts from tomorrow (s + 86400).
// nullopt when the time cannot be read.
std::optional<TimeUntil> secondsUntil(SystemTime now, std::string_view time);

// The loop never sleeps less than this nor more than the ceiling.
inline constexpr int64_t kSchedulerFloorSeconds = 2;
inline constexpr int64_t kSchedulerCeilingSeconds = 86301;
// A row whose time has passed wakes the loop at this time after midnight.
inline constexpr std::string_view kSchedulerMidnightWake = "00:00:10";

struct SchedulerPass {
  int64_t waitSeconds = kSchedulerCeilingSeconds;
  std::vector<size_t> due;  // rows set to "正在执行" that must be started now
};

// One pass of the scheduler over the rows at `now`: updates each row's status
// and collects the rows to start (time less than two seconds ahead or at most
// one second past). Rows whose time cannot be read are left untouched (and
// logged), so a broken row never runs and never keeps the loop awake.
SchedulerPass PlanSchedulerPass(std::vector<ListRow>& rows, SystemTime now);

}  // namespace bw
