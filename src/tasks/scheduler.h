// TaskScheduler: the timed-task scheduler and the task list's window actions.
//
// One scheduler thread walks the task list, keeps each row's status current,
// starts each due task on a thread of its own and sleeps on the clock until
// the next time that matters. The actions of the task page (add, delete ticked,
// run now, the on/off switch) are members too, because they restart the
// scheduler.
//
// Stepped mode (replay) has no threads at all: the owner moves the clock and
// calls runDue(), which makes every pass that has come due, at the time it was
// due, and runs its tasks to their end on the caller's thread. A virtual clock
// that jumps ahead then runs each task exactly as often as its time was
// passed, the same on every run.
//
// A task thread works on a copy of its row taken when the scheduler starts it,
// and marks the same task (not the same index) done when it finishes, so rows
// deleted meanwhile never make it read or mark another task.
//
// Thread-safety: all members may be called from any thread. List listeners run
// on the scheduler thread and must not call startScheduler/stopScheduler.
// Destruction stops the scheduler, cuts the pauses of running tasks short and
// waits for every thread this object started.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "tasks/task_actions.h"
#include "tasks/task_list.h"
#include "util/clock.h"
#include "util/status.h"

namespace bw {

class HostApi;
class Settings;
class ListModel;
class RunLog;
class QqServices;
class ManagedGroups;

// The notice shown when a task that needs a content has none.
inline constexpr std::string_view kTaskContentMissing = "请填写发送内容";

class TaskScheduler {
 public:
  // `tasks` is the task list view; `stop` is requested when the robot shuts
  // down (the loop ends and running tasks cut their pauses short).
  TaskScheduler(Clock& clock, HostApi& host, Settings& settings, ListModel& tasks, RunLog& runLog,
                QqServices& qq, const ManagedGroups& managedGroups, std::stop_token stop = {});
  ~TaskScheduler();
  TaskScheduler(const TaskScheduler&) = delete;
  TaskScheduler& operator=(const TaskScheduler&) = delete;

  // Switches to stepped mode; call before the first start.
  void useSteppedMode();
  // Stepped mode: makes, in order, every pass due at or before the clock's
  // now, each at its own due time, and runs the tasks they start to their end
  // before the next pass. Returns the number of passes made: none while
  // stopped, after the shutdown or in threaded mode.
  size_t runDue();

  // Starts the scheduler thread unless it runs. Its first pass comes no sooner
  // than two seconds after the previous stop.
  void startScheduler();
  // Stops the scheduler at once, also during its sleep: once this returns no
  // task is started by it. Task threads already started go on.
  void stopScheduler();
  bool schedulerRunning() const;

  // At startup, after the settings are restored: starts the scheduler when the
  // switch is on and the list has rows.
  void startIfEnabled();

  // The add button: appends the task described by the add controls. Fails with
  // kTaskContentMissing (adding nothing) when a message, announcement or
  // homework has no content, or with a reason when the controls hold no action
  // or an unreadable time (an empty date box stands for the current time).
  // Restarts the scheduler when the switch is on.
  Status addTask();
  // Deletes the ticked rows; restarts the scheduler when the switch is on and
  // rows remain, leaves it stopped otherwise.
  void deleteCheckedTasks();
  // The run-now button: checks the add controls (the same kTaskContentMissing
  // failure as addTask) and runs that task at once on a thread of its own. It is
  // no row of the list, so no row's status changes.
  Status runTaskNow();
  // A click on the switch: follows its new state.
  void toggleScheduler();

  // The feature-status text of the switch: "已开启" or "已关闭".
  std::string featureStatus() const;
  // The run-now button is greyed while any task runs.
  bool runNowEnabled() const;

  // Tasks (scheduled and run-now) whose thread has not finished.
  size_t runningTasks() const;
  // Blocks in real time until no task thread runs; false on time-out.
  bool waitForTasks(std::chrono::milliseconds timeout) const;

  // Observation of the loop (status displays, tests, replay): passes made since
  // construction, and the clock time of the next pass (the epoch while stopped).
  uint64_t passCount() const;
  SystemTime nextPass() const;

 private:
  void schedulerLoop(std::stop_token stop, SystemTime notBefore);
  void runDueTask(const ScheduledTask& task, std::stop_token stop);
  // Reads the add controls into a task; an error status when they describe none.
  Status taskFromControls(ScheduledTask& task) const;
  void spawnTask(std::function<void(std::stop_token)> body);
  void restartAfterEdit(bool rowsRemain);

  Clock& clock_;
  Settings& settings_;
  ListModel& taskList_;
  RunLog& runLog_;
  TaskActionServices actions_;
  std::stop_token shutdown_;

  // Start/stop of the loop; taken around each pass, so a stop excludes starts.
  mutable std::mutex loopMu_;
  std::thread loop_;
  std::stop_source loopStop_;
  SystemTime lastStop_{};
  std::atomic<uint64_t> passes_{0};
  SystemTime nextPass_{};             // guarded by loopMu_
  std::atomic<bool> stepped_{false};  // set before the first start
  bool steppedRunning_ = false;       // guarded by loopMu_

  // Task threads.
  mutable std::mutex tasksMu_;
  mutable std::condition_variable tasksCv_;
  std::map<uint64_t, std::thread> tasks_;
  std::vector<uint64_t> finished_;
  uint64_t nextTaskId_ = 1;
  size_t activeTasks_ = 0;
  size_t busyButton_ = 0;  // tasks that grey the run-now button
  std::stop_source tasksStop_;

  // Forwards the robot's shutdown to the loop and the tasks.
  std::unique_ptr<std::stop_callback<std::function<void()>>> onShutdown_;
};

}  // namespace bw
