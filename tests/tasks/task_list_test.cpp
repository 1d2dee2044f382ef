#include "tasks/task_list.h"

#include <gtest/gtest.h>

#include <chrono>

namespace bw {
namespace {

using std::chrono::milliseconds;

ListRow Row(std::string time, std::string status, std::string action = "发送信息") {
  ListRow row;
  row.cells = {std::move(time), std::move(action), "内容", std::move(status)};
  return row;
}

std::vector<std::string> Statuses(const std::vector<ListRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.cells.at(taskcol::kState));
  return out;
}

TEST(TimeOfDay, ReadsAndNormalisesClockTimes) {
  EXPECT_EQ(ParseTimeOfDay("08:05:09"), 8 * 3600 + 5 * 60 + 9);
  EXPECT_EQ(ParseTimeOfDay("23:59:59"), 86399);
  EXPECT_EQ(ParseTimeOfDay("00:00:00"), 0);
  EXPECT_EQ(NormaliseTimeOfDay("8:5:9"), "08:05:09");
  EXPECT_EQ(NormaliseTimeOfDay("21:30"), "21:30:00");
}

TEST(TimeOfDay, RefusesWhatIsNoTimeOfDay) {
  for (const char* bad : {"", "abc", "24:00:00", "12:60:00", "12:00:60", "12:00:00x", "1:2:3:4",
                          "123:00:00", "12", "12::00", ":12:00", "-1:00:00", "12:00:"}) {
    EXPECT_EQ(ParseTimeOfDay(bad), std::nullopt) << bad;
  }
}

TEST(SecondsUntil, CountsFromTodayOrTomorrow) {
  const SystemTime now = LocalTime(2026, 12, 7, 21, 5, 9);
  auto ahead = secondsUntil(now, "21:05:10");
  ASSERT_TRUE(ahead);
  EXPECT_EQ(ahead->seconds, 1);
  EXPECT_FALSE(ahead->tomorrow);

  auto past = secondsUntil(now, "21:05:08");
  ASSERT_TRUE(past);
  EXPECT_EQ(past->seconds, 86399);
  EXPECT_TRUE(past->tomorrow);

  auto exact = secondsUntil(now, "21:05:09");
  EXPECT_EQ(exact->seconds, 0);
  EXPECT_FALSE(exact->tomorrow);

  auto morning = secondsUntil(now, "08:00:00");
  EXPECT_EQ(morning->seconds, 86400 - (13 * 3600 + 5 * 60 + 9));
  EXPECT_TRUE(morning->tomorrow);

  // Whole seconds toward zero: 0.9 s ahead is 0.
  EXPECT_EQ(secondsUntil(now - milliseconds(900), "21:05:09")->seconds, 0);
  EXPECT_EQ(secondsUntil(now, "nonsense"), std::nullopt);
}

TEST(SchedulerPass, StartsTasksOneSecondAheadAndOneSecondPast) {
  std::vector<ListRow> rows = {Row("21:05:10", "等待执行"), Row("21:05:08", "明天执行"),
                               Row("21:05:12", "等待执行"), Row("21:05:07", "等待执行")};
  auto pass = PlanSchedulerPass(rows, LocalTime(2026, 12, 7, 21, 5, 9));
  EXPECT_EQ(pass.due, (std::vector<size_t>{0, 1}));
  EXPECT_EQ(Statuses(rows),
            (std::vector<std::string>{"正在执行", "正在执行", "等待执行", "明天执行"}));
  EXPECT_EQ(pass.waitSeconds, 2);
}

TEST(SchedulerPass, DoneTasksReturnToWaitingOnlyWhenTheirTimeIsAheadAgain) {
  std::vector<ListRow> rows = {Row("22:00:00", "执行完毕"), Row("20:00:00", "执行完毕"),
                               Row("20:30:00", "正在执行"), Row("21:05:10", "执行完毕")};
  auto pass = PlanSchedulerPass(rows, LocalTime(2026, 12, 7, 21, 5, 9));
  // A row set back to waiting is not started on the same pass, even when due.
  EXPECT_TRUE(pass.due.empty());
  EXPECT_EQ(Statuses(rows),
            (std::vector<std::string>{"等待执行", "执行完毕", "正在执行", "等待执行"}));
  EXPECT_EQ(pass.waitSeconds, 2);
}

TEST(SchedulerPass, AllTimesPastSleepsUntilTenSecondsAfterMidnight) {
  std::vector<ListRow> rows = {Row("08:00:00", "等待执行"), Row("12:00:00", "执行完毕")};
  auto pass = PlanSchedulerPass(rows, LocalTime(2026, 12, 7, 21, 5, 9));
  EXPECT_TRUE(pass.due.empty());
  EXPECT_EQ(Statuses(rows), (std::vector<std::string>{"明天执行", "执行完毕"}));
  const auto wake = LocalTime(2026, 12, 8, 0, 0, 10) - LocalTime(2026, 12, 7, 21, 5, 9);
  EXPECT_EQ(pass.waitSeconds, std::chrono::duration_cast<std::chrono::seconds>(wake).count());

  // Between midnight and 00:00:10 the wake-up is still today's.
  std::vector<ListRow> early = {Row("00:00:01", "执行完毕")};
  EXPECT_EQ(PlanSchedulerPass(early, LocalTime(2026, 12, 8, 0, 0, 5)).waitSeconds, 5);
}

TEST(SchedulerPass, SleepsAtLeastTwoAndAtMost86301Seconds) {
  std::vector<ListRow> none;
  EXPECT_EQ(PlanSchedulerPass(none, LocalTime(2026, 12, 7, 21, 5, 9)).waitSeconds, 86301);

  std::vector<ListRow> late = {Row("23:59:50", "等待执行")};
  EXPECT_EQ(PlanSchedulerPass(late, LocalTime(2026, 12, 7, 0, 0, 20)).waitSeconds, 86301);

  std::vector<ListRow> soon = {Row("21:05:10", "执行完毕")};  // 1 s ahead, not started
  EXPECT_EQ(PlanSchedulerPass(soon, LocalTime(2026, 12, 7, 21, 5, 9)).waitSeconds, 2);

  std::vector<ListRow> ahead = {Row("21:06:49", "等待执行"), Row("21:10:00", "等待执行")};
  EXPECT_EQ(PlanSchedulerPass(ahead, LocalTime(2026, 12, 7, 21, 5, 9)).waitSeconds, 100);
}

TEST(SchedulerPass, UnreadableRowsAreNeitherStartedNorChanged) {
  std::vector<ListRow> rows = {Row("oops", "等待执行"), Row("21:06:49", "等待执行")};
  ListRow shortRow;
  shortRow.cells = {"21:05:10"};  // a broken row from a file: padded, then scheduled
  rows.push_back(shortRow);
  auto pass = PlanSchedulerPass(rows, LocalTime(2026, 12, 7, 21, 5, 9));
  EXPECT_EQ(pass.due, (std::vector<size_t>{2}));
  EXPECT_EQ(Statuses(rows), (std::vector<std::string>{"等待执行", "等待执行", "正在执行"}));
  EXPECT_EQ(pass.waitSeconds, 2);
}

TEST(ScheduledTask, RowRoundTripAndIdentity) {
  ScheduledTask t{"08:00:00", "发布公告", "标题+++正文", "等待执行", true};
  ScheduledTask back = ScheduledTask::FromRow(t.toRow());
  EXPECT_EQ(back.time, t.time);
  EXPECT_EQ(back.content, t.content);
  EXPECT_TRUE(back.checked);
  back.status = "执行完毕";
  EXPECT_TRUE(back.sameTask(t));
  back.content = "别的";
  EXPECT_FALSE(back.sameTask(t));
}

}  // namespace
}  // namespace bw
