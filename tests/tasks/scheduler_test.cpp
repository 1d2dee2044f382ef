#include "tasks/scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "task_fixture.h"
#include "util/time_text.h"

namespace bw {
namespace {

using test::Eventually;
using test::TaskRobot;
using Mode = VirtualClock::Mode;
using namespace std::chrono_literals;

constexpr const char* kSwitch = "选择框_开启定时任务";

// Drives a running scheduler on a manual clock: waits until the loop made its
// next pass and every task it started has finished, then lets the clock jump to
// the loop's next wake-up.
class Driver {
 public:
  Driver(TaskRobot& t, TaskScheduler& s) : t_(t), s_(s) {}

  // Waits for pass number `n`; false when it does not come.
  bool awaitPass(uint64_t n) {
    if (!Eventually([&] { return s_.passCount() >= n; })) return false;
    if (!s_.waitForTasks(10s)) return false;
    // Only the loop sleeps now (tasks run with no pause).
    return t_.clock.waitForSleepers(1);
  }
  std::string wake() {
    const SystemTime next = s_.nextPass();
    t_.clock.set(next);
    return FormatDateTime(next, "yyyy-M-d ", "HH:mm:ss", true);
  }

 private:
  TaskRobot& t_;
  TaskScheduler& s_;
};

TEST(Scheduler, RunsAWholeDayOnTime) {
  TaskRobot t(Mode::kManual, LocalTime(2026, 12, 7, 7, 0, 0));
  t.manage({123456});
  t.settings.setText("编辑框_执行间隔时间", "0");
  t.addRow("08:00:00", "发送信息", "早上好");
  t.addRow("12:30:00", "全体禁言", "");
  t.addRow("18:00:00", "解除禁言", "");
  TaskScheduler s = t.scheduler();
  Driver d(t, s);
  s.startScheduler();

  std::vector<std::string> passes;  // the times of passes 2 to 8
  for (uint64_t n = 1; n <= 7; ++n) {
    ASSERT_TRUE(d.awaitPass(n)) << "pass " << n;
    passes.push_back(d.wake());
  }
  ASSERT_TRUE(d.awaitPass(8));
  EXPECT_EQ(passes, (std::vector<std::string>{"2026-12-7 08:00:00", "2026-12-7 08:00:02",
                                              "2026-12-7 12:30:00", "2026-12-7 12:30:02",
                                              "2026-12-7 18:00:00", "2026-12-7 18:00:02",
                                              "2026-12-8 00:00:10"}));
  EXPECT_EQ(t.calls(), (std::vector<std::string>{
                           "2026-12-7 08:00:00 send_group_msg 123456 早上好",
                           "2026-12-7 12:30:00 set_group_whole_ban 123456 on",
                           "2026-12-7 18:00:00 set_group_whole_ban 123456 off",
                       }));
  // After midnight every task waits for its time again; the loop sleeps until 08:00.
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"等待执行", "等待执行", "等待执行"}));
  EXPECT_EQ(FormatDateTime(s.nextPass(), "yyyy-M-d ", "HH:mm:ss", true), "2026-12-8 08:00:00");
  auto log = t.runLogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "执行任务|开始执行任务发送信息"), 1);
  EXPECT_EQ(std::count(log.begin(), log.end(), "执行任务|任务解除禁言 执行完毕"), 1);
}

TEST(Scheduler, StatusesAfterAPassAndATasksEnd) {
  TaskRobot t(Mode::kManual, LocalTime(2026, 12, 7, 21, 5, 9));
  t.manage({123456});
  t.settings.setText("编辑框_执行间隔时间", "0");
  t.addRow("21:05:10", "发送信息", "a");              // 1 s ahead
  t.addRow("21:05:08", "发送信息", "b", "明天执行");  // 1 s past
  t.addRow("22:00:00", "发送信息", "c", "执行完毕");  // done yesterday
  t.addRow("20:00:00", "发送信息", "d");
  TaskScheduler s = t.scheduler();
  Driver d(t, s);
  s.startScheduler();
  ASSERT_TRUE(d.awaitPass(1));
  EXPECT_EQ(t.statuses(),
            (std::vector<std::string>{"执行完毕", "执行完毕", "等待执行", "明天执行"}));
  EXPECT_EQ(t.calls().size(), 2u);
  EXPECT_EQ(s.nextPass() - t.clock.now(), 2s);
  EXPECT_TRUE(s.runNowEnabled());
}

