#include "tasks/scheduler.h"

#include <algorithm>

#include "events/delay.h"
#include "logs/run_log.h"
#include "settings/list_model.h"
#include "settings/option_names.h"
#include "settings/settings_model.h"
#include "tasks/task_actions.h"
#include "util/log.h"
#include "util/time_text.h"

namespace bw {

namespace {

constexpr std::chrono::milliseconds kRestartGap{2000};

// The action radios, in the order they are tested.
struct ActionRadio {
  std::string_view control;
  std::string_view action;
  bool needsContent;
};
constexpr ActionRadio kActionRadios[] = {
    {opt::kTaskSendMessage, kActionSendMessage, true},
    {opt::kTaskAnnounce, kActionAnnouncement, true},
    {opt::kTaskMuteAll, kActionWholeBan, false},
    {opt::kTaskUnmuteAll, kActionLiftWholeBan, false},
    {opt::kTaskHomework, kActionHomework, true},
};

}  // namespace

TaskScheduler::TaskScheduler(Clock& clock, HostApi& host, Settings& settings, ListModel& tasks,
                             RunLog& runLog, QqServices& qq, const ManagedGroups& managedGroups,
                             std::stop_token stop)
    : clock_(clock),
      settings_(settings),
      taskList_(tasks),
      runLog_(runLog),
      actions_{clock, host, qq, managedGroups},
      shutdown_(std::move(stop)) {
  onShutdown_ = std::make_unique<std::stop_callback<std::function<void()>>>(
      shutdown_, std::function<void()>([this] {
        {
          std::lock_guard lock(loopMu_);
          loopStop_.request_stop();
        }
        tasksStop_.request_stop();
      }));
}

TaskScheduler::~TaskScheduler() {
  onShutdown_.reset();
  stopScheduler();
  tasksStop_.request_stop();
  std::map<uint64_t, std::thread> all;
  {
    std::lock_guard lock(tasksMu_);
    all.swap(tasks_);
  }
  for (auto& [id, thread] : all) thread.join();
}

void TaskScheduler::useSteppedMode() {
  std::lock_guard lock(loopMu_);
  stepped_ = true;
}

void TaskScheduler::startScheduler() {
  std::lock_guard lock(loopMu_);
  if (loop_.joinable() || steppedRunning_ || shutdown_.stop_requested()) return;
  loopStop_ = std::stop_source();
  if (stepped_) {
    steppedRunning_ = true;
    nextPass_ = std::max(clock_.now(), lastStop_ + kRestartGap);
    return;
  }
  loop_ = std::thread(&TaskScheduler::schedulerLoop, this, loopStop_.get_token(),
                      lastStop_ + kRestartGap);
}

void TaskScheduler::stopScheduler() {
  std::thread loop;
  {
    std::lock_guard lock(loopMu_);
    if (steppedRunning_) {
      steppedRunning_ = false;
      lastStop_ = clock_.now();
      nextPass_ = SystemTime{};
      return;
    }
    if (!loop_.joinable()) return;
    loopStop_.request_stop();
    loop = std::move(loop_);
    lastStop_ = clock_.now();
    nextPass_ = SystemTime{};
  }
  loop.join();
}

bool TaskScheduler::schedulerRunning() const {
  std::lock_guard lock(loopMu_);
  return loop_.joinable() || steppedRunning_;
}

size_t TaskScheduler::runDue() {
  for (size_t made = 0;; ++made) {
    std::vector<ScheduledTask> due;
    {
      std::lock_guard lock(loopMu_);
      if (!stepped_ || !steppedRunning_ || loopStop_.stop_requested()) return made;
      if (nextPass_ > clock_.now()) return made;
      // The pass is made at the time it was due, even when the tasks of an
      // earlier one have since moved the clock further.
      const SystemTime at = nextPass_;
      int64_t wait = kSchedulerCeilingSeconds;
      taskList_.update([&](std::vector<ListRow>& rows) {
        SchedulerPass pass = PlanSchedulerPass(rows, at);
        wait = pass.waitSeconds;
        for (size_t r : pass.due) due.push_back(ScheduledTask::FromRow(rows[r]));
      });
      nextPass_ = at + std::chrono::seconds(wait);
      ++passes_;
    }
    // Not under loopMu_: a task may stop or restart the scheduler.
    for (ScheduledTask& task : due) {
      spawnTask([this, task = std::move(task)](std::stop_token s) { runDueTask(task, s); });
    }
  }
}

void TaskScheduler::startIfEnabled() {
  if (settings_.checked(opt::kTasksOn) && taskList_.rowCount() > 0) startScheduler();
}

void TaskScheduler::schedulerLoop(std::stop_token stop, SystemTime notBefore) {
  const SystemTime start = clock_.now();
  if (start < notBefore) {
    {
      std::lock_guard lock(loopMu_);
      nextPass_ = notBefore;
    }
    const auto gap = std::chrono::ceil<std::chrono::milliseconds>(notBefore - start);
    if (!delay(clock_, static_cast<int32_t>(gap.count()), 0, stop)) return;
  }
  while (true) {
    int64_t wait = kSchedulerCeilingSeconds;
    {
      std::lock_guard lock(loopMu_);
      if (stop.stop_requested()) return;
      const SystemTime now = clock_.now();
      std::vector<ScheduledTask> due;
      taskList_.update([&](std::vector<ListRow>& rows) {
        SchedulerPass pass = PlanSchedulerPass(rows, now);
        wait = pass.waitSeconds;
        for (size_t r : pass.due) due.push_back(ScheduledTask::FromRow(rows[r]));
      });
      for (ScheduledTask& task : due) {
        spawnTask([this, task = std::move(task)](std::stop_token s) { runDueTask(task, s); });
      }
      nextPass_ = now + std::chrono::seconds(wait);
      ++passes_;
    }
    if (!delay(clock_, static_cast<int32_t>(wait), 1, stop)) return;
  }
}

void TaskScheduler::runDueTask(const ScheduledTask& task, std::stop_token stop) {
  {
    std::lock_guard lock(tasksMu_);
    ++busyButton_;
  }
  runLog_.WriteRunLog("执行任务", "开始执行任务" + task.action);
  runTaskAction(actions_, task.action, task.content, settings_.number(opt::kTaskInterval), stop);
  // The row may have moved or gone while the task ran: mark the same task, not
  // whatever row now stands at its old index.
  taskList_.update([&](std::vector<ListRow>& rows) {
    for (ListRow& row : rows) {
      ScheduledTask current = ScheduledTask::FromRow(row);
      if (current.sameTask(task) && current.status == kTaskRunning) {
        row.cells[taskcol::kState] = std::string(kTaskDone);
        break;
      }
    }
  });
  runLog_.WriteRunLog("执行任务", "任务" + task.action + " 执行完毕");
  std::lock_guard lock(tasksMu_);
  --busyButton_;
}

Status TaskScheduler::taskFromControls(ScheduledTask& task) const {
  const Settings& settings = settings_;
  const ActionRadio* chosen = nullptr;
  for (const ActionRadio& radio : kActionRadios) {
    if (settings.checked(radio.control)) {
      chosen = &radio;
      break;
    }
  }
  if (chosen == nullptr) {
    LogWarning("timed task: no action radio box is selected");
    return Status::Error("请选择执行操作");
  }
  task.action = std::string(chosen->action);
  task.content = chosen->needsContent ? settings.text(opt::kTaskContent) : std::string();
  if (chosen->needsContent && task.content.empty()) {
    return Status::Error(std::string(kTaskContentMissing));
  }
  return Status::Ok();
}

Status TaskScheduler::addTask() {
  ScheduledTask task;
  if (Status s = taskFromControls(task); !s) return s;
  std::string timeText = settings_.text(opt::kTaskTime);
  // A date box that was never set shows the current time.
  if (timeText.empty()) timeText = FormatDateTime(clock_.now(), "", "HH:mm:ss", true);
  auto time = NormaliseTimeOfDay(timeText);
  if (!time) {
    LogWarning("timed task: the time \"" + timeText + "\" cannot be read as HH:mm:ss");
    return Status::Error("执行时间无效");
  }
  task.time = *time;
  task.status = std::string(kTaskWaiting);
  taskList_.append(task.toRow());
  runLog_.WriteRunLog("添加任务", "添加任务 " + task.time + " " + task.action + " " + task.content);
  if (settings_.checked(opt::kTasksOn)) restartAfterEdit(true);
  return Status::Ok();
}

void TaskScheduler::deleteCheckedTasks() {
  size_t removed = 0;
  size_t remaining = 0;
  taskList_.update([&](std::vector<ListRow>& rows) {
    removed = std::erase_if(rows, [](const ListRow& row) { return row.checked; });
    remaining = rows.size();
  });
  if (settings_.checked(opt::kTasksOn)) restartAfterEdit(remaining > 0);
  runLog_.WriteRunLog("删除任务", "删除了" + std::to_string(removed) + "个任务");
}

void TaskScheduler::restartAfterEdit(bool rowsRemain) {
  stopScheduler();
  // The new loop makes its first pass no sooner than two seconds after this stop.
  if (rowsRemain) startScheduler();
}

Status TaskScheduler::runTaskNow() {
  ScheduledTask task;
  if (Status s = taskFromControls(task); !s) return s;
  {
    std::lock_guard lock(tasksMu_);
    ++busyButton_;
  }
  runLog_.WriteRunLog("执行任务", "立即执行任务" + task.action);
  spawnTask([this, task = std::move(task)](std::stop_token stop) {
    runTaskAction(actions_, task.action, task.content, settings_.number(opt::kTaskInterval), stop);
    runLog_.WriteRunLog("执行任务", "任务" + task.action + " 执行完毕");
    std::lock_guard lock(tasksMu_);
    --busyButton_;
  });
  return Status::Ok();
}

void TaskScheduler::toggleScheduler() {
  if (settings_.checked(opt::kTasksOn)) {
    runLog_.WriteRunLog("操作", "开启定时任务");
    if (taskList_.rowCount() > 0) startScheduler();
  } else {
    stopScheduler();
    runLog_.WriteRunLog("操作", "关闭定时任务");
  }
}

std::string TaskScheduler::featureStatus() const {
  return settings_.checked(opt::kTasksOn) ? "已开启" : "已关闭";
}

bool TaskScheduler::runNowEnabled() const {
  std::lock_guard lock(tasksMu_);
  return busyButton_ == 0;
}

size_t TaskScheduler::runningTasks() const {
  std::lock_guard lock(tasksMu_);
  return activeTasks_;
}

bool TaskScheduler::waitForTasks(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(tasksMu_);
  return tasksCv_.wait_for(lock, timeout, [this] { return activeTasks_ == 0; });
}

uint64_t TaskScheduler::passCount() const { return passes_.load(); }

SystemTime TaskScheduler::nextPass() const {
  std::lock_guard lock(loopMu_);
  return nextPass_;
}

void TaskScheduler::spawnTask(std::function<void(std::stop_token)> body) {
  if (stepped_) {  // to its end on the caller's thread, so that the order is fixed
    {
      std::lock_guard lock(tasksMu_);
      ++activeTasks_;
    }
    body(tasksStop_.get_token());
    std::lock_guard lock(tasksMu_);
    --activeTasks_;
    tasksCv_.notify_all();
    return;
  }
  std::vector<std::thread> done;
  {
    std::lock_guard lock(tasksMu_);
    for (uint64_t id : finished_) {
      auto it = tasks_.find(id);
      if (it == tasks_.end()) continue;
      done.push_back(std::move(it->second));
      tasks_.erase(it);
    }
    finished_.clear();
    const uint64_t id = nextTaskId_++;
    ++activeTasks_;
    // The new thread records its end under tasksMu_, so it cannot finish before
    // it has been stored here.
    tasks_[id] = std::thread([this, id, body = std::move(body), stop = tasksStop_.get_token()] {
      body(stop);
      std::lock_guard end(tasksMu_);
      finished_.push_back(id);
      --activeTasks_;
      tasksCv_.notify_all();
    });
  }
  for (std::thread& thread : done) thread.join();
}

}  // namespace bw
