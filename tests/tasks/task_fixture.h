// The services of the timed-task tests on a clock of the test's choosing:
// manual mode drives the threaded scheduler step by step, auto-advance runs
// single threaded passes without waiting. QQ services record the posts they get.
#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "events/managed_groups.h"
#include "host/recording_host.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/settings_model.h"
#include "tasks/scheduler.h"
#include "tasks/task_actions.h"
#include "util/clock.h"
#include "util/time_text.h"
#include "web/qq_services.h"

namespace bw::test {

class PostRecordingQq : public OfflineQqServices {
 public:
  struct Post {
    std::string kind;  // "announcement" or "homework"
    std::string group, title, text;
    bool flag = false;  // asGroupRules / remind
    std::string syncGroups;
  };

  bool postAnnouncement(const std::string& group, std::string& title, const std::string& text,
                        bool asGroupRules) override {
    std::lock_guard lock(mu);
    posts.push_back({"announcement", group, title, text, asGroupRules, ""});
    if (asGroupRules) title = "本群须知";
    return true;
  }
  bool postHomework(const std::string& group, const std::string& course, const std::string& content,
                    bool remind, const std::string& syncGroups) override {
    std::lock_guard lock(mu);
    posts.push_back({"homework", group, course, content, remind, syncGroups});
    return true;
  }
  std::vector<Post> snapshot() const {
    std::lock_guard lock(mu);
    return posts;
  }

  mutable std::mutex mu;
  std::vector<Post> posts;
};

struct TaskRobot {
  explicit TaskRobot(VirtualClock::Mode mode, SystemTime start = LocalTime(2026, 12, 7, 21, 5, 9))
      : clock(start, mode), runLog(clock, &lists.runLog) {
    host.setObserver([this](const HostCall& call) {
      std::lock_guard lock(timesMu);
      callTimes.push_back(
          FormatDateTime(clock.now(), "yyyy-M-d ", "HH:mm:ss", true) + " " + call.action + " " +
          std::to_string(call.group) + " " + call.text +
          (call.action == "set_group_whole_ban" ? (call.enable ? "on" : "off") : ""));
    });
  }

  TaskActionServices actions() { return {clock, host, qq, managedGroups}; }
  // A scheduler over these services (guaranteed elision: it is never moved).
  TaskScheduler scheduler(std::stop_token stop = {}) {
    return TaskScheduler(clock, host, settings, lists.tasks, runLog, qq, managedGroups, stop);
  }

  void manage(std::vector<int64_t> groups) { managedGroups.replace(std::move(groups)); }

  void addRow(std::string time, std::string action, std::string content,
              std::string status = "等待执行", bool checked = false) {
    ListRow row;
    row.checked = checked;
    row.cells = {std::move(time), std::move(action), std::move(content), std::move(status)};
    lists.tasks.append(std::move(row));
  }

  std::vector<std::string> statuses() const {
    std::vector<std::string> out;
    for (const ListRow& row : lists.tasks.rows()) out.push_back(row.cells.at(3));
    return out;
  }

  std::vector<std::string> calls() const {
    std::lock_guard lock(timesMu);
    return callTimes;
  }

  std::vector<std::string> runLogLines() const {
    std::vector<std::string> out;
    for (const auto& e : runLog.entries()) out.push_back(e.type + "|" + e.message);
    return out;
  }

  VirtualClock clock;
  RecordingHost host;
  Settings settings;
  ListViews lists;
  RunLog runLog;
  PostRecordingQq qq;
  ManagedGroups managedGroups;

  mutable std::mutex timesMu;
  std::vector<std::string> callTimes;  // "date time action group text[on|off]"
};

// Polls (really) until `predicate` holds; false after `timeout`.
template <typename Predicate>
bool Eventually(Predicate predicate, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace bw::test