TEST(Scheduler, StopTakesEffectDuringTheSleepAndStartsNothing) {
  TaskRobot t(Mode::kManual);
  t.manage({123456});
  t.addRow("23:00:00", "发送信息", "晚安");
  TaskScheduler s = t.scheduler();
  s.startScheduler();
  ASSERT_TRUE(t.clock.waitForSleepers(1));
  const auto begin = std::chrono::steady_clock::now();
  s.stopScheduler();
  EXPECT_LT(std::chrono::steady_clock::now() - begin, 2s);  // real time: no wait for the sleep
  EXPECT_FALSE(s.schedulerRunning());
  t.clock.set(LocalTime(2026, 12, 7, 23, 0, 0));
  EXPECT_EQ(t.clock.sleepers(), 0);
  EXPECT_EQ(s.runningTasks(), 0u);
  EXPECT_TRUE(t.calls().empty());
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"等待执行"}));
}

TEST(Scheduler, AddWhileOnRestartsNoSoonerThanTwoSecondsAfterTheStop) {
  TaskRobot t(Mode::kManual);
  t.manage({123456});
  t.settings.setText("编辑框_执行间隔时间", "0");
  t.settings.setChecked(kSwitch, true);
  t.addRow("23:00:00", "发送信息", "晚安");
  TaskScheduler s = t.scheduler();
  s.startScheduler();
  ASSERT_TRUE(t.clock.waitForSleepers(1));
  ASSERT_EQ(s.passCount(), 1u);

  t.settings.setText("编辑框_定时发送内容", "hello");
  t.settings.setText("日期框_执行时间", "21:05:10");  // one second from now
  ASSERT_TRUE(s.addTask().ok());
  EXPECT_TRUE(s.schedulerRunning());
  ASSERT_TRUE(t.clock.waitForSleepers(1));
  t.clock.advance(1s);  // 21:05:10: the new loop still waits out its two seconds
  ASSERT_TRUE(t.clock.waitForSleepers(1));
  EXPECT_EQ(s.passCount(), 1u);
  EXPECT_TRUE(t.calls().empty());
  t.clock.advance(1s);  // 21:05:11: one second past, so it still starts
  ASSERT_TRUE(Eventually([&] { return s.passCount() == 2; }));
  ASSERT_TRUE(s.waitForTasks(10s));
  EXPECT_EQ(t.calls(),
            (std::vector<std::string>{"2026-12-7 21:05:11 send_group_msg 123456 hello"}));
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"等待执行", "执行完毕"}));
  auto log = t.runLogLines();
  EXPECT_NE(std::find(log.begin(), log.end(), "添加任务|添加任务 21:05:10 发送信息 hello"),
            log.end());
}

TEST(Scheduler, AddWithTheSchedulerOffOnlyAppends) {
  TaskRobot t(Mode::kAutoAdvance);
  TaskScheduler s = t.scheduler();
  t.settings.setChecked("单选框_全体禁言", true);
  t.settings.setText("编辑框_定时发送内容", "not used");
  t.settings.setText("日期框_执行时间", "7:30:00");
  ASSERT_TRUE(s.addTask().ok());
  EXPECT_FALSE(s.schedulerRunning());
  auto rows = t.lists.tasks.rows();
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].cells, (std::vector<std::string>{"07:30:00", "全体禁言", "", "等待执行"}));
  EXPECT_FALSE(rows[0].checked);
  EXPECT_EQ(t.runLogLines(), (std::vector<std::string>{"添加任务|添加任务 07:30:00 全体禁言 "}));
}

TEST(Scheduler, AnEmptyDateBoxStandsForTheCurrentTime) {
  TaskRobot t(Mode::kAutoAdvance);
  TaskScheduler s = t.scheduler();
  t.settings.setText("编辑框_定时发送内容", "hi");
  ASSERT_TRUE(s.addTask().ok());
  EXPECT_EQ(t.lists.tasks.cell(0, taskcol::kTime), "21:05:09");
}

TEST(Scheduler, AddRefusesMissingContentAndUnreadableTime) {
  TaskRobot t(Mode::kAutoAdvance);
  TaskScheduler s = t.scheduler();
  t.settings.setText("日期框_执行时间", "08:00:00");
  for (const char* radio : {"单选框_发送信息", "单选框_发布公告", "单选框_发布作业"}) {
    t.settings.setChecked(radio, true);
    Status st = s.addTask();
    EXPECT_FALSE(st.ok()) << radio;
    EXPECT_EQ(st.message(), "请填写发送内容");
    EXPECT_FALSE(s.runTaskNow().ok()) << radio;
  }
  t.settings.setText("编辑框_定时发送内容", "x");
  t.settings.setText("日期框_执行时间", "25:00:00");
  EXPECT_FALSE(s.addTask().ok());
  EXPECT_EQ(t.lists.tasks.rowCount(), 0u);
  EXPECT_TRUE(t.runLogLines().empty());
  // Nothing stays blocked: the next good add goes through.
  t.settings.setText("日期框_执行时间", "08:00:00");
  EXPECT_TRUE(s.addTask().ok());
  EXPECT_EQ(t.lists.tasks.rowCount(), 1u);
}

TEST(Scheduler, DeletingTickedRowsRestartsOnlyWhileRowsRemain) {
  TaskRobot t(Mode::kManual);
  t.settings.setChecked(kSwitch, true);
  t.addRow("22:00:00", "发送信息", "a", "等待执行", true);
  t.addRow("23:00:00", "发送信息", "b");
  t.addRow("23:30:00", "发送信息", "c", "等待执行", true);
  TaskScheduler s = t.scheduler();
  s.startScheduler();
  s.deleteCheckedTasks();
  EXPECT_TRUE(s.schedulerRunning());
  EXPECT_EQ(t.lists.tasks.rowCount(), 1u);
  EXPECT_EQ(t.lists.tasks.cell(0, taskcol::kContent), "b");

  t.lists.tasks.setChecked(0, true);
  s.deleteCheckedTasks();
  EXPECT_FALSE(s.schedulerRunning());
  EXPECT_EQ(t.lists.tasks.rowCount(), 0u);
  EXPECT_EQ(t.runLogLines(),
            (std::vector<std::string>{"删除任务|删除了2个任务", "删除任务|删除了1个任务"}));
}

TEST(Scheduler, ToggleFollowsTheSwitch) {
  TaskRobot t(Mode::kManual);
  TaskScheduler s = t.scheduler();
  t.settings.setChecked(kSwitch, true);
  s.toggleScheduler();  // no rows: nothing to run
  EXPECT_FALSE(s.schedulerRunning());
  EXPECT_EQ(s.featureStatus(), "已开启");

  t.addRow("23:00:00", "发送信息", "a");
  s.toggleScheduler();
  EXPECT_TRUE(s.schedulerRunning());

  t.settings.setChecked(kSwitch, false);
  s.toggleScheduler();
  EXPECT_FALSE(s.schedulerRunning());
  EXPECT_EQ(s.featureStatus(), "已关闭");
  EXPECT_EQ(t.runLogLines(), (std::vector<std::string>{"操作|开启定时任务", "操作|开启定时任务",
                                                       "操作|关闭定时任务"}));

  s.startIfEnabled();  // the switch is off
  EXPECT_FALSE(s.schedulerRunning());
  t.settings.setChecked(kSwitch, true);
  s.startIfEnabled();
  EXPECT_TRUE(s.schedulerRunning());
}

TEST(Scheduler, RunNowTouchesNoRowAndGreysTheButtonWhileItRuns) {
  TaskRobot t(Mode::kManual);
  t.manage({111111, 222222});
  t.addRow("08:00:00", "发送信息", "a", "明天执行");
  TaskScheduler s = t.scheduler();
  t.settings.setText("编辑框_定时发送内容", "现在");
  ASSERT_TRUE(s.runTaskNow().ok());
  ASSERT_TRUE(t.clock.waitForSleepers(1));  // pausing after the first group
  EXPECT_FALSE(s.runNowEnabled());
  t.clock.advance(2s);
  ASSERT_TRUE(Eventually([&] { return t.calls().size() == 2; }));
  ASSERT_TRUE(t.clock.waitForSleepers(1));
  t.clock.advance(2s);
  ASSERT_TRUE(s.waitForTasks(10s));
  EXPECT_TRUE(s.runNowEnabled());
  EXPECT_EQ(t.calls(), (std::vector<std::string>{
                           "2026-12-7 21:05:09 send_group_msg 111111 现在",
                           "2026-12-7 21:05:11 send_group_msg 222222 现在",
                       }));
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"明天执行"}));
  EXPECT_EQ(t.runLogLines(), (std::vector<std::string>{"执行任务|立即执行任务发送信息",
                                                       "执行任务|任务发送信息 执行完毕"}));
}

TEST(Scheduler, ATaskMarksItsOwnRowAfterEarlierRowsWereDeleted) {
  TaskRobot t(Mode::kManual);
  t.manage({123456});
  t.addRow("21:00:00", "发送信息", "A", "明天执行", true);
  t.addRow("21:05:10", "发送信息", "B");
  t.addRow("23:00:00", "发送信息", "C");
  TaskScheduler s = t.scheduler();
  s.startScheduler();
  ASSERT_TRUE(t.clock.waitForSleepers(2));  // the loop and B's pause after its group
  s.deleteCheckedTasks();                   // the switch is off: the loop goes on
  EXPECT_EQ(t.lists.tasks.rowCount(), 2u);
  t.clock.advance(2s);
  ASSERT_TRUE(s.waitForTasks(10s));
  EXPECT_EQ(t.calls(), (std::vector<std::string>{"2026-12-7 21:05:09 send_group_msg 123456 B"}));
  EXPECT_EQ(t.lists.tasks.cell(0, taskcol::kContent), "B");
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"执行完毕", "等待执行"}));
}

TEST(Scheduler, DestructionEndsRunningTasks) {
  auto t = std::make_unique<TaskRobot>(Mode::kManual);
  t->manage({1, 2, 3});
  t->settings.setText("编辑框_执行间隔时间", "600");
  t->addRow("21:05:09", "发送信息", "x");
  {
    TaskScheduler s = t->scheduler();
    s.startScheduler();
    ASSERT_TRUE(t->clock.waitForSleepers(2));
    EXPECT_EQ(s.runningTasks(), 1u);
  }  // must return without the clock moving
  EXPECT_EQ(t->clock.sleepers(), 0);
  EXPECT_EQ(t->calls().size(), 1u);
}

// Stepped mode (replay): no thread; each runDue() makes the passes that came
// due, each at its own time, and runs their tasks before it returns.
TEST(SteppedScheduler, RunsADailyTaskOncePerDayPassedWithoutThreads) {
  TaskRobot t(Mode::kAutoAdvance, LocalTime(2026, 12, 7, 7, 0, 0));
  t.manage({1, 2});
  t.settings.setText("编辑框_执行间隔时间", "2");
  t.addRow("08:00:00", "发送信息", "早安");
  TaskScheduler s = t.scheduler();
  s.useSteppedMode();
  s.startScheduler();
  EXPECT_TRUE(s.schedulerRunning());
  s.runDue();
  EXPECT_EQ(s.passCount(), 1u);
  EXPECT_TRUE(t.calls().empty());
  EXPECT_EQ(FormatDateTime(s.nextPass(), "yyyy-M-d ", "HH:mm:ss", true), "2026-12-7 08:00:00");

  // Four mornings passed in one jump (the 7th to the 10th): four runs, each
  // pausing two seconds after each group, nothing left running.
  t.clock.set(LocalTime(2026, 12, 10, 12, 0, 0));
  s.runDue();
  const auto calls = t.calls();
  ASSERT_EQ(calls.size(), 8u);
  for (const std::string& call : calls) EXPECT_NE(call.find("send_group_msg"), std::string::npos);
  EXPECT_EQ(t.clock.now(), LocalTime(2026, 12, 10, 12, 0, 16));
  EXPECT_EQ(s.runningTasks(), 0u);
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"执行完毕"}));
  auto log = t.runLogLines();
  EXPECT_EQ(std::count(log.begin(), log.end(), "执行任务|任务发送信息 执行完毕"), 4);
  EXPECT_EQ(FormatDateTime(s.nextPass(), "yyyy-M-d ", "HH:mm:ss", true), "2026-12-11 00:00:10");

  // Nothing more is due until then, however often it is asked.
  s.runDue();
  s.runDue();
  EXPECT_EQ(t.calls().size(), 8u);

  // Stopped: the clock passing the time runs nothing.
  s.stopScheduler();
  EXPECT_FALSE(s.schedulerRunning());
  t.clock.set(LocalTime(2026, 12, 11, 9, 0, 0));
  s.runDue();
  EXPECT_EQ(t.calls().size(), 8u);
  // Started again the next morning: the task waits for its time again.
  t.clock.set(LocalTime(2026, 12, 12, 7, 0, 0));
  s.startScheduler();
  s.runDue();
  EXPECT_EQ(t.statuses(), (std::vector<std::string>{"等待执行"}));
  t.clock.set(LocalTime(2026, 12, 12, 9, 0, 0));
  s.runDue();
  EXPECT_EQ(t.calls().size(), 10u);
}

TEST(SteppedScheduler, RunNowAndTheSwitchWorkWithoutThreads) {
  TaskRobot t(Mode::kAutoAdvance);
  t.manage({1});
  t.settings.setText("编辑框_执行间隔时间", "0");
  t.settings.setChecked("单选框_发送信息", true);
  t.settings.setText("编辑框_定时发送内容", "现在");
  TaskScheduler s = t.scheduler();
  s.useSteppedMode();
  ASSERT_TRUE(s.runTaskNow());
  EXPECT_EQ(t.calls().size(), 1u);  // done when it returns
  EXPECT_TRUE(s.runNowEnabled());
  t.addRow("21:05:09", "发送信息", "x");
  t.settings.setChecked("选择框_开启定时任务", true);
  s.toggleScheduler();
  EXPECT_EQ(t.calls().size(), 1u);  // started, but no pass before runDue
  s.runDue();
  EXPECT_EQ(t.calls().size(), 2u);
}

}  // namespace
}  // namespace bw
